#include "app/host_check.h"

#include <gtest/gtest.h>

using quillo::app::check_host;
using quillo::app::check_origin;
using quillo::app::host_allowed;
using quillo::app::origin_allowed;

TEST(HostCheck, AddressesAndLocalhostNeedNoListing) {
    for (const char* host :
         {"127.0.0.1", "127.0.0.1:12345", "192.168.1.20:8080", "[::1]", "[::1]:12345",
          "[fe80::1]:80", "localhost", "LocalHost:12345", "localhost.:1", ""}) {
        EXPECT_TRUE(host_allowed(host, {})) << host;
    }
}

TEST(HostCheck, OtherNamesAreRefusedUnlessListed) {
    for (const char* host :
         {"evil.example", "evil.example:12345", "localhost.evil.example", "sub.localhost",
          "127.0.0.1.evil.example", "[evil.example]", "::1", "[::1", "[::1]x", "127.0.0.1:abc",
          "localhost:", "localhost:123456", ":12345"}) {
        EXPECT_FALSE(host_allowed(host, {})) << host;
    }
    std::vector<std::string> allowed{"ide.example", "phone.lan"};
    EXPECT_TRUE(host_allowed("IDE.example:443", allowed));
    EXPECT_TRUE(host_allowed("phone.lan.", allowed));
    EXPECT_FALSE(host_allowed("other.lan", allowed));
    EXPECT_FALSE(host_allowed("x.phone.lan", allowed));
    EXPECT_TRUE(host_allowed("anything.example", {"*"}));
}

TEST(HostCheck, RefusalIsA403WithTheJsonError) {
    quillo::Request request;
    request.headers.add("Host", "rebound.example:12345");
    auto refusal = check_host(request, {});
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->status, 403);
    EXPECT_EQ(nlohmann::json::parse(refusal->body),
              (nlohmann::json{{"error", "Host not allowed"}}));
    EXPECT_EQ(refusal->headers.get("Content-Type"), "application/json");

    quillo::Request without_host;
    EXPECT_FALSE(check_host(without_host, {}));
}

// A foreign page may still load what any page can link to, but it may not
// change anything nor ask the browser's permission to.
TEST(OriginCheck, OnlyTheOwnOriginAndListedNamesMayChangeAnything) {
    auto request = [](const char* method, const char* origin, bool preflight = false) {
        quillo::Request r;
        r.method = method;
        r.headers.add("Host", "127.0.0.1:12345");
        if (origin) {
            r.headers.add("Origin", origin);
        }
        if (preflight) {
            r.headers.add("Access-Control-Request-Method", "POST");
        }
        return r;
    };
    std::vector<std::string> allowed{"ide.example", "*"};
    for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "TRACE"}) {
        auto refusal = check_origin(request(method, "https://evil.example"), allowed);
        ASSERT_TRUE(refusal) << method;
        EXPECT_EQ(refusal->status, 403);
        EXPECT_EQ(nlohmann::json::parse(refusal->body),
                  (nlohmann::json{{"error", "Origin not allowed"}}));
        EXPECT_FALSE(check_origin(request(method, "http://127.0.0.1:12345"), allowed)) << method;
        EXPECT_FALSE(check_origin(request(method, "http://IDE.example:8080"), allowed)) << method;
        EXPECT_FALSE(check_origin(request(method, nullptr), allowed)) << "no Origin: curl";
    }
    EXPECT_TRUE(check_origin(request("OPTIONS", "https://evil.example", true), allowed));
    for (const char* method : {"GET", "HEAD", "OPTIONS"}) {
        EXPECT_FALSE(check_origin(request(method, "https://evil.example"), allowed)) << method;
    }
    for (const char* origin :
         {"null", "http://127.0.0.1:1234", "https://127.0.0.1:12345/x", "http://ide.example.evil",
          "http://user@ide.example", "127.0.0.1:12345"}) {
        EXPECT_FALSE(origin_allowed(origin, "127.0.0.1:12345", allowed)) << origin;
    }
}
