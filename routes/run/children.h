// What terminals and runs share: waking a thread that waits in poll(), the
// end message, identifiers, and writing to a child without blocking forever.
#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quillo::run {

// A pipe that makes a poll() return: one side is watched, the other rung.
class Wakeup {
  public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    void ring();
    // The descriptor to watch for POLLIN; drain() once it is readable.
    int fd() const { return read_fd_; }
    void drain();

  private:
    int read_fd_;
    int write_fd_;
};

// Waits until `fd` is readable or the wakeup rings, at most `timeout`
// (none: no limit). The result says which; both may hold.
struct Readiness {
    bool readable = false;
    bool woken = false;
};
Readiness wait_readable(int fd, const Wakeup& wakeup,
                        std::optional<std::chrono::milliseconds> timeout);

// Writes all of `bytes` to the non-blocking or blocking `fd`, waiting for
// room while `keep_going()` holds. False when the reader is gone.
bool write_all(int fd, std::string_view bytes, const std::function<bool()>& keep_going);

// True once the child `pid` has ended (or was reaped elsewhere); it is left
// unreaped, so that its process group's number stays its own meanwhile.
bool has_exited(pid_t pid);

// {"type": "exit", ...} for an exit status as Popen reports it: minus the
// signal number when a signal ended the child.
std::string exit_message(int returncode, std::optional<long long> duration_ms);

// The "type" of a control message; empty when it has none that is a text.
std::string message_type(const nlohmann::json& message);

// "SIGTERM" for 15; "SIG<n>" for a number without a name here.
std::string signal_name(int signum);

// 16 random hexadecimal digits.
std::string random_id();

} // namespace quillo::run
