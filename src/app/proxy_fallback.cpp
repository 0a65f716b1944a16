#include "app/proxy_fallback.h"

#include "utils/text.h"

#include <arpa/inet.h>
#include <stdexcept>

namespace quillo::app {

namespace {

constexpr std::string_view kProxyPath = "/api/browser/proxy";
constexpr size_t kPrintedUrlLimit = 120;

bool is_unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-' || c == '~';
}

bool is_scheme_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Drops what URL parsers ignore: leading C0 controls and blanks, and every
// tab, carriage return and line feed.
std::string clean_url(std::string_view url) {
    size_t start = 0;
    while (start < url.size() && static_cast<unsigned char>(url[start]) <= 0x20) {
        ++start;
    }
    std::string clean;
    clean.reserve(url.size() - start);
    for (char c : url.substr(start)) {
        if (c != '\t' && c != '\r' && c != '\n') {
            clean += c;
        }
    }
    return clean;
}

void check_bracketed_host(const std::string& host) {
    if (!host.empty() && host.front() == 'v') {
        return; // IPvFuture: left to whoever connects to it
    }
    std::string address = host.substr(0, host.find('%')); // zone id
    unsigned char buffer[16];
    if (::inet_pton(AF_INET6, address.c_str(), buffer) == 1) {
        return;
    }
    if (::inet_pton(AF_INET, address.c_str(), buffer) == 1) {
        throw std::invalid_argument("An IPv4 address cannot be in brackets");
    }
    throw std::invalid_argument("'" + host + "' does not appear to be an IPv4 or IPv6 address");
}

// Brackets must be balanced, hold an IP literal, and start the host part.
void check_netloc(const std::string& netloc) {
    bool open = netloc.find('[') != std::string::npos;
    bool close = netloc.find(']') != std::string::npos;
    if (open != close) {
        throw std::invalid_argument("Invalid IPv6 URL");
    }
    if (!open) {
        return;
    }
    size_t at = netloc.rfind('@');
    std::string host_and_port = at == std::string::npos ? netloc : netloc.substr(at + 1);
    size_t bracket = host_and_port.find('[');
    if (bracket == std::string::npos) {
        return;
    }
    if (bracket != 0) {
        throw std::invalid_argument("Invalid IPv6 URL");
    }
    size_t end = host_and_port.find(']');
    if (end == std::string::npos) {
        return;
    }
    std::string after = host_and_port.substr(end + 1);
    if (!after.empty() && after.front() != ':') {
        throw std::invalid_argument("Invalid IPv6 URL");
    }
    check_bracketed_host(host_and_port.substr(1, end - 1));
}

std::string html_escape(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#x27;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

std::string percent_decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && utils::hex_digit_value(text[i + 1]) >= 0 &&
            utils::hex_digit_value(text[i + 2]) >= 0) {
            bytes += static_cast<char>(utils::hex_digit_value(text[i + 1]) * 16 +
                                       utils::hex_digit_value(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return utils::decode_utf8_replacing(bytes);
}

std::string quote(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string quoted;
    quoted.reserve(text.size() * 3);
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (is_unreserved(byte)) {
            quoted += c;
        } else {
            quoted += '%';
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0xF];
        }
    }
    return quoted;
}

SplitUrl split_url(std::string_view raw) {
    std::string url = clean_url(raw);
    SplitUrl parts;
    size_t colon = url.find(':');
    if (colon != std::string::npos && colon > 0 && is_ascii_letter(url[0])) {
        std::string_view candidate(url.data(), colon);
        bool all_scheme_chars = true;
        for (char c : candidate) {
            all_scheme_chars = all_scheme_chars && is_scheme_char(c);
        }
        if (all_scheme_chars) {
            parts.scheme = utils::ascii_lower(candidate);
            url.erase(0, colon + 1);
        }
    }
    if (url.compare(0, 2, "//") == 0) {
        size_t end = url.find_first_of("/?#", 2);
        parts.netloc = url.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        url.erase(0, end == std::string::npos ? url.size() : end);
        check_netloc(parts.netloc);
    }
    if (size_t hash = url.find('#'); hash != std::string::npos) {
        parts.fragment = url.substr(hash + 1);
        url.erase(hash);
    }
    if (size_t question = url.find('?'); question != std::string::npos) {
        parts.query = url.substr(question + 1);
        url.erase(question);
    }
    parts.path = std::move(url);
    return parts;
}

std::optional<std::string_view> find_url_parameter(std::string_view referer) {
    for (size_t pos = referer.find("url="); pos != std::string_view::npos;
         pos = referer.find("url=", pos + 1)) {
        if (pos == 0 || (referer[pos - 1] != '?' && referer[pos - 1] != '&')) {
            continue;
        }
        size_t start = pos + 4;
        size_t end = referer.find('&', start);
        if (end == std::string_view::npos) {
            end = referer.size();
        }
        if (end > start) {
            return referer.substr(start, end - start);
        }
    }
    return std::nullopt;
}

std::optional<std::string> escaped_request_target(std::string_view path, std::string_view referer,
                                                  std::string_view page_origin,
                                                  std::string_view query_string) {
    std::optional<std::string> target_origin;
    std::string base_url;
    if (!page_origin.empty() && page_origin.starts_with("http")) {
        target_origin = std::string(page_origin);
    }
    if (!target_origin && referer.find(kProxyPath) != std::string_view::npos) {
        if (std::optional<std::string_view> encoded = find_url_parameter(referer)) {
            SplitUrl page = split_url(percent_decode(*encoded));
            target_origin = page.scheme + "://" + page.netloc;
            std::string base_path = page.path.empty() ? "/" : page.path;
            if (size_t slash = base_path.rfind('/'); slash != std::string::npos) {
                base_path.erase(slash + 1);
            }
            base_url = *target_origin + base_path;
        }
    }
    if (!target_origin || target_origin->empty()) {
        return std::nullopt;
    }
    std::string target = *target_origin;
    target.append("/").append(path);
    if (!query_string.empty()) {
        if (std::optional<std::string> error = utils::utf8_decode_error(query_string)) {
            throw std::invalid_argument(*error);
        }
        target.append("?").append(query_string);
    }
    std::string proxy_url(kProxyPath);
    proxy_url.append("?url=").append(quote(target));
    if (!base_url.empty()) {
        proxy_url.append("&base=").append(quote(base_url));
    }
    return proxy_url;
}

std::optional<Response> try_proxy_fallback(const Request& request, const std::string& path,
                                           std::ostream& out) {
    const std::string* referer = request.headers.find("Referer");
    const std::string* page_origin = request.headers.find("X-Proxy-Page-Origin");
    std::string_view referer_text = referer ? std::string_view(*referer) : std::string_view();
    std::string_view origin_text = page_origin ? std::string_view(*page_origin) : "";
    if (referer_text.find(kProxyPath) == std::string_view::npos && origin_text.empty()) {
        return std::nullopt;
    }
    try {
        std::optional<std::string> proxy_url =
            escaped_request_target(path, referer_text, origin_text, request.query_string);
        if (!proxy_url) {
            return std::nullopt;
        }
        out << "[PROXY FALLBACK] Redirecting escaped /" + utils::escape_controls(path) + " → " +
                   utils::escape_controls(utils::first_code_points(*proxy_url, kPrintedUrlLimit)) +
                   "\n"
            << std::flush;
        return redirect(*proxy_url, request.method == "GET" ? 302 : 307);
    } catch (const std::exception& e) {
        out << "[PROXY FALLBACK] Failed to redirect: " + utils::escape_controls(e.what()) + "\n"
            << std::flush;
        return std::nullopt;
    }
}

Response redirect(const std::string& location, int status) {
    std::string escaped = html_escape(location);
    Response response(status, "text/html; charset=utf-8",
                      "<!doctype html>\n<html lang=en>\n<title>Redirecting...</title>\n"
                      "<h1>Redirecting...</h1>\n<p>You should be redirected automatically to the "
                      "target URL: <a href=\"" +
                          escaped + "\">" + escaped + "</a>. If not, click the link.\n");
    response.headers.set("Location", location);
    return response;
}

} // namespace quillo::app
