// Whole entries (files, links and directory trees) handled through
// directory descriptors: copied, compared, measured and removed without
// ever following a link.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <optional>
#include <string>

namespace quillo::files {

// Copies the entry `name` of `from_dir` to `to_name` in `to_dir`, which must
// not exist: regular files with their bytes and permission bits, links as
// links, directories with everything in them; other kinds are skipped.
// Throws FileError on the first failure (what was copied stays).
void copy_entry(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
                const std::string& what);

// True when both entries hold the same tree: the same kinds, names, link
// targets and bytes.
bool same_entry(int a_dir, const std::string& a_name, int b_dir, const std::string& b_name);

// The bytes of all regular files in the entry.
uint64_t entry_size(int dir, const std::string& name);

// Removes the entry and, for a directory, everything in it. Throws
// FileError on a failure.
void remove_entry(int dir, const std::string& name, const std::string& what);

// The next name of a directory stream, without "." and ".."; nothing at
// its end.
std::optional<std::string> next_name(DIR* stream);

// Reads up to `size` bytes (0 at the end), retrying interrupted reads.
// Throws FileError naming `what`.
size_t read_some(int fd, char* buffer, size_t size, const std::string& what);

// Writes all of `bytes`; false with errno set on failure.
bool write_all(int fd, const char* bytes, size_t size);

// A name for a temporary entry next to `name`, unlikely to be taken.
std::string temporary_name(const std::string& name);

} // namespace quillo::files
