// How the preview proxy changes the headers it passes on: what a hop between
// the browser and the previewed site must not forward, what would leak the
// IDE's authority, and what would stop the preview from showing in the IDE.
#pragma once

#include <boost/beast/http/fields.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::browser {

namespace http = boost::beast::http;

// Cookies whose names start with this belong to the IDE (its session, the
// previews' own cookies): the browser never sends them on to a previewed
// site, and a site's cookies of such a name are kept here instead.
inline constexpr std::string_view kReservedCookiePrefix = "quillo_";

// The cookies a previewed site set under a reserved name, kept by the
// server for that preview. Safe from any thread.
class CookieJar {
  public:
    // Takes one Set-Cookie value; an expired or Max-Age<=0 cookie is removed.
    void take(std::string_view set_cookie);
    // "name=value; name2=value2", or empty.
    std::string header() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> cookies_;
};

struct PreviewContext {
    std::string target_origin;                // "http://localhost:8000"
    std::string target_host;                  // the Host the site expects: "localhost:8000"
    std::string preview_origin;               // "http://localhost:41234", as the browser sees it
    std::vector<std::string> frame_ancestors; // the IDE's origins
};

// Removes the hop-by-hop fields (RFC 9110, section 7.6.1), those named in
// Connection among them. A WebSocket handshake keeps its Upgrade.
void drop_hop_by_hop(http::fields& fields, bool keep_websocket_upgrade);

// The request as the site should get it: its own Host, Origin and Referer
// instead of the preview's, and the browser's cookies without the IDE's but
// with those of the jar.
void rewrite_request(http::fields& fields, const PreviewContext& context, const CookieJar& jar);

// The answer as the preview's frame should get it. A Location on the site's
// own origin becomes a path on the preview's; framing refusals give way to
// a policy that lets only the IDE frame the preview; HSTS (which would bind
// the preview's host name to https) goes; Set-Cookie loses Domain and Secure
// (the preview is plain http), and reserved names go to the jar. Returns a
// reason to refuse the answer: a redirect to a scheme other than http(s).
std::optional<std::string> rewrite_response(http::fields& fields, const PreviewContext& context,
                                            CookieJar& jar);

} // namespace quillo::browser
