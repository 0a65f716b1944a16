#include "tree.h"

#include "workspace.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <vector>

namespace quillo::files {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The names in a directory, without "." and "..".
std::vector<std::string> names_in(int dir, const std::string& name) {
    int fd = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fail(errno, "openat", name);
    }
    std::unique_ptr<DIR, DirCloser> stream(::fdopendir(fd));
    if (!stream) {
        ::close(fd);
        fail(errno, "fdopendir", name);
    }
    std::vector<std::string> names;
    while (std::optional<std::string> entry = next_name(stream.get())) {
        names.push_back(std::move(*entry));
    }
    return names;
}

Fd open_dir(int dir, const std::string& name) {
    Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        fail(errno, "openat", name);
    }
    return fd;
}

std::string link_target(int dir, const std::string& name) {
    std::string target(4096, '\0');
    ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
    if (n < 0) {
        fail(errno, "readlinkat", name);
    }
    target.resize(static_cast<size_t>(n));
    return target;
}

void copy_file(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
               mode_t mode, const std::string& what) {
    Fd in(::openat(from_dir, from_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) {
        fail(errno, "openat", what);
    }
    Fd out(::openat(to_dir, to_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600));
    if (out.get() < 0) {
        fail(errno, "openat", what);
    }
    char buffer[128 * 1024];
    while (size_t n = read_some(in.get(), buffer, sizeof buffer, what)) {
        if (!write_all(out.get(), buffer, n)) {
            fail(errno, "write", what);
        }
    }
    if (::fchmod(out.get(), mode & 07777) != 0 || ::fsync(out.get()) != 0) {
        fail(errno, "fsync", what);
    }
}

bool same_bytes(int a_dir, const std::string& a_name, int b_dir, const std::string& b_name) {
    Fd a(::openat(a_dir, a_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Fd b(::openat(b_dir, b_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (a.get() < 0 || b.get() < 0) {
        return false;
    }
    char x[64 * 1024], y[64 * 1024];
    while (true) {
        ssize_t n = ::read(a.get(), x, sizeof x);
        if (n < 0) {
            return false;
        }
        ssize_t got = 0;
        while (got < n) {
            ssize_t m = ::read(b.get(), y + got, static_cast<size_t>(n - got));
            if (m <= 0) {
                return false;
            }
            got += m;
        }
        if (n == 0) {
            return ::read(b.get(), y, 1) == 0;
        }
        if (std::char_traits<char>::compare(x, y, static_cast<size_t>(n)) != 0) {
            return false;
        }
    }
}

} // namespace

std::optional<std::string> next_name(DIR* stream) {
    while (dirent* entry = ::readdir(stream)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            return name;
        }
    }
    return std::nullopt;
}

size_t read_some(int fd, char* buffer, size_t size, const std::string& what) {
    while (true) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) {
            return static_cast<size_t>(n);
        }
        if (errno != EINTR) {
            fail(errno, "read", what);
        }
    }
}

bool write_all(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string temporary_name(const std::string& name) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string suffix;
    for (uint64_t bits = random(); suffix.size() < 12; bits >>= 4) {
        suffix += kDigits[bits & 15];
    }
    // Cut long names so that the temporary one stays within NAME_MAX.
    std::string temporary(".");
    temporary.append(name, 0, 200).append(".quillo-").append(suffix);
    return temporary;
}

void copy_entry(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
                const std::string& what) {
    struct stat st {};
    if (::fstatat(from_dir, from_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(errno, "fstatat", what);
    }
    if (S_ISREG(st.st_mode)) {
        copy_file(from_dir, from_name, to_dir, to_name, st.st_mode, what);
    } else if (S_ISLNK(st.st_mode)) {
        if (::symlinkat(link_target(from_dir, from_name).c_str(), to_dir, to_name.c_str()) != 0) {
            fail(errno, "symlinkat", what);
        }
    } else if (S_ISDIR(st.st_mode)) {
        if (::mkdirat(to_dir, to_name.c_str(), 0700) != 0) {
            fail(errno, "mkdirat", what);
        }
        Fd from = open_dir(from_dir, from_name);
        Fd to = open_dir(to_dir, to_name);
        for (const std::string& child : names_in(from_dir, from_name)) {
            copy_entry(from.get(), child, to.get(), child, what + "/" + child);
        }
        if (::fchmod(to.get(), st.st_mode & 07777) != 0) {
            fail(errno, "fchmod", what);
        }
    }
}

bool same_entry(int a_dir, const std::string& a_name, int b_dir, const std::string& b_name) {
    struct stat a {
    }, b{};
    if (::fstatat(a_dir, a_name.c_str(), &a, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstatat(b_dir, b_name.c_str(), &b, AT_SYMLINK_NOFOLLOW) != 0 ||
        (a.st_mode & S_IFMT) != (b.st_mode & S_IFMT)) {
        return false;
    }
    if (S_ISREG(a.st_mode)) {
        return a.st_size == b.st_size && same_bytes(a_dir, a_name, b_dir, b_name);
    }
    if (S_ISLNK(a.st_mode)) {
        return link_target(a_dir, a_name) == link_target(b_dir, b_name);
    }
    if (!S_ISDIR(a.st_mode)) {
        return true; // skipped when copied
    }
    Fd a_fd = open_dir(a_dir, a_name);
    Fd b_fd = open_dir(b_dir, b_name);
    std::vector<std::string> names = names_in(a_dir, a_name);
    for (const std::string& child : names) {
        struct stat child_st {};
        bool copied_kind =
            ::fstatat(a_fd.get(), child.c_str(), &child_st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(child_st.st_mode) || S_ISLNK(child_st.st_mode) || S_ISDIR(child_st.st_mode));
        if (copied_kind && !same_entry(a_fd.get(), child, b_fd.get(), child)) {
            return false;
        }
    }
    return true;
}

uint64_t entry_size(int dir, const std::string& name) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        return static_cast<uint64_t>(st.st_size);
    }
    if (!S_ISDIR(st.st_mode)) {
        return 0;
    }
    uint64_t total = 0;
    try {
        Fd fd = open_dir(dir, name);
        for (const std::string& child : names_in(dir, name)) {
            total += entry_size(fd.get(), child);
        }
    } catch (const FileError&) {
        // An unreadable part counts as empty: the size only orders the trash.
    }
    return total;
}

void remove_entry(int dir, const std::string& name, const std::string& what) {
    if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) {
        return;
    }
    if (errno != EISDIR && errno != EPERM) {
        fail(errno, "unlinkat", what);
    }
    {
        Fd fd = open_dir(dir, name);
        for (const std::string& child : names_in(dir, name)) {
            remove_entry(fd.get(), child, what + "/" + child);
        }
    }
    if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        fail(errno, "unlinkat", what);
    }
}

} // namespace quillo::files
