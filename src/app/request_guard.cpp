#include "app/request_guard.h"

#include "app/auth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>

namespace quillo::app {

namespace {

Response refusal() {
    // Built once: a refused request costs no JSON serialisation. Never
    // destroyed: connection threads may still copy it while the process exits.
    static const Response& kRefusal =
        *new Response(json_response({{"error", "未登录"}, {"auth_required", true}}, 401));
    return kRefusal;
}

const Response& set_up_on_this_device() {
    static const Response& kRefusal =
        *new Response(json_response({{"error", "请先在本机设置密码"}}, 403));
    return kRefusal;
}

// What a browser that is not logged in may still fetch: the page, its
// assets, the in-app browser's proxy, and the two files every browser asks for.
bool open_to_everyone(const std::string& path, const std::string& method) {
    if (path == "/") {
        return true;
    }
    bool get = method == "GET";
    if (get && !path.starts_with("/api/") && !path.starts_with("/preview/")) {
        return true; // the front end's assets
    }
    if (get && path.starts_with("/api/browser/proxy")) {
        return true;
    }
    return path == "/favicon.ico" || path == "/robots.txt";
}

} // namespace

bool is_loopback_address(std::string_view address) {
    std::string text(address.substr(0, address.find('%')));
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) {
        return false;
    }
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

std::optional<Response> check_auth(const Request& request, PasswordStore& store) {
    const std::string& path = request.path;
    if (path == "/api/health") {
        return std::nullopt;
    }
    if (!is_loopback_address(request.remote_addr) && !store.password_set()) {
        return set_up_on_this_device();
    }
    if (path.starts_with("/api/auth/")) {
        return std::nullopt;
    }
    // Every test here only lets the request through, so the cheapest go
    // first: the front end's assets never cost a look at the password file.
    if (open_to_everyone(path, request.method)) {
        return std::nullopt;
    }
    PasswordState password = store.state();
    if (password.kind == PasswordState::Kind::NotSet || is_authenticated(request, password)) {
        return std::nullopt;
    }
    return refusal();
}

} // namespace quillo::app
