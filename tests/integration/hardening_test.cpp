// What a hostile page or a flood of connections can and cannot do to a
// running server: the Host check against DNS rebinding, the connection cap,
// the time-outs and the size limits of a request.
#include "server_process.h"

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace quillo::integration;

std::string setup_request(const std::string& host) {
    std::string body = R"({"password":"hunter2"})";
    return "POST /api/auth/setup HTTP/1.1\r\nHost: " + host +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(HostCheckHttp, RebindingPageCannotSetThePassword) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    RawResponse refused = raw_exchange(server.host(), server.port(), setup_request("evil.example"));
    EXPECT_EQ(refused.status_line, "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(nlohmann::json::parse(refused.body)["error"], "Host not allowed");
    EXPECT_FALSE(std::filesystem::exists(server.config_dir() + "/pwd.txt"));

    // Even the open health check and the front end are refused to such a page.
    RawResponse health = raw_exchange(
        server.host(), server.port(),
        "GET /api/health HTTP/1.1\r\nHost: evil.example:" + std::to_string(server.port()) +
            "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(health.status_line, "HTTP/1.1 403 Forbidden");

    RawResponse local = raw_exchange(server.host(), server.port(),
                                     setup_request("localhost:" + std::to_string(server.port())));
    EXPECT_EQ(local.status_line, "HTTP/1.1 200 OK") << local.body;
}

TEST(HostCheckHttp, ListedNamesAreServed) {
    ServerProcess server(ServerOptions{.env = {{"QUILLO_ALLOWED_HOSTS", "ide.example, box.lan"}}});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    RawResponse listed = raw_exchange(server.host(), server.port(), setup_request("Box.Lan:8080"));
    EXPECT_EQ(listed.status_line, "HTTP/1.1 200 OK") << listed.body;
    RawResponse other = raw_exchange(server.host(), server.port(), setup_request("other.lan"));
    EXPECT_EQ(other.status_line, "HTTP/1.1 403 Forbidden");
}

long thread_count(pid_t pid) {
    return proc_status_number(pid, "Threads");
}

// A connection that sends nothing.
using IdleConnection = ClientSocket;

TEST(ConnectionLimits, IdleConnectionsPastTheCapWaitWithoutThreadsAndDoNotLockOthersOut) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    long threads_before = thread_count(server.pid());

    std::vector<std::unique_ptr<IdleConnection>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<IdleConnection>(server.port()));
        ASSERT_TRUE(idle.back()->connected()) << i;
    }
    // The server takes up to its cap of 256 at once; the rest wait to be accepted.
    auto settle = std::chrono::steady_clock::now() + 3s;
    while (thread_count(server.pid()) < threads_before + 256 &&
           std::chrono::steady_clock::now() < settle) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LE(thread_count(server.pid()), threads_before + 256 + 1);

    // Idle connections are let go after 5 s, so a new client is answered
    // well within the 30 s read time-out.
    auto start = std::chrono::steady_clock::now();
    RawResponse answer = raw_exchange(server.host(), server.port(),
                                      "GET /api/health HTTP/1.1\r\nConnection: close\r\n\r\n", 30s);
    EXPECT_EQ(answer.status_line, "HTTP/1.1 200 OK");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    idle.clear();
    EXPECT_TRUE(server.is_running());
}

TEST(ConnectionLimits, OversizedRequestsAreRefusedWithTheirOwnStatus) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    auto exchange = [&](const std::string& request) {
        return raw_exchange(server.host(), server.port(), request).status_line;
    };
    std::string long_target = "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(exchange(long_target), "HTTP/1.1 414 URI Too Long");

    std::string long_field = "GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'b') + "\r\n\r\n";
    EXPECT_EQ(exchange(long_field), "HTTP/1.1 431 Request Header Fields Too Large");
    std::string many_fields = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 8; ++i) {
        many_fields += "X-" + std::to_string(i) + ": " + std::string(5000, 'c') + "\r\n";
    }
    EXPECT_EQ(exchange(many_fields + "\r\n"), "HTTP/1.1 431 Request Header Fields Too Large");

    // Refused at once, without waiting for a body that would not fit.
    EXPECT_EQ(exchange("POST /api/auth/login HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n"),
              "HTTP/1.1 413 Payload Too Large");

    // A head just under the limits is served.
    std::string fits =
        "GET /api/health?" + std::string(8000, 'q') + " HTTP/1.1\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(exchange(fits), "HTTP/1.1 200 OK");
    EXPECT_TRUE(server.is_running());
}

} // namespace
