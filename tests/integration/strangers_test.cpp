// What a stranger (a password is set, no session) can do to a running
// server: reach no guarded rule by any spelling of its path, send no large
// body, and hold no connection slot that a browser needs.
#include "app/request_guard.h"
#include "server/setup.h"
#include "server_process.h"

#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace quillo::integration;
using nlohmann::json;

constexpr const char* kPassword = "correct horse";

// A server whose password is set; the session of the browser that set it.
struct GuardedServer {
    explicit GuardedServer(ServerOptions options = {}) : server(std::move(options)) {
        EXPECT_TRUE(server.wait_until_listening()) << server.describe();
        http::Result setup =
            http_client(server.host(), server.port())
                .Post("/api/auth/setup", json{{"password", kPassword}}.dump(), "application/json");
        EXPECT_EQ(setup->status, 200) << setup->body;
        std::string cookie = setup->get_header_value("Set-Cookie");
        session = cookie.substr(0, cookie.find(';'));
    }
    http::Headers signed_in() const { return {{"Cookie", session}}; }

    ServerProcess server;
    std::string session;
};

// "/api/files/<path:p>" with sample values: "/api/files/a/b.txt".
std::string sample_path(const std::string& rule) {
    std::string path;
    std::istringstream parts(rule.substr(1));
    for (std::string part; std::getline(parts, part, '/');) {
        path += '/';
        if (part.starts_with("<path:")) {
            path += "a/b.txt";
        } else if (part.starts_with('<')) {
            path += "sample";
        } else {
            path += part;
        }
    }
    return rule.ends_with('/') ? path + "/" : path;
}

// The spellings a stranger tried: each must be judged as its canonical path.
std::vector<std::string> spellings(const std::string& path, int port) {
    std::string rest = path.substr(1);
    return {path,
            "/" + path,
            "///" + rest,
            "/%2F" + rest,
            "/%2f" + rest,
            path.ends_with('/') ? path : path + "/",
            "http://127.0.0.1:" + std::to_string(port) + "/" + path};
}

std::string canonical(std::string target) {
    if (target.starts_with("http://")) {
        target = target.substr(target.find('/', 7));
    }
    for (const char* escaped : {"%2F", "%2f"}) {
        for (size_t at; (at = target.find(escaped)) != std::string::npos;) {
            target.replace(at, 3, "/");
        }
    }
    for (size_t at; (at = target.find("//")) != std::string::npos;) {
        target.erase(at, 1);
    }
    return target;
}

std::string websocket_handshake(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// Every rule of every module the server loads, WebSocket rules included,
// under every spelling, without a session: refused unless the guard's own
// list admits the path. A module added later is walked without a new test.
TEST(OnePath, NoSpellingOfAGuardedRuleReachesItWithoutASession) {
    GuardedServer guarded;
    ServerProcess& server = guarded.server;

    // The same table the server built, from the same modules and code.
    TempDir scratch;
    quillo::utils::Settings settings;
    settings.SERVER_DIR = QUILLO_BUILD_DIR;
    settings.CONFIG_DIR = scratch.path() + "/config";
    settings.WORKSPACE = scratch.path() + "/workspace";
    settings.PORT = server.port();
    std::ostringstream loading;
    auto context = quillo::server::build_application(settings, QUILLO_BUILD_DIR, loading);
    write_text(settings.CONFIG_DIR + "/pwd.txt", kPassword);
    ASSERT_EQ(loading.str().find("Failed to load"), std::string::npos) << loading.str();

    http::Client stranger = http_client(server.host(), server.port());
    size_t refused = 0;
    for (const quillo::app::CompiledRule& rule : context->app->router().rules()) {
        for (const std::string& target : spellings(sample_path(rule.text()), server.port())) {
            std::string path = canonical(target);
            for (const std::string& method : rule.methods()) {
                quillo::Request judged;
                judged.method = method;
                judged.path = path;
                judged.remote_addr = "127.0.0.1";
                if (!quillo::app::check_auth(judged, *context->passwords)) {
                    continue; // the guard's own list admits it
                }
                SCOPED_TRACE(method + " " + target + " (rule " + rule.text() + ")");
                ++refused;
                if (rule.socket()) {
                    RawResponse answer =
                        raw_exchange(server.host(), server.port(), websocket_handshake(target));
                    EXPECT_EQ(answer.status_line, "HTTP/1.1 401 Unauthorized");
                    continue;
                }
                http::Request request{.method = method, .path = target};
                if (method != "GET" && method != "HEAD") {
                    request.body = "{}";
                    request.headers.emplace("Content-Type", "application/json");
                }
                http::Result answer = stranger.send(request);
                ASSERT_TRUE(answer) << http::to_string(answer.error());
                EXPECT_EQ(answer->status, 401) << answer->body;
                if (method != "HEAD") {
                    EXPECT_EQ(json::parse(answer->body, nullptr, false)["auth_required"], true);
                }
            }
        }
    }
    EXPECT_GT(refused, 100u) << "the walk must have covered the modules' rules";
    EXPECT_TRUE(server.is_running());
}

// The one path also decides what an answer says and which file is served.
TEST(OnePath, AnswersNameTheCanonicalPathAndFilesTakeATrailingSlash) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    http::Client client = http_client(server.host(), server.port());
    http::Result not_allowed = client.send({.method = "PROPFIND", .path = "//app.js"});
    EXPECT_EQ(not_allowed->status, 405);
    EXPECT_EQ(json::parse(not_allowed->body)["url"], "/app.js");
    for (const char* path : {"/app.js/", "/style.css/", "/static/app.js/", "//app.js"}) {
        http::Result file = client.Get(path);
        EXPECT_EQ(file->status, 200) << path << ": " << file->body;
    }
}

// The head alone decides: a declared length over the stranger's limit is
// refused before any of the body is read, a chunked one as soon as it
// passes the limit, and the connection closes either way.
TEST(StrangerBodies, AreRefusedPastSixtyFourKibibytes) {
    GuardedServer guarded;
    ServerProcess& server = guarded.server;
    RawResponse declared =
        raw_exchange(server.host(), server.port(),
                     "POST /api/auth/login HTTP/1.1\r\nContent-Type: application/json\r\n"
                     "Content-Length: 62914560\r\n\r\n{\"password\":");
    EXPECT_EQ(declared.status_line, "HTTP/1.1 413 Payload Too Large");
    EXPECT_NE(declared.head.find("Connection: close"), std::string::npos) << declared.head;

    std::string chunked = "POST /api/auth/login HTTP/1.1\r\nContent-Type: application/json\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 80; ++i) {
        chunked += "400\r\n" + std::string(1024, ' ') + "\r\n";
    }
    RawResponse streamed = raw_exchange(server.host(), server.port(), chunked);
    EXPECT_EQ(streamed.status_line, "HTTP/1.1 413 Payload Too Large");

    // A guarded route refuses a stranger's large body the same way, and a
    // signed-in browser's JSON body of a few MiB still fits.
    RawResponse guarded_route = raw_exchange(
        server.host(), server.port(),
        "POST /api/files/upload?path=&name=x HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n");
    EXPECT_TRUE(guarded_route.status_line == "HTTP/1.1 413 Payload Too Large" ||
                guarded_route.status_line == "HTTP/1.1 401 Unauthorized")
        << guarded_route.status_line;
    http::Result save =
        http_client(server.host(), server.port())
            .Post("/api/files/create", guarded.signed_in(),
                  json{{"path", "big.txt"}, {"pad", std::string(3 << 20, 'x')}}.dump(),
                  "application/json");
    EXPECT_NE(save->status, 413) << save->body;
}

// Uploads go to disk as they arrive: several large ones at once leave the
// server's memory where it was.
TEST(SignedInBodies, UploadsStreamToDiskWithoutGrowingTheServer) {
    GuardedServer guarded;
    ServerProcess& server = guarded.server;
    constexpr size_t kUpload = 40 << 20;
    const std::string content(kUpload, 'u');
    long before = proc_status_number(server.pid(), "VmRSS");
    std::vector<std::thread> uploads;
    std::vector<int> statuses(4, 0);
    for (int i = 0; i < 4; ++i) {
        uploads.emplace_back([&, i] {
            http::Client client = http_client(server.host(), server.port());
            client.set_read_timeout(60s);
            http::Result answer =
                client.Post("/api/files/upload?path=&name=up" + std::to_string(i) + ".bin",
                            guarded.signed_in(), content, "application/octet-stream");
            statuses[static_cast<size_t>(i)] = answer->status;
        });
    }
    for (std::thread& upload : uploads) {
        upload.join();
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(statuses[static_cast<size_t>(i)], 200) << i;
        EXPECT_EQ(
            std::filesystem::file_size(server.workspace() + "/up" + std::to_string(i) + ".bin"),
            kUpload);
    }
    long growth = proc_status_number(server.pid(), "VmHWM") - before;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The whole 160 MiB went through; the peak grew by a small part of it.
    EXPECT_LT(growth, 16 * 1024) << "kB, from " << before;
#else
    (void)growth; // the sanitizers keep freed memory aside
#endif
}

// A streamed upload that is cut off leaves nothing behind; one the handler
// refuses before its body has come is answered once the body is in, on a
// connection that stays usable.
TEST(SignedInBodies, CutUploadsLeaveNothingAndEarlyRefusalsKeepTheConnection) {
    GuardedServer guarded;
    ServerProcess& server = guarded.server;
    {
        ClientSocket cut(server.port());
        std::string head =
            "POST /api/files/upload?path=&name=cut.bin HTTP/1.1\r\nCookie: " + guarded.session +
            "\r\nContent-Length: 10485760\r\n\r\n";
        std::string part = head + std::string(1 << 20, 'c');
        ASSERT_EQ(::send(cut.fd(), part.data(), part.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(part.size()));
        std::this_thread::sleep_for(200ms);
    }
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(server.workspace())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    };
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!entries().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(entries(), std::vector<std::string>{});

    write_text(server.workspace() + "/taken.bin", "mine");
    http::Client browser = http_client(server.host(), server.port());
    browser.set_keep_alive(true);
    http::Result refused =
        browser.Post("/api/files/upload?path=&name=taken.bin", guarded.signed_in(),
                     std::string(8 << 20, 't'), "application/octet-stream");
    EXPECT_EQ(refused->status, 409) << refused->body;
    EXPECT_EQ(read_text(server.workspace() + "/taken.bin"), "mine");
    http::Result next = browser.Get("/api/files/list?path=", guarded.signed_in());
    EXPECT_EQ(next->status, 200);
}

// The streamed upload starts its handler from the head alone, so the head's
// checks must come first: a foreign page and a previewed workspace page
// (sandboxed, Origin "null") are refused even with the browser's cookie,
// and nothing reaches the disk.
TEST(SignedInBodies, ForeignAndPreviewedPagesCannotUploadWithTheCookie) {
    GuardedServer guarded;
    ServerProcess& server = guarded.server;
    for (const char* origin : {"https://evil.example", "null"}) {
        SCOPED_TRACE(origin);
        http::Headers headers = guarded.signed_in();
        headers.emplace("Origin", origin);
        http::Result refused = http_client(server.host(), server.port())
                                   .Post("/api/files/upload?path=&name=planted.sh", headers,
                                         std::string(128 << 10, 'p'), "application/octet-stream");
        EXPECT_EQ(refused->status, 403) << refused->body;
        EXPECT_FALSE(std::filesystem::exists(server.workspace() + "/planted.sh"));
    }
}

// The IDE's newer routes: a page that is not the IDE cannot rewrite the
// settings every device uses or delete from the Trash with the cookie, nor
// read what the settings or a search of the files' text answer.
TEST(SignedInBodies, ForeignAndPreviewedPagesCannotChangeSettingsOrEmptyTheTrash) {
    GuardedServer guarded;
    ServerProcess& server = guarded.server;
    http::Client client = http_client(server.host(), server.port());
    for (const char* origin : {"https://evil.example", "null"}) {
        SCOPED_TRACE(origin);
        http::Headers headers = guarded.signed_in();
        headers.emplace("Origin", origin);
        headers.emplace("Content-Type", "application/json");
        http::Result settings = client.send({.method = "PUT",
                                             .path = "/api/files/settings",
                                             .headers = headers,
                                             .body = R"({"settings":{"theme":"dark"}})"});
        EXPECT_EQ(settings->status, 403) << settings->body;
        for (const char* path :
             {"/api/files/trash", "/api/files/trash/000000000000-000000000000"}) {
            http::Result trash =
                client.send({.method = "DELETE", .path = path, .headers = headers});
            EXPECT_EQ(trash->status, 403) << path << ": " << trash->body;
        }
        for (const char* path : {"/api/files/settings", "/api/files/search/content?q=a"}) {
            http::Result read = client.send({.method = "GET", .path = path, .headers = headers});
            EXPECT_FALSE(read->has_header("Access-Control-Allow-Origin")) << path;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(server.config_dir() + "/ide_settings.json"));
}

// One client holding every slot with heads or stranger's bodies that never
// end: a fresh client and a signed-in browser are still answered, long
// before those connections would time out.
TEST(ConnectionSlots, OneClientHoldingEverySlotKeepsNobodyOut) {
    constexpr int kCap = 24;
    GuardedServer guarded(ServerOptions{.env = {{"QUILLO_MAX_CONNECTIONS", std::to_string(kCap)}}});
    ServerProcess& server = guarded.server;
    std::vector<std::unique_ptr<ClientSocket>> slow;
    for (int i = 0; i < kCap + 8; ++i) {
        slow.push_back(std::make_unique<ClientSocket>(server.port()));
        ASSERT_TRUE(slow.back()->connected()) << i;
        std::string start = i % 2 == 0 ? "GET / HTTP/1.1\r\nX-Slow: 1\r\n"
                                       : "POST /api/auth/login HTTP/1.1\r\nContent-Length: "
                                         "60000\r\nContent-Type: application/json\r\n\r\n{";
        ::send(slow.back()->fd(), start.data(), start.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(300ms); // all of them taken in, the cap reached

    // Answered within the client's 5 s, where the slow heads hold their
    // slots for 30 s and the slow bodies as long as they trickle.
    RawResponse health = raw_exchange(server.host(), server.port(),
                                      "GET /api/health HTTP/1.1\r\nConnection: close\r\n\r\n", 5s);
    EXPECT_EQ(health.status_line, "HTTP/1.1 200 OK");
    http::Client browser = http_client(server.host(), server.port());
    browser.set_read_timeout(5s);
    http::Result listing = browser.Get("/api/files/list?path=", guarded.signed_in());
    EXPECT_EQ(listing->status, 200) << http::to_string(listing.error());
}

} // namespace
