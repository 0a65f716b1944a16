// The signed cookie that carries a browser's session.
//
// Cookie value: base64url(JSON payload) "." issue time "." base64url(HMAC).
// The HMAC-SHA256 covers the payload and the issue time, so a client can read
// its session but can neither alter nor forge it without the secret key.
#pragma once

#include "quillo/http.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::app {

class SessionCodec {
  public:
    SessionCodec(std::string_view secret_key, int64_t lifetime_seconds,
                 std::string cookie_name = "quillo_session");

    const std::string& cookie_name() const { return cookie_name_; }

    // The session stored in `cookie_value`, or nothing when the value is
    // malformed, altered, signed with another key or older than the lifetime.
    // Safe to call from several threads at once.
    struct Decoded {
        nlohmann::json data;
        bool permanent = false;
        int64_t issued_at = 0;
    };
    std::optional<Decoded> decode(std::string_view cookie_value, int64_t now) const;
    std::string encode(const Session& session, int64_t now) const;

    // The Set-Cookie header value that stores (or, for an empty session,
    // deletes) the session.
    std::string set_cookie(const Session& session, int64_t now) const;

  private:
    class VerifiedCookies;

    std::string sign(std::string_view message) const;
    // The session in a cookie whose signature holds, whatever its age.
    std::optional<Decoded> verify(std::string_view cookie_value) const;

    std::string key_;
    int64_t lifetime_;
    std::string cookie_name_;
    std::shared_ptr<VerifiedCookies> verified_;
};

// The value of one cookie in a Cookie request header, if present.
std::optional<std::string_view> find_cookie(std::string_view header, std::string_view name);

std::string base64url_encode(std::string_view bytes);
std::optional<std::string> base64url_decode(std::string_view text);

// "Tue, 08 Dec 2026 21:42:22 GMT" (RFC 9110 IMF-fixdate).
std::string http_date(int64_t unix_seconds);
std::optional<int64_t> parse_http_date(std::string_view text);

} // namespace quillo::app
