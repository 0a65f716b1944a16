#include "files_service.h"

#include "text.h"
#include "tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quillo::files {

namespace {

double seconds_of(const timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

std::string etag_of(const struct stat& st) {
    char text[96];
    std::snprintf(
        text, sizeof text, "\"%llx.%lx-%llx-%llx\"",
        static_cast<unsigned long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec),
        static_cast<unsigned long long>(st.st_size), static_cast<unsigned long long>(st.st_ino));
    return text;
}

// Writes and renames are serialised in this process, so that the check of
// an ETag and the rename that follows it are not split by another save.
std::mutex& save_mutex() {
    static std::mutex mutex;
    return mutex;
}

bool rename_no_replace(int from_dir, const std::string& from, int to_dir, const std::string& to) {
    if (::renameat2(from_dir, from.c_str(), to_dir, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // The file system cannot promise that; a link for a file is atomic, a
    // check for a directory is the best left.
    struct stat st {};
    if (::fstatat(from_dir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        if (::linkat(from_dir, from.c_str(), to_dir, to.c_str(), 0) != 0) {
            return false;
        }
        ::unlinkat(from_dir, from.c_str(), 0);
        return true;
    }
    if (::fstatat(to_dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(from_dir, from.c_str(), to_dir, to.c_str()) == 0;
}

void refuse_workspace_itself(const Path& path) {
    if (path.empty()) {
        throw FileError(400, "The workspace itself cannot be changed this way");
    }
}

[[noreturn]] void conflict(const Path& path, const struct stat* now) {
    nlohmann::json extra = {{"etag", nullptr}, {"mtime", nullptr}};
    if (now) {
        Stamp stamp = stamp_of(*now);
        extra = {{"etag", stamp.etag}, {"mtime", stamp.mtime}};
    }
    throw FileError(
        409, display(path) + (now ? " was changed since it was loaded" : " no longer exists"),
        extra);
}

// Who this process is, for the writable and executable hints of a listing: computed from
// the permission bits instead of asking the kernel once per entry (ACLs are
// not seen; the save itself reports what the kernel says).
struct Identity {
    uid_t uid = ::geteuid();
    std::vector<gid_t> groups;
    bool read_only = false;

    explicit Identity(int dir) {
        groups.resize(static_cast<size_t>(std::max(0, ::getgroups(0, nullptr))));
        groups.resize(static_cast<size_t>(
            std::max(0, ::getgroups(static_cast<int>(groups.size()), groups.data()))));
        groups.push_back(::getegid());
        struct statvfs fs {};
        read_only = ::fstatvfs(dir, &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0;
    }

    bool may_write(const struct stat& st) const {
        if (read_only) {
            return false;
        }
        return uid == 0 || owner_class_allows(st, S_IWUSR, S_IWGRP, S_IWOTH);
    }

    // Root may run a file that has any execute bit, as the kernel decides.
    bool may_execute(const struct stat& st) const {
        if (!S_ISREG(st.st_mode)) {
            return false;
        }
        if (uid == 0) {
            return (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
        }
        return owner_class_allows(st, S_IXUSR, S_IXGRP, S_IXOTH);
    }

    // The bit of the class this process falls in: owner, group or others.
    bool owner_class_allows(const struct stat& st, mode_t user, mode_t group, mode_t other) const {
        if (st.st_uid == uid) {
            return (st.st_mode & user) != 0;
        }
        if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) {
            return (st.st_mode & group) != 0;
        }
        return (st.st_mode & other) != 0;
    }
};

Entry describe(const Workspace& workspace, const Identity& me, int dir, const std::string& name,
               const Path& path) {
    Entry entry;
    entry.name = name;
    entry.path = path;
    entry.hidden = name.starts_with('.');
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        entry.type = "other";
        return entry;
    }
    entry.size = static_cast<uint64_t>(st.st_size);
    entry.mtime = seconds_of(st.st_mtim);
    entry.type = S_ISDIR(st.st_mode)   ? "directory"
                 : S_ISREG(st.st_mode) ? "file"
                 : S_ISLNK(st.st_mode) ? "symlink"
                                       : "other";
    if (!S_ISLNK(st.st_mode)) {
        entry.writable = me.may_write(st);
        entry.executable = me.may_execute(st);
        return entry;
    }
    try {
        Fd target = workspace.open(path, O_PATH);
        struct stat target_st {};
        if (::fstat(target.get(), &target_st) == 0) {
            entry.target_type = S_ISDIR(target_st.st_mode) ? "directory" : "file";
            entry.writable = me.may_write(target_st);
            entry.executable = me.may_execute(target_st);
        }
    } catch (const FileError&) {
        // Outside the workspace or broken: listed as a link only.
    }
    return entry;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

std::unique_ptr<DIR, DirCloser> open_listing(Fd fd, const std::string& what) {
    std::unique_ptr<DIR, DirCloser> stream(::fdopendir(fd.get()));
    if (!stream) {
        fail(errno, "fdopendir", what);
    }
    fd.release();
    return stream;
}

bool is_directory_at(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Refuses to put a directory inside itself (or one of its own entries).
void refuse_into_itself(const Location& from, const Location& to_parent_of, const Path& to) {
    const Path& outer = from.canonical;
    const Path& inner = to_parent_of.canonical;
    if (!is_directory_at(from.dir.get(), from.name)) {
        return;
    }
    if (inner.size() >= outer.size() && std::equal(outer.begin(), outer.end(), inner.begin())) {
        throw FileError(400, display(to) + ": a directory cannot go into itself");
    }
}

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace

Stamp stamp_of(const struct stat& st) {
    return Stamp{static_cast<uint64_t>(st.st_size), seconds_of(st.st_mtim), etag_of(st)};
}

std::vector<Entry> FilesService::list(const Path& directory) const {
    std::string what = display(directory);
    Fd fd = workspace_.open(directory, O_RDONLY | O_DIRECTORY);
    int dir = fd.get();
    auto stream = open_listing(std::move(fd), what);
    std::vector<Entry> entries;
    Identity me(dir);
    while (std::optional<std::string> name = next_name(stream.get())) {
        Path path = directory;
        path.push_back(*name);
        entries.push_back(describe(workspace_, me, dir, *name, path));
    }
    // Sorted by reference: moving whole entries around costs more than
    // comparing their names.
    struct Key {
        bool directory;
        Entry* entry;
    };
    std::vector<Key> keys;
    keys.reserve(entries.size());
    for (Entry& entry : entries) {
        keys.push_back({entry.is_directory(), &entry});
    }
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        if (a.directory != b.directory) {
            return a.directory;
        }
        return natural_less(a.entry->name, b.entry->name);
    });
    std::vector<Entry> sorted;
    sorted.reserve(entries.size());
    for (const Key& key : keys) {
        sorted.push_back(std::move(*key.entry));
    }
    return sorted;
}

FileContent FilesService::read(const Path& path) const {
    std::string what = display(path);
    Fd fd = workspace_.open(path, O_RDONLY);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        fail(errno, "fstat", what);
    }
    if (S_ISDIR(st.st_mode)) {
        fail(EISDIR, "read", what);
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxReadBytes) {
        nlohmann::json sizes = {{"limit", kMaxReadBytes}, {"size", st.st_size}};
        throw FileError(413, what + " is larger than the 5 MiB limit of the editor", sizes);
    }
    FileContent content;
    content.bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (true) {
        if (got == content.bytes.size()) {
            content.bytes.resize(got + 4096); // the file may have grown
        }
        size_t n =
            read_some(fd.get(), content.bytes.data() + got, content.bytes.size() - got, what);
        if (n == 0) {
            break;
        }
        got += n;
        if (got > kMaxReadBytes) {
            throw FileError(413, what + " grew beyond 5 MiB while it was read");
        }
    }
    content.bytes.resize(got);
    content.stamp = stamp_of(st);
    content.stamp.size = got;
    return content;
}

Stamp FilesService::write(const Path& path, const std::string& bytes,
                          const std::optional<std::string>& expected_etag,
                          Existing existing) const {
    auto content = [&](int fd) {
        if (!write_all(fd, bytes.data(), bytes.size())) {
            fail(errno, "write", display(path));
        }
    };
    return write(path, content, expected_etag, existing);
}

Stamp FilesService::write(const Path& path, const ContentWriter& content,
                          const std::optional<std::string>& expected_etag,
                          Existing existing) const {
    refuse_workspace_itself(path);
    std::string what = display(path);
    Location target = workspace_.locate_target(path);
    int dir = target.dir.get();
    struct stat old {};
    bool exists = ::fstatat(dir, target.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !S_ISREG(old.st_mode)) {
        fail(S_ISDIR(old.st_mode) ? EISDIR : EINVAL, "write", what);
    }
    if (exists && existing == Existing::Keep) {
        fail(EEXIST, "write", what);
    }
    if (expected_etag && (!exists || etag_of(old) != *expected_etag)) {
        conflict(path, exists ? &old : nullptr);
    }
    std::string temporary = temporary_name(target.name);
    Fd fd(::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   exists ? 0600 : 0666));
    if (fd.get() < 0) {
        fail(errno, "openat", what);
    }
    auto give_up = [&](int error, const char* call) {
        ::unlinkat(dir, temporary.c_str(), 0);
        fail(error, call, what);
    };
    try {
        content(fd.get());
    } catch (...) {
        ::unlinkat(dir, temporary.c_str(), 0);
        throw;
    }
    if (exists && ::fchmod(fd.get(), old.st_mode & 07777) != 0) {
        give_up(errno, "fchmod");
    }
    if (::fsync(fd.get()) != 0) {
        give_up(errno, "fsync");
    }
    struct stat written {};
    {
        std::lock_guard<std::mutex> lock(save_mutex());
        struct stat now {};
        bool still = ::fstatat(dir, target.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
        if (expected_etag && (!still || etag_of(now) != *expected_etag)) {
            ::unlinkat(dir, temporary.c_str(), 0);
            conflict(path, still ? &now : nullptr);
        }
        bool placed = existing == Existing::Keep
                          ? rename_no_replace(dir, temporary, dir, target.name)
                          : ::renameat(dir, temporary.c_str(), dir, target.name.c_str()) == 0;
        if (!placed) {
            give_up(errno, "renameat");
        }
        ::fstat(fd.get(), &written);
    }
    Fd directory(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) {
        ::fsync(directory.get()); // the rename itself survives a power cut
    }
    return stamp_of(written);
}

void FilesService::create(const Path& path, bool directory) const {
    refuse_workspace_itself(path);
    std::string what = display(path);
    Location location = workspace_.locate(path);
    if (directory) {
        if (::mkdirat(location.dir.get(), location.name.c_str(), 0777) != 0) {
            fail(errno, "mkdirat", what);
        }
        return;
    }
    Fd fd(::openat(location.dir.get(), location.name.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        fail(errno, "openat", what);
    }
}

namespace {

// The two ends of a rename or a copy, checked: neither is the workspace
// itself, the source exists, and a directory does not go into itself.
struct Transfer {
    Location source;
    Location target;
};

Transfer prepare_transfer(const Workspace& workspace, const Path& from, const Path& to) {
    refuse_workspace_itself(from);
    refuse_workspace_itself(to);
    Transfer transfer{workspace.locate(from), workspace.locate(to)};
    struct stat st {};
    if (::fstatat(transfer.source.dir.get(), transfer.source.name.c_str(), &st,
                  AT_SYMLINK_NOFOLLOW) != 0) {
        fail(errno, "fstatat", display(from));
    }
    refuse_into_itself(transfer.source, transfer.target, to);
    return transfer;
}

} // namespace

void FilesService::rename(const Path& from, const Path& to) const {
    auto [source, target] = prepare_transfer(workspace_, from, to);
    std::lock_guard<std::mutex> lock(save_mutex());
    if (!rename_no_replace(source.dir.get(), source.name, target.dir.get(), target.name)) {
        fail(errno, "renameat2", display(to));
    }
}

void FilesService::copy(const Path& from, const Path& to) const {
    auto [source, target] = prepare_transfer(workspace_, from, to);
    struct stat st {};
    if (::fstatat(target.dir.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        fail(EEXIST, "copy", display(to));
    }
    // Copied under a temporary name and then put in place, so that a copy
    // cut short never looks complete.
    std::string temporary = temporary_name(target.name);
    try {
        copy_entry(source.dir.get(), source.name, target.dir.get(), temporary, display(from));
    } catch (...) {
        try {
            remove_entry(target.dir.get(), temporary, display(to));
        } catch (const FileError&) {
        }
        throw;
    }
    if (!rename_no_replace(target.dir.get(), temporary, target.dir.get(), target.name)) {
        int error = errno;
        remove_entry(target.dir.get(), temporary, display(to));
        fail(error, "renameat2", display(to));
    }
}

SearchResult FilesService::search(const std::string& query, size_t limit,
                                  std::chrono::milliseconds budget) const {
    auto deadline = std::chrono::steady_clock::now() + budget;
    std::string needle = lower_ascii(query);
    SearchResult result;
    std::deque<Path> directories{Path{}};
    while (!directories.empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.truncated = true;
            break;
        }
        Path directory = std::move(directories.front());
        directories.pop_front();
        std::unique_ptr<DIR, DirCloser> stream;
        try {
            // Opened below the workspace without following a final link.
            stream = open_listing(workspace_.open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW),
                                  display(directory));
        } catch (const FileError&) {
            continue; // unreadable or replaced meanwhile
        }
        int dir = ::dirfd(stream.get());
        while (std::optional<std::string> next = next_name(stream.get())) {
            std::string name = std::move(*next);
            Path path = directory;
            path.push_back(name);
            bool is_dir = is_directory_at(dir, name);
            if (is_dir && name != ".git" && name != "node_modules") {
                directories.push_back(path);
            }
            if (lower_ascii(name).find(needle) != std::string::npos) {
                if (result.matches.size() == limit) {
                    result.truncated = true;
                    return result;
                }
                Entry entry;
                entry.name = name;
                entry.path = std::move(path);
                entry.type = is_dir ? "directory" : "file";
                result.matches.push_back(std::move(entry));
            }
        }
    }
    return result;
}

void move_entry(int from_dir, const std::string& from_name, int to_dir, const std::string& to_name,
                const std::string& what) {
    if (rename_no_replace(from_dir, from_name, to_dir, to_name)) {
        return;
    }
    if (errno != EXDEV) {
        fail(errno, "renameat2", what);
    }
    // Another file system: copy, check the copy, and only then remove the
    // original, so that nothing is lost if any step fails.
    std::string temporary = temporary_name(to_name);
    try {
        copy_entry(from_dir, from_name, to_dir, temporary, what);
        if (!same_entry(from_dir, from_name, to_dir, temporary)) {
            throw FileError(500, what + ": the copy differs from the original; nothing was moved");
        }
        if (!rename_no_replace(to_dir, temporary, to_dir, to_name)) {
            fail(errno, "renameat2", what);
        }
    } catch (...) {
        try {
            remove_entry(to_dir, temporary, what);
        } catch (const FileError&) {
        }
        throw;
    }
    remove_entry(from_dir, from_name, what);
}

} // namespace quillo::files
