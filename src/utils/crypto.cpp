#include "utils/crypto.h"

#include <sodium.h>
#include <stdexcept>

namespace quillo::utils {

namespace {

const unsigned char* bytes_of(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// sodium_init() is safe to call from any thread, any number of times; it
// picks the fastest implementations and readies the random source.
void ready() {
    static const bool initialised = sodium_init() >= 0;
    if (!initialised) {
        throw std::runtime_error("libsodium could not be initialised (sodium_init)");
    }
}

std::string base64_with(std::string_view bytes, int variant) {
    std::string out(sodium_base64_encoded_len(bytes.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes_of(bytes), bytes.size(), variant);
    out.resize(out.size() - 1); // the terminating NUL
    return out;
}

} // namespace

Sha256Digest hmac_sha256(std::string_view key, std::string_view message) {
    ready();
    crypto_auth_hmacsha256_state state;
    Sha256Digest digest{};
    crypto_auth_hmacsha256_init(&state, bytes_of(key), key.size());
    crypto_auth_hmacsha256_update(&state, bytes_of(message), message.size());
    crypto_auth_hmacsha256_final(&state, digest.data());
    sodium_memzero(&state, sizeof state);
    return digest;
}

Sha256Digest sha256(std::string_view bytes) {
    ready();
    Sha256Digest digest{};
    crypto_hash_sha256(digest.data(), bytes_of(bytes), bytes.size());
    return digest;
}

bool same_bytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && (a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0);
}

std::string base64_encode(std::string_view bytes) {
    return base64_with(bytes, sodium_base64_VARIANT_ORIGINAL);
}

std::string base64url_encode(std::string_view bytes) {
    return base64_with(bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
}

std::optional<std::string> base64url_decode(std::string_view text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                          text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::string random_bytes(size_t size) {
    ready();
    std::string out(size, '\0');
    randombytes_buf(out.data(), out.size());
    return out;
}

} // namespace quillo::utils
