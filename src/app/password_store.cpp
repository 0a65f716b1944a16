#include "app/password_store.h"

#include "utils/files.h"
#include "utils/text.h"

#include <sys/stat.h>
#include <system_error>
#include <utility>

namespace quillo::app {

PasswordStore::PasswordStore(std::string path, Fingerprint fingerprint, Warn warn)
    : path_(std::move(path)), fingerprint_(std::move(fingerprint)), warn_(std::move(warn)) {}

int64_t PasswordStore::modification_stamp() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

PasswordState PasswordStore::read_from_file() const {
    using Kind = PasswordState::Kind;
    std::string content;
    try {
        content = utils::read_file(path_);
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::no_such_file_or_directory) {
            return {};
        }
        return {Kind::Unreadable, {}, {}, path_ + ": " + e.code().message()};
    } catch (const std::exception& e) {
        return {Kind::Unreadable, {}, {}, path_ + ": " + e.what()};
    }
    if (!utils::is_valid_utf8(content)) {
        return {Kind::Unreadable, {}, {}, path_ + ": " + *utils::utf8_decode_error(content)};
    }
    std::string password = utils::strip_unicode_whitespace(content);
    if (password.empty()) {
        return {}; // emptying the file is how a password is reset
    }
    std::string fingerprint = fingerprint_ ? fingerprint_(password) : std::string();
    return {Kind::Set, std::move(password), std::move(fingerprint), {}};
}

void PasswordStore::warn_once(int64_t stamp, const std::string& error) {
    {
        std::lock_guard lock(mutex_);
        if (warned_ && warned_->first == stamp && warned_->second == error) {
            return;
        }
        warned_ = {stamp, error};
    }
    if (warn_) {
        warn_("Cannot read the password file " + error +
              "; every request is refused until it is fixed or removed");
    }
}

PasswordState PasswordStore::state(bool with_password) {
    // The stamp is taken before the file is read, so an edit made while it
    // is being read leaves a stamp that no longer matches: the next call
    // reads again instead of trusting a stale password.
    int64_t stamp = modification_stamp();
    {
        std::lock_guard lock(mutex_);
        if (cache_ && stamp == cache_stamp_) {
            PasswordState copy{cache_->kind, {}, cache_->fingerprint, {}};
            if (with_password) {
                copy.password = cache_->password;
            }
            return copy;
        }
    }
    // Only a password is cached: "no password" and an unreadable file are
    // looked at again each time, since a chmod that fixes the file does not
    // change its modification time.
    PasswordState fresh = read_from_file();
    if (fresh.kind == PasswordState::Kind::Unreadable) {
        warn_once(stamp, fresh.error);
    }
    std::lock_guard lock(mutex_);
    if (fresh.kind == PasswordState::Kind::Set) {
        cache_ = fresh;
    } else {
        cache_.reset();
    }
    cache_stamp_ = stamp;
    if (!with_password) {
        fresh.password.clear();
    }
    return fresh;
}

std::optional<std::string> PasswordStore::read_password() {
    PasswordState current = state(true);
    if (current.kind != PasswordState::Kind::Set) {
        return std::nullopt;
    }
    return std::move(current.password);
}

bool PasswordStore::password_set() {
    return state().kind != PasswordState::Kind::NotSet;
}

void PasswordStore::write_password(const std::string& password) {
    utils::write_file_atomically(path_, password, 0600);
    std::string fingerprint = fingerprint_ ? fingerprint_(password) : std::string();
    int64_t stamp = modification_stamp();
    std::lock_guard lock(mutex_);
    cache_ = PasswordState{PasswordState::Kind::Set, password, std::move(fingerprint), {}};
    cache_stamp_ = stamp;
}

} // namespace quillo::app
