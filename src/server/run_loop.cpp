#include "server/run_loop.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <pthread.h>

namespace quillo::server {

void ShutdownEvent::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_.store(true);
    }
    cv_.notify_all();
}

bool ShutdownEvent::wait(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [this] { return set_.load(); });
}

void block_termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A file that reaches the size limit (a full quota, a ulimit -f) must fail
    // that one write with EFBIG, not kill the server in the middle of a request.
    std::signal(SIGXFSZ, SIG_IGN);
}

std::vector<int> signals_to_handle(utils::Platform platform) {
    if (platform == utils::Platform::Windows) {
        return {SIGTERM};
    }
    return {SIGTERM, SIGHUP};
}

std::string signal_name(int signum) {
    const char* abbrev = sigabbrev_np(signum);
    return abbrev ? std::string("SIG") + abbrev : std::to_string(signum);
}

void handle_signal(int signum, ShutdownEvent& event, std::ostream& out,
                   const std::function<void(std::string_view)>& log) {
    if (event.is_set()) {
        return;
    }
    std::string name = signal_name(signum);
    out << "\n[SERVER] Received " << name << ", shutting down gracefully..." << std::endl;
    log("[SERVER] Received " + name +
        ", shutting down gracefully. This may be systemd-logind killing user processes on SSH "
        "disconnect. To prevent this, run: loginctl enable-linger $USER");
    event.set();
}

void run_until_shutdown(ShutdownEvent& event, const std::vector<int>& handled, std::ostream& out,
                        const std::function<void(std::string_view)>& log) {
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGINT);
    for (int signum : handled) {
        sigaddset(&waited, signum);
    }
    while (!event.is_set()) {
        timespec one_second{1, 0};
        int signum = sigtimedwait(&waited, nullptr, &one_second);
        if (signum < 0) {
            continue; // time-out (EAGAIN) or EINTR: test the event again
        }
        if (signum == SIGINT) {
            out << "\n[SERVER] Shutting down..." << std::endl;
            log("[SERVER] Shutting down (KeyboardInterrupt)");
            return;
        }
        handle_signal(signum, event, out, log);
    }
}

} // namespace quillo::server
