// The listen addresses: one listener per address, IPv6 listeners that keep
// off IPv4 traffic, and what happens when addresses cannot be bound.
#include "server_process.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>

namespace {

using namespace quillo::integration;

bool has_line(const std::string& text, const std::string& line) {
    std::vector<std::string> lines = split_lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int health_status(const std::string& host, int port) {
    http::Client client = http_client(host, port);
    http::Result res = client.Get("/api/health");
    return res ? res->status : -1;
}

TEST(ListenersTest, IPv6WildcardTakesNoIPv4Connections) {
    if (!can_bind("::1")) {
        GTEST_SKIP() << "::1 cannot be bound on this machine";
    }
    ServerProcess server({.host = "::"});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string port = std::to_string(server.port());
    EXPECT_TRUE(has_line(server.stdout_text(), "  [OK] Listening on [::]:" + port + " (IPv6)"))
        << server.describe();

    EXPECT_EQ(health_status("::1", server.port()), 200);
    EXPECT_EQ(connect_error("127.0.0.1", server.port()), ECONNREFUSED);
}

TEST(ListenersTest, IPv4AddressAndIPv6WildcardShareAPort) {
    if (!can_bind("::1")) {
        GTEST_SKIP() << "::1 cannot be bound on this machine";
    }
    ServerProcess server({.host = "127.0.0.1,::"});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string port = std::to_string(server.port());
    // The last start-up line.
    ASSERT_TRUE(server.wait_for_output("No password is set")) << server.describe();
    std::string out = server.stdout_text();

    EXPECT_TRUE(has_line(out, "  [OK] Listening on 127.0.0.1:" + port + " (IPv4)")) << out;
    EXPECT_TRUE(has_line(out, "  [OK] Listening on [::]:" + port + " (IPv6)")) << out;
    EXPECT_EQ(count_of(out, "[WARN] Failed to listen"), 0u) << out;
    // On the network without a password: only this device may set one.
    EXPECT_TRUE(has_line(out, "  [WARN] No password is set: until one is set on this device "
                              "(http://127.0.0.1:" +
                                  port + "), other devices are refused"))
        << out;
    EXPECT_EQ(health_status("127.0.0.1", server.port()), 200);
    EXPECT_EQ(health_status("::1", server.port()), 200);
}

TEST(ListenersTest, BusyAddressIsSkippedAndTheOthersServe) {
    if (!can_bind("::1")) {
        GTEST_SKIP() << "::1 cannot be bound on this machine";
    }
    ListeningSocket occupant("127.0.0.1", 0);
    ServerProcess server({.host = "127.0.0.1,::1", .port = occupant.port()});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string port = std::to_string(server.port());
    std::string failure =
        "Failed to listen on 127.0.0.1:" + port + " (IPv4): [Errno 98] Address already in use";

    std::vector<std::string> lines = split_lines(server.stdout_text());
    auto warn = std::find(lines.begin(), lines.end(), "  [WARN] " + failure);
    auto ok =
        std::find(lines.begin(), lines.end(), "  [OK] Listening on [::1]:" + port + " (IPv6)");
    ASSERT_NE(warn, lines.end()) << server.describe();
    ASSERT_NE(ok, lines.end()) << server.describe();
    EXPECT_LT(warn, ok);
    EXPECT_EQ(count_of(server.stdout_text(), "[OK] Listening"), 1u);
    EXPECT_EQ(count_log_lines(read_text(server.config_dir() + "/quillo.log"),
                              "[SERVER] WARNING: " + failure),
              1u);

    EXPECT_EQ(health_status("::1", server.port()), 200);
    EXPECT_TRUE(server.is_running()) << server.describe();
}

TEST(ListenersTest, NoUsableAddressEndsTheServerWithStatusOne) {
    // 192.0.2.1 (TEST-NET-1) is not configured here, so the bind fails
    // locally and no packet is sent.
    if (can_bind("192.0.2.1")) {
        GTEST_SKIP() << "192.0.2.1 is an address of this machine";
    }
    ServerProcess server({.host = "192.0.2.1"});
    ASSERT_EQ(server.wait_exit(), 1) << server.describe();
    std::string port = std::to_string(server.port());
    std::string out = server.stdout_text();

    EXPECT_TRUE(has_line(out, "  [WARN] Failed to listen on 192.0.2.1:" + port +
                                  " (IPv4): [Errno 99] Cannot assign requested address"))
        << out;
    EXPECT_TRUE(has_line(out, "[ERROR] No servers could be started. Exiting.")) << out;
    EXPECT_EQ(count_of(out, "[OK] Listening"), 0u) << out;
    EXPECT_EQ(count_log_lines(read_text(server.config_dir() + "/quillo.log"),
                              "[SERVER] ERROR: No servers could be started. Exiting."),
              1u);
}

} // namespace
