// Daemon mode: detaching the server with a double fork and a start
// handshake, and finding or stopping it again through its PID file.
// POSIX only; the start refuses on Windows.
#pragma once

#include "utils/platform.h"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quillo::daemon {

// The daemon reports over the start pipe with one of these, unframed.
inline constexpr std::string_view kReadyMarker = "DAEMON_READY";
inline constexpr std::string_view kFailMarker = "DAEMON_FAIL:";

// ~/.quillo/quillo.pid, whatever the configuration directory is.
std::string pid_file_path(const std::string& home_dir);

// The process id in a PID file's content: decimal digits, white space
// around them allowed. Zero and negative numbers are refused as well as
// non-numbers: kill() would read them as a process group or as "every
// process".
std::optional<pid_t> parse_pid(std::string_view content);

struct DaemonStatus {
    bool running = false;
    pid_t pid = 0; // set only when running
};

// Reads the PID file and probes the process with signal 0. A file naming a
// process that is gone (or one this user may not signal) is stale and is
// removed; an unreadable or non-numeric file is left alone.
DaemonStatus daemon_status(const std::string& pid_file);

// Sends SIGTERM and waits up to about 10 seconds for the daemon to go.
// 0 when it stopped; 1 when no daemon ran, or when it was still alive after
// the wait (the PID file is then kept, so that no second daemon starts
// beside it).
int daemon_stop(const std::string& pid_file, std::ostream& out);

// The double fork. In the invoking process: the exit status (0 once the
// daemon reported ready, 1 on a refusal or failure). In the daemon:
// nothing; it carries on with the start-up, its standard input on the null
// device and its standard output and error appended to server.log in the
// PID file's directory.
std::optional<int> daemon_start(const std::string& pid_file, utils::Platform platform,
                                std::ostream& out);

} // namespace quillo::daemon
