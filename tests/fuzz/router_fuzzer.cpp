// Rule matching: fuzzed paths and methods against the kind of table the
// server builds from its modules, and fuzzed rule texts compiled and
// matched in a table of their own.
//
// Input: the path, a method text and (own table only) up to three rule
// texts, each ended by a backslash and one other byte; the last bytes pick
// the table, the method, the number of rules and each rule's methods.

#include "app/router.h"

#include <algorithm>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <iostream>
#include <stdexcept>

using quillo::Request;
using quillo::Response;
using quillo::app::CompiledRule;
using quillo::app::RouteMatch;
using quillo::app::Router;

namespace {

[[noreturn]] void fail(const std::string& what, std::string_view path) {
    std::cerr << "router: " << what << " (path \"" << path << "\")\n";
    std::abort();
}

quillo::Handler answer() {
    return [](Request&) { return Response(); };
}

// The rules of the built-in routes and the stand-in modules, with their
// overlaps: static beside variable beside path variable, a path variable
// in the middle, trailing slashes, methods split over rules of one text.
const Router& server_table() {
    static const Router router = [] {
        Router r;
        auto add = [&](const char* rule, std::vector<std::string> methods) {
            r.add({rule, std::move(methods), answer()});
        };
        add("/", {"GET"});
        add("/api/", {"GET"});
        add("/api/health", {"GET"});
        add("/api/auth/status", {"GET"});
        add("/api/auth/setup", {"POST"});
        add("/api/auth/login", {"POST"});
        add("/api/auth/logout", {"POST"});
        add("/api/files/<name>", {"GET", "POST"});
        add("/api/files/<name>", {"DELETE"});
        add("/api/files/<path:rest>", {"GET", "PUT"});
        add("/api/<name>/<path:rest>", {"GET"});
        add("/api/git/<string:repo>/log/", {"get", "options"});
        add("/repo/<path:file>/history", {"GET"});
        add("/repo/<a>/<path:mid>/blob/<b>", {"GET"});
        add("/static/<path:filename>", {"GET"});
        add("/<path:path>", {"GET"});
        r.freeze();
        return r;
    }();
    return router;
}

std::vector<std::string_view> split_rule(std::string_view text) {
    std::vector<std::string_view> parts;
    while (true) {
        size_t slash = text.find('/');
        parts.push_back(text.substr(0, slash));
        if (slash == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(slash + 1);
    }
}

// The path a match stands for: the rule's text with every variable replaced
// by what it captured. A variable the match left out cannot be rebuilt.
std::string rebuild(const CompiledRule& rule, const std::map<std::string, std::string>& args,
                    std::string_view path) {
    std::string out;
    for (std::string_view part : split_rule(rule.text())) {
        if (!out.empty() || part.data() != rule.text().data()) {
            out += '/';
        }
        if (!part.starts_with('<')) {
            out += part;
            continue;
        }
        std::string_view inner = part.substr(1, part.size() - 2);
        std::string_view name = inner.substr(inner.find(':') + 1);
        auto it = args.find(std::string(name));
        if (it == args.end()) {
            fail("variable " + std::string(name) + " of " + rule.text() + " not captured", path);
        }
        out += it->second;
    }
    return out;
}

void check(const Router& router, std::string_view path, std::string_view method, bool rebuildable) {
    RouteMatch m = router.match(path, method);
    // Matched as given: merging slashes is the reader's job, done once.
    const std::string normal(path);
    switch (m.outcome) {
    case RouteMatch::Outcome::Found: {
        if (m.rule == nullptr || !m.rule->accepts(method) || !m.allowed.empty()) {
            fail("found a rule that does not take the method", path);
        }
        std::map<std::string, std::string> again;
        if (!m.rule->match(normal, again) || again != m.args) {
            fail("matching the rule again gives other variables", path);
        }
        for (const auto& [name, value] : m.args) {
            if (value.empty() || value.front() == '/') {
                fail("variable " + name + " captured \"" + value + "\"", path);
            }
        }
        // Strict slashes are off both ways: a rule ending in "/" also takes
        // the path without it, and a rule without one the path with it;
        // nothing else may differ.
        std::string rebuilt = rebuildable ? rebuild(*m.rule, m.args, path) : normal;
        bool slash_added = m.rule->text().ends_with('/') && rebuilt == normal + "/";
        bool slash_dropped = normal == rebuilt + "/";
        if (rebuilt != normal && !slash_added && !slash_dropped) {
            fail("rule " + m.rule->text() + " with its variables gives " + rebuilt, path);
        }
        break;
    }
    case RouteMatch::Outcome::MethodNotAllowed:
    case RouteMatch::Outcome::AutomaticOptions: {
        const auto& allowed = m.allowed;
        if (m.rule != nullptr || !std::is_sorted(allowed.begin(), allowed.end()) ||
            std::adjacent_find(allowed.begin(), allowed.end()) != allowed.end() ||
            std::find(allowed.begin(), allowed.end(), "OPTIONS") == allowed.end()) {
            fail("bad Allow list", path);
        }
        bool options = m.outcome == RouteMatch::Outcome::AutomaticOptions;
        if (options != (method == "OPTIONS")) {
            fail("automatic OPTIONS answer for another method", path);
        }
        if (!options && std::find(allowed.begin(), allowed.end(), method) != allowed.end()) {
            fail("405 for a method that the Allow list names", path);
        }
        break;
    }
    case RouteMatch::Outcome::NotFound:
        if (m.rule != nullptr || !m.allowed.empty() || !m.args.empty()) {
            fail("not found, yet with a rule or methods", path);
        }
        break;
    }
}

const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "get"};
constexpr size_t kMethodCount = sizeof kMethods / sizeof kMethods[0];

std::string pick_method(FuzzedDataProvider& in, std::string_view fuzzed) {
    size_t choice = in.ConsumeIntegralInRange<size_t>(0, kMethodCount);
    return choice < kMethodCount ? kMethods[choice] : std::string(fuzzed);
}

// A rule text with two variables of one name captures only the last; the
// rebuilt path would then differ for a reason the router does not promise.
bool has_unique_variables(std::string_view rule) {
    std::vector<std::string_view> names;
    for (std::string_view part : split_rule(rule)) {
        if (part.size() >= 3 && part.front() == '<' && part.back() == '>') {
            std::string_view inner = part.substr(1, part.size() - 2);
            names.push_back(inner.substr(inner.find(':') + 1));
        }
    }
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

size_t count_path_variables(std::string_view rule) {
    size_t count = 0;
    for (size_t at = rule.find("<path:"); at != std::string_view::npos;
         at = rule.find("<path:", at + 1)) {
        ++count;
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    bool own_table = in.ConsumeBool();
    std::string path = in.ConsumeRandomLengthString();
    std::string fuzzed_method = in.ConsumeRandomLengthString(16);
    std::string method = pick_method(in, fuzzed_method);
    if (!own_table) {
        check(server_table(), path, method, true);
        return 0;
    }

    Router router;
    bool rebuildable = true;
    int rules = in.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < rules && in.remaining_bytes() > 0; ++i) {
        std::string text = in.ConsumeRandomLengthString();
        // Several path variables make matching backtrack polynomially in the
        // number of segments; our own rules have at most one, and requests
        // cannot add rules.
        if (count_path_variables(text) > 2) {
            return -1;
        }
        std::vector<std::string> methods;
        for (unsigned bits = in.ConsumeIntegral<uint8_t>(), k = 0; k < kMethodCount; ++k) {
            if (bits & (1u << k)) {
                methods.emplace_back(kMethods[k]);
            }
        }
        try {
            router.add({text, methods, answer()});
        } catch (const std::invalid_argument&) {
            continue; // a malformed rule: refused when added, as documented
        }
        rebuildable = rebuildable && has_unique_variables(text);
    }
    try {
        router.freeze();
    } catch (const std::logic_error&) {
        return 0; // one text registered twice for a method
    }
    check(router, path, method, rebuildable);
    return 0;
}
