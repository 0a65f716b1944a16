// The request guard: once a password is set, only logged-in browsers get
// past it, except for the auth endpoints, the health check and what the
// login page itself needs.
#pragma once

#include "app/password_store.h"
#include "quillo/http.h"

#include <optional>

namespace quillo::app {

// Nothing to let the request through; otherwise the 401 answer
// {"error": "未登录", "auth_required": true}. The tests run in a fixed order
// and the password store is asked only when the cheap path tests did not
// decide, so the auth endpoints and the health check never touch the file
// when the client is on this device.
//
// While no password is set, a client that is not on this device (a server
// listening on the network) is answered 403 {"error": "请先在本机设置密码"},
// the health check excepted: whoever first opened the page could otherwise
// choose the password and own the IDE.
std::optional<Response> check_auth(const Request& request, PasswordStore& store);

// True when the guard trusts the request with everything: its session is
// signed in, or no password is set. Anyone else is a stranger, however far
// the guard lets them in (the login, the page, the health check).
bool is_trusted(const Request& request, PasswordStore& store);

} // namespace quillo::app
