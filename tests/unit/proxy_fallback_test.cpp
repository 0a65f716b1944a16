#include "app/frontend.h"
#include "app/proxy_fallback.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace quillo;
using namespace quillo::app;

namespace {

TEST(QuoteTest, OnlyUnreservedCharactersStay) {
    EXPECT_EQ(quote("AZaz09_.-~"), "AZaz09_.-~");
    EXPECT_EQ(quote("https://h/a b?x=1&y=2"), "https%3A%2F%2Fh%2Fa%20b%3Fx%3D1%26y%3D2");
    EXPECT_EQ(quote("é+%"), "%C3%A9%2B%25");
}

TEST(PercentDecodeTest, DecodesUtf8AndLeavesPlusAndBrokenEscapes) {
    EXPECT_EQ(percent_decode("https%3A%2F%2Fh%2F%E4%B8%AD?a+b"), "https://h/中?a+b");
    EXPECT_EQ(percent_decode("100%25%zz%4"), "100%%zz%4");
    EXPECT_EQ(percent_decode("%ff%41"), "\xEF\xBF\xBD"
                                        "A");
}

TEST(SplitUrlTest, SchemeNetworkLocationAndPath) {
    SplitUrl url = split_url("HTTPS://user@Example.com:8080/docs/page.html?q=1#top");
    EXPECT_EQ(url.scheme, "https");
    EXPECT_EQ(url.netloc, "user@Example.com:8080");
    EXPECT_EQ(url.path, "/docs/page.html");
    EXPECT_EQ(url.query, "q=1");
    EXPECT_EQ(url.fragment, "top");

    SplitUrl bare = split_url("  http://host");
    EXPECT_EQ(bare.scheme, "http");
    EXPECT_EQ(bare.netloc, "host");
    EXPECT_EQ(bare.path, "");

    EXPECT_EQ(split_url("//cdn.example/x").netloc, "cdn.example");
    EXPECT_EQ(split_url("//cdn.example/x").scheme, "");
    EXPECT_EQ(split_url("1http://x").scheme, "") << "a scheme starts with a letter";
    EXPECT_EQ(split_url("ht\ttp://x/\na").path, "/a") << "tabs and line breaks are dropped";
    EXPECT_EQ(split_url("http://[::1]:80/").netloc, "[::1]:80");
}

TEST(SplitUrlTest, BadBracketsAreErrors) {
    EXPECT_THROW(split_url("http://[::1/x"), std::invalid_argument);
    EXPECT_THROW(split_url("http://::1]/x"), std::invalid_argument);
    EXPECT_THROW(split_url("http://[not-an-ip]/"), std::invalid_argument);
    EXPECT_THROW(split_url("http://[127.0.0.1]/"), std::invalid_argument);
    EXPECT_THROW(split_url("http://x[::1]/"), std::invalid_argument);
}

TEST(UrlParameterTest, FirstUrlParameterWithAValue) {
    EXPECT_EQ(find_url_parameter("/api/browser/proxy?url=abc&base=x"), "abc");
    EXPECT_EQ(find_url_parameter("/p?a=1&url=x%2Fy"), "x%2Fy");
    EXPECT_EQ(find_url_parameter("/p?url=&url=second"), "second");
    EXPECT_EQ(find_url_parameter("/p?myurl=x"), std::nullopt);
    EXPECT_EQ(find_url_parameter("/api/browser/proxy"), std::nullopt);
}

const std::string kReferer =
    "http://localhost:12345/api/browser/proxy?url=" + quote("https://example.com/docs/page.html");

TEST(EscapedTargetTest, RefererGivesTheSiteAndThePageDirectory) {
    EXPECT_EQ(escaped_request_target("api/data", kReferer, "", "q=1"),
              "/api/browser/proxy?url=" + quote("https://example.com/api/data?q=1") +
                  "&base=" + quote("https://example.com/docs/"));
    // A page URL without a path has the site's root as its directory.
    std::string root_referer = "/api/browser/proxy?url=" + quote("http://h.test");
    EXPECT_EQ(escaped_request_target("x.js", root_referer, "", ""),
              "/api/browser/proxy?url=" + quote("http://h.test/x.js") +
                  "&base=" + quote("http://h.test/"));
}

TEST(EscapedTargetTest, PageOriginHeaderWinsAndHasNoBase) {
    EXPECT_EQ(escaped_request_target("submit", kReferer, "https://shop.test", ""),
              "/api/browser/proxy?url=https%3A%2F%2Fshop.test%2Fsubmit");
    // A header that does not start with "http" is ignored: the referer decides.
    EXPECT_EQ(escaped_request_target("a", kReferer, "ftp://x", ""),
              escaped_request_target("a", kReferer, "", ""));
}

TEST(EscapedTargetTest, NoSiteMeansNoTarget) {
    EXPECT_EQ(escaped_request_target("a", "/api/browser/proxy?x=1", "", ""), std::nullopt);
    EXPECT_EQ(escaped_request_target("a", "http://elsewhere/", "nothttp", ""), std::nullopt);
}

TEST(EscapedTargetTest, UndecodableQueryStringIsAnError) {
    EXPECT_THROW(escaped_request_target("a", kReferer, "", "q=\xff"), std::invalid_argument);
}

Request request_with(const std::string& method, std::vector<Headers::Field> headers,
                     std::string query = "") {
    Request request;
    request.method = method;
    request.query_string = std::move(query);
    for (auto& [name, value] : headers) {
        request.headers.add(name, value);
    }
    return request;
}

TEST(ProxyFallbackTest, RedirectKeepsTheMethodForAnythingButGet) {
    std::ostringstream out;
    auto get =
        try_proxy_fallback(request_with("GET", {{"Referer", kReferer}}, "q=1"), "api/data", out);
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 302);
    EXPECT_EQ(get->headers.get("Location"),
              *escaped_request_target("api/data", kReferer, "", "q=1"));

    auto post = try_proxy_fallback(
        request_with("POST", {{"X-Proxy-Page-Origin", "https://shop.test"}}), "submit", out);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 307);
    EXPECT_EQ(post->headers.get("Location"),
              "/api/browser/proxy?url=https%3A%2F%2Fshop.test%2Fsubmit");
}

TEST(ProxyFallbackTest, PrintedLineHoldsAtMost120CharactersOfTheUrl) {
    std::ostringstream out;
    std::string long_path(300, 'p');
    auto response =
        try_proxy_fallback(request_with("GET", {{"Referer", kReferer}}), long_path, out);
    ASSERT_TRUE(response);
    std::string location = response->headers.get("Location");
    EXPECT_EQ(out.str(), "[PROXY FALLBACK] Redirecting escaped /" + long_path + " → " +
                             location.substr(0, 120) + "\n");
}

TEST(ProxyFallbackTest, FailuresAreReportedAndGiveNoRedirect) {
    std::ostringstream out;
    EXPECT_FALSE(
        try_proxy_fallback(request_with("GET", {{"Referer", kReferer}}, "q=\xff"), "a", out));
    EXPECT_EQ(out.str(), "[PROXY FALLBACK] Failed to redirect: 'utf-8' codec can't decode byte "
                         "0xff in position 2: invalid start byte\n");

    std::ostringstream quiet;
    EXPECT_FALSE(try_proxy_fallback(request_with("GET", {{"Referer", "http://x/"}}), "a", quiet));
    EXPECT_FALSE(try_proxy_fallback(request_with("GET", {}), "a", quiet));
    EXPECT_EQ(quiet.str(), "");
}

class StaticFallbackTest : public ::testing::Test {
  protected:
    StaticFallbackTest() {
        dir.write("static/app.js", "js");
        info = {dir.file("static"), "1.0", "/opt", &out};
    }
    Response serve(Request request, const std::string& path) {
        return static_files(info, request, path);
    }

    quillo::testing::TempDir dir;
    std::ostringstream out;
    FrontendInfo info;
};

TEST_F(StaticFallbackTest, EscapedRequestsAreRedirectedInsteadOfRefused) {
    Headers::Field referer{"Referer", kReferer};
    EXPECT_EQ(serve(request_with("GET", {referer}), "api/data").status, 302);
    EXPECT_EQ(serve(request_with("HEAD", {referer}), "app.js").status, 307);
    EXPECT_EQ(serve(request_with("GET", {referer}), "missing.png").status, 302);
    // An existing asset is served even to an escaped request.
    EXPECT_EQ(serve(request_with("GET", {referer}), "app.js").content(), "js");
}

TEST_F(StaticFallbackTest, OrdinaryRequestsGetTheJsonAnswers) {
    EXPECT_EQ(serve(request_with("GET", {}), "api/data").body, "{\"error\":\"Not found\"}\n");
    EXPECT_EQ(serve(request_with("PUT", {}), "app.js").status, 405);
    Response missing = serve(request_with("GET", {{"Referer", "/api/browser/proxy"}}), "no.png");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "{\"error\":\"File not found\"}\n");
    EXPECT_EQ(out.str(), "");
}

} // namespace
