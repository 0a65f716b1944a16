// Children on a pseudo-terminal: the terminal is opened here, the child is
// started by Popen with the far side as its terminal.
#include "quillo/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace quillo::process {

namespace {

[[noreturn]] void fail(const char* call) {
    int error = errno;
    throw SubprocessError(std::string("pseudo-terminal: ") + call + ": " + std::strerror(error));
}

void set_size(int fd, TerminalSize size) {
    winsize window{};
    window.ws_col = size.cols;
    window.ws_row = size.rows;
    if (::ioctl(fd, TIOCSWINSZ, &window) != 0) {
        fail("ioctl(TIOCSWINSZ)");
    }
}

} // namespace

PtyProcess::Opened PtyProcess::open_terminal(TerminalSize size) {
    int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        fail("posix_openpt");
    }
    try {
        char name[128];
        if (::grantpt(fd) != 0) {
            fail("grantpt");
        }
        if (::unlockpt(fd) != 0) {
            fail("unlockpt");
        }
        if (int error = ::ptsname_r(fd, name, sizeof name); error != 0) {
            errno = error;
            fail("ptsname_r");
        }
        set_size(fd, size);
        if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
            fail("fcntl(O_NONBLOCK)");
        }
        return {fd, name};
    } catch (...) {
        ::close(fd);
        throw;
    }
}

namespace {

LaunchOptions launch_options(PtyOptions options, const std::string& terminal) {
    LaunchOptions launch;
    launch.cwd = std::move(options.cwd);
    launch.env = std::move(options.env);
    launch.terminal = terminal;
    return launch;
}

} // namespace

PtyProcess::PtyProcess(std::vector<std::string> args, PtyOptions options)
    : PtyProcess(std::move(args), options, open_terminal(options.size)) {}

PtyProcess::PtyProcess(std::vector<std::string> args, PtyOptions options, Opened pty)
    : fd_(pty.fd), child_([&]() -> Popen {
          try {
              return Popen(std::move(args), launch_options(std::move(options), pty.terminal));
          } catch (...) {
              ::close(pty.fd);
              throw;
          }
      }()) {}

PtyProcess::~PtyProcess() {
    ::close(fd_);
}

void PtyProcess::resize(TerminalSize size) {
    set_size(fd_, size);
}

void PtyProcess::hang_up() {
    pid_t foreground = ::tcgetpgrp(fd_);
    child_.signal_group(SIGHUP);
    if (foreground > 0 && foreground != child_.pid()) {
        ::kill(-foreground, SIGHUP);
    }
}

} // namespace quillo::process
