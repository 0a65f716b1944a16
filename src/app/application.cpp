#include "app/application.h"

#include "app/host_check.h"
#include "app/send_file.h"

#include <chrono>

namespace quillo::app {

namespace {

int64_t unix_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string join_methods(const std::vector<std::string>& methods) {
    std::string out;
    for (const std::string& method : methods) {
        if (!out.empty()) {
            out += ", ";
        }
        out += method;
    }
    return out;
}

Response default_error_response(const HttpError& error) {
    std::string body = "<!doctype html>\n<html lang=en>\n<title>" + std::to_string(error.code()) +
                       " " + error.name() + "</title>\n<h1>" + error.name() + "</h1>\n<p>" +
                       error.description() + "</p>\n";
    return Response(error.code(), "text/html; charset=utf-8", std::move(body));
}

} // namespace

Response internal_server_error() {
    return Response(500, "text/plain; charset=utf-8", "Internal Server Error\n");
}

std::string session_cookie_name_for_port(int port) {
    return "quillo_session_" + std::to_string(port);
}

void add_cors_headers(const Request& request, Response& response,
                      const std::vector<std::string>& allowed_hosts) {
    const std::string* origin = request.headers.find("Origin");
    response.headers.add("Vary", "Origin");
    if (origin && !origin_allowed(*origin, request.header("Host"), allowed_hosts)) {
        return;
    }
    response.headers.set("Access-Control-Allow-Origin", origin ? *origin : "*");
    if (request.method != "OPTIONS" || !request.headers.has("Access-Control-Request-Method")) {
        return;
    }
    response.headers.set("Access-Control-Allow-Methods",
                         "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT");
    if (const std::string* wanted = request.headers.find("Access-Control-Request-Headers")) {
        response.headers.set("Access-Control-Allow-Headers", *wanted);
    }
}

Application::Application(AppConfig config)
    : config_(std::move(config)), sessions_(config_.secret_key, config_.permanent_session_lifetime,
                                            config_.session_cookie_name) {
    std::string folder = config_.static_folder;
    route("/static/<path:filename>", {"GET"}, [folder](Request& request) {
        return send_from_directory(folder, request.view_args.at("filename"), request);
    });
}

void Application::route(const std::string& rule, std::vector<std::string> methods,
                        Handler handler) {
    router_.add(RouteRule{rule, std::move(methods), std::move(handler), {}}, true);
}

void Application::register_blueprint(const Blueprint& blueprint) {
    for (const RouteRule& rule : blueprint.rules()) {
        router_.add(rule);
    }
}

void Application::before_request(BeforeRequest hook) {
    before_request_.push_back(std::move(hook));
}

void Application::on_exception(ErrorHandler handler) {
    exception_handler_ = std::move(handler);
}

void Application::on_status(int code, ErrorHandler handler) {
    status_handlers_[code] = std::move(handler);
}

void Application::trusted_sender(TrustedSender check) {
    trusted_sender_ = std::move(check);
}

BodyRules Application::body_rules(const Request& request) const {
    const BodyLimits& limits = config_.body_limits;
    BodyRules rules;
    try {
        rules.trusted = !trusted_sender_ || trusted_sender_(request);
    } catch (...) {
        rules.trusted = false;
    }
    if (!rules.trusted || request.path.starts_with("/api/auth/")) {
        rules.limit = limits.stranger;
        return rules;
    }
    RouteMatch match = router_.match(request.path, request.method);
    rules.streamed = match.outcome == RouteMatch::Outcome::Found && match.rule->streams_body();
    rules.limit = rules.streamed ? limits.streamed : limits.buffered;
    return rules;
}

void Application::freeze() {
    router_.freeze();
}

Response Application::dispatch(Request& request) const {
    if (request.path == "*" && request.method == "OPTIONS") {
        // "OPTIONS *" asks about the server, not a resource.
        Response response(200, "text/html; charset=utf-8", "");
        response.headers.set("Allow", "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT");
        return response;
    }
    RouteMatch match = router_.match(request.path, request.method);
    switch (match.outcome) {
    case RouteMatch::Outcome::Found:
        request.view_args = std::move(match.args);
        if (!match.rule->handler()) {
            // A WebSocket rule, reached without the handshake's headers.
            Response response = json_response({{"error", "Upgrade Required"}}, 426);
            response.headers.set("Upgrade", "websocket");
            return response;
        }
        return match.rule->handler()(request);
    case RouteMatch::Outcome::AutomaticOptions: {
        Response response(200, "text/html; charset=utf-8", "");
        response.headers.set("Allow", join_methods(match.allowed));
        return response;
    }
    case RouteMatch::Outcome::MethodNotAllowed:
        throw MethodNotAllowed(match.allowed);
    case RouteMatch::Outcome::NotFound:
        break;
    }
    throw NotFound();
}

Response Application::handle_error(Request& request, const std::exception& error) const {
    const auto* http_error = dynamic_cast<const HttpError*>(&error);
    Response response;
    if (http_error && status_handlers_.count(http_error->code())) {
        response = status_handlers_.at(http_error->code())(request, error);
    } else if (exception_handler_) {
        response = (*exception_handler_)(request, error);
    } else if (http_error) {
        response = default_error_response(*http_error);
    } else {
        response = internal_server_error();
    }
    if (const auto* not_allowed = dynamic_cast<const MethodNotAllowed*>(&error)) {
        // A 405 answer names the methods that are accepted (RFC 9110, 15.5.6).
        if (!response.headers.has("Allow")) {
            response.headers.set("Allow", join_methods(not_allowed->allowed()));
        }
    }
    return response;
}

Response Application::handle(Request& request) const {
    Admission admission = admit(request);
    if (admission.refusal) {
        return std::move(*admission.refusal);
    }
    return respond(request, admission);
}

Admission Application::admit(Request& request) const {
    Admission admission;
    admission.now = unix_now();
    try {
        load_session(request, admission.now, admission.issued_at);
        for (const BeforeRequest& hook : before_request_) {
            admission.refusal = hook(request);
            if (admission.refusal) {
                break;
            }
        }
    } catch (...) {
        admission.refusal = error_answer(request);
    }
    if (admission.refusal) {
        finish(request, *admission.refusal, admission);
    }
    return admission;
}

Response Application::respond(Request& request, const Admission& admission) const {
    Response response;
    try {
        response = dispatch(request);
    } catch (...) {
        response = error_answer(request);
    }
    finish(request, response, admission);
    return response;
}

Response Application::error_answer(Request& request) const {
    try {
        throw;
    } catch (const std::exception& error) {
        try {
            return handle_error(request, error);
        } catch (...) {
            // The error handler failed itself: fall through.
        }
    } catch (...) {
        // Something was thrown that is not an error at all.
    }
    return internal_server_error(); // answers without exposing anything
}

void Application::finish(const Request& request, Response& response,
                         const Admission& admission) const {
    try {
        save_session(request, response, admission.now, admission.issued_at);
    } catch (...) {
        response = internal_server_error();
    }
    add_cors_headers(request, response, config_.allowed_hosts);
}

bool Application::answers_quickly(const Request& request) const {
    if (request.method != "GET" && request.method != "HEAD") {
        return false;
    }
    RouteMatch match = router_.match(request.path, request.method);
    return match.outcome == RouteMatch::Outcome::Found && match.rule->own();
}

const SocketHandler* Application::socket_route(Request& request) const {
    RouteMatch match = router_.match(request.path, "GET");
    if (match.outcome != RouteMatch::Outcome::Found || !match.rule->socket()) {
        return nullptr;
    }
    request.view_args = std::move(match.args);
    return &match.rule->socket();
}

std::variant<SocketEvents, Response>
Application::open_socket(Request& request, const Admission& admission, const SocketHandler& handler,
                         std::shared_ptr<WebSocket> socket) const {
    Response refusal;
    try {
        return handler(request, std::move(socket));
    } catch (...) {
        refusal = error_answer(request);
    }
    finish(request, refusal, admission);
    return refusal;
}

void Application::load_session(Request& request, int64_t now, int64_t& issued_at) const {
    const std::string* cookies = request.headers.find("Cookie");
    if (cookies == nullptr) {
        return;
    }
    std::optional<std::string_view> value = find_cookie(*cookies, config_.session_cookie_name);
    if (!value) {
        return;
    }
    if (std::optional<SessionCodec::Decoded> decoded = sessions_.decode(*value, now)) {
        request.session.load(std::move(decoded->data), decoded->permanent);
        issued_at = decoded->issued_at;
    }
}

void Application::save_session(const Request& request, Response& response, int64_t now,
                               int64_t issued_at) const {
    const Session& session = request.session;
    bool stale = session.permanent() && !session.empty() &&
                 now - issued_at >= config_.session_refresh_interval;
    if (!session.modified() && !stale) {
        return;
    }
    if (session.empty() && issued_at == 0 && !request.headers.has("Cookie")) {
        return; // nothing stored, nothing to delete
    }
    response.headers.add("Set-Cookie", sessions_.set_cookie(session, now));
    response.headers.add("Vary", "Cookie");
}

} // namespace quillo::app
