// What a hostile page or a flood of connections can and cannot do to a
// running server: the Host check against DNS rebinding, the connection cap,
// the time-outs and the size limits of a request.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

} // namespace
