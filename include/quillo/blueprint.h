// Route sets: how a route module contributes its URL rules to the server.
#pragma once

#include "quillo/http.h"
#include "quillo/websocket.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quillo {

using Handler = std::function<Response(Request&)>;

// One URL rule. Rules are written like "/api/files/<name>" (a variable that
// matches one path segment) or "/api/files/<path:rest>" (any text, slashes
// included). GET implies HEAD; every rule answers OPTIONS by itself.
struct RouteRule {
    std::string rule;
    std::vector<std::string> methods;
    Handler handler;
    // Set for a WebSocket rule: it answers GET requests that ask for an
    // upgrade; other requests get 426.
    SocketHandler socket{};
    // The handler begins as soon as the head has been judged and reads the
    // body while it arrives (read_body), instead of the server keeping it
    // whole first: for uploads, which may be far larger than memory allows.
    bool streams_body = false;
};

// A module's route set (the `bp` every route module exports). It is mounted
// without a URL prefix of its own: the rules carry their full paths.
class Blueprint {
  public:
    explicit Blueprint(std::string name) : name_(std::move(name)) {}

    Blueprint& route(std::string rule, std::vector<std::string> methods, Handler handler) {
        rules_.push_back({std::move(rule), std::move(methods), std::move(handler)});
        return *this;
    }

    // A rule whose handler reads the body as it arrives (see
    // RouteRule::streams_body). Only a signed-in browser's body is streamed;
    // the handler must answer from read_body(), never from `body` alone.
    Blueprint& streaming_route(std::string rule, std::vector<std::string> methods,
                               Handler handler) {
        rules_.push_back({std::move(rule), std::move(methods), std::move(handler), {}, true});
        return *this;
    }

    // A WebSocket endpoint (see quillo/websocket.h).
    Blueprint& websocket(std::string rule, SocketHandler handler) {
        rules_.push_back({std::move(rule), {"GET"}, {}, std::move(handler)});
        return *this;
    }

    const std::string& name() const { return name_; }
    const std::vector<RouteRule>& rules() const { return rules_; }

  private:
    std::string name_;
    std::vector<RouteRule> rules_;
};

} // namespace quillo
