#include "utils/files.h"

#include "utils/unique_fd.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillo::utils {

namespace {

// Distinct enough that no file of the user's is taken for one of ours.
constexpr const char* kTemporarySuffix = ".tmp-";

[[noreturn]] void throw_errno(const std::string& call, const std::string& path) {
    throw std::system_error(errno, std::generic_category(), call + " " + path);
}

void write_all(int fd, const std::string& content, const std::string& path) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_errno("write", path);
        }
        done += static_cast<size_t>(n);
    }
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

constexpr mode_t kPrivateDirectoryMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;

// "a/b///" and "a/b" are the same directory; "/" stays "/".
std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// A new file of mode 0600 opened with `flags`; -1 with errno set when it
// cannot be created (EEXIST: it exists).
int create_private_file(const std::string& path, int flags) {
    UniqueFd fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, kPrivateFileMode));
    // The umask may have taken bits from the owner too.
    if (fd.get() >= 0 && ::fchmod(fd.get(), kPrivateFileMode) != 0) {
        throw_errno("fchmod", path);
    }
    return fd.release();
}

// 0 when `directory` was made, with mode 0700, or the errno of mkdir().
int make_private_directory(const std::string& directory) {
    if (::mkdir(directory.c_str(), kPrivateDirectoryMode) != 0) {
        return errno;
    }
    // The umask may have taken bits from the owner too.
    if (::chmod(directory.c_str(), kPrivateDirectoryMode) != 0) {
        throw_errno("chmod", directory);
    }
    return 0;
}

} // namespace

bool create_private_directories(const std::string& path) {
    std::string directory = without_trailing_slashes(path);
    int error = make_private_directory(directory);
    if (error == ENOENT) {
        std::string parent = directory_of(directory);
        if (parent != directory && parent != ".") {
            create_private_directories(parent);
            // Once: where the parent exists yet mkdir still finds no entry
            // (/proc), another round would never end.
            error = make_private_directory(directory);
        }
    }
    if (error == 0) {
        return true;
    }
    struct stat st {};
    if (error == EEXIST && ::stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return false;
    }
    errno = error == EEXIST ? ENOTDIR : error;
    throw_errno("mkdir", directory);
}

UniqueFd open_private_file(const std::string& path, int flags) {
    flags = (flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC;
    // Created here, or opened as it is: the two opens race only with the
    // file's removal, which another round settles.
    for (int round = 0; round < 3; ++round) {
        int fd = create_private_file(path, flags);
        if (fd < 0 && errno == EEXIST) {
            fd = ::open(path.c_str(), flags);
            if (fd < 0 && errno == ENOENT) {
                continue;
            }
        }
        if (fd >= 0) {
            return UniqueFd(fd);
        }
        break;
    }
    throw_errno("open", path);
}

void precreate_private_file(const std::string& path) noexcept {
    try {
        create_private_directories(directory_of(path));
        // An existing file is never opened here: it might be a FIFO, whose
        // open would wait for a reader.
        UniqueFd created(create_private_file(path, O_WRONLY | O_CLOEXEC));
    } catch (const std::exception&) {
        // The logger's own open names the file and the cause.
    }
}

void write_file_atomically(const std::string& path, const std::string& content, mode_t mode) {
    std::string temp = path + kTemporarySuffix + "XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        throw_errno("mkstemp", temp);
    }
    std::string temp_path(name.data());
    try {
        if (::fchmod(fd.get(), mode) != 0) {
            throw_errno("fchmod", temp_path);
        }
        write_all(fd.get(), content, temp_path);
        if (::fsync(fd.get()) != 0) {
            throw_errno("fsync", temp_path);
        }
        if (::close(fd.release()) != 0) {
            throw_errno("close", temp_path);
        }
        if (::rename(temp_path.c_str(), path.c_str()) != 0) {
            throw_errno("rename", path);
        }
    } catch (...) {
        ::unlink(temp_path.c_str());
        throw;
    }
    // Make the rename itself durable; a failure here loses nothing already
    // visible, so it is not reported.
    UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        ::fsync(dir.get());
    }
}

void remove_abandoned_temporaries(const std::string& path, int min_age_seconds) {
    namespace fs = std::filesystem;
    fs::path target(path);
    std::string prefix = target.filename().string() + kTemporarySuffix;
    std::error_code ec;
    auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator it(target.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        bool temporary = name.size() == prefix.size() + 6 && name.starts_with(prefix);
        std::error_code file_ec;
        if (!temporary || !it->is_regular_file(file_ec)) {
            continue;
        }
        auto modified = fs::last_write_time(it->path(), file_ec);
        if (!file_ec && now - modified > std::chrono::seconds(min_age_seconds)) {
            fs::remove(it->path(), file_ec);
        }
    }
}

std::string read_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        throw_errno("open", path);
    }
    std::string content;
    char buffer[8192];
    while (true) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_errno("read", path);
        }
        if (n == 0) {
            return content;
        }
        content.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace quillo::utils
