#include "app/auth.h"

#include "utils/crypto.h"
#include "utils/text.h"

#include <mutex>
#include <stdexcept>

namespace quillo::app {

namespace {

using nlohmann::json;

constexpr const char* kFingerprintKey = "password_fingerprint";

Response error(const char* message, int status) {
    return json_response({{"error", message}}, status);
}

Response success(const char* message) {
    return json_response({{"success", true}, {"message", message}});
}

void log_in(Request& request, const std::string& fingerprint) {
    request.session.set_permanent(true);
    request.session.set("auth", true);
    request.session.set(kFingerprintKey, fingerprint);
}

bool auth_mark_set(const Request& request) {
    const json* auth = request.session.find("auth");
    return auth && auth->is_boolean() && auth->get<bool>();
}

// "application/json" or any "application/...+json", parameters ignored.
bool declares_json(const Request& request) {
    std::string type = request.header("Content-Type");
    type = utils::ascii_lower(utils::strip_unicode_whitespace(type.substr(0, type.find(';'))));
    return type == "application/json" ||
           (type.starts_with("application/") && type.ends_with("+json"));
}

bool counts_as_empty(const json& value) {
    switch (value.type()) {
    case json::value_t::null:
    case json::value_t::discarded:
        return true;
    case json::value_t::boolean:
        return !value.get<bool>();
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
        return value.get<double>() == 0.0;
    case json::value_t::string:
        return value.get_ref<const std::string&>().empty();
    case json::value_t::array:
    case json::value_t::object:
        return value.empty();
    default:
        return false;
    }
}

// Follows the nesting of a JSON text without building anything, and stops
// at the first level that is too deep.
class DepthLimit : public json::json_sax_t {
  public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return ++depth_ <= kMaxJsonDepth; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return --depth_ >= 0; }
    bool start_array(std::size_t) override { return ++depth_ <= kMaxJsonDepth; }
    bool end_array() override { return --depth_ >= 0; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    int depth_ = 0;
};

// The submitted `password`; the empty text when the key is absent. A value
// that is not text is not copied (it may be nested deeply): only its type.
json submitted_password(const Request& request) {
    json body = lenient_json_body(request);
    auto it = body.find("password");
    if (it == body.end()) {
        return json("");
    }
    return it->is_string() ? *it : json(it->type());
}

class AuthEndpoints {
  public:
    AuthEndpoints(std::shared_ptr<PasswordStore> store, std::shared_ptr<LoginThrottle> throttle)
        : store_(std::move(store)), throttle_(std::move(throttle)) {}

    // While no password is set nothing is guarded, and a browser that still
    // carries `auth` from before counts as logged in, as it always has.
    Response status(Request& request) {
        PasswordState password = store_->state();
        bool set = password.kind != PasswordState::Kind::NotSet;
        return json_response({{"password_set", set},
                              {"authenticated", set ? is_authenticated(request, password)
                                                    : auth_mark_set(request)}});
    }

    Response setup(Request& request) {
        // Two browsers setting up at once: exactly one stores its password,
        // the other is told that a password is already set.
        std::lock_guard lock(setup_mutex_);
        PasswordState current = store_->state();
        if (current.kind == PasswordState::Kind::Unreadable) {
            return json_response({{"error", current.error}}, 500);
        }
        if (current.kind == PasswordState::Kind::Set) {
            return error("密码已设置，不能重复设置", 400);
        }
        json submitted = submitted_password(request);
        if (!submitted.is_string()) {
            throw std::invalid_argument("password must be text, not " +
                                        std::string(submitted.type_name()));
        }
        std::string password = utils::strip_unicode_whitespace(submitted.get<std::string>());
        if (password.empty()) {
            return error("密码不能为空", 400);
        }
        store_->write_password(password);
        log_in(request, store_->state().fingerprint);
        return success("密码设置成功");
    }

    Response login(Request& request) {
        PasswordState stored = store_->state(true);
        if (stored.kind == PasswordState::Kind::NotSet) {
            return json_response({{"error", "尚未设置密码"}, {"password_set", false}}, 400);
        }
        if (stored.kind == PasswordState::Kind::Unreadable) {
            return json_response({{"error", stored.error}}, 500);
        }
        // Too early: the password is not even looked at, so the answer says
        // nothing about it.
        if (std::optional<int64_t> wait = throttle_->wait_before_attempt(request.remote_addr)) {
            Response refusal = json_response(
                {{"error", "登录尝试过于频繁，请稍后再试"}, {"retry_after", *wait}}, 429);
            refusal.headers.set("Retry-After", std::to_string(*wait));
            return refusal;
        }
        json submitted = submitted_password(request);
        // Set-up trims the password it stores; a phone keyboard's blank
        // after the last word must not make the same password fail here.
        if (submitted.is_string() &&
            constant_time_equal(utils::strip_unicode_whitespace(submitted.get<std::string>()),
                                stored.password)) {
            throttle_->record_success(request.remote_addr);
            log_in(request, stored.fingerprint);
            return success("登录成功");
        }
        throttle_->record_failure(request.remote_addr);
        return error("密码错误", 401);
    }

    static Response logout(Request& request) {
        request.session.erase("auth");
        request.session.erase(kFingerprintKey);
        return success("已退出登录");
    }

  private:
    std::shared_ptr<PasswordStore> store_;
    std::shared_ptr<LoginThrottle> throttle_;
    std::mutex setup_mutex_;
};

} // namespace

std::string password_fingerprint(std::string_view secret_key, const std::string& password) {
    static constexpr std::string_view kPurpose = "quillo.password-fingerprint";
    utils::Sha256Digest key = utils::hmac_sha256(secret_key, kPurpose);
    utils::Sha256Digest digest = utils::hmac_sha256(
        std::string_view(reinterpret_cast<const char*>(key.data()), key.size()), password);
    constexpr size_t kFingerprintBytes = 16;
    return utils::base64_encode(
        std::string_view(reinterpret_cast<const char*>(digest.data()), kFingerprintBytes));
}

bool is_authenticated(const Request& request, const PasswordState& password) {
    if (password.kind != PasswordState::Kind::Set || !auth_mark_set(request)) {
        return false;
    }
    const json* fingerprint = request.session.find(kFingerprintKey);
    if (!fingerprint || !fingerprint->is_string()) {
        return false; // a session from before fingerprints: signed out once
    }
    return utils::same_bytes(fingerprint->get_ref<const std::string&>(), password.fingerprint);
}

json parse_json_bounded(std::string_view text) {
    DepthLimit limit;
    if (!json::sax_parse(text, &limit)) {
        return json(json::value_t::discarded);
    }
    return json::parse(text, nullptr, false);
}

json lenient_json_body(const Request& request) {
    json body = declares_json(request) ? parse_json_bounded(request.body) : json();
    if (counts_as_empty(body)) {
        return json::object();
    }
    if (!body.is_object()) {
        throw std::invalid_argument("the request body is a JSON " + std::string(body.type_name()) +
                                    ", not an object");
    }
    return body;
}

bool constant_time_equal(const std::string& a, const std::string& b) {
    utils::Sha256Digest digest_a = utils::sha256(a);
    utils::Sha256Digest digest_b = utils::sha256(b);
    // Equal digests of different texts would need a SHA-256 collision; the
    // final comparison rules even that out.
    return utils::same_bytes(
               std::string_view(reinterpret_cast<const char*>(digest_a.data()), 32),
               std::string_view(reinterpret_cast<const char*>(digest_b.data()), 32)) &&
           a == b;
}

void register_auth_routes(Application& app, std::shared_ptr<PasswordStore> store,
                          std::shared_ptr<LoginThrottle> throttle) {
    auto endpoints = std::make_shared<AuthEndpoints>(std::move(store), std::move(throttle));
    app.route("/api/auth/status", {"GET"},
              [endpoints](Request& request) { return endpoints->status(request); });
    app.route("/api/auth/setup", {"POST"},
              [endpoints](Request& request) { return endpoints->setup(request); });
    app.route("/api/auth/login", {"POST"},
              [endpoints](Request& request) { return endpoints->login(request); });
    app.route("/api/auth/logout", {"POST"}, &AuthEndpoints::logout);
}

} // namespace quillo::app
