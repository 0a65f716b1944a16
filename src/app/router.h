// URL rules and the dispatch table: which handler answers a path and method.
#pragma once

#include "quillo/blueprint.h"

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::app {

// A rule parsed into segments. "/api/<name>/<path:rest>" has a static
// segment, a one-segment variable and a path variable.
class CompiledRule {
  public:
    // `own`: registered by the server itself, not by a route module.
    CompiledRule(const RouteRule& rule, size_t order, bool own = false);

    // True when `path` matches; fills `args` with the rule's variables.
    bool match(std::string_view path, std::map<std::string, std::string>& args) const;
    bool accepts(std::string_view method) const { return methods_.count(std::string(method)) > 0; }
    bool lists_options() const { return lists_options_; }

    // Orders rules from most to least specific: static segments before
    // variables, variables before path variables; ties keep registration order.
    bool more_specific_than(const CompiledRule& other) const;

    const std::string& text() const { return text_; }
    const std::set<std::string>& methods() const { return methods_; }
    const Handler& handler() const { return handler_; }
    // Set for a WebSocket rule, whose handler() is empty.
    const SocketHandler& socket() const { return socket_; }
    bool own() const { return own_; }
    bool streams_body() const { return streams_body_; }

  private:
    enum class Kind { Static = 0, Variable = 1, Path = 2 };
    struct Segment {
        Kind kind;
        std::string text; // static text, or the variable's name
    };

    bool match_from(size_t segment, size_t part, const std::vector<std::string_view>& parts,
                    std::map<std::string, std::string>& args) const;
    static Segment parse_segment(std::string_view text, const std::string& rule);

    std::string text_;
    std::vector<Segment> segments_;
    std::vector<int> weights_;
    std::set<std::string> methods_;
    bool lists_options_ = false;
    Handler handler_;
    SocketHandler socket_;
    size_t order_;
    bool own_;
    bool streams_body_;
};

struct RouteMatch {
    enum class Outcome { Found, AutomaticOptions, MethodNotAllowed, NotFound };
    Outcome outcome = Outcome::NotFound;
    const CompiledRule* rule = nullptr;
    std::map<std::string, std::string> args;
    std::vector<std::string> allowed; // sorted; for OPTIONS and 405 answers
};

class Router {
  public:
    void add(const RouteRule& rule, bool own = false);

    // Sorts the table and refuses a rule registered twice for one method.
    // Must be called once, before the first match.
    void freeze();

    // Picks the most specific rule that accepts both the path and the method.
    // 405 only when some rule matches the path but none takes the method.
    // A rule also answers its path with a slash added. The path is matched
    // as it is given: the request's canonical path, whose slashes were
    // merged before the guard saw it. Merging here as well would let the
    // router serve a path the guard never judged.
    RouteMatch match(std::string_view path, std::string_view method) const;

    const std::vector<CompiledRule>& rules() const { return rules_; }

  private:
    std::vector<CompiledRule> rules_;
    bool frozen_ = false;
};

} // namespace quillo::app
