#include "daemon/daemon.h"

#include "output/rotating_file_sink.h"
#include "utils/files.h"
#include "utils/text.h"
#include "utils/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <signal.h>
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

// /proc/<pid>/stat holds "<pid> (<command name>) <state> ...". The name may
// hold anything, parentheses included, so it ends at the last ')'.
struct StatFields {
    std::string name;
    char state = '?';
};

std::optional<StatFields> parse_stat(const std::string& text) {
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 2 >= text.size()) {
        return std::nullopt;
    }
    return StatFields{text.substr(open + 1, close - open - 1), text[close + 2]};
}

bool proc_is_mounted() {
    return ::access("/proc/self/stat", F_OK) == 0;
}

ProcessProbe::Stat read_process_stat(pid_t pid) {
    using Entry = ProcessProbe::Stat::Entry;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    utils::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[512]; // the fields up to the state fit in 64 bytes
    ssize_t n = fd.get() >= 0 ? ::read(fd.get(), buffer, sizeof buffer) : -1;
    if (n > 0) {
        return {Entry::Read, std::string(buffer, static_cast<size_t>(n))};
    }
    // An entry that vanished (ENOENT at the open, ESRCH at the read once
    // the process is reaped) is a process that is gone; without /proc at all
    // nothing can be told.
    bool vanished = (errno == ENOENT || errno == ESRCH) && proc_is_mounted();
    return {vanished ? Entry::Missing : Entry::Unreadable, {}};
}

std::string file_name_of_executable() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).filename().string();
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

// Set once the PID file is removed: by then another daemon may have
// written its own, which this one must not remove at its exit.
bool g_pid_file_removed = false;

void cleanup_pid() {
    if (g_pid_file != nullptr && !g_pid_file_removed) {
        ::unlink(g_pid_file->c_str());
        g_pid_file_removed = true;
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

// The PID file is the daemon's private state: made 0600 whatever the umask.
void write_pid_file(const std::string& pid_file) {
    std::string digits = std::to_string(::getpid());
    utils::UniqueFd fd = utils::open_private_file(pid_file, O_WRONLY | O_TRUNC);
    bool written = write_all(fd.get(), digits);
    int write_error = errno;
    if (::close(fd.release()) != 0 || !written) {
        errno = written ? errno : write_error;
        throw_errno("cannot write " + pid_file);
    }
}

// Standard input from the null device; standard output and error appended
// to the log.
void redirect_standard_streams(const std::string& log_path) {
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull < 0 || ::dup2(devnull, STDIN_FILENO) < 0) {
        throw_errno("cannot open /dev/null");
    }
    // A new log is the owner's alone, whatever mask the daemon was started
    // with; the mask itself stays as it was, for the workspace's files.
    utils::UniqueFd log_fd = utils::open_private_file(log_path, O_WRONLY | O_APPEND);
    if (::dup2(log_fd.get(), STDOUT_FILENO) < 0 || ::dup2(log_fd.get(), STDERR_FILENO) < 0) {
        throw_errno("cannot open " + log_path);
    }
    if (devnull > 2) {
        close_fd(devnull);
    }
    if (log_fd.get() <= 2) {
        // Opened as a standard stream itself, which dup2() left as it was:
        // the programs the server starts must still inherit it.
        ::fcntl(log_fd.get(), F_SETFD, 0);
        log_fd.release();
    }
}

// The write end of the start pipe, held by the daemon until it reports;
// close-on-exec, so no program the server starts keeps it open.
int g_report_fd = -1;

void send_report(std::string_view message) {
    if (g_report_fd < 0) {
        return;
    }
    write_all(g_report_fd, message);
    close_fd(g_report_fd);
    g_report_fd = -1;
}

std::string daemon_log_path(const std::string& pid_file) {
    return (std::filesystem::path(pid_file).parent_path() / "server.log").string();
}

// Everything the daemon does before it goes on with the start-up, in this
// order. It reports once the server serves, or fails.
void become_daemon(const std::string& pid_file) {
    utils::create_private_directories(std::filesystem::path(pid_file).parent_path().string());
    write_pid_file(pid_file);
    g_pid_file = new std::string(pid_file);
    std::atexit(cleanup_pid);
    redirect_standard_streams(daemon_log_path(pid_file));
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

ProcessProbe system_probe() {
    ProcessProbe probe;
    probe.send_signal = [](pid_t pid, int signum) { return ::kill(pid, signum) == 0 ? 0 : errno; };
    probe.read_stat = read_process_stat;
    probe.sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    probe.server_names = own_command_names();
    return probe;
}

std::vector<std::string> own_command_names() {
    constexpr size_t kCommandNameLimit = 15; // TASK_COMM_LEN less its terminator
    std::vector<std::string> names;
    if (std::optional<StatFields> own = parse_stat(read_process_stat(::getpid()).text)) {
        names.push_back(own->name);
    }
    // Started through a link, the command name is the link's; the daemon and
    // the command that stops it may have been started by either name.
    std::string file_name = file_name_of_executable().substr(0, kCommandNameLimit);
    if (!file_name.empty() && std::find(names.begin(), names.end(), file_name) == names.end()) {
        names.push_back(file_name);
    }
    return names;
}

ProcessState probe_process(pid_t pid, const ProcessProbe& probe, bool eperm_is_gone) {
    if (int error = probe.send_signal(pid, 0); error != 0) {
        if (error == ESRCH || (eperm_is_gone && error == EPERM)) {
            return ProcessState::Gone;
        }
        throw std::system_error(error, std::generic_category(),
                                "kill(" + std::to_string(pid) + ", 0)");
    }
    ProcessProbe::Stat stat = probe.read_stat(pid);
    if (stat.entry == ProcessProbe::Stat::Entry::Missing) {
        return ProcessState::Gone; // reaped since the signal
    }
    std::optional<StatFields> fields = parse_stat(stat.text);
    if (!fields) {
        return ProcessState::Server; // cannot tell: signal 0 alone decides
    }
    // A process that has exited but was not yet reaped by its parent still
    // answers signal 0. A daemon's parent is init, which in a container may
    // reap late or never, so such a process counts as gone.
    if (fields->state == 'Z' || fields->state == 'X') {
        return ProcessState::Gone;
    }
    const std::vector<std::string>& names = probe.server_names;
    if (!names.empty() && std::find(names.begin(), names.end(), fields->name) == names.end()) {
        return ProcessState::Other;
    }
    return ProcessState::Server;
}

DaemonStatus daemon_status(const std::string& pid_file, const ProcessProbe& probe) {
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
    if (probe_process(*pid, probe, true) == ProcessState::Server) {
        return {true, *pid};
    }
    remove_quietly(pid_file);
    return {};
}

int daemon_stop(const std::string& pid_file, std::ostream& out, const ProcessProbe& probe) {
    DaemonStatus status = daemon_status(pid_file, probe);
    if (!status.running) {
        out << "[daemon] Quillo daemon is not running." << std::endl;
        return 1;
    }
    out << "[daemon] Stopping Quillo daemon (PID " << status.pid << ")..." << std::endl;
    if (int error = probe.send_signal(status.pid, SIGTERM); error != 0) {
        if (error != ESRCH) {
            throw std::system_error(error, std::generic_category(),
                                    "kill(" + std::to_string(status.pid) + ", SIGTERM)");
        }
        out << "[daemon] Process already exited." << std::endl;
        remove_quietly(pid_file);
        return 0;
    }
    // The verdict is the last probe's: a new probe after the loop could
    // only disagree with it by racing the process's end.
    bool alive = true;
    for (int check = 0; check < kStopChecks && alive; ++check) {
        alive = probe_process(status.pid, probe, false) == ProcessState::Server;
        if (alive) {
            probe.sleep(kCheckInterval);
        }
    }
    if (alive) {
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
    g_report_fd = fds[1];
    become_daemon(pid_file);
    return std::nullopt;
}

std::shared_ptr<output::TextSink> open_daemon_log(const std::string& pid_file) {
    try {
        return std::make_shared<output::RotatingFileSink>(daemon_log_path(pid_file),
                                                          output::kServerLogLimit, [](int fd) {
                                                              ::dup2(fd, STDOUT_FILENO);
                                                              ::dup2(fd, STDERR_FILENO);
                                                          });
    } catch (const std::exception&) {
        return nullptr;
    }
}

void report_ready() {
    send_report(kReadyMarker);
}

void report_failure(std::string_view reason) {
    if (g_report_fd >= 0) {
        cleanup_pid();
    }
    send_report(std::string(kFailMarker) + std::string(reason));
}

} // namespace quillo::daemon
