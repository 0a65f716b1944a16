// The run route module: shells on pseudo-terminals (/api/run/terminals) and
// runs of workspace files (/api/run/start, /api/run/runs), each carried by a
// WebSocket. Output goes out as binary messages, control as JSON in text
// messages; both kinds of child outlive their sockets and keep their latest
// output for the next one.
#include "runs.h"
#include "socket_protocol.h"
#include "terminals.h"

#include <fstream>
#include <iostream>
#include <quillo/module.h>

namespace quillo::run {

namespace {

constexpr int kMaxJsonDepth = 8;
constexpr long long kMaxLimit = 1000;

// A count from QUILLO_<NAME> or config.json's "<key>"; a bad value is
// reported and the default kept, since a typo should not take the IDE away.
size_t limit_setting(const char* variable, const char* key, size_t fallback) {
    std::optional<std::string> text;
    std::string source = variable;
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') {
        text = value;
    } else {
        std::ifstream file(config_dir() + "/config.json");
        nlohmann::json config = nlohmann::json::parse(file, nullptr, false);
        if (config.is_object() && config.contains(key)) {
            const nlohmann::json& value = config[key];
            text = value.is_string() ? value.get<std::string>() : value.dump();
            source = config_dir() + "/config.json: \"" + key + "\"";
        }
    }
    if (!text) {
        return fallback;
    }
    try {
        size_t used = 0;
        long long count = std::stoll(*text, &used);
        if (used == text->size() && count >= 1 && count <= kMaxLimit) {
            return static_cast<size_t>(count);
        }
    } catch (const std::exception&) {
    }
    std::cerr << "[WARN] " << source << ": \"" << *text << "\" is not a count from 1 to "
              << kMaxLimit << "; using " << fallback << std::endl;
    return fallback;
}

struct Registries {
    TerminalRegistry terminals;
    RunRegistry runs;
};

// Made on first use, when the configuration is known, and never destroyed:
// the threads that read the children use it until the process ends.
Registries& registries() {
    static Registries* made = [] {
        TerminalLimits terminal_limits;
        terminal_limits.max_open =
            limit_setting("QUILLO_MAX_TERMINALS", "max_terminals", terminal_limits.max_open);
        RunLimits run_limits;
        run_limits.max_running =
            limit_setting("QUILLO_MAX_RUNS", "max_runs", run_limits.max_running);
        return new Registries{TerminalRegistry(terminal_limits), RunRegistry(run_limits)};
    }();
    return *made;
}

nlohmann::json json_body(const Request& request, bool may_be_empty) {
    if (may_be_empty && request.body.find_first_not_of(" \t\r\n") == std::string::npos) {
        return nlohmann::json::object();
    }
    auto bounded = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > kMaxJsonDepth) {
            throw BadRequest("The request body is nested too deeply");
        }
        return true;
    };
    nlohmann::json body;
    try {
        body = nlohmann::json::parse(request.body, bounded);
    } catch (const nlohmann::json::exception&) {
        throw BadRequest("The request body is not JSON");
    }
    if (!body.is_object()) {
        throw BadRequest("The request body must be a JSON object");
    }
    return body;
}

// Errors answer {"error": "..."} with their status.
Handler answering(std::function<Response(Request&)> handler) {
    return [handler = std::move(handler)](Request& request) {
        try {
            return handler(request);
        } catch (const HttpError& error) {
            return json_response({{"error", error.description()}}, error.code());
        }
    };
}

Response open_terminal(Request& request) {
    nlohmann::json body = json_body(request, true);
    process::TerminalSize size;
    try {
        size = size_from_json(body, size);
    } catch (const std::invalid_argument& error) {
        throw BadRequest(error.what());
    }
    std::shared_ptr<Terminal> terminal = registries().terminals.open(size);
    return json_response(terminal->describe(), 201);
}

Response end_terminal(Request& request) {
    if (!registries().terminals.end(request.view_args.at("id"))) {
        throw NotFound("No such terminal");
    }
    return json_response({{"ok", true}});
}

// The socket of a terminal or a run: its input comes as binary messages,
// control as JSON in text messages.
template <class Child>
SocketEvents child_socket(const std::shared_ptr<Child>& child,
                          const std::shared_ptr<WebSocket>& socket, const char* what) {
    if (!child) {
        // A browser is not shown why a handshake was refused, but it is
        // shown a close code.
        socket->close(protocol::kGone, std::string("no such ") + what);
        return {};
    }
    child->attach(socket);
    SocketEvents events;
    const WebSocket* raw = socket.get();
    events.on_message = [child, raw](std::string message, WebSocket::Kind kind) {
        if (kind == WebSocket::Kind::Binary) {
            child->input(message);
            return;
        }
        nlohmann::json control = nlohmann::json::parse(message, nullptr, false);
        if (!control.is_object()) {
            return;
        }
        std::string type = message_type(control);
        if (type == protocol::kPauseType) {
            child->pause(raw);
        } else if (type == protocol::kResumeType) {
            child->resume();
        } else {
            child->control(control);
        }
    };
    events.on_close = [child, raw](int) { child->detached(raw); };
    return events;
}

std::vector<std::string> run_arguments(const nlohmann::json& body) {
    std::vector<std::string> args;
    auto found = body.find("args");
    if (found == body.end() || found->is_null()) {
        return args;
    }
    if (!found->is_array()) {
        throw BadRequest("\"args\" must be a list of texts");
    }
    for (const nlohmann::json& arg : *found) {
        if (!arg.is_string()) {
            throw BadRequest("\"args\" must be a list of texts");
        }
        args.push_back(arg.get<std::string>());
    }
    return args;
}

Response start_run(Request& request) {
    nlohmann::json body = json_body(request, false);
    auto path = body.find("path");
    if (path == body.end() || !path->is_string()) {
        throw BadRequest("The request names no \"path\"");
    }
    std::shared_ptr<Run> run =
        registries().runs.start(path->get<std::string>(), run_arguments(body));
    return json_response(run->describe(), 201);
}

std::shared_ptr<Run> named_run(Request& request) {
    std::shared_ptr<Run> run = registries().runs.find(request.view_args.at("id"));
    if (!run) {
        throw NotFound("No such run");
    }
    return run;
}

Blueprint& run_bp() {
    static Blueprint bp("run_bp");
    return bp;
}

const bool registered = [] {
    Blueprint& bp = run_bp();
    bp.route("/api/run/module", {"GET"}, [](Request&) {
        // What a client may offer to run: these extensions, and any file
        // with execute permission.
        nlohmann::json launch = {{"extensions", runnable_extensions()}, {"executable", true}};
        return json_response({{"module", "run"}, {"stand_in", false}, {"launch", launch}});
    });
    bp.route("/api/run/terminals", {"POST"}, answering(open_terminal));
    bp.route("/api/run/terminals", {"GET"}, [](Request&) {
        return json_response({{"terminals", registries().terminals.list()}});
    });
    bp.route("/api/run/terminals/<id>", {"DELETE"}, answering(end_terminal));
    bp.websocket("/api/run/terminals/<id>/ws",
                 [](Request& request, std::shared_ptr<WebSocket> socket) {
                     return child_socket(registries().terminals.find(request.view_args.at("id")),
                                         socket, "terminal");
                 });
    bp.route("/api/run/start", {"POST"}, answering(start_run));
    bp.route("/api/run/runs", {"GET"}, [](Request&) {
        return json_response({{"runs", registries().runs.list()}});
    });
    bp.route("/api/run/runs/<id>", {"GET"}, answering([](Request& request) {
                 return json_response(named_run(request)->describe());
             }));
    bp.route("/api/run/runs/<id>/stop", {"POST"}, answering([](Request& request) {
                 named_run(request)->stop();
                 return json_response({{"ok", true}});
             }));
    bp.websocket("/api/run/runs/<id>/ws", [](Request& request, std::shared_ptr<WebSocket> socket) {
        return child_socket(registries().runs.find(request.view_args.at("id")), socket, "run");
    });
    return true;
}();

} // namespace

} // namespace quillo::run

QUILLO_ROUTE_MODULE(quillo::run::run_bp())

// The server is stopping: every shell hangs up, as when a terminal window
// closes, and so does every run.
QUILLO_MODULE_EXPORT void quillo_module_stop() {
    quillo::run::registries().terminals.end_all();
    quillo::run::registries().runs.hang_up_all();
}
