#include "children.h"

#include "socket_protocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace quillo::run {

Wakeup::Wakeup() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    read_fd_ = fds[0];
    write_fd_ = fds[1];
}

Wakeup::~Wakeup() {
    ::close(read_fd_);
    ::close(write_fd_);
}

void Wakeup::ring() {
    char byte = 1;
    // A full pipe already wakes the reader.
    [[maybe_unused]] ssize_t written = ::write(write_fd_, &byte, 1);
}

void Wakeup::drain() {
    char bytes[64];
    while (::read(read_fd_, bytes, sizeof bytes) > 0) {
    }
}

Readiness wait_readable(int fd, const Wakeup& wakeup,
                        std::optional<std::chrono::milliseconds> timeout) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
    int wait_ms = timeout ? static_cast<int>(std::max<long long>(0, timeout->count())) : -1;
    int ready = ::poll(watched, 2, wait_ms);
    if (ready < 0) {
        return {}; // EINTR: the caller looks again
    }
    // A hang-up or an error is readable too: the read says which.
    return {watched[0].revents != 0, watched[1].revents != 0};
}

bool write_all(int fd, std::string_view bytes, const std::function<bool()>& keep_going) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN) {
            return false; // EPIPE, EIO: nobody reads any more
        }
        pollfd room{fd, POLLOUT, 0};
        // Looked at again now and then: the child may end while its input
        // is full, and then nothing would wake this wait.
        ::poll(&room, 1, 250);
        if (!keep_going()) {
            return false;
        }
    }
    return true;
}

bool has_exited(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
            return true; // ECHILD: not ours to wait for any more
        }
    }
    return info.si_pid != 0;
}

std::string signal_name(int signum) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    if (const char* name = ::sigabbrev_np(signum)) {
        return std::string("SIG") + name;
    }
#else
    switch (signum) {
    case SIGHUP:
        return "SIGHUP";
    case SIGINT:
        return "SIGINT";
    case SIGKILL:
        return "SIGKILL";
    case SIGSEGV:
        return "SIGSEGV";
    case SIGABRT:
        return "SIGABRT";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGTERM:
        return "SIGTERM";
    default:
        break;
    }
#endif
    return "SIG" + std::to_string(signum);
}

std::string exit_message(int returncode, std::optional<long long> duration_ms) {
    nlohmann::json message = {
        {"type", protocol::kExitType}, {"code", nullptr}, {"signal", nullptr}};
    if (returncode < 0) {
        message["signal"] = signal_name(-returncode);
    } else {
        message["code"] = returncode;
    }
    if (duration_ms) {
        message["duration_ms"] = *duration_ms;
    }
    return message.dump();
}

std::string message_type(const nlohmann::json& message) {
    auto type = message.find("type");
    return type != message.end() && type->is_string() ? type->get<std::string>() : "";
}

std::string random_id() {
    static thread_local std::mt19937_64 generator(std::random_device{}());
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

} // namespace quillo::run
