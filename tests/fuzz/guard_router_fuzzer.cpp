// One path for every decision: whatever target a client sends, the path
// the guard judged is the path the router matched and the handler was
// given, and a stranger (a password is set, no session) never reaches a
// guarded rule, over HTTP or through a WebSocket handshake.
//
// Input: the bytes of one request as a connection receives them. The
// application is built like the server's: the Host and Origin checks and
// the guard before every request, the server's own rules beside rules of
// the shapes modules register.

#include "app/application.h"
#include "app/host_check.h"
#include "app/request_guard.h"
#include "http/request_reader.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <unistd.h>

using quillo::Request;
using quillo::Response;
using quillo::app::Application;

namespace {

// Written by the guard hook and by every handler of the current input.
struct Seen {
    bool guarded = false;
    std::string guard_path;
    std::string routed_rule;
    std::string routed_path;
} seen;

[[noreturn]] void fail(const std::string& what, std::string_view bytes) {
    std::cerr << "guard and router: " << what << "\nafter the bytes \"" << bytes << "\"\n";
    std::abort();
}

std::string temporary_password_file() {
    char dir[] = "/tmp/quillo-guard-fuzz-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        std::abort();
    }
    static const std::string directory = dir;
    std::string path = directory + "/pwd.txt";
    std::ofstream(path) << "fuzzing password";
    // Gone when the fuzzer exits, however many inputs it ran.
    std::atexit([] {
        std::remove((directory + "/pwd.txt").c_str());
        ::rmdir(directory.c_str());
    });
    return path;
}

// Rules a stranger may reach: the guard's own list admits their paths.
bool open_rule(const std::string& rule) {
    return rule == "/" || rule == "/<path:path>" || rule == "/static/<path:filename>" ||
           rule.starts_with("/api/auth/") || rule == "/api/health" || rule == "/api/browser/proxy";
}

const Application& application() {
    static const Application& app = *[] {
        auto* built = new Application({});
        static quillo::app::PasswordStore store(temporary_password_file());
        built->before_request(
            [](Request& request) { return quillo::app::check_host(request, {}); });
        built->before_request(
            [](Request& request) { return quillo::app::check_origin(request, {}); });
        built->before_request([](Request& request) {
            seen.guarded = true;
            seen.guard_path = request.path;
            return quillo::app::check_auth(request, store);
        });
        auto recorder = [](std::string rule) {
            return [rule](Request& request) {
                seen.routed_rule = rule;
                seen.routed_path = request.path;
                return Response(200, "text/plain", "");
            };
        };
        quillo::Blueprint bp("fuzz_bp");
        for (const char* rule :
             {"/", "/<path:path>", "/api/health", "/api/auth/status", "/api/auth/login",
              "/api/browser/proxy", "/api/files/read", "/api/files/<path:rest>",
              "/api/run/terminals", "/api/<name>/status", "/preview/<path:rest>"}) {
            bp.route(rule, {"GET", "POST", "PUT", "DELETE", "PATCH"}, recorder(rule));
        }
        bp.websocket("/api/run/terminals/<id>/ws",
                     [](Request& request, std::shared_ptr<quillo::WebSocket>) {
                         seen.routed_rule = "/api/run/terminals/<id>/ws";
                         seen.routed_path = request.path;
                         return quillo::SocketEvents{};
                     });
        built->register_blueprint(bp);
        built->freeze();
        return built;
    }();
    return app;
}

void check_request(Request& request, std::string_view bytes) {
    const Application& app = application();
    seen = {};
    quillo::app::Admission admission = app.admit(request);
    if (seen.guarded && seen.guard_path != request.path) {
        fail("the guard saw \"" + seen.guard_path + "\", the request is \"" + request.path + "\"",
             bytes);
    }
    if (admission.refusal) {
        return;
    }
    if (!seen.guarded) {
        fail("admitted without the guard", bytes);
    }
    if (quillo::app::asks_for_websocket(request) && app.socket_route(request)) {
        // The handshake's rule, found on the path the guard judged.
        fail("a stranger's handshake reached a WebSocket rule at \"" + request.path + "\"", bytes);
    }
    app.respond(request, admission);
    if (seen.routed_rule.empty()) {
        return; // not found, or a method no rule takes
    }
    if (seen.routed_path != seen.guard_path) {
        fail("the guard judged \"" + seen.guard_path + "\", the rule " + seen.routed_rule +
                 " was given \"" + seen.routed_path + "\"",
             bytes);
    }
    if (!open_rule(seen.routed_rule)) {
        fail("a stranger reached " + seen.routed_rule + " by \"" + request.path + "\"", bytes);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    quillo::http::RequestReader reader;
    reader.feed(bytes);
    if (reader.state() != quillo::http::RequestReader::State::Done &&
        reader.state() != quillo::http::RequestReader::State::Body) {
        return 0;
    }
    Request request = reader.request();
    request.remote_addr = "127.0.0.1";
    check_request(request, bytes);
    return 0;
}
