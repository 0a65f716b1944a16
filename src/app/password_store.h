// The one shared password, kept as text in pwd.txt.
//
// The request guard asks for it on almost every request, so the value is
// cached and revalidated against the file's modification time (nanosecond
// resolution): while the file is unchanged a read costs one stat() and no
// file read. The file may be created, edited or deleted by hand while the
// server runs; the next read sees that.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace quillo::app {

class PasswordStore {
  public:
    // `path` is pwd.txt in the configuration directory, which must exist.
    explicit PasswordStore(std::string path);

    // The password (the file's content without white space at either end),
    // or nothing when no password is set. Never throws: a file that cannot
    // be read or is not valid UTF-8 counts as no password.
    std::optional<std::string> read_password();

    // Same as read_password().has_value(), without copying the password.
    bool password_set();

    // Stores `password` exactly as given, replacing the file atomically with
    // mode 0600 whatever the umask, since whoever can rewrite the file can
    // take over the IDE. Throws std::system_error when it cannot be written;
    // the cache is then left as it was.
    void write_password(const std::string& password);

    const std::string& path() const { return path_; }

  private:
    // The file's modification time in nanoseconds; 0 when it is missing or
    // its time cannot be read.
    int64_t modification_stamp() const;
    // Brings the cache up to date with the file; returns whether a password
    // is set. With `copy`, the password is copied out under the lock.
    bool refresh(std::string* copy);
    std::optional<std::string> read_from_file() const;

    const std::string path_;
    std::mutex mutex_; // guards the cached password and its stamp as one pair
    std::optional<std::string> cache_;
    int64_t cache_stamp_ = 0;
};

} // namespace quillo::app
