// The HTTP surface of a running server: error answers, the front end's
// files, conditional requests, CORS and the route modules' own routes.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;
using nlohmann::json;

const char* const kNoCache = "no-cache, no-store, must-revalidate";

// Serves a copy of the front end (QUILLO_SERVER_DIR) that also holds a
// sub-directory, so that a test can name one.
class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static_dir_ = server_dir_.path() + "/static";
        fs::copy(std::string(QUILLO_BUILD_DIR) + "/static", static_dir_,
                 fs::copy_options::recursive);
        write_text(static_dir_ + "/icons/logo.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
        server_ = std::make_unique<ServerProcess>(
            ServerOptions{.env = {{"QUILLO_SERVER_DIR", server_dir_.path()}}});
        ASSERT_TRUE(server_->wait_until_listening()) << server_->describe();
    }

    http::Client client() const { return http_client(server_->host(), server_->port()); }

    RawResponse raw_get(const std::string& target) const {
        return raw_exchange(server_->host(), server_->port(),
                            "GET " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }

    TempDir server_dir_;
    std::string static_dir_;
    std::unique_ptr<ServerProcess> server_;
};

json body_of(const http::Result& res) {
    return json::parse(res->body, nullptr, false);
}

TEST_F(HttpTest, PostToTheIndexIsRefusedWithA405InJson) {
    http::Client c = client();
    http::Result res = c.Post("/", "name=value", "application/x-www-form-urlencoded");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 405);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->get_header_value("Allow"), "GET, HEAD, OPTIONS");
    EXPECT_EQ(body_of(res),
              json::object(
                  {{"error", "405 Method Not Allowed: The method is not allowed for the requested "
                             "URL."},
                   {"url", "/"},
                   {"method", "POST"}}));
    // The refusal is reported on the console for the developer.
    EXPECT_TRUE(server_->wait_for_stderr("POST /")) << server_->describe();
}

TEST_F(HttpTest, PostWithoutABodyOrLengthIsAnsweredAtOnce) {
    // No Content-Length and no Transfer-Encoding: there is no body to wait
    // for, so the answer must come long before the server's read time-out.
    RawResponse res = raw_exchange(
        server_->host(), server_->port(),
        "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", std::chrono::seconds(5));
    ASSERT_EQ(res.status_line, "HTTP/1.1 405 Method Not Allowed") << res.head;
    EXPECT_EQ(json::parse(res.body, nullptr, false),
              json::object(
                  {{"error", "405 Method Not Allowed: The method is not allowed for the requested "
                             "URL."},
                   {"url", "/"},
                   {"method", "POST"}}));
}

TEST_F(HttpTest, UnknownApiPathsAreJson404s) {
    http::Client c = client();
    for (const char* path : {"/api/auth/login", "/api/nothing", "/preview/page.html"}) {
        SCOPED_TRACE(path);
        http::Result res = c.Get(path);
        ASSERT_TRUE(res) << http::to_string(res.error());
        EXPECT_EQ(res->status, 404);
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(body_of(res), json::object({{"error", "Not found"}}));
    }
    // Methods the auth routes do not take get the same answer from the catch-all.
    http::Result res = c.Put("/api/auth/login", "{}", "application/json");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(body_of(res), json::object({{"error", "Not found"}}));
}

TEST_F(HttpTest, FrontEndFilesAreServedUncached) {
    http::Client c = client();
    http::Result res = c.Get("/app.js");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Cache-Control"), kNoCache);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(res->body, read_text(static_dir_ + "/app.js"));

    res = c.Get("/icons/logo.svg");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "image/svg+xml");
    EXPECT_EQ(res->body, read_text(static_dir_ + "/icons/logo.svg"));
}

TEST_F(HttpTest, PathsOutsideTheFrontEndOrToDirectoriesAreNotFound) {
    // Written on the socket as they stand, so no client can tidy them up.
    for (const char* target :
         {"/../etc/passwd", "/%2e%2e/etc/passwd", "/..%2fetc%2fpasswd", "/icons/../../etc/passwd",
          "/..%5c..%5cetc%5cpasswd", "/icons", "/icons/", "/.", "/missing.js"}) {
        SCOPED_TRACE(target);
        RawResponse res = raw_get(target);
        EXPECT_EQ(res.status_line, "HTTP/1.1 404 Not Found") << res.head;
        EXPECT_EQ(json::parse(res.body, nullptr, false),
                  json::object({{"error", "File not found"}}));
    }
}

TEST_F(HttpTest, StaticFilesAnswerConditionalRequests) {
    http::Client c = client();
    http::Result res = c.Get("/static/style.css");
    ASSERT_TRUE(res) << http::to_string(res.error());
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/css; charset=utf-8");
    EXPECT_EQ(res->body, read_text(static_dir_ + "/style.css"));
    std::string etag = res->get_header_value("ETag");
    std::string last_modified = res->get_header_value("Last-Modified");
    ASSERT_FALSE(etag.empty());
    ASSERT_FALSE(last_modified.empty());

    res = c.Get("/static/style.css", {{"If-None-Match", etag}});
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 304);
    EXPECT_EQ(res->body, "");
    EXPECT_EQ(res->get_header_value("ETag"), etag);

    res = c.Get("/static/style.css", {{"If-None-Match", "\"other\", W/" + etag}});
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 304);

    res = c.Get("/static/style.css", {{"If-Modified-Since", last_modified}});
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 304);

    // A copy the client does not have gets the whole file.
    res = c.Get("/static/style.css", {{"If-None-Match", "\"other\""}});
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, read_text(static_dir_ + "/style.css"));
}

TEST_F(HttpTest, CorsPreflightEchoesTheOwnOriginAndRefusesOthers) {
    const std::string origin = "http://127.0.0.1:" + std::to_string(server_->port());
    http::Client c = client();
    http::Result res = c.Options("/api/health", {{"Origin", origin},
                                                 {"Access-Control-Request-Method", "GET"},
                                                 {"Access-Control-Request-Headers", "X-Token"}});
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), origin);
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Methods"),
              "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT");
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Headers"), "X-Token");
    EXPECT_EQ(res->get_header_value("Vary"), "Origin");

    res = c.Options("/api/health", {{"Origin", "http://phone.local:8080"},
                                    {"Access-Control-Request-Method", "POST"}});
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 403);
    EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
    EXPECT_FALSE(res->has_header("Access-Control-Allow-Methods"));

    // Without an Origin (no browser asking for another page) the answer
    // says any site may read it, as before.
    res = c.Get("/api/health");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
}

TEST_F(HttpTest, IndexPageHasItsCacheBustMarkersReplaced) {
    http::Client c = client();
    http::Result res = c.Get("/");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(res->get_header_value("Cache-Control"), kNoCache);
    EXPECT_EQ(res->body.find("__CACHE_BUST__"), std::string::npos) << res->body;

    // Every marker becomes the same token, and nothing else changes.
    std::smatch token;
    ASSERT_TRUE(std::regex_search(res->body, token, std::regex(R"(/app\.js\?v=([0-9]+))")))
        << res->body;
    std::string expected = read_text(static_dir_ + "/index.html");
    for (size_t pos; (pos = expected.find("__CACHE_BUST__")) != std::string::npos;) {
        expected.replace(pos, std::string("__CACHE_BUST__").size(), token[1].str());
    }
    EXPECT_EQ(res->body, expected);
}

TEST_F(HttpTest, EveryRouteModuleAnswersItsOwnRoute) {
    http::Client c = client();
    for (const char* module : {"files", "run", "git", "chat", "venv", "update", "server_mgmt",
                               "browser", "notebook", "debug", "qarn"}) {
        SCOPED_TRACE(module);
        http::Result res = c.Get("/api/" + std::string(module) + "/module");
        ASSERT_TRUE(res) << http::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        bool stand_in = std::string(module) != "files" && std::string(module) != "run" &&
                        std::string(module) != "git" && std::string(module) != "browser";
        json body = body_of(res);
        EXPECT_EQ(body["module"], module);
        EXPECT_EQ(body["stand_in"], stand_in);
        if (std::string(module) == "run") {
            // What the IDE offers to run, as the launch rules say.
            EXPECT_EQ(body["launch"]["extensions"],
                      json::array({".py", ".js", ".mjs", ".sh", ".c", ".cpp", ".cc"}));
            EXPECT_EQ(body["launch"]["executable"], true);
        }
    }
}

} // namespace
