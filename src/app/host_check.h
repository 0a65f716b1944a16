// Which web pages may talk to the IDE.
//
// The Host check: a web page can point its own DNS name at 127.0.0.1 and
// then talk to the IDE as if it were the same site (DNS rebinding). Such a
// browser still sends the page's name as Host, so only names that cannot be
// taken over that way are served: IP literals, "localhost", and the names
// the user lists in allowed_hosts.
//
// The Origin check: any page the user visits can send requests here, and
// the browser sends the real Host with them. What gives such a request away
// is its Origin, which browsers send with every cross-origin request and
// every POST: only the IDE's own origin and the names in allowed_hosts may
// change anything, or read an answer.
#pragma once

#include "quillo/http.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::app {

// True for a Host value ("name", "name:port", "[v6]:port") that is an IP
// literal, "localhost", or one of `allowed` (lower case; "*" allows any).
// An absent or empty Host cannot come from a browser and is let through.
bool host_allowed(std::string_view host, const std::vector<std::string>& allowed);

// Nothing to let the request through; otherwise 403 {"error": "Host not allowed"}.
std::optional<Response> check_host(const Request& request, const std::vector<std::string>& allowed);

// True for an Origin ("scheme://host[:port]") whose host and port are the
// request's Host, or whose host name is one of `allowed` (lower case; the
// "*" that lets any Host in does not let any page in).
bool origin_allowed(std::string_view origin, std::string_view host,
                    const std::vector<std::string>& allowed);

// True for a WebSocket handshake ("Upgrade: websocket").
bool asks_for_websocket(const Request& request);

// A request that carries an Origin that is not allowed is refused with 403
// {"error": "Origin not allowed"} when it can change something (any method
// but GET, HEAD and OPTIONS), opens a WebSocket, or is a cross-origin
// preflight. Requests
// without an Origin (curl, a same-origin page load) are let through.
std::optional<Response> check_origin(const Request& request,
                                     const std::vector<std::string>& allowed);

} // namespace quillo::app
