#include "server/command_line.h"

namespace quillo::server {

CommandLine scan_command_line(const std::vector<std::string>& args) {
    CommandLine result;
    StartupFlags& f = result.flags;
    for (const std::string& arg : args) {
        result.last_arg = arg;
        if (arg == "--daemon" || arg == "-d") {
            f.daemon_mode = true;
        } else if (arg == "--stop" || arg == "-s") {
            f.stop_daemon = true;
        } else if (arg == "--status") {
            f.check_status = true;
        } else if (arg == "--no-browser" || arg == "--no-open") {
            f.no_browser = true;
        } else if (arg == "--no-tray" || arg == "--headless") {
            f.no_tray = true;
        } else if (arg == "--help" || arg == "-h") {
            f.show_help = true;
        } else {
            result.unknown.push_back(arg);
            f.show_help = true;
        }
    }
    return result;
}

std::string help_text(const std::string& program) {
    return "Usage: " + program +
           " [OPTIONS]\n"
           "\n"
           "Options:\n"
           "  --daemon, -d   Start as daemon (double-fork, background)\n"
           "  --stop,   -s   Stop the running daemon\n"
           "  --status       Check if daemon is running\n"
           "  --no-browser   Do not auto-open the IDE in the default browser\n"
           "  --no-tray      Do not start the system-tray icon (headless mode)\n"
           "  --help,   -h   Show this help message\n"
           "\n"
           "Without options, the server runs in foreground mode, auto-opens\n"
           "the browser, and starts a system-tray icon if the tray module is\n"
           "installed.\n";
}

int help_exit_status(const CommandLine& command_line) {
    const std::string& last = command_line.last_arg;
    return last == "--help" || last == "-h" ? 0 : 1;
}

} // namespace quillo::server
