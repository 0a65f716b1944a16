// The auth endpoints and the request guard, driven in memory through the
// application with a browser stand-in that keeps the session cookie.
#include "app/auth.h"
#include "app/errors.h"
#include "app/request_guard.h"
#include "temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <span>
#include <sstream>
#include <thread>

using namespace quillo;
using namespace quillo::app;
using nlohmann::json;

namespace {

class Browser {
  public:
    explicit Browser(const Application& app) : app_(app) {}

    Response send(const std::string& method, const std::string& path, const std::string& body = "",
                  const std::string& content_type = "application/json") {
        Request request;
        request.method = method;
        request.path = path;
        request.body = body;
        request.remote_addr = address;
        if (!body.empty()) {
            request.headers.add("Content-Type", content_type);
        }
        if (!cookie_.empty()) {
            request.headers.add("Cookie", cookie_);
        }
        Response response = app_.handle(request);
        std::string set_cookie = response.headers.get("Set-Cookie");
        if (!set_cookie.empty()) {
            cookie_ = set_cookie.substr(0, set_cookie.find(';'));
            if (cookie_ == "session=") {
                cookie_.clear();
            }
        }
        return response;
    }
    Response post(const std::string& path, const std::string& body = "",
                  const std::string& content_type = "application/json") {
        return send("POST", path, body, content_type);
    }
    json status() { return json::parse(send("GET", "/api/auth/status").body); }

    std::string& cookie() { return cookie_; }
    std::string address = "127.0.0.1";

  private:
    const Application& app_;
    std::string cookie_;
};

json body_of(const Response& response) {
    return json::parse(response.body);
}

std::string password_body(const json& password) {
    return json{{"password", password}}.dump();
}

class AuthTest : public ::testing::Test {
  protected:
    AuthTest()
        : store(std::make_shared<PasswordStore>(
              dir.file("pwd.txt"),
              [](const std::string& password) {
                  return password_fingerprint(config().secret_key, password);
              },
              [this](const std::string& message) { warnings.push_back(message); })),
          app(config()) {
        register_error_handlers(app, errors);
        register_auth_routes(app, store, throttle);
        app.before_request([this](Request& request) { return check_auth(request, *store); });
        app.route("/", {"GET"}, [](Request&) { return Response(200, "text/plain", "index"); });
        app.route("/api/health", {"GET"}, [](Request&) {
            return json_response({{"status", "ok"}});
        });
        app.route("/<path:path>", {"GET", "POST", "PUT", "DELETE", "PATCH"},
                  [](Request&) { return Response(200, "text/plain", "catch-all"); });
        app.freeze();
    }
    static AppConfig config() {
        AppConfig config;
        config.static_folder = "/nonexistent";
        config.secret_key = "auth-test-secret";
        config.session_cookie_name = "session";
        return config;
    }
    std::string stored() const {
        std::ifstream in(store->path(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    quillo::testing::TempDir dir;
    std::vector<std::string> warnings;
    std::shared_ptr<PasswordStore> store;
    // Seconds on the throttle's clock, moved by the tests.
    double now = 1000;
    std::shared_ptr<LoginThrottle> throttle =
        std::make_shared<LoginThrottle>([this] { return now; });
    std::ostringstream errors;
    Application app;
};

TEST_F(AuthTest, SetUpStoresTheTrimmedPasswordAndLogsTheBrowserIn) {
    Browser browser(app);
    EXPECT_EQ(browser.status(), (json{{"password_set", false}, {"authenticated", false}}));

    Response setup = browser.post("/api/auth/setup", password_body("  s3cret \n"));
    EXPECT_EQ(setup.status, 200);
    EXPECT_EQ(body_of(setup), (json{{"success", true}, {"message", "密码设置成功"}}));
    EXPECT_NE(setup.headers.get("Set-Cookie").find("Max-Age=2592000"), std::string::npos)
        << "the session is permanent: 30 days";
    EXPECT_EQ(stored(), "s3cret");
    EXPECT_EQ(browser.status(), (json{{"password_set", true}, {"authenticated", true}}));

    Response again = Browser(app).post("/api/auth/setup", password_body("other"));
    EXPECT_EQ(again.status, 400);
    EXPECT_EQ(body_of(again), (json{{"error", "密码已设置，不能重复设置"}}));
    EXPECT_EQ(stored(), "s3cret");
}

TEST_F(AuthTest, SetUpRefusesAnEmptyPasswordHoweverItIsSent) {
    Browser browser(app);
    for (auto [body, type] : std::vector<std::pair<std::string, std::string>>{
             {password_body(" \t\u3000"), "application/json"},
             {"{}", "application/json"},
             {"", "application/json"},
             {"password=abc", "application/x-www-form-urlencoded"},
             {password_body("abc"), "text/plain"},
             {"{not json", "application/json"},
             {"[]", "application/json"},
             {"0", "application/json"},
             {"false", "application/json"},
             {"null", "application/json"},
             {"\"\"", "application/json"}}) {
        Response response = browser.post("/api/auth/setup", body, type);
        EXPECT_EQ(response.status, 400) << body << " as " << type;
        EXPECT_EQ(body_of(response), (json{{"error", "密码不能为空"}})) << body;
    }
    EXPECT_FALSE(std::filesystem::exists(store->path()));
    // "+json" media types and parameters count as JSON.
    EXPECT_EQ(
        browser.post("/api/auth/setup", password_body("x"), "application/vnd.q+json; v=1").status,
        200);
}

TEST_F(AuthTest, BodiesOfTheWrongShapeFailWithoutSideEffects) {
    Browser browser(app);
    for (const char* body : {"[1]", "\"text\"", "7", "true"}) {
        Response response = browser.post("/api/auth/setup", body);
        EXPECT_EQ(response.status, 500) << body;
        EXPECT_TRUE(body_of(response).contains("error")) << body;
    }
    for (const json& password : {json(5), json(true), json(nullptr), json::array({"a"})}) {
        Response response = browser.post("/api/auth/setup", password_body(password));
        EXPECT_EQ(response.status, 500) << password;
        EXPECT_TRUE(response.headers.get("Set-Cookie").empty()) << "session untouched";
    }
    EXPECT_FALSE(std::filesystem::exists(store->path()));

    store->write_password("pw");
    Response login = browser.post("/api/auth/login", "[\"pw\"]");
    EXPECT_EQ(login.status, 500);
    EXPECT_FALSE(browser.status()["authenticated"]);
}

TEST_F(AuthTest, LoginTrimsBlanksAsSetUpDoesAndOtherwiseComparesExactly) {
    Browser browser(app);
    Response early = browser.post("/api/auth/login", password_body("x"));
    EXPECT_EQ(early.status, 400);
    EXPECT_EQ(body_of(early), (json{{"error", "尚未设置密码"}, {"password_set", false}}));

    store->write_password("Secret");
    for (const json& wrong : {json("secret"), json("Sec ret"), json(""), json(1), json(nullptr),
                              json::array({"Secret"})}) {
        Response response = browser.post("/api/auth/login", password_body(wrong));
        EXPECT_EQ(response.status, 401) << wrong;
        EXPECT_EQ(body_of(response), (json{{"error", "密码错误"}})) << wrong;
        now += LoginThrottle::kForgetAfter; // no throttle in this test
    }
    EXPECT_EQ(browser.post("/api/auth/login", "").status, 401) << "no body: empty password";

    // A phone keyboard's blank after the word, as set-up trims it.
    Response ok = browser.post("/api/auth/login", password_body(" Secret \n"));
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(body_of(ok), (json{{"success", true}, {"message", "登录成功"}}));
    // A wrong password does not log out a browser that is logged in.
    EXPECT_EQ(browser.post("/api/auth/login", password_body("nope")).status, 401);
    EXPECT_TRUE(browser.status()["authenticated"]);
}

TEST_F(AuthTest, LogoutAlwaysSucceedsAndEndsTheLogin) {
    Browser browser(app);
    Response stranger = browser.post("/api/auth/logout");
    EXPECT_EQ(stranger.status, 200);
    EXPECT_EQ(body_of(stranger), (json{{"success", true}, {"message", "已退出登录"}}));

    ASSERT_EQ(browser.post("/api/auth/setup", password_body("pw")).status, 200);
    EXPECT_EQ(browser.send("GET", "/api/files").status, 200);
    EXPECT_EQ(browser.post("/api/auth/logout").status, 200);
    EXPECT_FALSE(browser.status()["authenticated"]);
    EXPECT_EQ(browser.send("GET", "/api/files").status, 401);
}

TEST_F(AuthTest, OnlyTheBooleanTrueWithTheCurrentFingerprintCountsAsLoggedIn) {
    PasswordState set{PasswordState::Kind::Set, "", "AAAAAAAAAAAAAAAAAAAAAA==", ""};
    for (const json& value : {json(1), json("true"), json(false), json::object()}) {
        Request request;
        request.session.load({{"auth", value}, {"password_fingerprint", set.fingerprint}}, true);
        EXPECT_FALSE(is_authenticated(request, set)) << value;
    }
    Request request;
    request.session.load({{"auth", true}, {"password_fingerprint", set.fingerprint}}, true);
    EXPECT_TRUE(is_authenticated(request, set));
    PasswordState unreadable{PasswordState::Kind::Unreadable, "", "", "pwd.txt: Is a directory"};
    EXPECT_FALSE(is_authenticated(request, unreadable));
    for (const json& held : {json(nullptr), json("AAAAAAAAAAAAAAAAAAAAAB=="), json("AAAA")}) {
        request.session.load({{"auth", true}, {"password_fingerprint", held}}, true);
        EXPECT_FALSE(is_authenticated(request, set)) << held;
    }
}

TEST_F(AuthTest, ConcurrentSetUpsLetExactlyOneBrowserIn) {
    std::vector<int> statuses(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < statuses.size(); ++i) {
        threads.emplace_back([&, i] {
            Browser browser(app);
            statuses[i] =
                browser.post("/api/auth/setup", password_body("pw" + std::to_string(i))).status;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 400), 7);
    size_t winner = std::find(statuses.begin(), statuses.end(), 200) - statuses.begin();
    EXPECT_EQ(stored(), "pw" + std::to_string(winner));
}

TEST_F(AuthTest, TamperedCookieIsNotLoggedIn) {
    Browser browser(app);
    ASSERT_EQ(browser.post("/api/auth/setup", password_body("pw")).status, 200);
    // A character inside the payload: unlike the last one of a base64 text,
    // it always changes the decoded bytes.
    std::string& cookie = browser.cookie();
    size_t inside = std::string("session=").size() + 2;
    cookie[inside] = cookie[inside] == 'A' ? 'B' : 'A';
    EXPECT_EQ(browser.send("GET", "/api/files").status, 401);
}

struct GuardCase {
    const char* method;
    const char* path;
    bool admitted;
};

TEST_F(AuthTest, GuardAdmitsInTableOrderOnceAPasswordIsSet) {
    Browser stranger(app);
    std::vector<GuardCase> open_server = {
        {"POST", "/api/files", true}, {"GET", "/preview/x", true}, {"DELETE", "/api/x", true}};
    for (const GuardCase& c : open_server) {
        EXPECT_NE(stranger.send(c.method, c.path).status, 401) << c.method << " " << c.path;
    }

    store->write_password("pw");
    std::vector<GuardCase> cases = {
        {"POST", "/api/auth/logout", true},
        {"GET", "/api/auth/anything", true},
        {"DELETE", "/api/health", true},
        {"GET", "/api/healthz", false},
        {"GET", "/", true},
        {"POST", "/", true},
        {"GET", "/app.js", true},
        {"HEAD", "/app.js", false},
        {"OPTIONS", "/app.js", false},
        {"POST", "/app.js", false},
        {"GET", "/api", true},
        {"GET", "/api/files", false},
        {"GET", "/preview/page.html", false},
        {"GET", "/api/browser/proxy", false},
        {"GET", "/api/browser/proxyish", false},
        {"POST", "/api/browser/proxy", false},
        {"PUT", "/favicon.ico", true},
        {"HEAD", "/robots.txt", true},
        {"GET", "/API/files", true},
        {"OPTIONS", "/api/files", false},
    };
    for (const GuardCase& c : cases) {
        Response response = stranger.send(c.method, c.path);
        if (c.admitted) {
            EXPECT_NE(response.status, 401) << c.method << " " << c.path;
        } else {
            EXPECT_EQ(response.status, 401) << c.method << " " << c.path;
            EXPECT_EQ(body_of(response), (json{{"error", "未登录"}, {"auth_required", true}}));
        }
    }

    Browser member(app);
    ASSERT_EQ(member.post("/api/auth/login", password_body("pw")).status, 200);
    // A span, not std::views::drop: libc++ 14 (Debian bookworm's) leaves its
    // range adaptors out unless built with its incomplete features.
    for (const GuardCase& c : std::span(cases).subspan(3)) { // past the logout
        EXPECT_NE(member.send(c.method, c.path).status, 401) << c.method << " " << c.path;
    }
}

TEST_F(AuthTest, GuardRunsBeforeRoutingAndSeesHandEditsAtOnce) {
    store->write_password("pw");
    Browser stranger(app);
    // Neither a 404 nor a 405 reveals what exists behind the guard.
    EXPECT_EQ(stranger.send("TRACE", "/api/files").status, 401);
    EXPECT_EQ(stranger.send("GET", "/api/no/such/route").status, 401);

    std::filesystem::remove(store->path());
    EXPECT_EQ(stranger.send("GET", "/api/files").status, 200) << "no password: everything passes";
    EXPECT_EQ(stranger.status(), (json{{"password_set", false}, {"authenticated", false}}));
}

// Guessing costs time from the guessing address only: 1,000 guesses take
// more than ten hours, while the owner elsewhere gets in at once.
TEST_F(AuthTest, GuessingIsSlowedPerAddressAndNeverLocksTheOwnerOut) {
    store->write_password("owner pw");
    Browser guesser(app);
    guesser.address = "192.0.2.7";
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(guesser.post("/api/auth/login", password_body("guess")).status, 401) << i;
    }
    Response early = guesser.post("/api/auth/login", password_body("owner pw"));
    EXPECT_EQ(early.status, 429) << "too early: the password is not even checked";
    EXPECT_EQ(early.headers.get("Retry-After"), "1");
    EXPECT_EQ(body_of(early),
              (json{{"error", "登录尝试过于频繁，请稍后再试"}, {"retry_after", 1}}));

    double start = now;
    for (int guesses = 6; guesses < 1000;) {
        Response answer = guesser.post("/api/auth/login", password_body("guess"));
        if (answer.status == 429) {
            int64_t wait = std::stoll(answer.headers.get("Retry-After"));
            ASSERT_TRUE(wait >= 1 && wait <= 900) << wait;
            now += static_cast<double>(wait);
            continue;
        }
        ASSERT_EQ(answer.status, 401);
        ++guesses;
    }
    EXPECT_GT(now - start, 10 * 3600.0);

    Browser owner(app);
    owner.address = "::1";
    EXPECT_EQ(owner.post("/api/auth/login", password_body("owner pw")).status, 200);
    Browser neighbour(app); // the same IPv6 /64 counts as one address
    neighbour.address = "2001:db8:1:2::99";
    guesser.address = "2001:db8:1:2::1";
    now += LoginThrottle::kMaxDelay;
    for (int i = 0; i < 6; ++i) {
        guesser.post("/api/auth/login", password_body("guess"));
    }
    EXPECT_EQ(neighbour.post("/api/auth/login", password_body("owner pw")).status, 429);
    now += 1;
    EXPECT_EQ(neighbour.post("/api/auth/login", password_body("owner pw")).status, 200);
    EXPECT_EQ(guesser.post("/api/auth/login", password_body("guess")).status, 401)
        << "a login that works clears the address";
}

// Every program on this device can connect from any 127/8 address (and ::1):
// counted apart, each of them would be a fresh budget of free guesses.
TEST(LoginThrottleTest, AllOfLoopbackIsOneAddress) {
    double now = 0;
    LoginThrottle throttle([&] { return now; });
    const std::vector<std::string> loopback = {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1",
                                               "::ffff:127.0.0.5"};
    for (const std::string& address : loopback) {
        ASSERT_EQ(throttle.wait_before_attempt(address), std::nullopt) << address;
        throttle.record_failure(address);
    }
    throttle.record_failure("127.0.0.2");
    for (const std::string& address : loopback) {
        EXPECT_EQ(throttle.wait_before_attempt(address), 1) << address;
    }
    EXPECT_EQ(throttle.size(), 1u);
    for (const char* other : {"128.0.0.1", "126.255.255.255", "::2", "::ffff:128.0.0.1",
                              "::ffff:192.0.2.7", "2001:db8::1"}) {
        EXPECT_EQ(throttle.wait_before_attempt(other), std::nullopt) << other;
    }

    throttle.record_success("::ffff:127.0.0.5");
    EXPECT_EQ(throttle.wait_before_attempt("127.0.0.1"), std::nullopt);
    EXPECT_EQ(throttle.size(), 0u);
    EXPECT_EQ(LoginThrottle::client_key("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(LoginThrottle::client_key("2001:db8:1:2:3:4:5:6"), "2001:db8:1:2::/64");
}

// A full table must not forget a guesser to make room, or a flood of fresh
// addresses would free it. Newcomers share the overflow instead, so the flood
// itself gets a handful of guesses, not one per address.
TEST(LoginThrottleTest, AFloodNeitherFreesAGuesserNorGuessesFreely) {
    constexpr size_t kCapacity = 8;
    double now = 0;
    LoginThrottle throttle([&] { return now; }, kCapacity);
    for (int i = 0; i < 10; ++i) {
        throttle.record_failure("127.0.0.1");
    }
    ASSERT_EQ(throttle.wait_before_attempt("127.0.0.1"), 16);

    // As the login endpoint does: an address that must wait is not heard.
    int heard = 0;
    for (int i = 0; i < static_cast<int>(kCapacity) + 200; ++i) {
        std::string address = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        if (!throttle.wait_before_attempt(address)) {
            throttle.record_failure(address);
            ++heard;
        }
        ASSERT_LE(throttle.size(), kCapacity + 1);
    }
    EXPECT_EQ(throttle.size(), kCapacity + 1);
    EXPECT_EQ(heard, static_cast<int>(kCapacity - 1) + LoginThrottle::kFreeFailures + 1)
        << "one guess per free place, then the overflow's free guesses";
    EXPECT_EQ(throttle.wait_before_attempt("127.0.0.1"), 16);
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.1"), std::nullopt) << "it has a place";
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.100"), 1) << "the overflow waits";
    EXPECT_EQ(throttle.wait_before_attempt("2001:db8::1"), 1) << "so does every newcomer";

    // A login that works from an address counted in the overflow proves
    // nothing about the others there.
    throttle.record_success("10.0.0.100");
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.101"), 1);
    // One from an address with a place frees the place for a newcomer.
    throttle.record_success("10.0.0.1");
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.101"), std::nullopt);
    throttle.record_failure("10.0.0.101");
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.102"), 1);
    EXPECT_EQ(throttle.size(), kCapacity + 1);

    // The guesser's failures are kept too, not just its wait.
    now += 16;
    ASSERT_EQ(throttle.wait_before_attempt("127.0.0.1"), std::nullopt);
    throttle.record_failure("127.0.0.1");
    EXPECT_EQ(throttle.wait_before_attempt("127.0.0.1"), 32);

    now += LoginThrottle::kForgetAfter;
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.102"), std::nullopt);
    EXPECT_EQ(throttle.size(), 0u) << "an hour without failures forgets, the overflow too";
}

// Guessers that never ask first still cannot grow the table.
TEST(LoginThrottleTest, AFloodOfFailuresStaysWithinCapacityPlusOne) {
    double now = 0;
    LoginThrottle throttle([&] { return now; });
    for (int i = 0; i < 100'000; ++i) {
        throttle.record_failure("10." + std::to_string(i >> 16) + "." +
                                std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255));
        now += 0.001;
    }
    EXPECT_EQ(throttle.size(), LoginThrottle::kCapacity + 1);
    EXPECT_EQ(throttle.wait_before_attempt("10.0.0.0"), std::nullopt);
    EXPECT_EQ(throttle.wait_before_attempt("10.1.134.159"),
              static_cast<int64_t>(LoginThrottle::kMaxDelay));
}

// On the network before a password is set, whoever opens the page first
// would choose it: only this device may.
TEST_F(AuthTest, BeforeSetUpOnlyThisDeviceIsAnswered) {
    Browser laptop(app);
    laptop.address = "192.168.1.20";
    for (const char* path : {"/api/auth/status", "/", "/api/files"}) {
        Response refused = laptop.send("GET", path);
        EXPECT_EQ(refused.status, 403) << path;
        EXPECT_EQ(body_of(refused), (json{{"error", "请先在本机设置密码"}})) << path;
    }
    EXPECT_EQ(laptop.post("/api/auth/setup", password_body("mine")).status, 403);
    EXPECT_EQ(laptop.send("GET", "/api/health").status, 200);
    EXPECT_FALSE(std::filesystem::exists(store->path()));

    for (const char* device : {"127.0.0.1", "127.3.4.5", "::1", "::ffff:127.0.0.1"}) {
        Browser phone(app);
        phone.address = device;
        EXPECT_EQ(phone.status()["password_set"], false) << device;
    }
    Browser phone(app);
    ASSERT_EQ(phone.post("/api/auth/setup", password_body("pw")).status, 200);
    EXPECT_EQ(laptop.post("/api/auth/login", password_body("pw")).status, 200);
    EXPECT_EQ(laptop.send("GET", "/api/files").status, 200);
}

// Deep nesting in a body is invalid JSON, read as an empty object; copying
// such a value used to overflow the stack.
TEST_F(AuthTest, DeeplyNestedBodiesAreInvalidJson) {
    auto nested = [](int depth) {
        return R"({"password":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    Browser browser(app);
    EXPECT_EQ(body_of(browser.post("/api/auth/setup", nested(200'000))),
              (json{{"error", "密码不能为空"}}));
    auto body_of_depth = [&](int depth) {
        Request request;
        request.headers.add("Content-Type", "application/json");
        request.body = nested(depth);
        return lenient_json_body(request);
    };
    EXPECT_TRUE(body_of_depth(kMaxJsonDepth).contains("password")) << "the deepest accepted";
    EXPECT_EQ(body_of_depth(kMaxJsonDepth + 1), json::object());
    store->write_password("pw");
    EXPECT_EQ(browser.post("/api/auth/login", nested(200'000)).status, 401);
}

} // namespace
