// Small file helpers shared by the server's stores.
#pragma once

#include "utils/unique_fd.h"

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

// The configuration directory and the daemon's ~/.quillo hold the password,
// the session key and the logs: what the server creates there is the
// owner's alone whatever the umask, since a umask of 0 would let any local
// user replace pwd.txt. The modes are given at creation rather than by
// changing the process umask, which other threads rely on while they create
// workspace files.

// Creates the directory `path` and the missing ones above it, each with mode
// 0700. An existing directory is left as it is. Returns true when `path`
// itself was created. Throws std::system_error naming the call and the
// directory that failed.
bool create_private_directories(const std::string& path);

// Opens `path` with `flags` (O_WRONLY, O_APPEND, O_TRUNC...; close-on-exec
// is added). A missing file is created with mode 0600; an existing one is
// opened as it is, its mode untouched. Throws std::system_error naming the
// call and the file.
UniqueFd open_private_file(const std::string& path, int flags);

// For loggers that open their files by name (and create them with the
// umask): creates `path`, and the directories above it, the way the two
// functions above do, before the logger opens it. Best effort: a failure is
// left for the logger's own open to report.
void precreate_private_file(const std::string& path) noexcept;

} // namespace quillo::utils
