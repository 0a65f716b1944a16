// The command line: a pure scan from arguments to start-up flags.
#pragma once

#include <string>
#include <vector>

namespace quillo::server {

struct StartupFlags {
    bool daemon_mode = false;  // --daemon, -d
    bool stop_daemon = false;  // --stop, -s
    bool check_status = false; // --status
    bool no_browser = false;   // --no-browser, --no-open
    bool no_tray = false;      // --no-tray, --headless
    bool show_help = false;    // --help, -h, or any unknown argument
};

struct CommandLine {
    StartupFlags flags;
    std::vector<std::string> unknown; // in argument order
    std::string last_arg;             // the last argument looked at, if any
};

// Compares every argument exactly (no abbreviations, no "=value", no
// combined short options); all are scanned, repeats are harmless.
CommandLine scan_command_line(const std::vector<std::string>& args);

// The help text, one line per entry, each ending in a line feed.
std::string help_text(const std::string& program);

// 0 when the last argument asked for help, 1 otherwise (an unknown argument).
int help_exit_status(const CommandLine& command_line);

} // namespace quillo::server
