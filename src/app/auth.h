// The auth endpoints: whether a password is set and this browser logged in,
// first-time set-up, login and logout. Being logged in is the boolean
// `auth` in the signed cookie session.
#pragma once

#include "app/application.h"
#include "app/password_store.h"

#include <memory>
#include <nlohmann/json.hpp>

namespace quillo::app {

// True only when the session's `auth` is the boolean true itself.
bool is_authenticated(const Request& request);

// The JSON object of a set-up or login body. A body that is absent, not
// declared as JSON, not valid JSON, or an empty or false JSON value counts
// as an empty object. Throws std::invalid_argument for any other value that
// is not an object.
nlohmann::json lenient_json_body(const Request& request);

// Compares without an early exit, so the time taken says nothing about how
// much of a guess was right (nor about the password's length).
bool constant_time_equal(const std::string& a, const std::string& b);

// GET /api/auth/status, POST /api/auth/setup, /api/auth/login and
// /api/auth/logout.
void register_auth_routes(Application& app, std::shared_ptr<PasswordStore> store);

} // namespace quillo::app
