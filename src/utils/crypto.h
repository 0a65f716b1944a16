// The few cryptographic pieces the server needs: HMAC-SHA256 for the session
// cookie and the password's fingerprint, SHA-256, base64, random bytes and a
// comparison that takes the same time wherever the texts differ. libsodium
// does them without a provider framework to set up on first use, which
// keeps the first signed-in request quick and the idle server small.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::utils {

using Sha256Digest = std::array<unsigned char, 32>;

Sha256Digest hmac_sha256(std::string_view key, std::string_view message);
Sha256Digest sha256(std::string_view bytes);

// True when both hold the same bytes; the time taken depends only on the
// size.
bool same_bytes(std::string_view a, std::string_view b);

// Standard base64 with padding (RFC 4648, section 4).
std::string base64_encode(std::string_view bytes);
// The URL-safe alphabet without padding (RFC 4648, section 5); decoding
// refuses padding, the other alphabet and anything that is not canonical.
std::string base64url_encode(std::string_view bytes);
std::optional<std::string> base64url_decode(std::string_view text);

// `size` bytes from the system's random source (libsodium ends the process
// rather than return bytes that are not random).
std::string random_bytes(size_t size);

} // namespace quillo::utils
