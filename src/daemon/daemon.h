// Daemon mode: detaching the server with a double fork and a start
// handshake, and finding or stopping it again through its PID file.
// POSIX only; the start refuses on Windows.
#pragma once

#include "output/text_sink.h"
#include "utils/platform.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

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

// What the daemon commands ask of the system about another process. The
// system's answers come from system_probe(); tests put in their own to
// replay races deterministically.
struct ProcessProbe {
    // /proc/<pid>/stat: what reading it found.
    struct Stat {
        enum class Entry { Missing, Unreadable, Read } entry;
        std::string text; // when Read
    };
    std::function<int(pid_t, int)> send_signal; // kill(): 0, or the errno of its failure
    std::function<Stat(pid_t)> read_stat;
    std::function<void(std::chrono::milliseconds)> sleep;
    // The command names a Quillo server runs under; empty: any name.
    std::vector<std::string> server_names;
};

// The real system. Where there is no /proc (macOS), every stat is
// Unreadable and only signal 0 decides.
ProcessProbe system_probe();

// The command names of the running executable: its own command name and the
// file name it was started from, as the kernel shortens them (15 bytes).
std::vector<std::string> own_command_names();

enum class ProcessState {
    Gone,   // no such process, or one that has exited but is not reaped
    Server, // a live Quillo server, or a live process whose name cannot be read
    Other,  // a live process of another program: the PID was reused
};

// Signal 0, then the process's stat. With `eperm_is_gone`, a process this
// user may not signal counts as gone; otherwise that failure is thrown.
ProcessState probe_process(pid_t pid, const ProcessProbe& probe, bool eperm_is_gone);

struct DaemonStatus {
    bool running = false;
    pid_t pid = 0; // set only when running
};

// Reads the PID file and probes the process. A file naming a process that
// is gone, one this user may not signal, or another program is stale and is
// removed; an unreadable or non-numeric file is left alone.
DaemonStatus daemon_status(const std::string& pid_file, const ProcessProbe& probe = system_probe());

// Sends SIGTERM and waits up to about 10 seconds for the daemon to go.
// 0 when it stopped; 1 when no daemon ran, or when it was still alive at the
// last check (the PID file is then kept, so that no second daemon starts
// beside it).
int daemon_stop(const std::string& pid_file, std::ostream& out,
                const ProcessProbe& probe = system_probe());

// The double fork. In the invoking process: the exit status (0 once the
// daemon reported ready, 1 on a refusal or failure). In the daemon:
// nothing; it carries on with the start-up, its standard input on the null
// device and its standard output and error appended to server.log in the
// PID file's directory. The daemon must then report how its start went with
// report_ready() or report_failure().
std::optional<int> daemon_start(const std::string& pid_file, utils::Platform platform,
                                std::ostream& out);

// In a daemon whose start has not been reported yet: tells the invoking
// process that the server serves, or why it could not start (the PID file
// is removed first, so that it is gone when the command returns). Only the
// first report counts; elsewhere both do nothing.
void report_ready();
void report_failure(std::string_view reason);

// The daemon's server.log behind its descriptors 1 and 2, rotated: after
// each rotation the descriptors lead to the new file too, so that what the
// programs it starts print follows. Nothing when it cannot be opened (the
// descriptors then stay as they are).
std::shared_ptr<output::TextSink> open_daemon_log(const std::string& pid_file);

} // namespace quillo::daemon
