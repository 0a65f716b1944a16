// Signals, the run loop and the shutdown event.
//
// SIGTERM, SIGHUP and SIGINT are blocked in every thread from the first
// instruction of main, and the main thread waits for them. So their handling
// runs as ordinary code on the main thread, never inside an asynchronous
// signal handler, and no other thread can be interrupted by them. The wait
// has no time-out: an idle server does not wake up at all.
#pragma once

#include "utils/platform.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::server {

// A one-shot event: once set it stays set. Setting it also wakes the run
// loop's thread, which waits for signals rather than for the event.
class ShutdownEvent {
  public:
    void set();
    bool is_set() const { return set_.load(); }
    // True when the event is set, possibly after waiting up to `seconds`.
    bool wait(double seconds);

    // The thread in run_until_shutdown(), woken by set(); nullptr to forget it.
    void set_waiter(const pthread_t* thread);

  private:
    std::atomic<bool> set_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<pthread_t> waiter_;
};

// Blocks the termination signals in the calling thread and in every thread it
// starts later, and ignores SIGPIPE (a closed connection must not kill the
// server) and SIGXFSZ (nor must a file that hits the size limit). Call first
// thing in main. Children started later must restore the default mask and
// dispositions.
void block_termination_signals();

// The signals that shut the server down: SIGTERM, then SIGHUP where it exists.
std::vector<int> signals_to_handle(utils::Platform platform);

// "SIGTERM", or the number when the platform cannot name it.
std::string signal_name(int signum);

// What a termination signal does: print, log, set the event; a repeated
// signal finds the event set and stays silent.
void handle_signal(int signum, ShutdownEvent& event, std::ostream& out,
                   const std::function<void(std::string_view)>& log);

// Waits until the event is set or SIGINT
// arrives ("[SERVER] Shutting down..."). Returns when the loop ends.
void run_until_shutdown(ShutdownEvent& event, const std::vector<int>& handled, std::ostream& out,
                        const std::function<void(std::string_view)>& log);

} // namespace quillo::server
