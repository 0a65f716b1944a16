#include "app/auth.h"

#include "utils/text.h"

#include <mutex>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <stdexcept>

namespace quillo::app {

namespace {

using nlohmann::json;

Response error(const char* message, int status) {
    return json_response({{"error", message}}, status);
}

Response success(const char* message) {
    return json_response({{"success", true}, {"message", message}});
}

void log_in(Request& request) {
    request.session.set_permanent(true);
    request.session.set("auth", true);
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

// The submitted `password`; the empty text when the key is absent.
json submitted_password(const Request& request) {
    json body = lenient_json_body(request);
    auto it = body.find("password");
    return it == body.end() ? json("") : *it;
}

class AuthEndpoints {
  public:
    explicit AuthEndpoints(std::shared_ptr<PasswordStore> store) : store_(std::move(store)) {}

    Response status(Request& request) {
        return json_response({{"password_set", store_->password_set()},
                              {"authenticated", is_authenticated(request)}});
    }

    Response setup(Request& request) {
        // Two browsers setting up at once: exactly one stores its password,
        // the other is told that a password is already set.
        std::lock_guard lock(setup_mutex_);
        if (store_->password_set()) {
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
        log_in(request);
        return success("密码设置成功");
    }

    Response login(Request& request) {
        std::optional<std::string> stored = store_->read_password();
        if (!stored) {
            return json_response({{"error", "尚未设置密码"}, {"password_set", false}}, 400);
        }
        json submitted = submitted_password(request);
        if (submitted.is_string() &&
            constant_time_equal(submitted.get_ref<const std::string&>(), *stored)) {
            log_in(request);
            return success("登录成功");
        }
        return error("密码错误", 401);
    }

    static Response logout(Request& request) {
        request.session.erase("auth");
        return success("已退出登录");
    }

  private:
    std::shared_ptr<PasswordStore> store_;
    std::mutex setup_mutex_;
};

} // namespace

bool is_authenticated(const Request& request) {
    const json* auth = request.session.find("auth");
    return auth && auth->is_boolean() && auth->get<bool>();
}

json lenient_json_body(const Request& request) {
    json body = declares_json(request) ? json::parse(request.body, nullptr, false) : json();
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
    unsigned char digest_a[EVP_MAX_MD_SIZE];
    unsigned char digest_b[EVP_MAX_MD_SIZE];
    unsigned int length_a = 0;
    unsigned int length_b = 0;
    if (EVP_Digest(a.data(), a.size(), digest_a, &length_a, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(b.data(), b.size(), digest_b, &length_b, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    // Equal digests of different texts would need a SHA-256 collision; the
    // final comparison rules even that out.
    return CRYPTO_memcmp(digest_a, digest_b, length_a) == 0 && a == b;
}

void register_auth_routes(Application& app, std::shared_ptr<PasswordStore> store) {
    auto endpoints = std::make_shared<AuthEndpoints>(std::move(store));
    app.route("/api/auth/status", {"GET"},
              [endpoints](Request& request) { return endpoints->status(request); });
    app.route("/api/auth/setup", {"POST"},
              [endpoints](Request& request) { return endpoints->setup(request); });
    app.route("/api/auth/login", {"POST"},
              [endpoints](Request& request) { return endpoints->login(request); });
    app.route("/api/auth/logout", {"POST"}, &AuthEndpoints::logout);
}

} // namespace quillo::app
