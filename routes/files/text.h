// Text helpers of the files module: UTF-8 checks, base64, the order of
// names in a listing and query-string parameters.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillo::files {

bool is_valid_utf8(std::string_view bytes);

// Standard base64 with padding, as file contents travel in JSON.
std::string base64_encode(std::string_view bytes);
// Nothing when `text` is not base64.
std::optional<std::string> base64_decode(std::string_view text);

// The URL-safe alphabet without padding: how a path that is not UTF-8 is
// named in the API ("raw").
std::string base64url_encode(std::string_view bytes);
std::optional<std::string> base64url_decode(std::string_view text);

// Natural order: runs of digits compare by their value ("file2" before
// "file10"), letters without regard to ASCII case; ties are broken bytewise
// so the order is total.
bool natural_less(std::string_view a, std::string_view b);

// The percent-decoded value of parameter `name` in a query string ("+" is a
// blank); nothing when it is absent. Throws std::invalid_argument for a
// broken escape.
std::optional<std::string> query_parameter(std::string_view query, std::string_view name);

// Percent-encodes everything but unreserved characters (RFC 3986).
std::string percent_encode(std::string_view bytes);

} // namespace quillo::files
