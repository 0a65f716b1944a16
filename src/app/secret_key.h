// The key that signs session cookies. It is persisted in the configuration
// directory, so sessions stay valid across restarts.
#pragma once

#include <string>

namespace quillo::app {

// The key stored at `path` (its content without surrounding white space), or
// a fresh one (48 lowercase hexadecimal digits) written there with mode 0600
// when the file is missing or holds nothing but white space: an empty key
// would make every session cookie forgeable. Throws when the file cannot be
// read or written.
std::string load_or_create_secret_key(const std::string& path);

// `bytes` random bytes from the operating system's cryptographic source, as
// lowercase hexadecimal digits.
std::string random_hex(size_t bytes);

} // namespace quillo::app
