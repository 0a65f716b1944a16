#include "run_guard.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <unistd.h>

namespace quillo::run {

namespace {

// Built and installed next to run.so (CMakeLists.txt).
constexpr const char* kGuardName = "quillo-run-guard";

// Any address inside this module tells dladdr which file it was loaded from.
const char module_anchor = 0;

std::string guard_program() {
    Dl_info info{};
    if (::dladdr(&module_anchor, &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("dladdr cannot tell which file the run module was loaded from");
    }
    return (std::filesystem::absolute(info.dli_fname).parent_path() / kGuardName).string();
}

} // namespace

void RunGuard::watch(pid_t group) {
    std::lock_guard<std::mutex> lock(mutex_);
    groups_.insert(group);
    if (guard_ && tell('+', group)) {
        return;
    }
    start(); // lists every group, this one too
}

void RunGuard::unwatch(pid_t group) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (groups_.erase(group) != 0 && guard_) {
        tell('-', group);
    }
}

bool RunGuard::start() {
    if (unavailable_) {
        return false;
    }
    try {
        if (program_.empty()) {
            program_ = guard_program();
        }
        process::LaunchOptions options;
        options.stdin_mode = process::Stream::pipe; // close-on-exec on this side
        options.stdout_mode = process::Stream::null_device;
        options.stderr_mode = process::Stream::null_device;
        // Ctrl+C in the server's terminal reaches the server's group, not
        // this session, so the guard outlives the server it watches.
        options.start_new_session = true;
        options.cwd = "/"; // holds no directory of the user's busy
        guard_.emplace(std::vector<std::string>{program_}, std::move(options));
        // A guard that stops reading must not block a run from starting.
        int fd = guard_->stdin_fd();
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            throw std::system_error(errno, std::generic_category(), "fcntl O_NONBLOCK");
        }
    } catch (const std::exception& error) {
        unavailable_ = true;
        if (guard_) {
            guard_->kill();
            guard_.reset();
        }
        std::cerr << "[WARN] Runs and terminals will outlive a server that is killed: cannot "
                     "start the run guard "
                  << (program_.empty() ? kGuardName : program_) << ": " << error.what()
                  << std::endl;
        return false;
    }
    for (pid_t group : groups_) {
        if (!tell('+', group)) {
            return false;
        }
    }
    return true;
}

bool RunGuard::tell(char change, pid_t group) {
    std::string line = change + std::to_string(group) + "\n";
    ssize_t written;
    do {
        // Shorter than PIPE_BUF: written whole or not at all.
        written = ::write(guard_->stdin_fd(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(line.size())) {
        return true;
    }
    // Gone (EPIPE), or not reading (EAGAIN). Killed before its pipe closes:
    // a guard that read the end of the pipe would end every run. The next
    // watch() starts another.
    std::system_error error(written < 0 ? errno : EIO, std::generic_category(),
                            "write to the run guard " + program_);
    std::cerr << "[WARN] " << error.what() << "; another starts with the next run or terminal"
              << std::endl;
    guard_->kill();
    guard_.reset();
    return false;
}

RunGuard& run_guard() {
    static RunGuard* guard = new RunGuard();
    return *guard;
}

} // namespace quillo::run
