#include "daemon/daemon.h"

#include "utils/files.h"
#include "utils/text.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace quillo::daemon {

namespace {

using namespace std::chrono_literals;

constexpr int kStatusChecks = 50;
constexpr int kStopChecks = 100;
constexpr auto kCheckInterval = 100ms;
constexpr size_t kReportLimit = 1024;

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void remove_quietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// A process that has exited but was not yet reaped by its parent still
// answers signal 0. A daemon's parent is init, which in a container may
// reap late or never, so such a process counts as gone. Linux only: other
// systems have no /proc to ask.
bool is_zombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    size_t name_end = line.rfind(')'); // the command name may hold anything
    return name_end != std::string::npos && line.compare(name_end, 3, ") Z") == 0;
}

// True while the process exists; false once it is gone (ESRCH). With
// `eperm_is_gone`, a process this user may not signal counts as gone too.
bool process_exists(pid_t pid, bool eperm_is_gone) {
    if (::kill(pid, 0) == 0) {
        return !is_zombie(pid);
    }
    if (errno == ESRCH || (eperm_is_gone && errno == EPERM)) {
        return false;
    }
    throw_errno("kill(" + std::to_string(pid) + ", 0)");
}

// False when the bytes could not all be written. The start reports ignore
// it: when the pipe fails, its reader is gone and nobody is left to tell.
bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void close_fd(int fd) {
    ::close(fd);
}

std::string read_report(int fd) {
    char buffer[kReportLimit];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void wait_for_child(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The path of the PID file, kept for the exit handler; never freed.
const std::string* g_pid_file = nullptr;

void cleanup_pid() {
    if (g_pid_file != nullptr) {
        ::unlink(g_pid_file->c_str());
    }
}

// The first child: a new session, then the second fork. Never returns in
// the first child; returns in the daemon.
void detach(int write_fd) {
    if (::setsid() < 0) {
        write_all(write_fd, std::string(kFailMarker) + "setsid failed: " + std::strerror(errno));
        close_fd(write_fd);
        ::_exit(1);
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        write_all(write_fd,
                  std::string(kFailMarker) + "second fork failed: " + std::strerror(errno));
        close_fd(write_fd);
        ::_exit(1);
    }
    if (pid > 0) {
        close_fd(write_fd);
        ::_exit(0);
    }
}

void write_pid_file(const std::string& pid_file) {
    std::string digits = std::to_string(::getpid());
    int fd = ::open(pid_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw_errno("cannot write " + pid_file);
    }
    bool written = write_all(fd, digits);
    int write_error = errno;
    if (::close(fd) != 0 || !written) {
        errno = written ? errno : write_error;
        throw_errno("cannot write " + pid_file);
    }
}

// Standard input from the null device; standard output and error appended
// to the log, which a new file creates readable by everyone (the mask is 0).
void redirect_standard_streams(const std::string& log_path) {
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull < 0 || ::dup2(devnull, STDIN_FILENO) < 0) {
        throw_errno("cannot open /dev/null");
    }
    int log_fd = ::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (log_fd < 0 || ::dup2(log_fd, STDOUT_FILENO) < 0 || ::dup2(log_fd, STDERR_FILENO) < 0) {
        throw_errno("cannot open " + log_path);
    }
    if (devnull > 2) {
        close_fd(devnull);
    }
    if (log_fd > 2) {
        close_fd(log_fd);
    }
}

// Everything the daemon does before it reports ready, in this order.
void become_daemon(const std::string& pid_file, int write_fd) {
    std::filesystem::path directory = std::filesystem::path(pid_file).parent_path();
    std::filesystem::create_directories(directory);
    write_pid_file(pid_file);
    g_pid_file = new std::string(pid_file);
    std::atexit(cleanup_pid);
    ::umask(0);
    std::filesystem::create_directories(directory);
    redirect_standard_streams((directory / "server.log").string());
    write_all(write_fd, kReadyMarker);
    close_fd(write_fd);
}

// The invoking process: waits for the report and says how the start went.
int await_report(pid_t child, int read_fd, const std::string& pid_file, std::ostream& out) {
    std::string report = read_report(read_fd);
    close_fd(read_fd);
    if (report.starts_with(kReadyMarker)) {
        DaemonStatus status;
        for (int check = 0; check < kStatusChecks; ++check) {
            status = daemon_status(pid_file);
            if (status.running) {
                break;
            }
            std::this_thread::sleep_for(kCheckInterval);
        }
        if (status.running) {
            out << "[daemon] Quillo daemon started successfully (PID " << status.pid << ")."
                << std::endl;
        } else {
            out << "[daemon] Quillo daemon started (PID file not found yet, check server.log)."
                << std::endl;
        }
    } else if (report.starts_with(kFailMarker)) {
        out << "[daemon] Failed to start: "
            << utils::decode_utf8_replacing(std::string_view(report).substr(kFailMarker.size()))
            << std::endl;
        wait_for_child(child);
        return 1;
    } else {
        out << "[daemon] Daemon may have started but did not confirm. Check server.log."
            << std::endl;
    }
    wait_for_child(child);
    return 0;
}

} // namespace

std::string pid_file_path(const std::string& home_dir) {
    return home_dir + "/.quillo/quillo.pid";
}

std::optional<pid_t> parse_pid(std::string_view content) {
    std::string text = utils::strip_unicode_whitespace(content);
    std::string_view digits = text;
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);
    }
    long long value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value <= 0 || value > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return static_cast<pid_t>(value);
}

DaemonStatus daemon_status(const std::string& pid_file) {
    std::error_code ec;
    if (!std::filesystem::exists(pid_file, ec)) {
        return {};
    }
    std::optional<pid_t> pid;
    try {
        pid = parse_pid(utils::read_file(pid_file));
    } catch (const std::system_error&) {
        return {}; // unreadable: left in place
    }
    if (!pid) {
        return {};
    }
    if (process_exists(*pid, true)) {
        return {true, *pid};
    }
    remove_quietly(pid_file);
    return {};
}

int daemon_stop(const std::string& pid_file, std::ostream& out) {
    DaemonStatus status = daemon_status(pid_file);
    if (!status.running) {
        out << "[daemon] Quillo daemon is not running." << std::endl;
        return 1;
    }
    out << "[daemon] Stopping Quillo daemon (PID " << status.pid << ")..." << std::endl;
    if (::kill(status.pid, SIGTERM) != 0) {
        if (errno != ESRCH) {
            throw_errno("kill(" + std::to_string(status.pid) + ", SIGTERM)");
        }
        out << "[daemon] Process already exited." << std::endl;
        remove_quietly(pid_file);
        return 0;
    }
    for (int check = 0; check < kStopChecks && process_exists(status.pid, false); ++check) {
        std::this_thread::sleep_for(kCheckInterval);
    }
    if (process_exists(status.pid, false)) {
        out << "[daemon] Quillo daemon did not stop within 10 seconds (PID " << status.pid << ")."
            << std::endl;
        return 1;
    }
    remove_quietly(pid_file);
    out << "[daemon] Quillo daemon stopped." << std::endl;
    return 0;
}

std::optional<int> daemon_start(const std::string& pid_file, utils::Platform platform,
                                std::ostream& out) {
    if (platform == utils::Platform::Windows) {
        out << "[daemon] Daemon mode is not supported on Windows. Use foreground mode instead."
            << std::endl;
        return 1;
    }
    if (DaemonStatus status = daemon_status(pid_file); status.running) {
        out << "[daemon] Quillo daemon is already running (PID " << status.pid << ")." << std::endl;
        out << "[daemon] Use --stop to stop it first." << std::endl;
        return 1;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw_errno("pipe");
    }
    // Nothing buffered may be printed twice, once by each process.
    out.flush();
    std::cout.flush();
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) {
        out << "[daemon] First fork failed: " << std::strerror(errno) << std::endl;
        close_fd(fds[0]);
        close_fd(fds[1]);
        return 1;
    }
    if (child > 0) {
        close_fd(fds[1]);
        return await_report(child, fds[0], pid_file, out);
    }
    close_fd(fds[0]);
    detach(fds[1]);
    become_daemon(pid_file, fds[1]);
    return std::nullopt;
}

} // namespace quillo::daemon
