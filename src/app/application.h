// The web application: route table, before-request hooks, error handlers,
// cross-origin headers and the signed cookie session, independent of any
// socket so that it can be driven in memory.
#pragma once

#include "app/router.h"
#include "app/session_codec.h"
#include "quillo/blueprint.h"
#include "quillo/http.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillo::app {

inline constexpr int64_t kThirtyDays = 30LL * 24 * 3600;

// How much body a request may carry, by who sends it.
struct BodyLimits {
    // Before sign-in, and to the auth endpoints (which need under 1 KiB):
    // whoever can reach the port can send these.
    uint64_t stranger = 64 * 1024;
    // A body kept whole in memory (JSON): enough for the largest file the
    // editor opens, escaped.
    uint64_t buffered = 16 * 1024 * 1024;
    // A body its handler streams to disk (uploads).
    uint64_t streamed = 16ull * 1024 * 1024 * 1024;
};

// What a request may send once its head has been admitted.
struct BodyRules {
    uint64_t limit = 0;
    bool streamed = false; // the handler reads it as it arrives
    bool trusted = false;  // a signed-in browser, or no sign-in is needed
};

struct AppConfig {
    std::string name = "quillo_server";
    std::string static_folder;
    std::string secret_key;
    int64_t permanent_session_lifetime = kThirtyDays;
    // A permanent session's cookie is re-issued at most this often, so an
    // active user stays logged in without a Set-Cookie on every answer.
    int64_t session_refresh_interval = 24 * 3600;
    // Cookies are not kept apart by port: a name of the IDE's own keeps a
    // web app that the user runs on another port of localhost from
    // overwriting the session (it still receives it).
    std::string session_cookie_name = "quillo_session";
    // Host names besides the IDE's own origin whose pages may use the API
    // (lower case), as the Host check takes them.
    std::vector<std::string> allowed_hosts;
    BodyLimits body_limits;
};

// "quillo_session_12345"
std::string session_cookie_name_for_port(int port);

// What the server decides from a request's head, before reading its body.
struct Admission {
    // When set, the request is refused: send this and read nothing more.
    std::optional<Response> refusal;
    int64_t now = 0;
    int64_t issued_at = 0; // of the session cookie, 0 without one
};

class Application {
  public:
    // A hook may answer the request itself; routing is then skipped.
    using BeforeRequest = std::function<std::optional<Response>(Request&)>;
    using ErrorHandler = std::function<Response(Request&, const std::exception&)>;
    // True when the request comes from a browser the guard trusts with
    // everything (signed in, or no password is set).
    using TrustedSender = std::function<bool(const Request&)>;

    // Registers the built-in route /static/<path:filename>.
    explicit Application(AppConfig config);

    void route(const std::string& rule, std::vector<std::string> methods, Handler handler);
    void register_blueprint(const Blueprint& blueprint);
    void before_request(BeforeRequest hook);
    // For every ordinary error (anything derived from std::exception).
    void on_exception(ErrorHandler handler);
    // For HTTP errors of one status; takes precedence over on_exception.
    void on_status(int code, ErrorHandler handler);
    // Without one, every sender is trusted (an application with no guard).
    void trusted_sender(TrustedSender check);

    // Freezes the route table; call once before serving.
    void freeze();

    // Runs one request through hooks, routing, the handler and the error
    // handlers, then adds the cross-origin headers and the session cookie.
    // Never throws. The same as admit() followed by respond().
    Response handle(Request& request) const;

    // The first half of handle(), for a server that has read only the head:
    // loads the session and runs the before-request hooks (the Host check,
    // the Origin check, the guard). A refusal is a finished answer. Never
    // throws.
    Admission admit(Request& request) const;
    // The second half, once the body is read: routing, the handler, errors,
    // the session cookie and the cross-origin headers. Never throws.
    Response respond(Request& request, const Admission& admission) const;

    // For an admitted head whose body is still to come: how much of it may
    // come, and whether the rule streams it. Strangers and the auth
    // endpoints get the small limit whatever the rule. Never throws.
    BodyRules body_rules(const Request& request) const;

    // True when the request is a read (GET, HEAD) answered by one of the
    // server's own rules (the front end, the auth status): those never
    // block, and a server may run them without handing them to a worker.
    bool answers_quickly(const Request& request) const;

    // The WebSocket rule for the request's path, with request.view_args
    // filled in; nullptr when no WebSocket rule takes the path.
    const SocketHandler* socket_route(Request& request) const;
    // Runs an admitted handshake's handler: its events, or the answer that
    // refuses the socket (an error it threw, as the error handlers render
    // it). Never throws.
    std::variant<SocketEvents, Response> open_socket(Request& request, const Admission& admission,
                                                     const SocketHandler& handler,
                                                     std::shared_ptr<WebSocket> socket) const;

    const AppConfig& config() const { return config_; }
    const Router& router() const { return router_; }

  private:
    Response dispatch(Request& request) const;
    // Session cookie and cross-origin headers: what every answer gets.
    void finish(const Request& request, Response& response, const Admission& admission) const;
    Response handle_error(Request& request, const std::exception& error) const;
    // Inside a catch block: the answer for the error being handled, from the
    // error handlers, or the last-resort answer when they fail too.
    Response error_answer(Request& request) const;
    void load_session(Request& request, int64_t now, int64_t& issued_at) const;
    void save_session(const Request& request, Response& response, int64_t now,
                      int64_t issued_at) const;

    AppConfig config_;
    SessionCodec sessions_;
    Router router_;
    std::vector<BeforeRequest> before_request_;
    std::optional<ErrorHandler> exception_handler_;
    std::map<int, ErrorHandler> status_handlers_;
    TrustedSender trusted_sender_;
};

// Cross-origin resource sharing, for allowed origins only (see
// origin_allowed): a page of any other origin gets no Access-Control-Allow-*
// header and so cannot read the answer. No credentials.
void add_cors_headers(const Request& request, Response& response,
                      const std::vector<std::string>& allowed_hosts);

// The last-resort answer when an error escapes the error handlers themselves.
Response internal_server_error();

} // namespace quillo::app
