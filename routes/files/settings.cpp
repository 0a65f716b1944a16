#include "settings.h"

#include "tree.h"
#include "workspace.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <sys/stat.h>
#include <system_error>

namespace quillo::files {

namespace {

constexpr const char* kFileName = "ide_settings.json";
constexpr const char* kSetAsideName = "ide_settings.json.bad";
// Far above what the limits allow, so that only a foreign file is refused.
constexpr size_t kMaxStoredBytes = 4u << 20;

// Reads, merges and writes never interleave within the server.
std::mutex& settings_mutex() {
    static std::mutex mutex;
    return mutex;
}

bool valid_key(const std::string& key, const SettingsLimits& limits) {
    auto allowed = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-';
    };
    return !key.empty() && key.size() <= limits.max_key_length &&
           std::all_of(key.begin(), key.end(), allowed);
}

bool valid_string(const nlohmann::json& value, const SettingsLimits& limits) {
    return value.is_string() &&
           value.get_ref<const std::string&>().size() <= limits.max_string_bytes;
}

bool valid_value(const nlohmann::json& value, const SettingsLimits& limits) {
    if (value.is_boolean() || value.is_number()) {
        return true;
    }
    if (value.is_array()) {
        return value.size() <= limits.max_array_items &&
               std::all_of(value.begin(), value.end(),
                           [&](const nlohmann::json& item) { return valid_string(item, limits); });
    }
    return valid_string(value, limits);
}

// Throws FileError 400 for a change the store does not take; null removes.
void check_change(const std::string& key, const nlohmann::json& value,
                  const SettingsLimits& limits) {
    if (!valid_key(key, limits)) {
        throw FileError(400, "Setting names are 1 to " + std::to_string(limits.max_key_length) +
                                 " characters of A-Z, a-z, 0-9, \"_\", \".\" and \"-\"; \"" +
                                 key.substr(0, limits.max_key_length) + "\" is not");
    }
    if (!value.is_null() && !valid_value(value, limits)) {
        throw FileError(
            400, "Setting \"" + key + "\" must be a boolean, a number, a string of at most " +
                     std::to_string(limits.max_string_bytes) + " bytes or an array of at most " +
                     std::to_string(limits.max_array_items) + " such strings");
    }
}

struct Stored {
    nlohmann::json settings = nlohmann::json::object();
    std::string problem; // why a file that is there could not be taken; empty otherwise
};

std::string read_whole(int fd, const std::string& what) {
    std::string text;
    char buffer[16384];
    while (size_t n = read_some(fd, buffer, sizeof buffer, what)) {
        text.append(buffer, n);
        if (text.size() > kMaxStoredBytes) {
            throw FileError(500, "is larger than " + std::to_string(kMaxStoredBytes) + " bytes");
        }
    }
    return text;
}

Stored load(int dir, const std::string& what, const SettingsLimits& limits) {
    Fd fd(::openat(dir, kFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return {};
        }
        return {nlohmann::json::object(),
                "cannot be opened: " + std::error_code(errno, std::generic_category()).message()};
    }
    try {
        nlohmann::json parsed = nlohmann::json::parse(read_whole(fd.get(), what), nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) {
            return {nlohmann::json::object(), "is not a JSON object"};
        }
        for (const auto& [key, value] : parsed.items()) {
            if (value.is_null()) {
                throw FileError(500, "holds a null setting \"" + key + "\"");
            }
            check_change(key, value, limits);
        }
        if (parsed.size() > limits.max_keys) {
            throw FileError(500,
                            "holds more than " + std::to_string(limits.max_keys) + " settings");
        }
        return {std::move(parsed), ""};
    } catch (const FileError& error) {
        return {nlohmann::json::object(), error.what()};
    }
}

// Keeps a stored file that could not be taken next to the new one, so that
// nothing the user had is lost without a trace.
void set_aside(int dir, const std::string& what, const std::string& problem) {
    if (::renameat(dir, kFileName, dir, kSetAsideName) != 0 && errno != ENOENT) {
        fail(errno, "renameat", what);
    }
    std::cerr << "[WARN] " << what << " " << problem << "; it was kept as " << kSetAsideName
              << " and the settings start afresh" << std::endl;
}

// A temporary file in the same folder, synced and renamed over the old one:
// a crash leaves either the old settings or the new ones, never a part.
void save(int dir, const std::string& what, const nlohmann::json& settings) {
    std::string text = settings.dump(2) + "\n";
    std::string temporary = temporary_name(kFileName);
    Fd fd(::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600));
    if (fd.get() < 0) {
        fail(errno, "openat", what);
    }
    try {
        if (::fchmod(fd.get(), 0600) != 0 || !write_all(fd.get(), text.data(), text.size()) ||
            ::fsync(fd.get()) != 0) {
            fail(errno, "write", what);
        }
        if (::renameat(dir, temporary.c_str(), dir, kFileName) != 0) {
            fail(errno, "renameat", what);
        }
    } catch (...) {
        ::unlinkat(dir, temporary.c_str(), 0);
        throw;
    }
    ::fsync(dir); // the rename itself reaches the disk
}

Fd open_folder(const std::string& directory) {
    Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        fail(errno, "open", directory);
    }
    return fd;
}

} // namespace

SettingsStore::SettingsStore(std::string directory, SettingsLimits limits)
    : directory_(std::move(directory)), limits_(limits) {}

nlohmann::json SettingsStore::read() const {
    std::lock_guard<std::mutex> lock(settings_mutex());
    Fd dir = open_folder(directory_);
    return load(dir.get(), directory_ + "/" + kFileName, limits_).settings;
}

nlohmann::json SettingsStore::merge(const nlohmann::json& changes) {
    if (!changes.is_object()) {
        throw FileError(400, "\"settings\" must be a JSON object");
    }
    for (const auto& [key, value] : changes.items()) {
        check_change(key, value, limits_);
    }
    std::lock_guard<std::mutex> lock(settings_mutex());
    Fd dir = open_folder(directory_);
    std::string what = directory_ + "/" + kFileName;
    Stored stored = load(dir.get(), what, limits_);
    nlohmann::json merged = std::move(stored.settings);
    for (const auto& [key, value] : changes.items()) {
        if (value.is_null()) {
            merged.erase(key);
        } else {
            merged[key] = value;
        }
    }
    if (merged.size() > limits_.max_keys) {
        throw FileError(400, "At most " + std::to_string(limits_.max_keys) +
                                 " settings are stored; this change would make " +
                                 std::to_string(merged.size()));
    }
    if (!stored.problem.empty()) {
        set_aside(dir.get(), what, stored.problem);
    }
    save(dir.get(), what, merged);
    return merged;
}

} // namespace quillo::files
