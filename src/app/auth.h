// The auth endpoints: whether a password is set and this browser logged in,
// first-time set-up, login and logout. Being logged in is the boolean
// `auth` in the signed cookie session, together with the fingerprint of the
// password it was given for: a changed password ends every earlier session,
// copies of the cookie included.
#pragma once

#include "app/application.h"
#include "app/login_throttle.h"
#include "app/password_store.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>

namespace quillo::app {

// Client JSON deeper than this counts as invalid: copying or walking a
// value recurses once per level.
inline constexpr int kMaxJsonDepth = 64;

// The first 16 bytes of an HMAC-SHA256 of `password` under a key derived
// from the session secret, base64: names the password without revealing it.
std::string password_fingerprint(std::string_view secret_key, const std::string& password);

// True when the session's `auth` is the boolean true itself and its
// fingerprint is that of the password now set.
bool is_authenticated(const Request& request, const PasswordState& password);

// The JSON object of a set-up or login body. A body that is absent, not
// declared as JSON, not valid JSON (nesting deeper than kMaxJsonDepth
// included), or an empty or false JSON value counts as an empty object.
// Throws std::invalid_argument for any other value that is not an object.
nlohmann::json lenient_json_body(const Request& request);

// Parses `text` as JSON, refusing nesting deeper than kMaxJsonDepth: the
// result is then `discarded`, as for any other invalid JSON.
nlohmann::json parse_json_bounded(std::string_view text);

// Compares without an early exit, so the time taken says nothing about how
// much of a guess was right (nor about the password's length).
bool constant_time_equal(const std::string& a, const std::string& b);

// GET /api/auth/status, POST /api/auth/setup, /api/auth/login and
// /api/auth/logout. Failed logins are counted in `throttle`.
void register_auth_routes(Application& app, std::shared_ptr<PasswordStore> store,
                          std::shared_ptr<LoginThrottle> throttle);

} // namespace quillo::app
