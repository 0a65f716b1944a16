// Previews: each site the in-app browser shows gets an origin of its own,
// a listener on a port of its own that serves that site and nothing else.
//
// Why this holds: the previewed page runs on http://<IDE host>:<preview
// port>, another origin than the IDE's, so the browser's same-origin rules
// keep it out of the IDE's page, its storage and its answers, and the IDE's
// Origin check refuses its requests that change something and its sockets.
// The IDE's session cookie is HttpOnly, so the page cannot read it either,
// and the proxy never passes it on. A preview's listener serves only a
// browser holding its pass, a cookie it gets by redeeming a one-time ticket
// that only a signed-in IDE can ask for, bound to that one site, and
// expiring; anyone else gets the guard's 401, so the listener is no open
// proxy. Root-relative URLs, redirects, forms, fetch and WebSockets of the
// page all stay on the preview's origin, so nothing escapes to the IDE.
#pragma once

#include "proxy_headers.h"
#include "target.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quillo::browser {

using Clock = std::chrono::steady_clock;

// The path on a preview's origin that redeems a ticket for the pass.
inline constexpr std::string_view kEnterPath = "/.quillo-preview/enter";
inline constexpr auto kTicketLifetime = std::chrono::seconds(60);
inline constexpr auto kPassLifetime = std::chrono::hours(12);

struct Preview {
    Target target;
    uint16_t port = 0;
    std::vector<boost::asio::ip::tcp::acceptor> acceptors;
    CookieJar jar;
    int connections = 0; // on the previews' thread only

    std::mutex mutex; // guards what follows
    std::vector<std::string> ide_origins;
    std::map<std::string, Clock::time_point> tickets; // one-time, short-lived
    std::map<std::string, Clock::time_point> passes;  // the cookie's values
    std::string frame_url;                            // the document last loaded in a frame

    std::string cookie_name() const { return "quillo_preview_" + std::to_string(port); }
    // Redeems a ticket: the pass to set as the cookie, or nothing.
    std::optional<std::string> redeem(const std::string& ticket);
    bool admits(const std::string& pass);
    PreviewContext context(const std::string& preview_host);
};

struct Opened {
    std::string frame;  // what the IDE loads in the frame: the ticket's redemption
    std::string origin; // the preview's origin
    std::string url;    // the site's URL
};

class Previews {
  public:
    explicit Previews(std::vector<std::string> listen_hosts);
    ~Previews();
    Previews(const Previews&) = delete;
    Previews& operator=(const Previews&) = delete;

    // A ticket into the preview of `target`, whose listener is opened the
    // first time. `ide_host` is the Host the IDE was reached by: the preview
    // is offered on that name. Throws std::system_error when no port can be
    // listened on.
    Opened open(const Target& target, const std::string& ide_host);
    // The URL of the document last loaded in a frame of the preview on
    // `port`, if there is one.
    std::optional<std::string> frame_url(int port);
    // The ports previews listen on.
    std::set<int> ports();
    // Closes the listeners and ends every connection.
    void stop();

  private:
    std::shared_ptr<Preview> preview_for(const Target& target);
    void listen(Preview& preview);
    void start_thread();

    std::vector<std::string> listen_hosts_;
    boost::asio::io_context io_;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Preview>> by_origin_;
    std::vector<std::shared_ptr<Preview>> order_; // oldest first
};

// A random token of 32 hexadecimal digits (128 bits).
std::string random_token();

// Starts accepting on the preview's acceptors (defined with the proxy).
void accept_connections(boost::asio::io_context& io, const std::shared_ptr<Preview>& preview);

} // namespace quillo::browser
