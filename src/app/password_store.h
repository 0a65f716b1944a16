// The one shared password, kept as text in pwd.txt.
//
// The request guard asks for it on almost every request, so the value is
// cached and revalidated against the file's modification time (nanosecond
// resolution): while the file is unchanged a read costs one stat() and no
// file read. The file may be created, edited or deleted by hand while the
// server runs; the next read sees that.
//
// A file that exists but cannot be read or decoded fails closed: it counts
// as a password that nobody can give, never as "no password".
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace quillo::app {

// What the password file says right now.
struct PasswordState {
    enum class Kind {
        NotSet,     // no file, or only white space in it
        Set,        // a password
        Unreadable, // a file that cannot be read or is not UTF-8
    };
    Kind kind = Kind::NotSet;
    std::string password;    // Set, when asked for
    std::string fingerprint; // Set: the fingerprint of the password
    std::string error;       // Unreadable: the file and the reason
};

class PasswordStore {
  public:
    // A short keyed digest of a password, computed once per password change.
    using Fingerprint = std::function<std::string(const std::string& password)>;
    // Told once per change of the file that it cannot be read.
    using Warn = std::function<void(const std::string& message)>;

    // `path` is pwd.txt in the configuration directory, which must exist.
    explicit PasswordStore(std::string path, Fingerprint fingerprint = {}, Warn warn = {});

    // The current state; the password is copied out only `with_password`.
    // Never throws.
    PasswordState state(bool with_password = false);

    // The password (the file's content without white space at either end),
    // or nothing when none is set or the file cannot be read.
    std::optional<std::string> read_password();

    // True when a password is set, and also when the file cannot be read:
    // the IDE stays closed until it is fixed.
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
    PasswordState read_from_file() const;
    void warn_once(int64_t stamp, const std::string& error);

    const std::string path_;
    const Fingerprint fingerprint_;
    const Warn warn_;
    std::mutex mutex_;                   // guards the cache, its stamp and the last warning
    std::optional<PasswordState> cache_; // only ever a Set state
    int64_t cache_stamp_ = 0;
    std::optional<std::pair<int64_t, std::string>> warned_;
};

} // namespace quillo::app
