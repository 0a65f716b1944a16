// Requests that escaped the in-app browser.
//
// A page shown through the browser proxy (/api/browser/proxy?url=...) may ask
// for root-relative URLs, which then reach this server instead of the page's
// own site. Such requests are recognised by their Referer or by the
// X-Proxy-Page-Origin header that the proxy adds, and redirected back
// through the proxy to the site they were meant for.
#pragma once

#include "quillo/http.h"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace quillo::app {

// Percent-decoding as UTF-8: escaped bytes that do not form valid UTF-8
// become U+FFFD, a "+" stays a "+", and a "%" without two hex digits stays.
std::string percent_decode(std::string_view text);

// Percent-encoding of every byte except ASCII letters, digits and "_.-~".
std::string quote(std::string_view text);

struct SplitUrl {
    std::string scheme; // lower case
    std::string netloc;
    std::string path;
    std::string query;
    std::string fragment;
};

// Splits a URL the way browsers' and servers' URL parsers commonly do:
// leading blanks and control characters are dropped, tabs and line breaks
// removed, and a scheme is recognised only when it starts with a letter.
// Throws std::invalid_argument for unbalanced or invalid brackets in the
// network location ("Invalid IPv6 URL").
SplitUrl split_url(std::string_view url);

// The percent-encoded value of the first "url" parameter in `referer`
// ("?url=" or "&url=" followed by at least one character other than "&").
std::optional<std::string_view> find_url_parameter(std::string_view referer);

// Where an escaped request for /`path` belongs: the proxy URL that fetches
// it from the page's site, or nothing when the headers name no site.
// Throws when the site or the query string cannot be decoded.
std::optional<std::string> escaped_request_target(std::string_view path, std::string_view referer,
                                                  std::string_view page_origin,
                                                  std::string_view query_string);

// The redirect for an escaped request (302 for GET, 307 otherwise, so the
// browser repeats the method and body), or nothing for an ordinary request
// or one whose target cannot be built. Reports what it does on `out`.
std::optional<Response> try_proxy_fallback(const Request& request, const std::string& path,
                                           std::ostream& out);

// A redirect with the usual small HTML page for clients that do not follow it.
Response redirect(const std::string& location, int status);

} // namespace quillo::app
