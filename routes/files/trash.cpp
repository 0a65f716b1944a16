#include "trash.h"

#include "files_service.h"
#include "text.h"
#include "tree.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace quillo::files {

namespace {

// One trash per process, whatever the number of Trash objects: put, list
// and restore each see it whole.
std::mutex& trash_mutex() {
    static std::mutex mutex;
    return mutex;
}

bool valid_id(const std::string& id) {
    return !id.empty() && id.size() < 64 &&
           id.find_first_not_of("0123456789abcdef-") == std::string::npos;
}

std::string new_id(int64_t now) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%012llx-", static_cast<unsigned long long>(now));
    // temporary_name ends in 12 random hexadecimal digits.
    std::string random = temporary_name("x");
    return stamp + random.substr(random.size() - 12);
}

std::string read_small_file(int dir, const char* name) {
    Fd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::string text;
    char buffer[4096];
    ssize_t n;
    while (fd.get() >= 0 && (n = ::read(fd.get(), buffer, sizeof buffer)) > 0 &&
           text.size() < 1 << 20) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::string type_of(int dir, const std::string& name) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return "file";
    }
    return S_ISDIR(st.st_mode) ? "directory" : S_ISLNK(st.st_mode) ? "symlink" : "file";
}

// Creates the missing directories of `path` (all but its last component).
void make_parents(const Workspace& workspace, const Path& path) {
    Path prefix;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        prefix.push_back(path[i]);
        Location location = workspace.locate_target(prefix);
        if (::mkdirat(location.dir.get(), location.name.c_str(), 0777) != 0 && errno != EEXIST) {
            fail(errno, "mkdirat", display(prefix));
        }
    }
}

} // namespace

Trash::Trash(std::string directory, TrashLimits limits, std::function<int64_t()> now)
    : directory_(std::move(directory)), limits_(limits), now_(std::move(now)) {
    if (!now_) {
        now_ = [] { return static_cast<int64_t>(std::time(nullptr)); };
    }
}

Fd Trash::open_directory() {
    if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(errno, "mkdir", directory_);
    }
    Fd fd(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        fail(errno, "open", directory_);
    }
    return fd;
}

std::string Trash::put(const Workspace& workspace, const Path& path) {
    if (path.empty()) {
        throw FileError(400, "The workspace itself cannot be deleted");
    }
    std::lock_guard<std::mutex> lock(trash_mutex());
    Fd trash = open_directory();
    Location location = workspace.locate(path);
    std::string what = display(path);
    struct stat st {};
    if (::fstatat(location.dir.get(), location.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(errno, "fstatat", what);
    }
    int64_t now = now_();
    std::string id = new_id(now);
    if (::mkdirat(trash.get(), id.c_str(), 0700) != 0) {
        fail(errno, "mkdirat", directory_ + "/" + id);
    }
    Fd item(::openat(trash.get(), id.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    nlohmann::json info = {{"raw", base64url_encode(join(location.canonical))},
                           {"type", type_of(location.dir.get(), location.name)},
                           {"size", entry_size(location.dir.get(), location.name)},
                           {"deleted_at", now}};
    std::string text = info.dump();
    try {
        Fd info_fd(
            ::openat(item.get(), "info.json", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (info_fd.get() < 0 || !write_all(info_fd.get(), text.data(), text.size()) ||
            ::fsync(info_fd.get()) != 0) {
            fail(errno, "write", directory_ + "/" + id + "/info.json");
        }
        move_entry(location.dir.get(), location.name, item.get(), "data", what);
    } catch (...) {
        remove_entry(trash.get(), id, directory_ + "/" + id);
        throw;
    }
    enforce_limits(trash.get());
    return id;
}

std::vector<TrashItem> Trash::read_items(int trash_fd) {
    std::vector<TrashItem> items;
    Fd copy(::openat(trash_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = ::fdopendir(copy.get());
    if (stream == nullptr) {
        return items;
    }
    copy.release();
    while (std::optional<std::string> name = next_name(stream)) {
        std::string id = std::move(*name);
        if (!valid_id(id)) {
            continue;
        }
        Fd item(::openat(trash_fd, id.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        nlohmann::json info =
            nlohmann::json::parse(read_small_file(item.get(), "info.json"), nullptr, false);
        std::optional<std::string> raw;
        if (info.is_object() && info.value("raw", nlohmann::json()).is_string()) {
            raw = base64url_decode(info["raw"].get<std::string>());
        }
        if (!raw) {
            continue; // not ours, or a put that did not finish
        }
        TrashItem found;
        found.id = id;
        found.path = parse_path(*raw);
        found.type = info.value("type", "file");
        found.size = info.value("size", uint64_t{0});
        found.deleted_at = info.value("deleted_at", int64_t{0});
        items.push_back(std::move(found));
    }
    ::closedir(stream);
    std::sort(items.begin(), items.end(),
              [](const TrashItem& a, const TrashItem& b) { return a.id < b.id; });
    return items;
}

void Trash::enforce_limits(int trash_fd) {
    std::vector<TrashItem> items = read_items(trash_fd);
    uint64_t total = 0;
    for (const TrashItem& item : items) {
        total += item.size;
    }
    int64_t oldest_kept = now_() - limits_.max_age_seconds;
    for (size_t i = 0; i < items.size(); ++i) {
        bool too_old = items[i].deleted_at < oldest_kept;
        bool over_budget = total > limits_.max_bytes && i + 1 < items.size();
        if (!too_old && !over_budget) {
            break; // the rest is newer, and the total fits
        }
        remove_entry(trash_fd, items[i].id, directory_ + "/" + items[i].id);
        total -= items[i].size;
    }
}

std::vector<TrashItem> Trash::list() {
    std::lock_guard<std::mutex> lock(trash_mutex());
    Fd trash = open_directory();
    enforce_limits(trash.get());
    return read_items(trash.get());
}

// A request's id counts only when it is one of the names listed, so it can
// never reach outside the trash folder.
TrashItem Trash::find_item(int trash_fd, const std::string& id) {
    std::vector<TrashItem> items = valid_id(id) ? read_items(trash_fd) : std::vector<TrashItem>{};
    auto found = std::find_if(items.begin(), items.end(),
                              [&](const TrashItem& item) { return item.id == id; });
    if (found == items.end()) {
        throw FileError(404, "No item " + id + " in the trash");
    }
    return *found;
}

Path Trash::restore(const Workspace& workspace, const std::string& id) {
    std::lock_guard<std::mutex> lock(trash_mutex());
    Fd trash = open_directory();
    TrashItem found = find_item(trash.get(), id);
    make_parents(workspace, found.path);
    Location location = workspace.locate(found.path);
    Fd item(::openat(trash.get(), id.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (item.get() < 0) {
        fail(errno, "openat", directory_ + "/" + id);
    }
    move_entry(item.get(), "data", location.dir.get(), location.name, display(found.path));
    remove_entry(trash.get(), id, directory_ + "/" + id);
    return found.path;
}

void Trash::erase(const std::string& id) {
    std::lock_guard<std::mutex> lock(trash_mutex());
    Fd trash = open_directory();
    find_item(trash.get(), id);
    // The usage figure is the sum over the items' records, so it shrinks
    // with the item itself.
    remove_entry(trash.get(), id, directory_ + "/" + id);
}

size_t Trash::erase_all() {
    std::lock_guard<std::mutex> lock(trash_mutex());
    Fd trash = open_directory();
    std::vector<TrashItem> items = read_items(trash.get());
    for (const TrashItem& item : items) {
        remove_entry(trash.get(), item.id, directory_ + "/" + item.id);
    }
    return items.size();
}

} // namespace quillo::files
