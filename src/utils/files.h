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

// Removes what write_file_atomically() of `path` left behind when the
// process died before its rename ("<path>.tmp-XXXXXX"): such a file may hold a
// copy of a secret. Only files older than `min_age_seconds` are removed, so
// a write in progress in another process is left alone. Best effort.
void remove_abandoned_temporaries(const std::string& path, int min_age_seconds = 60);

// The whole content of a file; throws std::system_error when it cannot be read.
std::string read_file(const std::string& path);

} // namespace quillo::utils
