#include "app/password_store.h"

#include "utils/files.h"
#include "utils/text.h"

#include <sys/stat.h>
#include <utility>

namespace quillo::app {

PasswordStore::PasswordStore(std::string path) : path_(std::move(path)) {}

int64_t PasswordStore::modification_stamp() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

std::optional<std::string> PasswordStore::read_from_file() const {
    try {
        std::string content = utils::read_file(path_);
        if (!utils::is_valid_utf8(content)) {
            return std::nullopt;
        }
        std::string password = utils::strip_unicode_whitespace(content);
        if (password.empty()) {
            return std::nullopt;
        }
        return password;
    } catch (const std::exception&) {
        // Missing, unreadable or a directory: no password is set.
        return std::nullopt;
    }
}

bool PasswordStore::refresh(std::string* copy) {
    // The stamp is taken before the file is read, so an edit made while it
    // is being read leaves a stamp that no longer matches: the next call
    // reads again instead of trusting a stale password.
    int64_t stamp = modification_stamp();
    {
        std::lock_guard lock(mutex_);
        if (cache_ && stamp == cache_stamp_) {
            if (copy) {
                *copy = *cache_;
            }
            return true;
        }
    }
    std::optional<std::string> password = read_from_file();
    std::lock_guard lock(mutex_);
    if (password && copy) {
        *copy = *password;
    }
    bool set = password.has_value();
    cache_ = std::move(password);
    cache_stamp_ = stamp;
    return set;
}

std::optional<std::string> PasswordStore::read_password() {
    std::string password;
    if (!refresh(&password)) {
        return std::nullopt;
    }
    return password;
}

bool PasswordStore::password_set() {
    return refresh(nullptr);
}

void PasswordStore::write_password(const std::string& password) {
    utils::write_file_atomically(path_, password, 0600);
    int64_t stamp = modification_stamp();
    std::lock_guard lock(mutex_);
    cache_ = password;
    cache_stamp_ = stamp;
}

} // namespace quillo::app
