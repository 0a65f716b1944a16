// Signing in over real HTTP: set-up, login and logout with a browser-like
// client that keeps its session cookie, the guard's answers, the password
// file's mode, sessions across restarts and the proxy fallback.
#include "server_process.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace quillo::integration;
using nlohmann::json;

// An HTTP client that keeps the session cookie the way a browser does, and
// sends an Origin header when it has one.
class CookieClient {
  public:
    CookieClient(const std::string& host, int port) : client_(http_client(host, port)) {}

    http::Result get(const std::string& path) { return remember(client_.Get(path, headers())); }
    http::Result post(const std::string& path, const json& body) {
        return remember(client_.Post(path, headers(), body.dump(), "application/json"));
    }
    http::Result send(const std::string& method, const std::string& path) {
        http::Request request;
        request.method = method;
        request.path = path;
        request.headers = headers();
        return remember(client_.send(request));
    }
    json status() { return json::parse(get("/api/auth/status")->body); }
    bool logged_in() { return status()["authenticated"] == true; }

    std::string cookie;
    std::string origin;

  private:
    http::Headers headers() const {
        http::Headers headers;
        if (!cookie.empty()) {
            headers.emplace("Cookie", cookie);
        }
        if (!origin.empty()) {
            headers.emplace("Origin", origin);
        }
        return headers;
    }
    http::Result remember(http::Result result) {
        if (result && result->has_header("Set-Cookie")) {
            std::string value = result->get_header_value("Set-Cookie");
            cookie = value.substr(0, value.find(';'));
        }
        return result;
    }
    http::Client client_;
};

json password(const std::string& text) {
    return {{"password", text}};
}

class AuthHttpTest : public ::testing::Test {
  protected:
    void start(const std::string& home = "", int port = 0) {
        server_ = std::make_unique<ServerProcess>(ServerOptions{.port = port, .home = home});
        ASSERT_TRUE(server_->wait_until_listening()) << server_->describe();
    }
    CookieClient browser() const { return CookieClient(server_->host(), server_->port()); }
    std::string pwd_file() const { return server_->config_dir() + "/pwd.txt"; }

    std::unique_ptr<ServerProcess> server_;
};

TEST_F(AuthHttpTest, SetUpLoginAndLogoutAsABrowserSeesThem) {
    // Even under a umask of 0 the password file stays private.
    mode_t old_mask = ::umask(0);
    start();
    ::umask(old_mask);
    CookieClient first = browser();
    EXPECT_EQ(first.status(), (json{{"password_set", false}, {"authenticated", false}}));

    http::Result setup = first.post("/api/auth/setup", password(" phone pw "));
    ASSERT_TRUE(setup);
    EXPECT_EQ(setup->status, 200);
    std::string set_cookie = setup->get_header_value("Set-Cookie");
    // Named after the port: a web app on another port of localhost can
    // neither overwrite it nor receive it.
    EXPECT_EQ(set_cookie.rfind("quillo_session_" + std::to_string(server_->port()) + "=", 0), 0u)
        << set_cookie;
    EXPECT_NE(set_cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(set_cookie.find("Max-Age=2592000"), std::string::npos);
    EXPECT_TRUE(first.logged_in());
    EXPECT_EQ(read_text(pwd_file()), "phone pw");
    struct stat st {};
    ASSERT_EQ(::stat(pwd_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    CookieClient second = browser();
    EXPECT_EQ(second.get("/api/files/module")->status, 401);
    EXPECT_EQ(second.post("/api/auth/login", password("phone  pw"))->status, 401);
    // Typed as at set-up, with the blank a phone keyboard adds.
    EXPECT_EQ(second.post("/api/auth/login", password(" phone pw "))->status, 200);
    EXPECT_EQ(second.get("/api/files/module")->status, 200);

    EXPECT_EQ(second.post("/api/auth/logout", json::object())->status, 200);
    EXPECT_EQ(second.get("/api/files/module")->status, 401);
    EXPECT_TRUE(first.logged_in()) << "one browser's logout leaves the others alone";
}

TEST_F(AuthHttpTest, SessionsOutliveARestartButNotAPasswordChange) {
    TempDir home;
    int port = free_port();
    start(home.path(), port);
    CookieClient browser_ = browser();
    ASSERT_EQ(browser_.post("/api/auth/setup", password("pw"))->status, 200);
    std::string cookie = browser_.cookie;
    server_.reset();
    start(home.path(), port);

    CookieClient returning = browser();
    returning.cookie = cookie;
    EXPECT_EQ(returning.status(), (json{{"password_set", true}, {"authenticated", true}}));

    // Changing the payload without the key breaks the signature; the
    // generic cookie name of other servers is not ours.
    CookieClient forger = browser();
    std::string forged = cookie;
    size_t inside = forged.find('=') + 3; // never a base64 padding bit
    forged[inside] = forged[inside] == 'Q' ? 'R' : 'Q';
    forger.cookie = forged;
    EXPECT_EQ(forger.get("/api/files/module")->status, 401);
    forger.cookie = "session=" + cookie.substr(cookie.find('=') + 1);
    http::Result refused = forger.get("/api/files/module");
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(json::parse(refused->body), (json{{"error", "未登录"}, {"auth_required", true}}));

    // A new password signs out every copy of an earlier cookie; the browser
    // signs in again with it and goes on.
    write_text(pwd_file(), "new pw");
    EXPECT_EQ(returning.status(), (json{{"password_set", true}, {"authenticated", false}}));
    EXPECT_EQ(returning.get("/api/files/module")->status, 401);
    ASSERT_EQ(browser_.post("/api/auth/login", password("new pw"))->status, 200);
    EXPECT_EQ(browser_.get("/api/files/module")->status, 200);
    EXPECT_EQ(returning.get("/api/files/module")->status, 401) << "the old copy stays out";
}

// Any page the user visits can send requests here; only the IDE's own page
// may change anything or read the answers.
TEST_F(AuthHttpTest, PagesOfOtherOriginsCanNeitherActNorRead) {
    start();
    CookieClient evil = browser();
    evil.origin = "https://evil.example";
    for (const char* path : {"/api/auth/setup", "/api/auth/login", "/api/auth/logout"}) {
        http::Result refused = evil.post(path, password("evil"));
        ASSERT_TRUE(refused) << path;
        EXPECT_EQ(refused->status, 403) << path;
        EXPECT_EQ(json::parse(refused->body), (json{{"error", "Origin not allowed"}})) << path;
        EXPECT_FALSE(refused->has_header("Access-Control-Allow-Origin")) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(pwd_file())) << "no password was chosen";
    http::Result read = evil.get("/api/auth/status");
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->has_header("Access-Control-Allow-Origin"));

    CookieClient own = browser();
    own.origin = "http://127.0.0.1:" + std::to_string(server_->port());
    http::Result setup = own.post("/api/auth/setup", password("pw"));
    ASSERT_TRUE(setup);
    EXPECT_EQ(setup->status, 200);
    EXPECT_EQ(setup->get_header_value("Access-Control-Allow-Origin"), own.origin);
    EXPECT_TRUE(own.logged_in());
}

TEST_F(AuthHttpTest, GuardAnswersBeforeRoutingWithAPasswordSet) {
    start();
    write_text(pwd_file(), "pw\n");
    CookieClient stranger = browser();
    struct Case {
        const char* method;
        const char* path;
        int status;
    };
    for (const Case& c : std::vector<Case>{{"GET", "/api/no/such/route", 401},
                                           {"DELETE", "/api/files/module", 401},
                                           {"GET", "/preview/index.html", 401},
                                           {"HEAD", "/app.js", 401},
                                           {"OPTIONS", "/api/files/module", 401},
                                           {"GET", "/api/healthz", 401},
                                           {"POST", "/api/browser/proxy", 401},
                                           {"GET", "/api/browser/proxy?url=http%3A%2F%2F127.0.0.1%2F", 401},
                                           {"GET", "/api/health", 200},
                                           {"GET", "/app.js", 200},
                                           {"GET", "/", 200},
                                           {"POST", "/", 405},
                                           {"GET", "/favicon.ico", 404},
                                           {"GET", "/api", 404},
                                           {"GET", "/api/auth/login", 404}}) {
        http::Result result = stranger.send(c.method, c.path);
        ASSERT_TRUE(result) << c.method << " " << c.path;
        EXPECT_EQ(result->status, c.status) << c.method << " " << c.path;
    }

    // Deleting the file by hand opens the server again at the next request.
    std::filesystem::remove(pwd_file());
    EXPECT_EQ(stranger.get("/api/files/module")->status, 200);
    EXPECT_EQ(stranger.status()["password_set"], false);
}

TEST_F(AuthHttpTest, SimultaneousFirstSetUpsHaveOneWinner) {
    start();
    constexpr int kBrowsers = 6;
    std::atomic<int> ready = 0;
    std::vector<int> statuses(kBrowsers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kBrowsers; ++i) {
        threads.emplace_back([&, i] {
            CookieClient browser_ = browser();
            ++ready;
            while (ready < kBrowsers) {
                std::this_thread::yield();
            }
            http::Result result =
                browser_.post("/api/auth/setup", password("pw" + std::to_string(i)));
            statuses[i] = result ? result->status : -1;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 400), kBrowsers - 1);
    int winner =
        static_cast<int>(std::find(statuses.begin(), statuses.end(), 200) - statuses.begin());
    EXPECT_EQ(read_text(pwd_file()), "pw" + std::to_string(winner));
}

TEST_F(AuthHttpTest, EscapedProxyRequestsAreSentBackThroughTheProxy) {
    start();
    // The page's directory holds an escaped "%" ("docs%41"), which must
    // survive: header values reach the fallback exactly as sent.
    RawResponse get = raw_exchange(
        server_->host(), server_->port(),
        "GET /api/data?q=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
        "Referer: http://localhost/api/browser/proxy?url=https%3A%2F%2Fsite.test%2Fdocs%252541"
        "%2Fpage\r\n\r\n");
    EXPECT_EQ(get.status_line, "HTTP/1.1 302 Found");
    std::string location = "/api/browser/proxy?url=https%3A%2F%2Fsite.test%2Fapi%2Fdata%3Fq%3D1"
                           "&base=https%3A%2F%2Fsite.test%2Fdocs%252541%2F";
    EXPECT_NE(get.head.find("\r\nLocation: " + location + "\r\n"), std::string::npos) << get.head;
    EXPECT_TRUE(
        server_->wait_for_output("[PROXY FALLBACK] Redirecting escaped /api/data → " + location))
        << server_->describe();

    RawResponse post =
        raw_exchange(server_->host(), server_->port(),
                     "POST /form HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                     "X-Proxy-Page-Origin: https://site.test\r\nContent-Length: 3\r\n\r\na=1");
    EXPECT_EQ(post.status_line, "HTTP/1.1 307 Temporary Redirect");
    EXPECT_NE(post.head.find("Location: /api/browser/proxy?url=https%3A%2F%2Fsite.test%2Fform"),
              std::string::npos)
        << post.head;
}

} // namespace
