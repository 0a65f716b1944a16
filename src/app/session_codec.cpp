#include "app/session_codec.h"

#include "utils/crypto.h"

#include <charconv>
#include <ctime>
#include <map>
#include <mutex>
#include <stdexcept>

namespace quillo::app {

namespace {

constexpr int64_t kMaxClockSkew = 24 * 3600;
constexpr const char* kPermanentKey = "_permanent";

// The session key is derived from the secret key, so the raw secret is never
// used directly as an HMAC key for more than one purpose.
std::string derive_key(std::string_view secret) {
    static constexpr std::string_view kPurpose = "quillo.session-cookie";
    utils::Sha256Digest key = utils::hmac_sha256(secret, kPurpose);
    return std::string(reinterpret_cast<const char*>(key.data()), key.size());
}

std::optional<int64_t> parse_int(std::string_view text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::string base64url_encode(std::string_view bytes) {
    return utils::base64url_encode(bytes);
}

std::optional<std::string> base64url_decode(std::string_view text) {
    return utils::base64url_decode(text);
}

std::string http_date(int64_t unix_seconds) {
    std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

std::optional<int64_t> parse_http_date(std::string_view text) {
    std::tm tm{};
    std::string copy(text);
    const char* end = strptime(copy.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return static_cast<int64_t>(timegm(&tm));
}

std::optional<std::string_view> find_cookie(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        size_t end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t')) {
            pair.remove_prefix(1);
        }
        size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) {
            std::string_view value = pair.substr(eq + 1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
                value.remove_suffix(1);
            }
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            return value;
        }
    }
    return std::nullopt;
}

// Cookies verified lately, by their whole value. A browser sends the same
// cookie with every request, and checking its signature and reading its
// JSON each time would be most of what a signed-in answer costs. Only
// cookies whose signature held are kept, so nobody without the key can fill
// it; the issue time is checked against the clock on every use, and whether
// the session is still signed in (its password fingerprint) is decided
// afresh by each request. A codec with another key has a cache of its own.
class SessionCodec::VerifiedCookies {
  public:
    std::optional<Decoded> find(std::string_view cookie) const {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(cookie);
        return it == entries_.end() ? std::nullopt : std::optional<Decoded>(it->second);
    }

    void remember(std::string_view cookie, const Decoded& decoded) {
        std::lock_guard lock(mutex_);
        if (entries_.size() >= kMaxEntries) {
            entries_.clear(); // a handful of browsers at most: start over
        }
        entries_.emplace(std::string(cookie), decoded);
    }

  private:
    static constexpr size_t kMaxEntries = 64;
    mutable std::mutex mutex_;
    std::map<std::string, Decoded, std::less<>> entries_;
};

SessionCodec::SessionCodec(std::string_view secret_key, int64_t lifetime_seconds,
                           std::string cookie_name)
    : key_(derive_key(secret_key)), lifetime_(lifetime_seconds),
      cookie_name_(std::move(cookie_name)), verified_(std::make_shared<VerifiedCookies>()) {}

std::string SessionCodec::sign(std::string_view message) const {
    utils::Sha256Digest signature = utils::hmac_sha256(key_, message);
    return std::string(reinterpret_cast<const char*>(signature.data()), signature.size());
}

std::optional<SessionCodec::Decoded> SessionCodec::decode(std::string_view cookie_value,
                                                          int64_t now) const {
    std::optional<Decoded> decoded = verified_->find(cookie_value);
    bool known = decoded.has_value();
    if (!known) {
        decoded = verify(cookie_value);
    }
    // Compared, never subtracted: a validly signed cookie can still carry
    // any 64-bit issue time, and the difference would overflow.
    if (!decoded || decoded->issued_at < now - lifetime_ ||
        decoded->issued_at > now + kMaxClockSkew) {
        return std::nullopt;
    }
    if (!known) {
        verified_->remember(cookie_value, *decoded);
    }
    return decoded;
}

std::optional<SessionCodec::Decoded> SessionCodec::verify(std::string_view cookie_value) const {
    size_t last_dot = cookie_value.rfind('.');
    if (last_dot == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view signed_part = cookie_value.substr(0, last_dot);
    std::optional<std::string> signature = base64url_decode(cookie_value.substr(last_dot + 1));
    if (!signature || !utils::same_bytes(*signature, sign(signed_part))) {
        return std::nullopt;
    }
    size_t dot = signed_part.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    std::optional<int64_t> issued_at = parse_int(signed_part.substr(dot + 1));
    std::optional<std::string> payload = base64url_decode(signed_part.substr(0, dot));
    if (!issued_at || !payload) {
        return std::nullopt;
    }
    nlohmann::json data = nlohmann::json::parse(*payload, nullptr, false);
    if (!data.is_object()) {
        return std::nullopt;
    }
    Decoded decoded;
    decoded.permanent = data.value(kPermanentKey, false) == true;
    data.erase(kPermanentKey);
    decoded.data = std::move(data);
    decoded.issued_at = *issued_at;
    return decoded;
}

std::string SessionCodec::encode(const Session& session, int64_t now) const {
    nlohmann::json payload = session.data();
    if (session.permanent()) {
        payload[kPermanentKey] = true;
    }
    std::string signed_part =
        base64url_encode(payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) +
        "." + std::to_string(now);
    return signed_part + "." + base64url_encode(sign(signed_part));
}

std::string SessionCodec::set_cookie(const Session& session, int64_t now) const {
    // A plain array: nothing for the exit to destroy under a connection thread.
    static constexpr char kAttributes[] = "; HttpOnly; Path=/; SameSite=Lax";
    const std::string& name = cookie_name_;
    if (session.empty()) {
        return name + "=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0" + kAttributes;
    }
    std::string cookie = name + "=" + encode(session, now);
    if (session.permanent()) {
        cookie +=
            "; Expires=" + http_date(now + lifetime_) + "; Max-Age=" + std::to_string(lifetime_);
    }
    return cookie + kAttributes;
}

} // namespace quillo::app
