// Runs and terminals end with the server, however it ends: a SIGKILL gives
// the server no chance to hang them up, and they live in sessions of their
// own. quillo-run-guard (run_guard_main.cpp), installed next to the module,
// waits on a pipe whose only write end the server holds and is told which
// process groups to end when that pipe reaches its end.
#pragma once

#include <mutex>
#include <optional>
#include <quillo/process.h>
#include <set>
#include <string>
#include <sys/types.h>

namespace quillo::run {

class RunGuard {
  public:
    // Lists the group that `group` leads, starting the guard on first use.
    // Best effort: when the guard cannot start, one warning says why and
    // the child runs unguarded.
    void watch(pid_t group);
    // Once the leader has ended but before it is reaped: until then the
    // number cannot name another process's group.
    void unwatch(pid_t group);

  private:
    bool start();
    bool tell(char change, pid_t group);

    std::mutex mutex_;
    std::string program_;
    std::optional<process::Popen> guard_;
    bool unavailable_ = false; // it could not start; not tried again
    std::set<pid_t> groups_;
};

// The module's guard, made on first use and never destroyed: threads that
// end runs use it until the process ends.
RunGuard& run_guard();

} // namespace quillo::run
