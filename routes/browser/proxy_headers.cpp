#include "proxy_headers.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iomanip>
#include <sstream>

namespace quillo::browser {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        size_t at = text.find(separator);
        parts.push_back(trim(text.substr(0, at)));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

std::vector<std::string> values_of(const http::fields& fields, std::string_view name) {
    std::vector<std::string> values;
    for (auto range = fields.equal_range(name); range.first != range.second; ++range.first) {
        values.emplace_back(range.first->value());
    }
    return values;
}

bool reserved(std::string_view cookie_name) {
    return cookie_name.starts_with(kReservedCookiePrefix);
}

std::string_view cookie_name_of(std::string_view pair) {
    return trim(pair.substr(0, pair.find('=')));
}

// Replaces the preview's origin at the start of `value` by the site's.
std::string with_origin(std::string_view value, std::string_view from, std::string_view to) {
    bool at_start =
        value.starts_with(from) && (value.size() == from.size() || value[from.size()] == '/');
    return at_start ? std::string(to) + std::string(value.substr(from.size())) : std::string(value);
}

// True when a Set-Cookie's attributes say it is gone already.
bool expires_now(const std::vector<std::string_view>& attributes) {
    for (std::string_view attribute : attributes) {
        std::string name = lower(trim(attribute.substr(0, attribute.find('='))));
        std::string_view value = attribute.find('=') == std::string_view::npos
                                     ? ""
                                     : trim(attribute.substr(attribute.find('=') + 1));
        if (name == "max-age") {
            return !value.empty() &&
                   (value.front() == '-' || value.find_first_not_of('0') == std::string_view::npos);
        }
    }
    for (std::string_view attribute : attributes) {
        std::string name = lower(trim(attribute.substr(0, attribute.find('='))));
        if (name == "expires") {
            std::tm when{};
            std::string value(trim(attribute.substr(attribute.find('=') + 1)));
            std::istringstream in(value);
            in >> std::get_time(&when, "%a, %d %b %Y %H:%M:%S");
            return !in.fail() && timegm(&when) <= std::time(nullptr);
        }
    }
    return false;
}

// A site's Set-Cookie, fit for a plain-http preview host: host-only (a
// Domain would be the site's, which the browser refuses on this host), not
// Secure, and SameSite=None (which needs Secure) as Lax.
std::string for_preview_host(const std::vector<std::string_view>& parts) {
    std::string out(parts.front());
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string name = lower(trim(parts[i].substr(0, parts[i].find('='))));
        if (name == "domain" || name == "secure" || name == "partitioned") {
            continue;
        }
        out += "; ";
        out += name == "samesite" && lower(parts[i]).ends_with("none") ? "SameSite=Lax"
                                                                       : std::string(parts[i]);
    }
    return out;
}

void rewrite_set_cookies(http::fields& fields, CookieJar& jar) {
    std::vector<std::string> cookies = values_of(fields, "Set-Cookie");
    fields.erase("Set-Cookie");
    for (const std::string& cookie : cookies) {
        std::vector<std::string_view> parts = split(cookie, ';');
        if (reserved(cookie_name_of(parts.front()))) {
            jar.take(cookie);
        } else {
            fields.insert("Set-Cookie", for_preview_host(parts));
        }
    }
}

// Drops frame-ancestors from each policy; a policy left empty goes.
void rewrite_security_policies(http::fields& fields, const PreviewContext& context) {
    std::vector<std::string> policies = values_of(fields, "Content-Security-Policy");
    fields.erase("Content-Security-Policy");
    for (const std::string& policy : policies) {
        std::string kept;
        for (std::string_view directive : split(policy, ';')) {
            if (!directive.empty() && !lower(directive).starts_with("frame-ancestors")) {
                kept += (kept.empty() ? "" : "; ") + std::string(directive);
            }
        }
        if (!kept.empty()) {
            fields.insert("Content-Security-Policy", kept);
        }
    }
    std::string ancestors = "frame-ancestors";
    for (const std::string& origin : context.frame_ancestors) {
        ancestors += " " + origin;
    }
    if (context.frame_ancestors.empty()) {
        ancestors += " 'none'";
    }
    fields.insert("Content-Security-Policy", ancestors);
}

std::optional<std::string> rewrite_location(http::fields& fields, const PreviewContext& context) {
    auto found = fields.find(http::field::location);
    if (found == fields.end()) {
        return std::nullopt;
    }
    std::string location(found->value());
    size_t colon = location.find(':');
    size_t slash = location.find('/');
    bool has_scheme = colon != std::string::npos && (slash == std::string::npos || colon < slash);
    if (has_scheme) {
        std::string scheme = lower(location.substr(0, colon));
        if (scheme != "http" && scheme != "https") {
            return "The previewed site redirected to a " + scheme + ": address";
        }
    }
    std::string absolute =
        location.starts_with("//")
            ? context.target_origin.substr(0, context.target_origin.find(':')) + ":" + location
            : location;
    if (lower(absolute).starts_with(lower(context.target_origin)) &&
        (absolute.size() == context.target_origin.size() ||
         std::string_view("/?#").find(absolute[context.target_origin.size()]) !=
             std::string_view::npos)) {
        std::string rest = absolute.substr(context.target_origin.size());
        fields.set(http::field::location, rest.empty() || rest.front() != '/' ? "/" + rest : rest);
    }
    return std::nullopt;
}

} // namespace

void CookieJar::take(std::string_view set_cookie) {
    std::vector<std::string_view> parts = split(set_cookie, ';');
    std::string_view pair = parts.front();
    size_t equals = pair.find('=');
    if (equals == std::string_view::npos) {
        return;
    }
    std::string name(trim(pair.substr(0, equals)));
    std::lock_guard lock(mutex_);
    if (expires_now(parts)) {
        cookies_.erase(name);
    } else {
        cookies_[name] = std::string(trim(pair.substr(equals + 1)));
    }
}

std::string CookieJar::header() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const auto& [name, value] : cookies_) {
        out += (out.empty() ? "" : "; ") + name + "=" + value;
    }
    return out;
}

void drop_hop_by_hop(http::fields& fields, bool keep_websocket_upgrade) {
    std::vector<std::string> named;
    for (const std::string& value : values_of(fields, "Connection")) {
        for (std::string_view token : split(value, ',')) {
            if (!token.empty()) {
                named.emplace_back(token);
            }
        }
    }
    for (const std::string& name : named) {
        fields.erase(name);
    }
    for (std::string_view name :
         {"Connection", "Keep-Alive", "Proxy-Connection", "Proxy-Authenticate",
          "Proxy-Authorization", "TE", "Trailer", "Transfer-Encoding", "Upgrade"}) {
        fields.erase(name);
    }
    if (keep_websocket_upgrade) {
        fields.set(http::field::connection, "Upgrade");
        fields.set(http::field::upgrade, "websocket");
    }
}

void rewrite_request(http::fields& fields, const PreviewContext& context, const CookieJar& jar) {
    fields.set(http::field::host, context.target_host);
    if (auto origin = fields.find(http::field::origin); origin != fields.end()) {
        fields.set(http::field::origin,
                   with_origin(origin->value(), context.preview_origin, context.target_origin));
    }
    if (auto referer = fields.find(http::field::referer); referer != fields.end()) {
        fields.set(http::field::referer,
                   with_origin(referer->value(), context.preview_origin, context.target_origin));
    }
    std::string cookies;
    for (const std::string& value : values_of(fields, "Cookie")) {
        for (std::string_view pair : split(value, ';')) {
            if (!pair.empty() && !reserved(cookie_name_of(pair))) {
                cookies += (cookies.empty() ? "" : "; ") + std::string(pair);
            }
        }
    }
    std::string kept = jar.header();
    if (!kept.empty()) {
        cookies += (cookies.empty() ? "" : "; ") + kept;
    }
    fields.erase(http::field::cookie);
    if (!cookies.empty()) {
        fields.set(http::field::cookie, cookies);
    }
}

std::optional<std::string> rewrite_response(http::fields& fields, const PreviewContext& context,
                                            CookieJar& jar) {
    if (std::optional<std::string> refusal = rewrite_location(fields, context)) {
        return refusal;
    }
    fields.erase("X-Frame-Options");
    fields.erase("Strict-Transport-Security");
    fields.erase("Alt-Svc");
    rewrite_security_policies(fields, context);
    rewrite_set_cookies(fields, jar);
    return std::nullopt;
}

} // namespace quillo::browser
