// Opening the IDE in the default browser once the port answers.
#pragma once

#include "utils/platform.h"

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::desktop {

using Getenv = std::function<std::optional<std::string>(const char* name)>;
using LogFunction = std::function<void(std::string_view)>;

// A variable counts as set when it is present with a non-empty value.
bool env_is_set(const Getenv& getenv, const char* name);

// Foreground only, and neither --no-browser nor QUILLO_NO_AUTO_OPEN.
bool auto_open_wanted(bool no_browser, bool daemon_mode, const Getenv& getenv);

// The command that opens `url`: $BROWSER when set, otherwise
// termux-open-url on Termux, xdg-open on other Linux systems, open on
// macOS, and the shell's "start" (its open verb) on Windows.
std::vector<std::string> browser_command(const std::string& url, utils::Platform platform,
                                         const Getenv& getenv);

// Runs the opener `command` and waits at most `patience` for its exit
// status. Throws std::runtime_error with a reason that names the command
// when it is missing, cannot start, exits with a non-zero status or is
// ended by a signal. One still running after `patience` counts as opened:
// some openers stay until the browser exits; it is reaped whenever it ends.
void run_opener(const std::vector<std::string>& command, std::chrono::milliseconds patience);

// run_opener with this platform's opener for `url`, patient for 3 s.
void open_in_browser(const std::string& url);

struct AutoOpen {
    int port = 0;
    // 0 once a connection to 127.0.0.1:port succeeded, else an error code;
    // may throw, which counts as a failed attempt.
    std::function<int(int port)> probe;
    std::function<void(std::chrono::milliseconds)> sleep;
    // Throws, with the reason, when the browser did not open.
    std::function<void(const std::string& url)> open;
    std::ostream* out = nullptr;
    LogFunction log;
};

// Up to 20 probes half a second apart; on the first connection, a settle
// pause and then the browser, once. Reports on `out` and through `log`:
// "[OK]" once it opened, otherwise a warning with the reason and the URL to
// open by hand.
void open_browser_after_delay(const AutoOpen& auto_open);

// A TCP connect to 127.0.0.1:port with a time-out of half a second.
int probe_loopback(int port);

// open_browser_after_delay with the real probe, clock and browser, on a
// background thread that never keeps the process alive.
void start_browser_auto_open(int port, std::ostream& out, LogFunction log);

} // namespace quillo::desktop
