#include "server/run_loop.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>

namespace quillo::server {

namespace {

// Wakes the run loop when the event is set from another thread. Its default
// action is to be ignored, so one sent to the process from outside is
// harmless.
constexpr int kWakeSignal = SIGURG;

} // namespace

void ShutdownEvent::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_.store(true);
        if (waiter_) {
            ::pthread_kill(*waiter_, kWakeSignal);
        }
    }
    cv_.notify_all();
}

void ShutdownEvent::set_waiter(const pthread_t* thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread) {
        waiter_ = *thread;
    } else {
        waiter_.reset();
    }
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
    sigaddset(&waited, kWakeSignal);
    for (int signum : handled) {
        sigaddset(&waited, signum);
    }
    // Blocked so that they wait for sigwait(); the server's threads have the
    // termination signals blocked from the start already.
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    pthread_t self = pthread_self();
    event.set_waiter(&self);
    // A signal sent while the event is being tested stays pending, so the
    // wait below cannot miss a set() that comes after the test.
    while (!event.is_set()) {
        int signum = 0;
        if (sigwait(&waited, &signum) != 0 || signum == kWakeSignal) {
            continue;
        }
        if (signum == SIGINT) {
            out << "\n[SERVER] Shutting down..." << std::endl;
            log("[SERVER] Shutting down (KeyboardInterrupt)");
            break;
        }
        handle_signal(signum, event, out, log);
    }
    event.set_waiter(nullptr);
}

} // namespace quillo::server
