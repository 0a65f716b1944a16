// The address a preview shows: an absolute http or https URL, taken apart
// into what the proxy needs to connect and to ask.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillo::browser {

// A URL the in-app browser will not open; the message is for the user.
class TargetError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Target {
    std::string scheme;         // "http" or "https"
    std::string host;           // as written in a URL: "localhost", "[::1]"
    std::string connect_host;   // for the resolver: "::1" without brackets
    uint16_t port = 0;          // the default port of the scheme when none is given
    std::string path_and_query; // "/", "/app?x=1": the request target

    // "localhost:8000", the Host a site expects; a scheme's default port is
    // left out.
    std::string authority() const;
    // "http://localhost:8000"
    std::string origin() const { return scheme + "://" + authority(); }
    std::string url() const { return origin() + path_and_query; }
    // On loopback: "localhost", 127.0.0.0/8 or ::1.
    bool on_this_device() const;
};

// Parses what a user typed or a page linked to: "localhost:8000",
// "127.0.0.1:5173/app" and "//host/x" get "http://". Throws TargetError for
// other schemes, a missing host, or a URL that cannot be parsed.
Target parse_target(std::string_view text);

// `reference` resolved against the absolute URL `base` (a page's directory),
// as a link on that page would be; `reference` may itself be absolute.
Target resolve_target(std::string_view reference, std::string_view base);

// Percent-encodes every byte but ASCII letters, digits and "-._~".
std::string percent_encode(std::string_view text);

} // namespace quillo::browser
