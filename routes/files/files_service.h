// The files module's operations on the workspace, without HTTP: each takes
// workspace paths, answers plain values and throws FileError.
#pragma once

#include "workspace.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace quillo::files {

inline constexpr uint64_t kMaxReadBytes = 5ull * 1024 * 1024;

// What a client needs to know of a file after reading or writing it. The
// ETag changes whenever the file's time, size or inode does, so a save
// that carries it cannot silently overwrite a change made elsewhere.
struct Stamp {
    uint64_t size = 0;
    double mtime = 0; // seconds since the epoch
    std::string etag;
};

struct Entry {
    std::string name;
    Path path;
    std::string type;                       // "file", "directory", "symlink" (or "other")
    std::optional<std::string> target_type; // links: what they lead to inside, if anything
    uint64_t size = 0;
    double mtime = 0;
    bool writable = false;   // a hint from the permission bits; a save tells for sure
    bool executable = false; // a file with an execute bit for us: the run module runs it
    bool hidden = false;

    bool is_directory() const {
        return type == "directory" || (target_type && *target_type == "directory");
    }
};

struct FileContent {
    std::string bytes;
    Stamp stamp;
};

struct SearchResult {
    std::vector<Entry> matches;
    bool truncated = false;
};

enum class Existing {
    Replace, // the file is replaced if it exists
    Keep,    // an existing name answers 409
};

class FilesService {
  public:
    explicit FilesService(const Workspace& workspace) : workspace_(workspace) {}

    std::vector<Entry> list(const Path& directory) const;
    // Throws FileError 413 for a file over kMaxReadBytes.
    FileContent read(const Path& path) const;
    // Replaces the file atomically: a temporary file in the same directory
    // is written, synced and renamed over it, keeping the old file's mode.
    // With `expected_etag`, a file that changed since (or is gone) answers
    // 409 with its current "etag" and "mtime" and nothing is written.
    Stamp write(const Path& path, const std::string& bytes,
                const std::optional<std::string>& expected_etag,
                Existing existing = Existing::Replace) const;
    // The same, with the content written to the temporary file's descriptor
    // by `content` as it comes (an upload): whatever it throws removes the
    // temporary file and leaves the target as it was.
    using ContentWriter = std::function<void(int fd)>;
    Stamp write(const Path& path, const ContentWriter& content,
                const std::optional<std::string>& expected_etag,
                Existing existing = Existing::Replace) const;
    void create(const Path& path, bool directory) const;
    void rename(const Path& from, const Path& to) const;
    void copy(const Path& from, const Path& to) const;
    // Names containing `query` (ASCII letters without regard to case), not
    // descending into .git and node_modules or through links.
    SearchResult search(const std::string& query, size_t limit,
                        std::chrono::milliseconds budget) const;

    const Workspace& workspace() const { return workspace_; }

  private:
    const Workspace& workspace_;
};

Stamp stamp_of(const struct stat& st);

// Moves the entry at `from` to `to` in another directory, never replacing
// what is there (409). Falls back to a verified copy and a removal when the
// two are on different file systems.
void move_entry(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
                const std::string& what);

} // namespace quillo::files
