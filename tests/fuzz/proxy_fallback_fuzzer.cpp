// The proxy fallback: every header of an escaped request comes from the page
// or the browser, and the redirect it builds goes straight into a Location
// header, so it must stay a well-formed proxy URL whatever came in.
//
// Input: texts, each ended by a backslash and one other byte (Referer,
// X-Proxy-Page-Origin, path, query string; or one URL); the last bytes pick
// the mode, the method and which headers are present.

#include "app/proxy_fallback.h"
#include "utils/text.h"

#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <iostream>
#include <sstream>
#include <stdexcept>

using quillo::Request;
using quillo::Response;
namespace app = quillo::app;

namespace {

[[noreturn]] void fail(const std::string& what, std::string_view input) {
    std::cerr << "proxy fallback: " << what << " (input \"" << input << "\")\n";
    std::abort();
}

bool is_unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-' || c == '~';
}

// Only unreserved characters and "%XX" escapes with upper-case hex digits.
bool is_quoted(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            auto hex = [&](size_t k) {
                return k < text.size() &&
                       ((text[k] >= '0' && text[k] <= '9') || (text[k] >= 'A' && text[k] <= 'F'));
            };
            if (!hex(i + 1) || !hex(i + 2)) {
                return false;
            }
            i += 2;
        } else if (!is_unreserved(text[i])) {
            return false;
        }
    }
    return true;
}

void fallback(FuzzedDataProvider& in) {
    Request request;
    std::string referer = in.ConsumeRandomLengthString();
    std::string origin = in.ConsumeRandomLengthString();
    std::string path = in.ConsumeRandomLengthString();
    request.query_string = in.ConsumeRandomLengthString();
    static const char* const kMethods[] = {"GET", "POST", "PUT", "HEAD", "DELETE"};
    request.method = in.PickValueInArray(kMethods);
    if (in.ConsumeBool()) {
        request.headers.add("Referer", referer);
    }
    if (in.ConsumeBool()) {
        request.headers.add("X-Proxy-Page-Origin", origin);
    }

    std::ostringstream out;
    std::optional<Response> response = app::try_proxy_fallback(request, path, out);
    if (!response) {
        return;
    }
    if (response->status != (request.method == "GET" ? 302 : 307)) {
        fail("status " + std::to_string(response->status) + " for " + request.method, path);
    }
    // Location: /api/browser/proxy?url=<quoted>[&base=<quoted>]
    std::string location = response->headers.get("Location");
    constexpr std::string_view kPrefix = "/api/browser/proxy?url=";
    if (!location.starts_with(kPrefix)) {
        fail("redirect elsewhere: " + location, path);
    }
    std::string_view rest = std::string_view(location).substr(kPrefix.size());
    std::string_view url = rest.substr(0, rest.find("&base="));
    std::string_view base = url.size() < rest.size() ? rest.substr(url.size() + 6) : "";
    if (!is_quoted(url) || !is_quoted(base)) {
        fail("unquoted byte in the Location " + location, path);
    }
    // Of the characters left in the Location, only "&" needs escaping in HTML.
    if (response->body.find(quillo::utils::replace_all(location, "&", "&amp;")) ==
        std::string::npos) {
        fail("the page does not link to the Location", path);
    }
    if (!out.str().starts_with("[PROXY FALLBACK] Redirecting escaped /")) {
        fail("the redirect is not reported: " + out.str(), path);
    }
    // The proxy fetches what the page asked for: the path and query string
    // as they came, behind the site taken from the headers.
    if (quillo::utils::is_valid_utf8(path)) {
        std::string asked = "/" + path;
        if (!request.query_string.empty()) {
            asked += "?" + request.query_string;
        }
        if (!app::percent_decode(url).ends_with(asked)) {
            fail("the target does not end in " + asked + ": " + location, path);
        }
    }
}

void split(std::string_view url) {
    app::SplitUrl parts;
    try {
        parts = app::split_url(url);
    } catch (const std::invalid_argument&) {
        return; // bad brackets in the network location, as documented
    }
    for (const std::string* part :
         {&parts.scheme, &parts.netloc, &parts.path, &parts.query, &parts.fragment}) {
        if (part->find_first_of("\t\r\n") != std::string::npos) {
            fail("a tab or line break survived the split", url);
        }
    }
    if (!parts.scheme.empty()) {
        char first = parts.scheme.front();
        if (first < 'a' || first > 'z' ||
            parts.scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") !=
                std::string::npos) {
            fail("scheme " + parts.scheme, url);
        }
    }
    if (parts.netloc.find_first_of("/?#") != std::string::npos ||
        parts.path.find_first_of("?#") != std::string::npos ||
        parts.query.find('#') != std::string::npos) {
        fail("a delimiter inside a part", url);
    }
}

void codecs(std::string_view text) {
    std::string quoted = app::quote(text);
    if (!is_quoted(quoted)) {
        fail("quote left " + quoted, text);
    }
    if (app::percent_decode(quoted) != quillo::utils::decode_utf8_replacing(text)) {
        fail("percent_decode does not undo quote", text);
    }
    if (!quillo::utils::is_valid_utf8(app::percent_decode(text))) {
        fail("percent_decode gave invalid UTF-8", text);
    }
    if (std::optional<std::string_view> value = app::find_url_parameter(text)) {
        size_t at = static_cast<size_t>(value->data() - text.data());
        if (value->empty() || value->find('&') != std::string_view::npos || at < 5 ||
            text.substr(at - 4, 4) != "url=" || (text[at - 5] != '?' && text[at - 5] != '&')) {
            fail("url parameter " + std::string(*value), text);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        fallback(in);
        break;
    case 1:
        split(in.ConsumeRandomLengthString());
        break;
    default:
        codecs(in.ConsumeRandomLengthString());
        break;
    }
    return 0;
}
