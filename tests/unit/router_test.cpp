#include "app/router.h"

#include <gtest/gtest.h>

using quillo::Request;
using quillo::Response;
using quillo::app::RouteMatch;
using quillo::app::Router;

namespace {

quillo::Handler named(const std::string& name) {
    return [name](Request&) { return Response(200, "text/plain", name); };
}

std::string answer(const RouteMatch& match) {
    if (match.rule == nullptr) {
        return "";
    }
    Request request;
    return match.rule->handler()(request).body;
}

class RouterTest : public ::testing::Test {
  protected:
    void add(const std::string& rule, std::vector<std::string> methods, const std::string& name) {
        router.add({rule, std::move(methods), named(name)});
    }
    Router router;
};

TEST_F(RouterTest, MostSpecificRuleWinsWhateverTheRegistrationOrder) {
    add("/<path:path>", {"GET", "POST"}, "catch-all");
    add("/api/<name>", {"GET"}, "variable");
    add("/api/health", {"GET"}, "static");
    add("/api/<name>/<path:rest>", {"GET"}, "nested");
    router.freeze();

    EXPECT_EQ(answer(router.match("/api/health", "GET")), "static");
    EXPECT_EQ(answer(router.match("/api/files", "GET")), "variable");
    EXPECT_EQ(answer(router.match("/api/files/a/b.txt", "GET")), "nested");
    EXPECT_EQ(answer(router.match("/js/app.js", "GET")), "catch-all");
}

TEST_F(RouterTest, VariablesCaptureSegmentsAndPaths) {
    add("/api/<name>/<path:rest>", {"GET"}, "nested");
    router.freeze();
    RouteMatch match = router.match("/api/files/src/main.cpp", "GET");
    ASSERT_EQ(match.outcome, RouteMatch::Outcome::Found);
    EXPECT_EQ(match.args.at("name"), "files");
    EXPECT_EQ(match.args.at("rest"), "src/main.cpp");
}

TEST_F(RouterTest, PathVariableInTheMiddleTakesTheShortestRun) {
    add("/repo/<path:file>/history", {"GET"}, "history");
    router.freeze();
    RouteMatch match = router.match("/repo/a/b/history", "GET");
    ASSERT_EQ(match.outcome, RouteMatch::Outcome::Found);
    EXPECT_EQ(match.args.at("file"), "a/b");
    EXPECT_EQ(router.match("/repo/history", "GET").outcome, RouteMatch::Outcome::NotFound);
}

TEST_F(RouterTest, EmptySegmentsNeverFillAVariable) {
    add("/api/<name>", {"GET"}, "variable");
    add("/<path:path>", {"GET"}, "catch-all");
    router.freeze();
    EXPECT_EQ(router.match("/api/", "GET").outcome, RouteMatch::Outcome::Found);
    EXPECT_EQ(answer(router.match("/api/", "GET")), "catch-all");
    EXPECT_EQ(router.match("/", "GET").outcome, RouteMatch::Outcome::NotFound);
}

// A trailing slash is forgiven both ways, a path variable's included. A
// repeated slash is not merged here: the reader gives the canonical path,
// and a router that merged again could serve a path the guard never saw.
TEST_F(RouterTest, TrailingSlashesReachTheSameRuleRepeatedOnesAreLeftAlone) {
    add("/files/", {"GET"}, "files");
    add("/exact", {"GET"}, "exact");
    add("/api/<name>", {"GET"}, "variable");
    add("/<path:path>", {"GET"}, "catch-all");
    router.freeze();
    for (const char* path : {"/files", "/files/"}) {
        EXPECT_EQ(answer(router.match(path, "GET")), "files") << path;
    }
    for (const char* path : {"/exact", "/exact/"}) {
        EXPECT_EQ(answer(router.match(path, "GET")), "exact") << path;
    }
    RouteMatch match = router.match("/api/x/", "GET");
    ASSERT_EQ(match.outcome, RouteMatch::Outcome::Found);
    EXPECT_EQ(answer(match), "variable");
    EXPECT_EQ(match.args.at("name"), "x");
    EXPECT_EQ(router.match("/app.js/", "GET").args.at("path"), "app.js");
    EXPECT_EQ(router.match("/dir/app.js/", "GET").args.at("path"), "dir/app.js");
    for (const char* path : {"//exact", "//api/x", "/api//x"}) {
        RouteMatch unmerged = router.match(path, "GET");
        EXPECT_NE(answer(unmerged), "exact") << path;
        EXPECT_NE(answer(unmerged), "variable") << path;
    }
}

TEST_F(RouterTest, MethodMismatchFallsThroughToALessSpecificRule) {
    add("/api/auth/login", {"POST"}, "login");
    add("/<path:path>", {"GET", "POST", "PUT", "DELETE", "PATCH"}, "catch-all");
    add("/", {"GET"}, "index");
    router.freeze();

    EXPECT_EQ(answer(router.match("/api/auth/login", "GET")), "catch-all");
    EXPECT_EQ(answer(router.match("/api/auth/login", "HEAD")), "catch-all");
    EXPECT_EQ(answer(router.match("/api/auth/login", "POST")), "login");

    RouteMatch post_root = router.match("/", "POST");
    EXPECT_EQ(post_root.outcome, RouteMatch::Outcome::MethodNotAllowed);
    EXPECT_EQ(post_root.allowed, (std::vector<std::string>{"GET", "HEAD", "OPTIONS"}));

    RouteMatch trace = router.match("/api/auth/login", "TRACE");
    EXPECT_EQ(trace.outcome, RouteMatch::Outcome::MethodNotAllowed);
}

TEST_F(RouterTest, OptionsIsAnsweredForEveryMatchedPathWithTheUnionOfMethods) {
    add("/api/x", {"POST"}, "x");
    add("/api/<name>", {"GET"}, "variable");
    router.freeze();
    RouteMatch match = router.match("/api/x", "OPTIONS");
    EXPECT_EQ(match.outcome, RouteMatch::Outcome::AutomaticOptions);
    EXPECT_EQ(match.allowed, (std::vector<std::string>{"GET", "HEAD", "OPTIONS", "POST"}));
    EXPECT_EQ(router.match("/nowhere", "OPTIONS").outcome, RouteMatch::Outcome::NotFound);
}

TEST_F(RouterTest, MethodsAreCaseInsensitiveInRulesAndGetImpliesHead) {
    add("/a", {"get"}, "a");
    router.freeze();
    EXPECT_EQ(router.match("/a", "HEAD").outcome, RouteMatch::Outcome::Found);
    EXPECT_EQ(router.match("/a", "GET").outcome, RouteMatch::Outcome::Found);
}

TEST_F(RouterTest, FreezeRefusesARuleRegisteredTwiceForOneMethod) {
    add("/api/health", {"GET"}, "one");
    add("/api/health", {"POST"}, "other method is fine");
    add("/api/health", {"GET", "PUT"}, "two");
    EXPECT_THROW(router.freeze(), std::logic_error);
}

TEST_F(RouterTest, AddingAfterFreezeIsRefused) {
    router.freeze();
    EXPECT_THROW(add("/late", {"GET"}, "late"), std::logic_error);
}

TEST(RouterRules, MalformedRulesAreRefusedWhenAdded) {
    Router router;
    auto handler = named("x");
    EXPECT_THROW(router.add({"no-slash", {"GET"}, handler}), std::invalid_argument);
    EXPECT_THROW(router.add({"/a<b>", {"GET"}, handler}), std::invalid_argument);
    EXPECT_THROW(router.add({"/<int:n>", {"GET"}, handler}), std::invalid_argument);
    EXPECT_THROW(router.add({"/<path:>", {"GET"}, handler}), std::invalid_argument);
    EXPECT_THROW(router.add({"/ok", {"GET"}, nullptr}), std::invalid_argument);
}

} // namespace
