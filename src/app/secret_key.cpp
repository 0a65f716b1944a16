#include "app/secret_key.h"

#include "utils/crypto.h"
#include "utils/files.h"
#include "utils/text.h"

#include <filesystem>

namespace quillo::app {

std::string random_hex(size_t bytes) {
    std::string buffer = utils::random_bytes(bytes);
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes * 2);
    for (unsigned char b : buffer) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::string load_or_create_secret_key(const std::string& path) {
    if (std::filesystem::exists(path)) {
        std::string key = utils::strip_unicode_whitespace(utils::read_file(path));
        if (!key.empty()) {
            return key;
        }
    }
    std::string key = random_hex(24);
    utils::create_private_directories(std::filesystem::path(path).parent_path().string());
    utils::write_file_atomically(path, key, 0600);
    return key;
}

} // namespace quillo::app
