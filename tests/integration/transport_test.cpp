// What carries the bytes: request framing and limits, hostile and slow
// clients, streamed answers, WebSockets and the shutdown, against the real
// server with the transport fixture module in place of the debug module.
#include "server_process.h"
#include "websocket_client.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace quillo::integration {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using quillo::testing::WebSocketClient;

// A raw TCP connection to the server, for what a well-behaved client would
// never send. Every wait has a time-out.
class Raw {
  public:
    explicit Raw(int port) : socket_(port), fd_(socket_.fd()) {}
    bool connected() const { return socket_.connected(); }
    bool send(const std::string& data) {
        size_t at = 0;
        while (at < data.size()) {
            ssize_t n = ::send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            at += static_cast<size_t>(n);
        }
        return true;
    }
    // What arrives until the server closes or nothing comes for `quiet`.
    std::string receive(std::chrono::milliseconds quiet = 3s) {
        std::string all;
        char buffer[65536];
        pollfd entry{fd_, POLLIN, 0};
        while (::poll(&entry, 1, static_cast<int>(quiet.count())) > 0) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            all.append(buffer, static_cast<size_t>(n));
        }
        return all;
    }
    bool closed() const { return closed_; }

  private:
    ClientSocket socket_;
    int fd_;
    bool closed_ = false;
};

size_t answers_in(const std::string& bytes) {
    return count_of(bytes, "HTTP/1.1 ");
}

long vm_rss_kb(pid_t pid) {
    return proc_status_number(pid, "VmRSS");
}

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string install = scratch_.path() + "/install";
        std::string binary = copy_build_layout(install);
        fs::copy_file(std::string(QUILLO_FIXTURES_DIR) + "/transport/debug.so",
                      install + "/routes/debug.so", fs::copy_options::overwrite_existing);
        ServerOptions options;
        options.binary = binary;
        server_ = std::make_unique<ServerProcess>(options);
        ASSERT_TRUE(server_->wait_until_listening()) << server_->describe();
    }
    int port() const { return server_->port(); }
    std::string get(const std::string& path) {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    }
    json fixture(const std::string& path) {
        http::Result result = http_client("127.0.0.1", port()).Get(path);
        return result ? json::parse(result->body) : json();
    }

    TempDir scratch_;
    std::unique_ptr<ServerProcess> server_;
};

// No body, of any method and however framed, is ever read as the next
// request (a desync that lets a request be smuggled past a proxy), and a
// head that cannot be parsed is answered once, with the connection closed.
TEST_F(TransportTest, BodiesAreNeverTakenForTheNextRequest) {
    std::string smuggled = get("/api/nope");
    Raw with_length(port());
    with_length.send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                     std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled +
                     get("/api/auth/status"));
    std::string answers = with_length.receive(1s);
    EXPECT_EQ(answers_in(answers), 2u) << answers;
    EXPECT_EQ(count_of(answers, "404"), 0u) << answers;
    EXPECT_EQ(count_of(answers, "password_set"), 1u) << answers;

    Raw chunked(port());
    chunked.send(
        "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
        (std::stringstream() << std::hex << smuggled.size()).str() + "\r\n" + smuggled +
        "\r\n0\r\n\r\n" + get("/api/auth/status"));
    answers = chunked.receive(1s);
    EXPECT_EQ(answers_in(answers), 2u) << answers;
    EXPECT_EQ(count_of(answers, "404"), 0u) << answers;

    Raw bad_head(port());
    bad_head.send("GET /api/health HTTP/1.1\r\nNo colon here\r\n\r\n" + get("/api/health") +
                  get("/api/health"));
    answers = bad_head.receive();
    EXPECT_EQ(answers_in(answers), 1u) << answers;
    EXPECT_TRUE(answers.starts_with("HTTP/1.1 400 ")) << answers;
    EXPECT_TRUE(bad_head.closed());
}

// Bodies over the limit, in codings that would have to be undone, or framed
// in ways that are not chunked, are refused from the head: nothing of them
// is held in memory or inflated.
TEST_F(TransportTest, BodiesTheServerWillNotTakeAreRefusedFromTheHead) {
    struct Case {
        std::string head;
        std::string status;
    } cases[] = {
        {"POST /api/files/write HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 67108865\r\n\r\n",
         "413"},
        {"POST /api/files/write HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: identity\r\n\r\n",
         "501"},
        {"POST /api/files/write HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Encoding: gzip\r\n"
         "Content-Length: 300000\r\n\r\n",
         "415"},
    };
    for (const Case& c : cases) {
        Raw raw(port());
        raw.send(c.head + std::string(64 * 1024, 'x'));
        std::string answer = raw.receive();
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + c.status + " ")) << c.head << answer;
        EXPECT_TRUE(raw.closed()) << c.head;
    }

    // A chunked body is counted as it arrives: past 64 MiB the answer is 413,
    // and the server stops taking it in.
    Raw chunked(port());
    chunked.send("POST /api/files/write HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Transfer-Encoding: chunked\r\n\r\n");
    std::string chunk = "100000\r\n" + std::string(1 << 20, 'c') + "\r\n";
    int sent = 0;
    while (sent < 80 && chunked.send(chunk)) {
        ++sent;
    }
    EXPECT_LT(sent, 80) << "the server kept reading past the limit";
    std::string answer = chunked.receive();
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 413 ")) << answer.substr(0, 200);
}

TEST_F(TransportTest, MethodsTargetsAndPathsAsTheRoutingExpects) {
    Raw raw(port());
    raw.send("PROPFIND /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
             "get /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
             "GET http://127.0.0.1/api/health HTTP/1.1\r\nHost: evil.example\r\n\r\n"
             "GET //api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
             "GET /api/health/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
             "OPTIONS * HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
             "GET http://evil.example/api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string all = raw.receive(1s);
    std::vector<std::string> answers;
    for (size_t at = all.find("HTTP/1.1 "); at != std::string::npos;) {
        size_t next = all.find("HTTP/1.1 ", at + 1);
        answers.push_back(all.substr(at, next == std::string::npos ? next : next - at));
        at = next;
    }
    ASSERT_EQ(answers.size(), 7u) << all;
    EXPECT_TRUE(answers[0].starts_with("HTTP/1.1 405 ")) << answers[0];
    EXPECT_NE(answers[0].find("application/json"), std::string::npos) << answers[0];
    EXPECT_TRUE(answers[1].starts_with("HTTP/1.1 405 ")) << "methods are case-sensitive";
    for (int i : {2, 3, 4}) {
        EXPECT_TRUE(answers[i].starts_with("HTTP/1.1 200 ")) << answers[i];
        EXPECT_NE(answers[i].find("{\"status\":\"ok\"}"), std::string::npos) << answers[i];
    }
    EXPECT_TRUE(answers[5].starts_with("HTTP/1.1 200 ")) << answers[5];
    EXPECT_NE(answers[5].find("Allow: DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT\r\n"),
              std::string::npos);
    EXPECT_NE(answers[5].find("Content-Length: 0\r\n"), std::string::npos) << answers[5];
    EXPECT_TRUE(answers[6].starts_with("HTTP/1.1 403 ")) << "the target's host is checked";
}

// Slow clients hold no thread: hundreds that trickle their heads in, and a
// handler that blocks for seconds, leave a fresh client served at once.
TEST_F(TransportTest, SlowClientsAndBlockingHandlersDelayNoOne) {
    std::vector<std::unique_ptr<Raw>> slow;
    for (int i = 0; i < 300; ++i) {
        slow.push_back(std::make_unique<Raw>(port()));
        slow.back()->send("GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    }
    auto sleeping = std::async(std::launch::async, [this] {
        http::Result result = http_client("127.0.0.1", port()).Get("/api/fixture/sleep");
        return result ? result->status : 0;
    });
    std::this_thread::sleep_for(200ms); // the sleeping handler has begun
    Raw fresh(port());
    fresh.send(get("/api/health"));
    std::string answer = fresh.receive(2s);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 ")) << answer;
    EXPECT_EQ(sleeping.wait_for(0s), std::future_status::timeout)
        << "health was answered only after the sleeping handler";
    EXPECT_EQ(sleeping.get(), 200);
}

// A client that stops reading slows the producer down; the server's memory
// stays flat, and the producer learns that the client went away.
TEST_F(TransportTest, AClientThatStopsReadingDoesNotGrowTheServer) {
    long before = vm_rss_kb(server_->pid());
    {
        Raw stalled(port());
        stalled.send(get("/api/fixture/stream?pieces=4000")); // 250 MiB
        WebSocketClient flooded(port(), "/api/fixture/flood");
        ASSERT_EQ(flooded.status(), 101);
        std::this_thread::sleep_for(2s);
        long during = vm_rss_kb(server_->pid());
        EXPECT_LT(during - before, 20 * 1024) << "kB grown while two clients did not read";
        EXPECT_EQ(fixture("/api/fixture/stream_state")["state"], 1) << "the producer waits";
        // Without back-pressure the flood would be in the tens of thousands;
        // with it, only what the buffers on the way hold (a few MiB).
        EXPECT_LT(fixture("/api/fixture/flood_sent")["sent"].get<long>(), 400);
    }
    json state;
    for (int i = 0; i < 50 && state["state"] != 3; ++i) {
        std::this_thread::sleep_for(100ms);
        state = fixture("/api/fixture/stream_state");
    }
    EXPECT_EQ(state["state"], 3) << "the producer was not told that the client had gone";

    Raw whole(port());
    whole.send("GET /api/fixture/stream?pieces=3 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
               "close\r\n\r\n");
    std::string answer = whole.receive();
    EXPECT_NE(answer.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_NE(answer.find("10000\r\n" + std::string(65536, 's') + "\r\n"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n0\r\n\r\n"));
}

TEST_F(TransportTest, WebSocketsEchoAndCloseWithTheRightCodes) {
    WebSocketClient socket(port(), "/api/fixture/echo");
    ASSERT_EQ(socket.status(), 101);
    ASSERT_TRUE(socket.send("hello"));
    EXPECT_EQ(socket.read(), "hello");
    std::string binary("\0\1\2\377", 4);
    ASSERT_TRUE(socket.send(binary, true));
    EXPECT_EQ(socket.read(), binary);
    EXPECT_TRUE(socket.last_was_binary());
    std::string largest(1 << 20, 'm');
    ASSERT_TRUE(socket.send(largest));
    EXPECT_EQ(socket.read(), largest);
    ASSERT_TRUE(socket.send("close 4001"));
    EXPECT_EQ(socket.read(), std::nullopt);
    EXPECT_EQ(socket.close_code(), 4001);

    WebSocketClient failing(port(), "/api/fixture/echo");
    ASSERT_TRUE(failing.send("throw"));
    EXPECT_EQ(failing.read(), std::nullopt);
    EXPECT_EQ(failing.close_code(), 1011) << "a module's error closes its socket, not the server";

    WebSocketClient too_big(port(), "/api/fixture/echo");
    ASSERT_EQ(too_big.status(), 101);
    too_big.send(std::string((1 << 20) + 1, 'b'));
    EXPECT_EQ(too_big.read(), std::nullopt);
    EXPECT_EQ(too_big.close_code(), 1009);

    // Events that hold their own socket do not keep it alive once closed.
    for (int i = 0; i < 3; ++i) {
        WebSocketClient holder(port(), "/api/fixture/holder");
        ASSERT_TRUE(holder.send("hi"));
        EXPECT_EQ(holder.read(), "hi");
    }
    long alive = -1;
    for (int tries = 0; tries < 100 && alive != 0; ++tries) {
        std::this_thread::sleep_for(20ms);
        alive =
            json::parse(http_client("127.0.0.1", port()).Get("/api/fixture/holders_alive")->body)
                .value("alive", -1L);
    }
    EXPECT_EQ(alive, 0) << "closed sockets whose events hold them are never freed";
}

// The handshake passes the same checks as any request, and a foreign page
// may not open a socket at all: it could read and write it freely.
TEST_F(TransportTest, HandshakesFromElsewhereOrWithoutLoginAreRefused) {
    WebSocketClient foreign(port(), "/api/fixture/echo", {{"Origin", "https://evil.example"}});
    EXPECT_EQ(foreign.status(), 403);
    EXPECT_EQ(json::parse(foreign.refusal_body()), json({{"error", "Origin not allowed"}}));
    WebSocketClient own(port(), "/api/fixture/echo",
                        {{"Origin", "http://127.0.0.1:" + std::to_string(port())}});
    EXPECT_EQ(own.status(), 101);

    WebSocketClient rebinding(port(), "/api/fixture/echo", {}, "evil.example");
    EXPECT_EQ(rebinding.status(), 403);
    EXPECT_EQ(json::parse(rebinding.refusal_body()), json({{"error", "Host not allowed"}}));

    WebSocketClient refused(port(), "/api/fixture/refused");
    EXPECT_EQ(refused.status(), 500) << "a handler's error, rendered like any other";
    http::Result plain = http_client("127.0.0.1", port()).Get("/api/fixture/echo");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->status, 426);

    http::Result setup =
        http_client("127.0.0.1", port())
            .Post("/api/auth/setup", json{{"password", "pw"}}.dump(), "application/json");
    ASSERT_TRUE(setup && setup->status == 200) << (setup ? setup->body : "no answer");
    WebSocketClient locked(port(), "/api/fixture/echo");
    EXPECT_EQ(locked.status(), 401);
}

TEST_F(TransportTest, StoppingClosesWebSocketsAsGoingAway) {
    WebSocketClient socket(port(), "/api/fixture/echo");
    ASSERT_EQ(socket.status(), 101);
    server_->send_signal(SIGTERM);
    EXPECT_EQ(socket.read(), std::nullopt);
    EXPECT_EQ(socket.close_code(), 1001);
    EXPECT_EQ(server_->wait_exit(), 0);
}

} // namespace
} // namespace quillo::integration
