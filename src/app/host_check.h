// The Host check: a web page can point its own DNS name at 127.0.0.1 and
// then talk to the IDE as if it were the same site (DNS rebinding). Such a
// browser still sends the page's name as Host, so only names that cannot be
// taken over that way are served: IP literals, "localhost", and the names
// the user lists in allowed_hosts.
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

} // namespace quillo::app
