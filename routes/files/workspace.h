// Safe access below the workspace directory.
//
// Every path a client names is resolved below the workspace's directory
// descriptor, never by comparing path texts: with openat2(RESOLVE_BENEATH)
// where the kernel has it, otherwise one component at a time with openat
// and O_NOFOLLOW. Symbolic links are followed while they stay inside; one
// that leads outside (an absolute target, or ".." past the top) is refused.
// Because each step opens what it then uses, a directory swapped for a link
// between a check and its use cannot lead outside either.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillo::files {

// A failure with the HTTP status it answers with; `extra` joins the error
// object of the answer.
class FileError : public std::runtime_error {
  public:
    FileError(int status, const std::string& message, nlohmann::json extra = nullptr)
        : std::runtime_error(message), status_(status), extra_(std::move(extra)) {}
    int status() const { return status_; }
    const nlohmann::json& extra() const { return extra_; }

  private:
    int status_;
    nlohmann::json extra_;
};

// The status and message for a failed system call on `what` (a path as
// the client wrote it): ENOENT 404, EACCES 403, EEXIST 409, ENOSPC 507...
[[noreturn]] void fail(int error, std::string_view call, std::string_view what);

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// A workspace-relative path as its components (raw bytes, none empty, "."
// or ".."). The workspace itself has none.
using Path = std::vector<std::string>;

// Splits a client's path. Throws FileError 400 for an absolute path, a ".."
// component or a NUL byte; empty and "." components are dropped.
Path parse_path(std::string_view text);
std::string join(const Path& path);
// The path as clients see it: "a/b/c".
inline std::string display(const Path& path) {
    return join(path);
}

// Where an entry lives: its directory, open, and its name in there. The
// name is "." for the workspace itself.
struct Location {
    Fd dir;
    std::string name;
    Path canonical; // the path without links, as resolved
};

// What decides whether openat2 may be called at all. Android's system call
// filter does not answer an unknown call with ENOSYS: it kills the process
// (SIGSYS), also inside the Linux userlands that phones run. So openat2 is
// only tried on a kernel new enough to have it (5.6) that shows no sign of
// Android: "android" in its release, Android's environment variables, or
// its /system/build.prop.
struct KernelFacts {
    std::string release; // uname -r
    bool android_signs = false;
};
KernelFacts this_kernel();
bool may_call_openat2(const KernelFacts& kernel);

enum class Resolver {
    Automatic, // openat2 where the kernel has it and may call it, else the walk
    Walk,      // component by component (what old kernels get)
};

class Workspace {
  public:
    // Throws FileError when the directory cannot be opened.
    explicit Workspace(const std::string& root, Resolver resolver = Resolver::Automatic);

    // Opens `path` (open(2) flags; O_NOFOLLOW keeps a final link itself).
    // Links that stay inside are followed; throws FileError 403 for a path
    // that leads outside, or the failure of the open.
    Fd open(const Path& path, int flags, mode_t mode = 0) const;

    // The directory of the last component, which itself is not followed;
    // links before it are. A missing last component is not an error.
    Location locate(const Path& path) const;
    // The same, but a final link that stays inside is followed, to the
    // entry it names (which may not exist yet).
    Location locate_target(const Path& path) const;

    int root() const { return root_.get(); }

  private:
    Location walk(const Path& path, bool follow_last) const;
    Fd open_by_walk(const Path& path, int flags, mode_t mode) const;

    Fd root_;
    Resolver resolver_;
};

} // namespace quillo::files
