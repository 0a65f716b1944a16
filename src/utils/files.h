// Small file helpers shared by the server's stores.
#pragma once

#include <string>
#include <sys/types.h>

namespace quillo::utils {

// Replaces `path` with `content` so that a reader sees either the old file or
// the new one, never a half-written one: a temporary file in the same
// directory is written, synced, given `mode` and renamed over the target.
// The mode is set explicitly, so a process umask of 0 cannot widen it.
// Throws std::system_error naming the failed call.
void write_file_atomically(const std::string& path, const std::string& content, mode_t mode);

// The whole content of a file; throws std::system_error when it cannot be read.
std::string read_file(const std::string& path);

} // namespace quillo::utils
