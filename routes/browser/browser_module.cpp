// The in-app browser: previews of web sites, above all the ones the user
// runs on this device, each on an origin of its own (see previews.h).
#include "ports.h"
#include "previews.h"
#include "target.h"

#include <boost/url/parse.hpp>
#include <boost/url/parse_query.hpp>
#include <quillo/module.h>

namespace {

using namespace quillo;
using namespace quillo::browser;

Previews& previews() {
    static Previews instance(quillo::listen_hosts());
    return instance;
}

// The value of `name` in a raw query string, percent-decoded ("+" stays a
// "+": it is part of many URLs).
std::string query_parameter(const std::string& query, std::string_view name) {
    auto params = boost::urls::parse_query(query);
    if (!params) {
        throw BadRequest("The query string cannot be read");
    }
    for (const auto& param : *params) {
        if (param.key.decode() == name) {
            return param.value.decode();
        }
    }
    return {};
}

template <class Operation> Handler answering(Operation operation) {
    return [operation](Request& request) {
        try {
            return operation(request);
        } catch (const TargetError& error) {
            return json_response({{"error", error.what()}}, 400);
        }
    };
}

Response opened_answer(const Opened& opened) {
    return json_response({{"frame", opened.frame}, {"origin", opened.origin}, {"url", opened.url}});
}

Response open_preview(Request& request) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("url") || !body["url"].is_string()) {
        return json_response({{"error", "Send {\"url\": \"<web address>\"}"}}, 400);
    }
    Target target = parse_target(body["url"].get<std::string>());
    return opened_answer(previews().open(target, request.header("Host")));
}

// The preview's entry for a link or a new tab, and where requests that
// escaped a page were sent back to: only the IDE's own page, or an address
// typed by the user, may open a preview this way; a page elsewhere,
// a previewed one included, would otherwise get a ticket through the
// user's cookie.
Response proxy_entry(Request& request) {
    std::string site = request.header("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin" && site != "none") {
        return json_response({{"error", "Only the IDE can open a preview"}}, 403);
    }
    std::string url = query_parameter(request.query_string, "url");
    std::string base = query_parameter(request.query_string, "base");
    Target target = base.empty() ? parse_target(url) : resolve_target(url, base);
    Response redirect(302, "text/plain; charset=utf-8", "");
    redirect.headers.set("Location", previews().open(target, request.header("Host")).frame);
    redirect.headers.set("Cache-Control", "no-store");
    redirect.headers.set("Referrer-Policy", "no-referrer");
    return redirect;
}

Response frame_location(Request& request) {
    std::string origin = query_parameter(request.query_string, "origin");
    auto parsed = boost::urls::parse_uri(origin);
    if (!parsed || !parsed->has_port()) {
        return json_response({{"error", "Give the preview's origin"}}, 400);
    }
    std::optional<std::string> url = previews().frame_url(parsed->port_number());
    return json_response({{"url", url ? nlohmann::json(*url) : nlohmann::json()}});
}

Response list_ports(Request&) {
    PortList list = listening_ports(device_port_sources());
    std::set<int> own = previews().ports();
    own.insert(server_port());
    nlohmann::json ports = nlohmann::json::array();
    for (int port : list.ports) {
        if (!own.contains(port)) {
            ports.push_back(
                {{"port", port}, {"url", "http://localhost:" + std::to_string(port) + "/"}});
        }
    }
    return json_response({{"ports", ports}, {"source", list.source}});
}

Blueprint& module_bp() {
    static Blueprint bp("browser_bp");
    return bp;
}

const bool registered = [] {
    Blueprint& bp = module_bp();
    bp.route("/api/browser/module", {"GET"}, [](Request&) {
        return json_response({{"module", "browser"}, {"stand_in", false}});
    });
    bp.route("/api/browser/ports", {"GET"}, list_ports);
    bp.route("/api/browser/open", {"POST"}, answering(open_preview));
    bp.route("/api/browser/location", {"GET"}, frame_location);
    bp.route("/api/browser/proxy", {"GET"}, answering(proxy_entry));
    return true;
}();

} // namespace

QUILLO_ROUTE_MODULE(module_bp())

QUILLO_MODULE_EXPORT void quillo_module_stop() {
    previews().stop();
}
