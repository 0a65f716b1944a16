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
// decide, so the auth endpoints and the health check never touch the file.
std::optional<Response> check_auth(const Request& request, PasswordStore& store);

} // namespace quillo::app
