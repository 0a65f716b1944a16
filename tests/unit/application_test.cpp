#include "app/application.h"
#include "app/errors.h"

#include <gtest/gtest.h>
#include <limits>
#include <sstream>

using namespace quillo;
using quillo::app::Application;

namespace {

Request make_request(std::string method, std::string path) {
    Request request;
    request.method = std::move(method);
    request.path = std::move(path);
    return request;
}

nlohmann::json body_of(const Response& response) {
    return nlohmann::json::parse(response.body);
}

class ApplicationTest : public ::testing::Test {
  protected:
    ApplicationTest() : app(make_config()) {}

    static app::AppConfig make_config() {
        app::AppConfig config;
        config.static_folder = "/nonexistent";
        config.secret_key = "test-secret";
        config.session_cookie_name = "session";
        config.allowed_hosts = {"ide.example.lan"};
        return config;
    }

    Response handle(const std::string& method, const std::string& path) {
        Request request = make_request(method, path);
        return app.handle(request);
    }

    Application app;
    std::ostringstream err;
};

TEST_F(ApplicationTest, HooksRunInOrderBeforeTheHandlerAndMayAnswerEarly) {
    std::vector<std::string> events;
    app.before_request([&](Request&) -> std::optional<Response> {
        events.push_back("before 1");
        return std::nullopt;
    });
    app.before_request([&](Request& request) -> std::optional<Response> {
        events.push_back("before 2");
        if (request.path == "/blocked") {
            return json_response({{"error", "no"}}, 401);
        }
        return std::nullopt;
    });
    app.route("/<path:p>", {"GET"}, [&](Request&) {
        events.push_back("handler");
        return Response(200, "text/plain", "ok");
    });
    app.freeze();

    EXPECT_EQ(handle("GET", "/open").status, 200);
    EXPECT_EQ(events, (std::vector<std::string>{"before 1", "before 2", "handler"}));

    events.clear();
    Response refused = handle("GET", "/blocked");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(events, (std::vector<std::string>{"before 1", "before 2"}));
    EXPECT_EQ(refused.headers.get("Access-Control-Allow-Origin"), "*");
}

TEST_F(ApplicationTest, HookRunsBeforeRoutingDecidesOnMethodsAndPaths) {
    app.before_request([](Request&) -> std::optional<Response> {
        return json_response({{"error", "guard"}}, 401);
    });
    app.route("/", {"GET"}, [](Request&) { return Response(200, "text/plain", "index"); });
    app.freeze();
    EXPECT_EQ(handle("POST", "/").status, 401);
    EXPECT_EQ(handle("GET", "/nowhere").status, 401);
}

// A server that has read only the head asks admit(); a WebSocket rule is
// found for the handshake only, and its handler may refuse the socket.
TEST_F(ApplicationTest, HeadsAreAdmittedFirstAndWebSocketRulesAnswerHandshakesOnly) {
    app::register_error_handlers(app, err);
    app.before_request([](Request& request) -> std::optional<Response> {
        if (request.header("X-Locked") == "1") {
            return json_response({{"error", "locked"}}, 401);
        }
        return std::nullopt;
    });
    Blueprint bp("sockets");
    bp.websocket("/ws/<id>", [](Request& request, std::shared_ptr<WebSocket>) -> SocketEvents {
        if (request.view_args.at("id") == "gone") {
            throw NotFound("no such terminal");
        }
        return {};
    });
    app.register_blueprint(bp);
    app.freeze();

    Request locked = make_request("POST", "/ws/1");
    locked.headers.add("X-Locked", "1");
    app::Admission refused = app.admit(locked);
    ASSERT_TRUE(refused.refusal);
    EXPECT_EQ(refused.refusal->status, 401);
    EXPECT_EQ(refused.refusal->headers.get("Access-Control-Allow-Origin"), "*");

    Request handshake = make_request("GET", "/ws/7");
    app::Admission admitted = app.admit(handshake);
    ASSERT_FALSE(admitted.refusal);
    const SocketHandler* handler = app.socket_route(handshake);
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handshake.view_args.at("id"), "7");
    EXPECT_TRUE(std::holds_alternative<SocketEvents>(
        app.open_socket(handshake, admitted, *handler, nullptr)));

    Request gone = make_request("GET", "/ws/gone");
    ASSERT_NE(app.socket_route(gone), nullptr);
    auto refusal = app.open_socket(gone, admitted, *app.socket_route(gone), nullptr);
    ASSERT_TRUE(std::holds_alternative<Response>(refusal));
    EXPECT_EQ(std::get<Response>(refusal).status, 500) << "errors are rendered like any other";

    EXPECT_EQ(app.socket_route(*std::make_unique<Request>(make_request("GET", "/other"))), nullptr);
    EXPECT_EQ(handle("GET", "/ws/7").status, 426) << "a plain request to a WebSocket rule";
}

// How much body may come is decided by who sends it: strangers and the
// auth endpoints get the small limit whatever the rule, a rule that streams
// its body gets it streamed only from a trusted sender.
TEST_F(ApplicationTest, BodyRulesFollowTheSenderThenTheRule) {
    Blueprint bp("bp");
    bp.streaming_route("/api/upload", {"POST"}, [](Request&) { return Response(); });
    bp.route("/api/save", {"POST"}, [](Request&) { return Response(); });
    app.register_blueprint(bp);
    app.route("/api/auth/login", {"POST"}, [](Request&) { return Response(); });
    app.trusted_sender([](const Request& r) { return r.header("Cookie") == "signed-in"; });
    app.freeze();
    const app::BodyLimits limits;
    auto rules = [&](const std::string& path, bool signed_in) {
        Request request = make_request("POST", path);
        if (signed_in) {
            request.headers.set("Cookie", "signed-in");
        }
        return app.body_rules(request);
    };
    for (const char* path : {"/api/upload", "/api/save", "/api/auth/login"}) {
        EXPECT_EQ(rules(path, false).limit, limits.stranger) << path;
        EXPECT_FALSE(rules(path, false).streamed) << path;
    }
    EXPECT_EQ(rules("/api/auth/login", true).limit, limits.stranger);
    EXPECT_EQ(rules("/api/save", true).limit, limits.buffered);
    EXPECT_FALSE(rules("/api/save", true).streamed);
    EXPECT_EQ(rules("/api/upload", true).limit, limits.streamed);
    EXPECT_TRUE(rules("/api/upload", true).streamed);
}

TEST_F(ApplicationTest, ErrorsBecomeJsonThroughTheRegisteredHandlers) {
    app::register_error_handlers(app, err);
    app.route("/boom", {"GET"},
              [](Request&) -> Response { throw std::runtime_error("disk full"); });
    app.route("/missing", {"GET"}, [](Request&) -> Response { throw NotFound(); });
    app.route("/", {"GET"}, [](Request&) { return Response(200, "text/plain", "index"); });
    app.freeze();

    Response boom = handle("GET", "/boom");
    EXPECT_EQ(boom.status, 500);
    EXPECT_EQ(body_of(boom), nlohmann::json({{"error", "disk full"}}));
    EXPECT_NE(err.str().find("GET /boom: std::runtime_error: disk full"), std::string::npos);

    // An HTTP error raised by a route is an ordinary error like any other.
    Response missing = handle("GET", "/missing");
    EXPECT_EQ(missing.status, 500);
    EXPECT_EQ(body_of(missing)["error"].get<std::string>().rfind("404 Not Found: ", 0), 0u);

    Response not_allowed = handle("POST", "/");
    EXPECT_EQ(not_allowed.status, 405);
    EXPECT_EQ(body_of(not_allowed),
              nlohmann::json({{"error", "405 Method Not Allowed: The method is not allowed for "
                                        "the requested URL."},
                              {"url", "/"},
                              {"method", "POST"}}));
    EXPECT_EQ(not_allowed.headers.get("Allow"), "GET, HEAD, OPTIONS");
    EXPECT_EQ(not_allowed.headers.get("Content-Type"), "application/json");
}

TEST_F(ApplicationTest, MethodNotAllowedWithoutDescriptionNamesTheMethod) {
    Request request = make_request("BREW", "/pot");
    Response response = app::handle_method_not_allowed(request, MethodNotAllowed({"GET"}, ""), err);
    EXPECT_EQ(body_of(response)["error"], "405 Method Not Allowed: BREW");
}

TEST_F(ApplicationTest, WithoutHandlersErrorsGetPlainAnswers) {
    app.route("/boom", {"GET"},
              [](Request&) -> Response { throw std::runtime_error("secret detail"); });
    app.route("/odd", {"GET"}, [](Request&) -> Response { throw 42; });
    app.freeze();
    Response boom = handle("GET", "/boom");
    EXPECT_EQ(boom.status, 500);
    EXPECT_EQ(boom.body.find("secret detail"), std::string::npos);
    EXPECT_EQ(handle("GET", "/odd").status, 500);
    EXPECT_EQ(handle("GET", "/nowhere").status, 404);
}

TEST_F(ApplicationTest, FailingErrorHandlerEndsInTheLastResortAnswer) {
    app.on_exception([](Request&, const std::exception&) -> Response {
        throw std::runtime_error("handler broke");
    });
    app.route("/boom", {"GET"}, [](Request&) -> Response { throw std::runtime_error("x"); });
    app.freeze();
    Response response = handle("GET", "/boom");
    EXPECT_EQ(response.status, 500);
    EXPECT_EQ(response.body, "Internal Server Error\n");
}

// Only the IDE's own origin and the listed host names get CORS headers;
// any other page cannot read the answer.
TEST_F(ApplicationTest, CrossOriginHeadersOnlyForTheOwnOriginAndListedHosts) {
    app.route("/api/x", {"POST"}, [](Request&) { return json_response({}); });
    app.freeze();
    auto preflight_from = [&](const std::string& origin) {
        Request preflight = make_request("OPTIONS", "/api/x");
        preflight.headers.add("Host", "127.0.0.1:12345");
        preflight.headers.add("Origin", origin);
        preflight.headers.add("Access-Control-Request-Method", "POST");
        preflight.headers.add("Access-Control-Request-Headers",
                              "content-type, x-proxy-page-origin");
        return app.handle(preflight);
    };
    for (const char* allowed : {"http://127.0.0.1:12345", "https://IDE.example.lan:8443"}) {
        Response response = preflight_from(allowed);
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.headers.get("Access-Control-Allow-Origin"), allowed);
        EXPECT_EQ(response.headers.get("Access-Control-Allow-Methods"),
                  "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT");
        EXPECT_EQ(response.headers.get("Access-Control-Allow-Headers"),
                  "content-type, x-proxy-page-origin");
        EXPECT_EQ(response.headers.get("Allow"), "OPTIONS, POST");
        EXPECT_EQ(response.headers.get("Vary"), "Origin");
        EXPECT_FALSE(response.headers.has("Access-Control-Allow-Credentials"));
    }
    for (const char* foreign : {"http://example.test", "http://127.0.0.1:8080", "null",
                                "http://ide.example.lan.evil.test"}) {
        Response response = preflight_from(foreign);
        for (const auto& [name, value] : response.headers.fields()) {
            EXPECT_FALSE(name.starts_with("Access-Control-")) << foreign << ": " << name;
        }
    }

    Response plain = handle("POST", "/api/x");
    EXPECT_EQ(plain.headers.get("Access-Control-Allow-Origin"), "*");
    EXPECT_FALSE(plain.headers.has("Access-Control-Allow-Methods"));
}

class SessionTest : public ApplicationTest {
  protected:
    void SetUp() override {
        app.route("/login", {"POST"}, [](Request& request) {
            request.session.set_permanent(true);
            request.session.set("auth", true);
            return json_response({});
        });
        app.route("/logout", {"POST"}, [](Request& request) {
            request.session.erase("auth");
            return json_response({});
        });
        app.route("/whoami", {"GET"}, [](Request& request) {
            const nlohmann::json* auth = request.session.find("auth");
            return json_response({{"auth", auth ? *auth : nlohmann::json(nullptr)},
                                  {"permanent", request.session.permanent()}});
        });
        app.freeze();
    }

    // The session cookie of a Set-Cookie header: "session=<value>".
    static std::string cookie_from(const Response& response) {
        std::string header = response.headers.get("Set-Cookie");
        return header.substr(0, header.find(';'));
    }

    Response with_cookie(const std::string& method, const std::string& path,
                         const std::string& cookie) {
        Request request = make_request(method, path);
        request.headers.add("Cookie", "theme=dark; " + cookie);
        return app.handle(request);
    }
};

TEST_F(SessionTest, LoginCookieIsSignedPermanentAndRoundTrips) {
    Response login = handle("POST", "/login");
    std::string header = login.headers.get("Set-Cookie");
    EXPECT_NE(header.find("; Max-Age=2592000"), std::string::npos);
    EXPECT_NE(header.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(header.find("; Path=/"), std::string::npos);
    EXPECT_NE(header.find("; SameSite=Lax"), std::string::npos);

    Response whoami = with_cookie("GET", "/whoami", cookie_from(login));
    EXPECT_EQ(body_of(whoami), nlohmann::json({{"auth", true}, {"permanent", true}}));
    EXPECT_FALSE(whoami.headers.has("Set-Cookie")) << "an unchanged, fresh session is not re-sent";
}

TEST_F(SessionTest, AlteredOrForeignCookiesAreIgnored) {
    std::string cookie = cookie_from(handle("POST", "/login"));
    std::string value = cookie.substr(cookie.find('=') + 1);

    // Flip one character of the payload.
    std::string altered = value;
    altered[2] = altered[2] == 'A' ? 'B' : 'A';
    EXPECT_EQ(body_of(with_cookie("GET", "/whoami", "session=" + altered))["auth"], nullptr);

    // A payload claiming auth, signed with another key.
    app::SessionCodec other("another-key", app::kThirtyDays);
    Session forged;
    forged.set("auth", true);
    std::string foreign = other.encode(forged, std::time(nullptr));
    EXPECT_EQ(body_of(with_cookie("GET", "/whoami", "session=" + foreign))["auth"], nullptr);

    EXPECT_EQ(body_of(with_cookie("GET", "/whoami", "session=garbage"))["auth"], nullptr);
    EXPECT_EQ(body_of(with_cookie("GET", "/whoami", "session="))["auth"], nullptr);
}

TEST_F(SessionTest, LogoutDeletesTheCookie) {
    std::string cookie = cookie_from(handle("POST", "/login"));
    Response logout = with_cookie("POST", "/logout", cookie);
    std::string header = logout.headers.get("Set-Cookie");
    EXPECT_EQ(header.rfind("session=;", 0), 0u);
    EXPECT_NE(header.find("Max-Age=0"), std::string::npos);
    EXPECT_FALSE(handle("POST", "/logout").headers.has("Set-Cookie"))
        << "no cookie to delete for a browser that never had one";
}

TEST(SessionCodec, ExpiresAfterItsLifetimeAndRefusesFarFutureIssueTimes) {
    app::SessionCodec codec("key", app::kThirtyDays);
    Session session;
    session.set("auth", true);
    int64_t issued = 1'700'000'000;
    std::string value = codec.encode(session, issued);
    EXPECT_TRUE(codec.decode(value, issued + app::kThirtyDays).has_value());
    EXPECT_FALSE(codec.decode(value, issued + app::kThirtyDays + 1).has_value());
    EXPECT_FALSE(codec.decode(value, issued - 2 * 24 * 3600).has_value());
    // Signed issue times at the ends of the range: refused, without the
    // age overflowing on the way (UndefinedBehaviorSanitizer catches that).
    for (int64_t extreme :
         {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
        EXPECT_FALSE(codec.decode(codec.encode(session, extreme), issued).has_value()) << extreme;
    }
}

TEST(SessionCodec, StaleButValidPermanentSessionIsReissuedOncePerDay) {
    app::AppConfig config;
    config.secret_key = "k";
    config.session_cookie_name = "session";
    Application app(config);
    app.route("/x", {"GET"}, [](Request&) { return json_response({}); });
    app.freeze();

    app::SessionCodec codec("k", app::kThirtyDays);
    Session session;
    session.set_permanent(true);
    session.set("auth", true);
    int64_t two_days_ago = std::time(nullptr) - 2 * 24 * 3600;

    Request request;
    request.method = "GET";
    request.path = "/x";
    request.headers.add("Cookie", "session=" + codec.encode(session, two_days_ago));
    Response response = app.handle(request);
    std::string header = response.headers.get("Set-Cookie");
    ASSERT_FALSE(header.empty());
    std::string value = header.substr(8, header.find(';') - 8);
    auto decoded = codec.decode(value, std::time(nullptr));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GE(decoded->issued_at, std::time(nullptr) - 5);
    EXPECT_EQ(decoded->data["auth"], true);
}

TEST(Cookies, FindCookieHandlesSpacingQuotesAndSimilarNames) {
    EXPECT_EQ(app::find_cookie("a=1; session=abc; b=2", "session"), "abc");
    EXPECT_EQ(app::find_cookie("mysession=x;session=\"q\"", "session"), "q");
    EXPECT_FALSE(app::find_cookie("sessionx=1", "session").has_value());
    EXPECT_FALSE(app::find_cookie("", "session").has_value());
}

TEST(Base64Url, RoundTripsEveryLengthAndRefusesForeignAlphabets) {
    std::string bytes;
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(app::base64url_decode(app::base64url_encode(bytes)), bytes);
        bytes += static_cast<char>(i * 37 + 250);
    }
    EXPECT_FALSE(app::base64url_decode("ab+c").has_value());
    EXPECT_FALSE(app::base64url_decode("abcde").has_value());
}

TEST(HttpDate, FormatsAndParsesImfFixdate) {
    EXPECT_EQ(app::http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(app::parse_http_date("Tue, 08 Dec 2026 21:42:22 GMT"), 1796766142);
    EXPECT_FALSE(app::parse_http_date("yesterday").has_value());
}

} // namespace
