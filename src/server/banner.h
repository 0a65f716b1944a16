// The start-up banner and the texts that name addresses.
#pragma once

#include "utils/utils.h"

#include <string>
#include <vector>

namespace quillo::server {

inline constexpr const char* kProjectWebsite = "https://quillo.dev";

// "[::1]:12345" for IPv6, "127.0.0.1:12345" otherwise.
std::string address_text(const std::string& host, int family, int port);
// "IPv6" or "IPv4".
std::string family_label(int family);
// The last path component; empty for a path that ends in "/".
std::string workspace_name(const std::string& workspace);

std::string banner_text(int port, const std::string& workspace,
                        const std::vector<utils::DisplayAddress>& display,
                        const std::string& website);

// "[('0.0.0.0', 'IPv4'), ('::', 'IPv6')]"
std::string bind_targets_text(const std::vector<utils::ListenAddress>& listen);

// Pads to `width` characters (not bytes) with blanks; never cuts.
std::string pad_right(const std::string& utf8, size_t width);

} // namespace quillo::server
