#include "app/router.h"

#include <algorithm>
#include <stdexcept>

namespace quillo::app {

namespace {

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(sep, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::string join(const std::vector<std::string_view>& parts, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i > from) {
            out += '/';
        }
        out += parts[i];
    }
    return out;
}

} // namespace

CompiledRule::Segment CompiledRule::parse_segment(std::string_view text, const std::string& rule) {
    if (text.empty() || text.front() != '<') {
        if (text.find('<') != std::string_view::npos) {
            throw std::invalid_argument("route " + rule + ": a variable must fill its segment");
        }
        return {Kind::Static, std::string(text)};
    }
    if (text.back() != '>' || text.size() < 3) {
        throw std::invalid_argument("route " + rule + ": malformed variable " + std::string(text));
    }
    std::string_view inner = text.substr(1, text.size() - 2);
    size_t colon = inner.find(':');
    if (colon == std::string_view::npos) {
        return {Kind::Variable, std::string(inner)};
    }
    std::string_view converter = inner.substr(0, colon);
    std::string_view name = inner.substr(colon + 1);
    if (name.empty()) {
        throw std::invalid_argument("route " + rule + ": variable without a name");
    }
    if (converter == "path") {
        return {Kind::Path, std::string(name)};
    }
    if (converter == "string") {
        return {Kind::Variable, std::string(name)};
    }
    throw std::invalid_argument("route " + rule + ": unknown converter " + std::string(converter));
}

CompiledRule::CompiledRule(const RouteRule& rule, size_t order, bool own)
    : text_(rule.rule), handler_(rule.handler), socket_(rule.socket), order_(order), own_(own),
      streams_body_(rule.streams_body) {
    if (text_.empty() || text_.front() != '/') {
        throw std::invalid_argument("route " + text_ + ": a rule starts with /");
    }
    std::string_view body = std::string_view(text_).substr(1);
    if (!body.empty() && body.back() == '/') {
        body.remove_suffix(1);
    }
    if (!body.empty()) {
        for (std::string_view part : split(body, '/')) {
            segments_.push_back(parse_segment(part, text_));
            weights_.push_back(static_cast<int>(segments_.back().kind));
        }
    }
    for (const std::string& method : rule.methods) {
        methods_.insert(upper(method));
    }
    if (methods_.count("GET")) {
        methods_.insert("HEAD");
    }
    lists_options_ = methods_.count("OPTIONS") > 0;
    if (!handler_ && !socket_) {
        throw std::invalid_argument("route " + text_ + ": no handler");
    }
}

bool CompiledRule::match(std::string_view path, std::map<std::string, std::string>& args) const {
    if (path.empty() || path.front() != '/') {
        return false;
    }
    args.clear();
    std::vector<std::string_view> parts = split(path.substr(1), '/');
    if (match_from(0, 0, parts, args)) {
        return true;
    }
    args.clear();
    return false;
}

bool CompiledRule::match_from(size_t segment, size_t part,
                              const std::vector<std::string_view>& parts,
                              std::map<std::string, std::string>& args) const {
    if (segment == segments_.size()) {
        // Strict slashes are off both ways: "/files/" also answers "/files",
        // and "/api/health" also answers "/api/health/".
        bool exact = part == parts.size();
        bool slash = part + 1 == parts.size() && parts[part].empty();
        return exact || slash;
    }
    if (part >= parts.size()) {
        return false;
    }
    const Segment& seg = segments_[segment];
    switch (seg.kind) {
    case Kind::Static:
        return parts[part] == seg.text && match_from(segment + 1, part + 1, parts, args);
    case Kind::Variable:
        if (parts[part].empty()) {
            return false;
        }
        args[seg.text] = std::string(parts[part]);
        return match_from(segment + 1, part + 1, parts, args);
    case Kind::Path:
        if (parts[part].empty()) {
            return false; // a path variable never starts with a slash
        }
        if (segment + 1 == segments_.size()) {
            // "/app.js/" is "/app.js" with a slash added, as for every rule.
            size_t end = parts.size();
            if (end > part + 1 && parts[end - 1].empty()) {
                --end;
            }
            args[seg.text] = join(parts, part, end);
            return true;
        }
        for (size_t end = part + 1; end <= parts.size(); ++end) {
            if (match_from(segment + 1, end, parts, args)) {
                args[seg.text] = join(parts, part, end);
                return true;
            }
        }
        return false;
    }
    return false;
}

bool CompiledRule::more_specific_than(const CompiledRule& other) const {
    if (weights_ != other.weights_) {
        return weights_ < other.weights_;
    }
    return order_ < other.order_;
}

void Router::add(const RouteRule& rule, bool own) {
    if (frozen_) {
        throw std::logic_error("route " + rule.rule + " added after the routes were frozen");
    }
    rules_.emplace_back(rule, rules_.size(), own);
}

void Router::freeze() {
    std::sort(rules_.begin(), rules_.end(),
              [](const CompiledRule& a, const CompiledRule& b) { return a.more_specific_than(b); });
    for (size_t i = 0; i < rules_.size(); ++i) {
        for (size_t j = i + 1; j < rules_.size(); ++j) {
            if (rules_[i].text() != rules_[j].text()) {
                continue;
            }
            for (const std::string& method : rules_[i].methods()) {
                if (rules_[j].methods().count(method)) {
                    throw std::logic_error("route registered twice: " + method + " " +
                                           rules_[i].text());
                }
            }
        }
    }
    frozen_ = true;
}

RouteMatch Router::match(std::string_view path, std::string_view method) const {
    RouteMatch result;
    std::set<std::string> allowed;
    bool path_matched = false;
    std::map<std::string, std::string> args;
    for (const CompiledRule& rule : rules_) {
        if (!rule.match(path, args)) {
            continue;
        }
        path_matched = true;
        if (rule.accepts(method)) {
            result.outcome = RouteMatch::Outcome::Found;
            result.rule = &rule;
            result.args = std::move(args);
            return result;
        }
        allowed.insert(rule.methods().begin(), rule.methods().end());
    }
    if (!path_matched) {
        result.outcome = RouteMatch::Outcome::NotFound;
        return result;
    }
    allowed.insert("OPTIONS");
    result.allowed.assign(allowed.begin(), allowed.end());
    result.outcome = method == "OPTIONS" ? RouteMatch::Outcome::AutomaticOptions
                                         : RouteMatch::Outcome::MethodNotAllowed;
    return result;
}

} // namespace quillo::app
