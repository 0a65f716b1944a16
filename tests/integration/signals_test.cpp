// Stopping the server with signals: what it prints, what it logs and how it
// exits.
#include "server_process.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

using namespace quillo::integration;

std::string graceful_console_line(const std::string& name) {
    return "[SERVER] Received " + name + ", shutting down gracefully...";
}

std::string graceful_log_message(const std::string& name) {
    return "[SERVER] Received " + name +
           ", shutting down gracefully. This may be systemd-logind killing user processes on SSH "
           "disconnect. To prevent this, run: loginctl enable-linger $USER";
}

std::string quillo_log(const ServerProcess& server) {
    return read_text(server.config_dir() + "/quillo.log");
}

class TerminationSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignalTest, ShutsDownGracefullyWithStatusZero) {
    const std::string name = std::string("SIG") + sigabbrev_np(GetParam());
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    server.send_signal(GetParam());
    ASSERT_EQ(server.wait_exit(), 0) << server.describe();

    std::string out = server.stdout_text();
    // The message starts on a line of its own, after an empty one.
    EXPECT_NE(out.find("(IPv4)\n\n" + graceful_console_line(name) + "\n"), std::string::npos)
        << out;
    EXPECT_EQ(count_of(out, "[SERVER] Received "), 1u) << out;
    EXPECT_EQ(count_of(out, "[SERVER] Shutting down..."), 0u) << out;
    EXPECT_EQ(count_log_lines(quillo_log(server), graceful_log_message(name)), 1u)
        << quillo_log(server);
}

INSTANTIATE_TEST_SUITE_P(SignalsTest, TerminationSignalTest, ::testing::Values(SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

TEST(SignalsTest, InterruptShutsDownWithStatusZero) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    server.send_signal(SIGINT);
    ASSERT_EQ(server.wait_exit(), 0) << server.describe();

    std::string out = server.stdout_text();
    EXPECT_NE(out.find("(IPv4)\n\n[SERVER] Shutting down...\n"), std::string::npos) << out;
    EXPECT_EQ(count_of(out, "[SERVER] Received "), 0u) << out;
    EXPECT_EQ(count_log_lines(quillo_log(server), "[SERVER] Shutting down (KeyboardInterrupt)"), 1u)
        << quillo_log(server);
}

TEST(SignalsTest, RepeatedTerminationIsReportedOnce) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    server.send_signal(SIGTERM);
    server.send_signal(SIGTERM);
    ASSERT_EQ(server.wait_exit(), 0) << server.describe();

    std::string out = server.stdout_text();
    EXPECT_EQ(count_of(out, graceful_console_line("SIGTERM")), 1u) << out;
    EXPECT_EQ(count_log_lines(quillo_log(server), graceful_log_message("SIGTERM")), 1u)
        << quillo_log(server);
}

TEST(SignalsTest, AHangupDuringATerminationAddsNothing) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    server.send_signal(SIGTERM);
    server.send_signal(SIGHUP);
    ASSERT_EQ(server.wait_exit(), 0) << server.describe();

    // Both may be pending together, and either may be taken first.
    std::string out = server.stdout_text();
    EXPECT_EQ(count_of(out, "[SERVER] Received "), 1u) << out;
    std::string log = quillo_log(server);
    EXPECT_EQ(count_log_lines(log, graceful_log_message("SIGTERM")) +
                  count_log_lines(log, graceful_log_message("SIGHUP")),
              1u)
        << log;
}

// Connection threads are detached and outlive main: whatever they have read
// must survive the exit. Each client keeps its connection, so its thread is
// still waiting for the next request when the signal comes (under a
// sanitizer, a report makes the status non-zero).
TEST(SignalsTest, TerminationWithOpenConnectionsStillEndsWithStatusZero) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    write_text(server.config_dir() + "/pwd.txt", "pw");
    std::vector<http::Client> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(http_client(server.host(), server.port()));
        clients.back().set_keep_alive(true);
    }
    http::Result foreign_host = clients[0].Get("/api/health", {{"Host", "elsewhere.example"}});
    http::Result signed_out = clients[1].Get("/api/files/module");
    http::Result signed_in =
        clients[2].Post("/api/auth/login", R"({"password": "pw"})", "application/json");
    ASSERT_TRUE(foreign_host && signed_out && signed_in) << server.describe();
    EXPECT_EQ(foreign_host->status, 403);
    EXPECT_EQ(signed_out->status, 401);
    EXPECT_EQ(signed_in->status, 200);
    EXPECT_TRUE(signed_in->has_header("Set-Cookie"));

    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0) << server.describe();
}

} // namespace
