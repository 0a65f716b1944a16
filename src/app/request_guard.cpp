#include "app/request_guard.h"

#include "app/auth.h"
#include "utils/utils.h"

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
// assets, and the two files every browser asks for. The in-app browser's
// proxy is not among them: open to everyone, it would fetch anything from
// this device's network for whoever reaches the port.
bool open_to_everyone(const std::string& path, const std::string& method) {
    if (path == "/") {
        return true;
    }
    bool get = method == "GET";
    if (get && !path.starts_with("/api/") && !path.starts_with("/preview/")) {
        return true; // the front end's assets
    }
    return path == "/favicon.ico" || path == "/robots.txt";
}

} // namespace

std::optional<Response> check_auth(const Request& request, PasswordStore& store) {
    const std::string& path = request.path;
    if (path == "/api/health") {
        return std::nullopt;
    }
    // The password file is looked at once per request at most, and only
    // where a test needs it.
    std::optional<PasswordState> password;
    if (!utils::is_loopback_address(request.remote_addr)) {
        password = store.state();
        if (password->kind == PasswordState::Kind::NotSet) {
            return set_up_on_this_device();
        }
    }
    // Every test here only lets the request through, so the cheapest go
    // first: the front end's assets never cost a look at the password file.
    if (path.starts_with("/api/auth/") || open_to_everyone(path, request.method)) {
        return std::nullopt;
    }
    if (!password) {
        password = store.state();
    }
    if (password->kind == PasswordState::Kind::NotSet || is_authenticated(request, *password)) {
        return std::nullopt;
    }
    return refusal();
}

bool is_trusted(const Request& request, PasswordStore& store) {
    PasswordState password = store.state();
    return password.kind == PasswordState::Kind::NotSet || is_authenticated(request, password);
}

} // namespace quillo::app
