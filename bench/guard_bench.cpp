// What the request guard costs with a password set: the guard on its own,
// and whole in-memory requests through the application (session cookie
// decoded and checked, guard, route, answer), for a logged-in browser and
// for a refused one. Prints nanoseconds per request, the median of 7 runs.
//
//   build/bench/guard_bench [requests per run]

#include "app/auth.h"
#include "app/request_guard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace quillo;
using namespace quillo::app;

namespace {

double median_ns_per_call(long calls, const std::function<void()>& body) {
    std::vector<double> runs;
    for (int run = 0; run < 7; ++run) {
        auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < calls; ++i) {
            body();
        }
        std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        runs.push_back(elapsed.count() / static_cast<double>(calls));
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

Request request(const std::string& method, const std::string& path, const std::string& cookie) {
    Request r;
    r.method = method;
    r.path = path;
    r.remote_addr = "127.0.0.1";
    r.headers.add("Host", "127.0.0.1:12345");
    r.headers.add("User-Agent", "Mozilla/5.0 (Linux; Android 14) Mobile");
    r.headers.add("Accept", "*/*");
    if (!cookie.empty()) {
        r.headers.add("Cookie", cookie);
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    long calls = argc > 1 ? std::atol(argv[1]) : 200000;
    std::string dir =
        std::filesystem::temp_directory_path() / ("guard-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    AppConfig config;
    config.static_folder = dir;
    config.secret_key = std::string(48, 'a');
    auto store = std::make_shared<PasswordStore>(dir + "/pwd.txt", [&](const std::string& p) {
        return password_fingerprint(config.secret_key, p);
    });
    store->write_password("bench password");

    Application app(config);
    register_auth_routes(app, store, std::make_shared<LoginThrottle>());
    app.before_request([store](Request& r) { return check_auth(r, *store); });
    app.route("/api/health", {"GET"}, [](Request&) { return json_response({{"status", "ok"}}); });
    app.freeze();

    Request login = request("POST", "/api/auth/login", "");
    login.headers.add("Content-Type", "application/json");
    login.body = R"({"password":"bench password"})";
    std::string set_cookie = app.handle(login).headers.get("Set-Cookie");
    std::string cookie = set_cookie.substr(0, set_cookie.find(';'));

    Request refused = request("GET", "/api/files/list", "");
    Request member = request("GET", "/api/files/list", cookie);
    member.session.load({{"auth", true}, {"password_fingerprint", store->state().fingerprint}},
                        true);
    double guard_refused = median_ns_per_call(calls, [&] { (void)check_auth(refused, *store); });
    double guard_member = median_ns_per_call(calls, [&] { (void)check_auth(member, *store); });
    double handle_refused = median_ns_per_call(calls, [&] {
        Request r = request("GET", "/api/files/list", "");
        (void)app.handle(r);
    });
    double handle_status = median_ns_per_call(calls, [&] {
        Request r = request("GET", "/api/auth/status", cookie);
        (void)app.handle(r);
    });
    double handle_health = median_ns_per_call(calls, [&] {
        Request r = request("GET", "/api/health", "");
        (void)app.handle(r);
    });

    std::printf("requests per run: %ld, median of 7 runs\n", calls);
    std::printf("%-52s %8.0f ns\n", "guard alone, refused API request (one stat)", guard_refused);
    std::printf("%-52s %8.0f ns\n", "guard alone, logged-in session (one stat)", guard_member);
    std::printf("%-52s %8.0f ns\n", "whole request: GET /api/files/list -> 401", handle_refused);
    std::printf("%-52s %8.0f ns\n", "whole request: GET /api/auth/status logged in", handle_status);
    std::printf("%-52s %8.0f ns\n", "whole request: GET /api/health (guard skips)", handle_health);
    std::filesystem::remove_all(dir);
    return 0;
}
