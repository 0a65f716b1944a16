#include "app/host_check.h"

#include "utils/text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace quillo::app {

namespace {

bool is_port(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// "[::1]:8080" -> "::1" (bracketed), "name:8080" -> "name"; nothing when a
// port is there but is not a port.
std::optional<std::string_view> host_name(std::string_view host, bool& bracketed) {
    bracketed = !host.empty() && host.front() == '[';
    size_t colon;
    if (bracketed) {
        size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        colon = close + 1;
        if (colon < host.size() && host[colon] != ':') {
            return std::nullopt;
        }
        if (colon < host.size() && !is_port(host.substr(colon + 1))) {
            return std::nullopt;
        }
        return host.substr(1, close - 1);
    }
    colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        if (!is_port(host.substr(colon + 1))) {
            return std::nullopt;
        }
        host = host.substr(0, colon);
    }
    return host;
}

// The host name of a Host value, lower case, without a final dot.
std::optional<std::string> normalized_name(std::string_view host, bool& bracketed) {
    std::optional<std::string_view> name = host_name(host, bracketed);
    if (!name || name->empty()) {
        return std::nullopt;
    }
    std::string lower = utils::ascii_lower(*name);
    if (lower.size() > 1 && lower.back() == '.') {
        lower.pop_back(); // "localhost." is the same name, fully qualified
    }
    return lower;
}

bool listed(const std::string& name, const std::vector<std::string>& allowed, bool star_counts) {
    for (const std::string& entry : allowed) {
        if (entry == name || (star_counts && entry == "*")) {
            return true;
        }
    }
    return false;
}

bool is_ip_literal(std::string_view name, bool bracketed) {
    std::string text(name);
    unsigned char address[sizeof(in6_addr)];
    if (bracketed) {
        return ::inet_pton(AF_INET6, text.c_str(), address) == 1;
    }
    return ::inet_pton(AF_INET, text.c_str(), address) == 1;
}

} // namespace

bool host_allowed(std::string_view host, const std::vector<std::string>& allowed) {
    if (host.empty()) {
        return true;
    }
    bool bracketed = false;
    std::optional<std::string> name = normalized_name(host, bracketed);
    if (!name) {
        return false;
    }
    if (is_ip_literal(*name, bracketed)) {
        return true;
    }
    return !bracketed && (*name == "localhost" || listed(*name, allowed, true));
}

std::optional<Response> check_host(const Request& request,
                                   const std::vector<std::string>& allowed) {
    const std::string* host = request.headers.find("Host");
    if (host == nullptr || host_allowed(*host, allowed)) {
        return std::nullopt;
    }
    // Never destroyed: connection threads may still copy it while the process exits.
    static const Response& kRefusal =
        *new Response(json_response({{"error", "Host not allowed"}}, 403));
    return kRefusal;
}

bool asks_for_websocket(const Request& request) {
    const std::string* upgrade = request.headers.find("Upgrade");
    return upgrade && utils::ascii_lower(*upgrade) == "websocket";
}

bool origin_allowed(std::string_view origin, std::string_view host,
                    const std::vector<std::string>& allowed) {
    size_t scheme_end = origin.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0) {
        return false; // "null" (a sandboxed page, a file) and anything malformed
    }
    std::string_view authority = origin.substr(scheme_end + 3);
    if (authority.empty() || authority.find_first_of("/?#@") != std::string_view::npos) {
        return false;
    }
    if (utils::ascii_lower(authority) == utils::ascii_lower(host)) {
        return true; // the IDE's own page
    }
    bool bracketed = false;
    std::optional<std::string> name = normalized_name(authority, bracketed);
    return name && !bracketed && listed(*name, allowed, false);
}

std::optional<Response> check_origin(const Request& request,
                                     const std::vector<std::string>& allowed) {
    const std::string* origin = request.headers.find("Origin");
    if (origin == nullptr || origin_allowed(*origin, request.header("Host"), allowed)) {
        return std::nullopt;
    }
    const std::string& method = request.method;
    bool preflight = method == "OPTIONS" && request.headers.has("Access-Control-Request-Method");
    // A WebSocket is not bound by CORS: once open, the page reads and writes
    // it freely, so a foreign page must not even open one.
    bool reads = method == "GET" || method == "HEAD" || method == "OPTIONS";
    if (!preflight && reads && !asks_for_websocket(request)) {
        return std::nullopt; // reads: the answer carries no CORS header, so the page cannot read it
    }
    static const Response& kRefusal =
        *new Response(json_response({{"error", "Origin not allowed"}}, 403));
    return kRefusal;
}

} // namespace quillo::app
