#include "workspace.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>

namespace quillo::files {

namespace {

constexpr int kMaxLinks = 40; // as the kernel allows

int status_for(int error) {
    switch (error) {
    case ENOENT:
        return 404;
    case EACCES:
    case EPERM:
    case EROFS:
    case EXDEV:
        return 403;
    case EEXIST:
    case ENOTEMPTY:
    case EBUSY:
        return 409;
    case ENOSPC:
    case EDQUOT:
        return 507;
    case EFBIG:
        return 413;
    case ENOTDIR:
    case EISDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
        return 400;
    default:
        return 500;
    }
}

[[noreturn]] void outside(std::string_view what) {
    throw FileError(403, std::string(what) + ": leads outside the workspace");
}

// The kernel's openat2 may be missing, or refused by a container's filter
// with ENOSYS or EPERM: then the walk does the same job.
std::atomic<bool> openat2_missing{!may_call_openat2(this_kernel())};

int call_openat2(int dir, const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        long fd = ::syscall(SYS_openat2, dir, path, &how, sizeof how);
        // EAGAIN: a rename raced with the lookup; the kernel asks to retry.
        if (fd >= 0 || errno != EAGAIN || attempt == 8) {
            return static_cast<int>(fd);
        }
    }
}

std::string read_link(int link_fd) {
    std::string target(256, '\0');
    while (true) {
        ssize_t n = ::readlinkat(link_fd, "", target.data(), target.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

} // namespace

KernelFacts this_kernel() {
    KernelFacts facts;
    utsname name{};
    if (::uname(&name) == 0) {
        facts.release = name.release;
    }
    facts.android_signs = std::getenv("ANDROID_ROOT") != nullptr ||
                          std::getenv("ANDROID_DATA") != nullptr ||
                          ::access("/system/build.prop", F_OK) == 0;
    return facts;
}

bool may_call_openat2(const KernelFacts& kernel) {
    if (kernel.android_signs || kernel.release.find("android") != std::string::npos) {
        return false;
    }
    unsigned major = 0, minor = 0;
    if (std::sscanf(kernel.release.c_str(), "%u.%u", &major, &minor) != 2) {
        return false;
    }
    return major > 5 || (major == 5 && minor >= 6);
}

void fail(int error, std::string_view call, std::string_view what) {
    std::string message = std::string(what.empty() ? "the workspace" : what) + ": " +
                          std::strerror(error) + " (" + std::string(call) + ")";
    if (error == EXDEV) {
        outside(what);
    }
    throw FileError(status_for(error), message);
}

Path parse_path(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        throw FileError(400, "A path may not hold a NUL byte");
    }
    if (text.starts_with('/')) {
        throw FileError(400, std::string(text) + ": paths are relative to the workspace");
    }
    Path path;
    while (!text.empty()) {
        size_t slash = text.find('/');
        std::string_view part = text.substr(0, slash);
        if (part == "..") {
            throw FileError(400, "A path may not hold \"..\"");
        }
        if (!part.empty() && part != ".") {
            path.emplace_back(part);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        text.remove_prefix(slash + 1);
    }
    return path;
}

std::string join(const Path& path) {
    std::string out;
    for (const std::string& part : path) {
        if (!out.empty()) {
            out += '/';
        }
        out += part;
    }
    return out;
}

Workspace::Workspace(const std::string& root, Resolver resolver)
    : root_(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), resolver_(resolver) {
    if (root_.get() < 0) {
        fail(errno, "open", root);
    }
}

Fd Workspace::open(const Path& path, int flags, mode_t mode) const {
    if (resolver_ == Resolver::Automatic && !openat2_missing.load()) {
        std::string text = path.empty() ? "." : join(path);
        int fd = call_openat2(root_.get(), text.c_str(), flags, mode);
        if (fd >= 0) {
            return Fd(fd);
        }
        if (errno != ENOSYS && errno != EPERM) {
            fail(errno, "openat2", display(path));
        }
        openat2_missing = true;
    }
    return open_by_walk(path, flags, mode);
}

Fd Workspace::open_by_walk(const Path& path, int flags, mode_t mode) const {
    Location location = walk(path, (flags & O_NOFOLLOW) == 0);
    // The walk left no link in the last place; one swapped in since is
    // refused rather than followed.
    int fd =
        ::openat(location.dir.get(), location.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        fail(errno, "openat", display(path));
    }
    return Fd(fd);
}

Location Workspace::locate(const Path& path) const {
    return walk(path, false);
}

Location Workspace::locate_target(const Path& path) const {
    return walk(path, true);
}

// Resolves `path` one component at a time. Each component is opened with
// O_PATH | O_NOFOLLOW and examined through that descriptor, so what is
// checked is what is used. A link's target is pushed in front of the
// remaining components; ".." in it goes one directory up, never above the
// workspace.
Location Workspace::walk(const Path& path, bool follow_last) const {
    std::vector<Fd> dirs;
    dirs.emplace_back(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    Path canonical;
    std::deque<std::string> todo(path.begin(), path.end());
    int links = 0;
    const std::string what = display(path);
    if (todo.empty()) {
        return Location{std::move(dirs.back()), ".", {}};
    }
    while (!todo.empty()) {
        std::string part = std::move(todo.front());
        todo.pop_front();
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (dirs.size() == 1) {
                outside(what);
            }
            dirs.pop_back();
            canonical.pop_back();
            continue;
        }
        bool last = todo.empty();
        if (last && !follow_last) {
            canonical.push_back(part);
            return Location{std::move(dirs.back()), std::move(part), std::move(canonical)};
        }
        Fd fd(::openat(dirs.back().get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0) {
            if (errno == ENOENT && last) {
                canonical.push_back(part);
                return Location{std::move(dirs.back()), std::move(part), std::move(canonical)};
            }
            fail(errno, "openat", what);
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            fail(errno, "fstat", what);
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) {
                fail(ELOOP, "readlinkat", what);
            }
            std::string target = read_link(fd.get());
            if (target.empty() || target.front() == '/') {
                outside(what);
            }
            Path parts;
            for (std::string_view rest = target; !rest.empty();) {
                size_t slash = rest.find('/');
                parts.emplace_back(rest.substr(0, slash));
                rest =
                    slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
            }
            todo.insert(todo.begin(), parts.begin(), parts.end());
            continue;
        }
        canonical.push_back(part);
        if (last) {
            return Location{std::move(dirs.back()), std::move(part), std::move(canonical)};
        }
        if (!S_ISDIR(st.st_mode)) {
            fail(ENOTDIR, "openat", what);
        }
        dirs.push_back(std::move(fd));
    }
    // Only links led here: the path ends at the directory they named.
    if (canonical.empty()) {
        return Location{std::move(dirs.back()), ".", {}};
    }
    dirs.pop_back();
    std::string name = canonical.back();
    return Location{std::move(dirs.back()), std::move(name), std::move(canonical)};
}

} // namespace quillo::files
