// The in-app browser over real HTTP: who may open a preview, and what a
// preview's listener passes between the browser and the previewed site.
#include "server_process.h"

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace quillo::integration;
using nlohmann::json;

constexpr const char* kPassword = "correct horse";

// A previewed site on loopback: it answers each request with what `answer`
// writes on the connection, and keeps the heads it was sent.
class Site {
  public:
    using Answer = std::function<void(int fd, const std::string& head)>;

    explicit Site(Answer answer) : answer_(std::move(answer)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("site: cannot listen");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Site() {
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> heads() {
        std::lock_guard lock(mutex_);
        return heads_;
    }

  private:
    void serve() {
        while (!stopping_) {
            pollfd wait{fd_, POLLIN, 0};
            if (::poll(&wait, 1, 100) != 1) {
                continue;
            }
            int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            std::string head;
            char c;
            while (!head.ends_with("\r\n\r\n") && ::read(client, &c, 1) == 1) {
                head += c;
            }
            {
                std::lock_guard lock(mutex_);
                heads_.push_back(head);
            }
            answer_(client, head);
            ::close(client);
        }
    }

    Answer answer_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> heads_;
};

// Percent-encodes every byte but letters and digits, as encodeURIComponent
// does for an origin.
std::string quote(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

void write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

struct BrowserApiTest : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(server.wait_until_listening()) << server.describe();
        http::Result setup =
            ide().Post("/api/auth/setup", json{{"password", kPassword}}.dump(), "application/json");
        ASSERT_EQ(setup->status, 200) << setup->body;
        std::string cookie = setup->get_header_value("Set-Cookie");
        session = cookie.substr(0, cookie.find(';'));
    }

    http::Client ide() const { return http_client(server.host(), server.port()); }
    std::string ide_origin() const { return "http://127.0.0.1:" + std::to_string(server.port()); }

    // What POST /api/browser/open answers a signed-in IDE for `url`.
    json open(const std::string& url) {
        http::Result opened =
            ide().Post("/api/browser/open", {{"Cookie", session}, {"Origin", ide_origin()}},
                       json{{"url", url}}.dump(), "application/json");
        EXPECT_EQ(opened->status, 200) << opened->body;
        return json::parse(opened->body, nullptr, false);
    }

    static int port_of(const std::string& origin) {
        return std::stoi(origin.substr(origin.rfind(':') + 1));
    }
    static std::string origin_of(const std::string& url) {
        return url.substr(0, url.find('/', url.find("//") + 2));
    }
    static std::string path_of(const std::string& url) {
        return url.substr(url.find('/', url.find("//") + 2));
    }

    // Redeems the ticket in `opened`, or in a frame URL: the pass cookie
    // ("name=value").
    std::string enter(const json& opened) { return enter_frame(opened["frame"]); }
    std::string enter_frame(const std::string& frame) {
        http::Result entered =
            http_client("127.0.0.1", port_of(origin_of(frame))).Get(path_of(frame));
        EXPECT_EQ(entered->status, 302) << entered->body;
        std::string cookie = entered->get_header_value("Set-Cookie");
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
        return cookie.substr(0, cookie.find(';'));
    }

    ServerProcess server;
    std::string session;
};

void expect_guard_refusal(const http::Result& result, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(result->status, 401) << result->body;
    json body = json::parse(result->body, nullptr, false);
    EXPECT_EQ(body, (json{{"error", "未登录"}, {"auth_required", true}}));
}

TEST_F(BrowserApiTest, NobodyButTheSignedInIdeGetsIntoAPreview) {
    Site site([](int fd, const std::string&) {
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nsite");
    });
    std::string quoted_url =
        "/api/browser/proxy?url=http%3A%2F%2F127.0.0.1%3A" + std::to_string(site.port()) + "%2F";
    // A stranger on the network: the proxy and the opening of a preview are
    // behind the guard like every other API.
    expect_guard_refusal(ide().Get(quoted_url), "stranger, proxy");
    expect_guard_refusal(
        ide().Post("/api/browser/open", json{{"url", site.url()}}.dump(), "application/json"),
        "stranger, open");
    // A page elsewhere, or a previewed page, navigating the user's browser
    // (which sends the session cookie along) to the proxy.
    for (const char* site_kind : {"cross-site", "same-site"}) {
        http::Result refused =
            ide().Get(quoted_url, {{"Cookie", session}, {"Sec-Fetch-Site", site_kind}});
        EXPECT_EQ(refused->status, 403) << site_kind;
    }
    http::Result linked =
        ide().Get(quoted_url, {{"Cookie", session}, {"Sec-Fetch-Site", "same-origin"}});
    EXPECT_EQ(linked->status, 302);
    std::string frame = linked->get_header_value("Location");
    ASSERT_NE(frame.find("/.quillo-preview/enter?ticket="), std::string::npos) << frame;
    EXPECT_EQ(http_client("127.0.0.1", port_of(origin_of(frame)))
                  .Get("/", {{"Cookie", enter_frame(frame)}})
                  ->body,
              "site");
    // Only web addresses.
    for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "ftp://127.0.0.1/"}) {
        http::Result refused =
            ide().Post("/api/browser/open", {{"Cookie", session}, {"Origin", ide_origin()}},
                       json{{"url", url}}.dump(), "application/json");
        EXPECT_EQ(refused->status, 400) << url;
    }

    json opened = open(site.url());
    ASSERT_TRUE(opened.contains("origin")) << opened.dump();
    // A page elsewhere and the previewed page itself, with the user's cookie:
    // they open no preview, and what the reading routes answer stays unread.
    for (const std::string& origin :
         {std::string("https://evil.example"), opened["origin"].get<std::string>()}) {
        SCOPED_TRACE(origin);
        http::Result refused =
            ide().Post("/api/browser/open", {{"Cookie", session}, {"Origin", origin}},
                       json{{"url", site.url()}}.dump(), "application/json");
        EXPECT_EQ(refused->status, 403) << refused->body;
        for (const char* path : {"/api/browser/ports", "/api/browser/location?origin=x"}) {
            http::Result read = ide().Get(path, {{"Cookie", session}, {"Origin", origin}});
            EXPECT_FALSE(read->has_header("Access-Control-Allow-Origin")) << path;
        }
    }
    http::Client preview = http_client("127.0.0.1", port_of(opened["origin"]));
    // The preview's listener: the guard's answer without a pass, whatever
    // the path, even with the IDE's session; a ticket works once.
    expect_guard_refusal(preview.Get("/"), "preview, no pass");
    expect_guard_refusal(preview.Get("/", {{"Cookie", session}}), "preview, IDE session");
    expect_guard_refusal(preview.Get("/.quillo-preview/enter?ticket=0123&to=%2F"), "forged ticket");
    std::string pass = enter(opened);
    expect_guard_refusal(preview.Get(path_of(opened["frame"])), "ticket used twice");
    http::Result shown = preview.Get("/", {{"Cookie", pass}});
    EXPECT_EQ(shown->status, 200);
    EXPECT_EQ(shown->body, "site");

    // A pass is bound to its site: another preview does not take it.
    Site other([](int fd, const std::string&) {
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nother");
    });
    json other_opened = open(other.url());
    ASSERT_NE(other_opened["origin"], opened["origin"]);
    std::string other_port = std::to_string(port_of(other_opened["origin"]));
    std::string renamed = "quillo_preview_" + other_port + pass.substr(pass.find('='));
    expect_guard_refusal(
        http_client("127.0.0.1", port_of(other_opened["origin"])).Get("/", {{"Cookie", renamed}}),
        "another preview's pass");
    EXPECT_EQ(site.heads().size(), 2u) << "no refused request reached the site";
}

TEST_F(BrowserApiTest, APreviewShowsTheSiteWithoutTheIdesAuthority) {
    std::mutex mutex;
    std::condition_variable changed;
    bool may_finish = false;
    Site site([&](int fd, const std::string& head) {
        if (head.starts_with("GET /stream ")) {
            // The first event, then nothing until the test has seen it.
            write_all(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n"
                          "c\r\ndata: one\n\n\r\n");
            std::unique_lock lock(mutex);
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return may_finish; });
            write_all(fd, "c\r\ndata: two\n\n\r\n0\r\n\r\n");
        } else if (head.starts_with("GET /away ")) {
            write_all(fd, "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\n"
                          "Content-Length: 0\r\n\r\n");
        } else {
            write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Frame-Options: DENY\r\n"
                          "Set-Cookie: quillo_session_1=forged; Path=/\r\n"
                          "Connection: close\r\n\r\nok");
        }
    });
    json opened = open(site.url());
    std::string pass = enter(opened);
    int port = port_of(opened["origin"]);

    http::Result shown = http_client("127.0.0.1", port)
                             .Get("/page", {{"Cookie", pass + "; " + session + "; theme=dark"},
                                            {"Origin", opened["origin"]},
                                            {"Sec-Fetch-Dest", "iframe"}});
    EXPECT_EQ(shown->body, "ok");
    http::Result location =
        ide().Get("/api/browser/location?origin=" + quote(opened["origin"]), {{"Cookie", session}});
    EXPECT_EQ(json::parse(location->body, nullptr, false), (json{{"url", site.url("/page")}}))
        << "the page loaded in the frame";
    EXPECT_FALSE(shown->has_header("X-Frame-Options"));
    EXPECT_EQ(shown->get_header_value("Content-Security-Policy"),
              "frame-ancestors " + ide_origin());
    EXPECT_FALSE(shown->has_header("Set-Cookie")) << "a site's cookie must not replace the IDE's";
    ASSERT_EQ(site.heads().size(), 1u);
    std::string head = site.heads()[0];
    EXPECT_NE(head.find("Host: 127.0.0.1:" + std::to_string(site.port())), std::string::npos)
        << head;
    EXPECT_NE(head.find("Origin: " + site.url("")), std::string::npos) << head;
    EXPECT_NE(head.find("Cookie: theme=dark\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("quillo_"), std::string::npos) << "the IDE's cookies reached the site";

    // A streamed answer passes each piece on as it comes.
    RawResponse first = raw_exchange("127.0.0.1", port,
                                     "GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + pass +
                                         "\r\nConnection: close\r\n\r\n",
                                     std::chrono::milliseconds(1500));
    {
        std::lock_guard lock(mutex);
        may_finish = true;
    }
    changed.notify_all();
    EXPECT_NE(first.body.find("data: one"), std::string::npos) << first.status_line << first.body;
    EXPECT_EQ(first.body.find("data: two"), std::string::npos)
        << "the first piece waited for the last";

    http::Result away = http_client("127.0.0.1", port).Get("/away", {{"Cookie", pass}});
    EXPECT_EQ(away->status, 502);
    EXPECT_FALSE(away->has_header("Location"));
}

TEST_F(BrowserApiTest, AKeptConnectionGoesOnAfterTheSiteClosedItsSide) {
    // HTTP/1.1 without "Connection: close", and then the site closes anyway,
    // as a dev server does once its keep-alive time-out passes.
    Site site([](int fd, const std::string&) {
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nsite");
    });
    json opened = open(site.url());
    std::string pass = enter(opened);
    http::Client browser = http_client("127.0.0.1", port_of(opened["origin"]));
    browser.set_keep_alive(true);
    for (int click = 0; click < 3; ++click) {
        http::Result shown = browser.Get("/", {{"Cookie", pass}});
        EXPECT_EQ(shown->status, 200) << "click " << click << ": " << shown->body;
    }
}

// A dev server on this device that serves https with a certificate of its
// own making, as dev servers do: OpenSSL's test server.
class TlsSite {
  public:
    TlsSite() {
        std::string key = dir_.file("key.pem"), cert = dir_.file("cert.pem");
        std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 "
                           "-keyout " +
                           key + " -out " + cert + " 2>/dev/null";
        if (std::system(make.c_str()) != 0) {
            throw std::runtime_error("openssl could not make a certificate");
        }
        port_ = free_port();
        program_ = std::make_unique<HelperProgram>(
            std::vector<std::string>{"openssl", "s_server", "-accept",
                                     "127.0.0.1:" + std::to_string(port_), "-cert", cert, "-key",
                                     key, "-www", "-quiet"},
            SIGKILL);
        program_->wait_for_port(port_);
    }
    int port() const { return port_; }

  private:
    TempDir dir_;
    int port_ = 0;
    std::unique_ptr<HelperProgram> program_;
};

TEST_F(BrowserApiTest, AnHttpsSiteOnThisDeviceIsShownOverTls) {
    TlsSite site;
    json opened = open("https://127.0.0.1:" + std::to_string(site.port()) + "/");
    std::string pass = enter(opened);
    http::Result shown =
        http_client("127.0.0.1", port_of(opened["origin"])).Get("/", {{"Cookie", pass}});
    EXPECT_EQ(shown->status, 200) << shown->body;
    EXPECT_NE(shown->body.find("s_server"), std::string::npos) << shown->body;
    // Its body runs until it closes the connection: all of it came.
    EXPECT_NE(shown->body.find("</HTML>"), std::string::npos) << shown->body;
}

} // namespace
