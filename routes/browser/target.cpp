#include "target.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

namespace quillo::browser {

namespace urls = boost::urls;

// Texts here are appended rather than written as "literal" + std::string,
// about which GCC 12 warns falsely (-Wrestrict).
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// "mailto:x" or "javascript:x": a scheme, where "localhost:8000" is a host
// and a port.
bool has_other_scheme(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    for (char c : text.substr(0, colon)) {
        bool scheme_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!scheme_char) {
            return false;
        }
    }
    return colon + 1 == text.size() || text[colon + 1] < '0' || text[colon + 1] > '9';
}

// "localhost:8000/x" parses as scheme "localhost": a URL without "://" is
// taken as one that lacks "http://".
std::string with_scheme(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    std::string absolute;
    if (text.starts_with("//")) {
        absolute = "http:";
    } else if (text.find("://") == std::string_view::npos && !has_other_scheme(text)) {
        absolute = "http://";
    }
    return absolute.append(text);
}

Target from_url(const urls::url_view& url) {
    Target target;
    target.scheme = lower(url.scheme());
    if (target.scheme != "http" && target.scheme != "https") {
        throw TargetError("Only http and https addresses can be previewed");
    }
    if (url.encoded_host().empty()) {
        throw TargetError("The address has no host name");
    }
    bool ipv6 = url.host_type() == urls::host_type::ipv6;
    target.connect_host = lower(ipv6 ? url.host_address() : url.encoded_host());
    target.host =
        ipv6 ? std::string("[").append(target.connect_host).append("]") : target.connect_host;
    if (url.has_port() && !url.port().empty()) {
        unsigned long port = url.port().size() <= 5 ? std::stoul(std::string(url.port())) : 0;
        if (port == 0 || port > 65535) {
            throw TargetError("The address has no valid port");
        }
        target.port = static_cast<uint16_t>(port);
    } else {
        target.port = target.scheme == "https" ? 443 : 80;
    }
    target.path_and_query = url.encoded_path().empty() ? "/" : std::string(url.encoded_path());
    if (url.has_query()) {
        target.path_and_query.append("?").append(url.encoded_query());
    }
    return target;
}

} // namespace

std::string Target::authority() const {
    bool default_port = (scheme == "http" && port == 80) || (scheme == "https" && port == 443);
    std::string authority = host;
    if (!default_port) {
        authority.append(":").append(std::to_string(port));
    }
    return authority;
}

bool Target::on_this_device() const {
    return connect_host == "localhost" || connect_host.starts_with("127.") || connect_host == "::1";
}

Target parse_target(std::string_view text) {
    std::string absolute = with_scheme(text);
    auto parsed = urls::parse_uri(absolute);
    if (!parsed) {
        throw TargetError("Not a web address: " + std::string(text));
    }
    return from_url(*parsed);
}

Target resolve_target(std::string_view reference, std::string_view base) {
    auto base_url = urls::parse_uri(base);
    auto ref = urls::parse_uri_reference(reference);
    if (!base_url || !ref) {
        throw TargetError("Not a web address: " + std::string(reference));
    }
    urls::url resolved;
    if (auto ok = urls::resolve(*base_url, *ref, resolved); !ok) {
        throw TargetError("Not a web address: " + std::string(reference));
    }
    return from_url(resolved);
}

std::string percent_encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~';
        if (safe) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

} // namespace quillo::browser
