// Quillo server: the entry point. main() keeps to the order of the start-up
// steps; the work of each step lives in the other directories of src/.

#include "daemon/daemon.h"
#include "desktop/browser_open.h"
#include "desktop/tray.h"
#include "integrations/qarn_autostart.h"
#include "output/line_buffer.h"
#include "output/text_sink.h"
#include "server/command_line.h"
#include "server/listeners.h"
#include "server/run_loop.h"
#include "server/server_log.h"
#include "server/setup.h"
#include "utils/platform.h"
#include "utils/utils.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

using namespace quillo;

// The application, its listeners and the shutdown event live as long as the
// process: request threads that outlive main must never see them destroyed,
// so they are created once and never freed.
server::ServerContext* g_context = nullptr;
http::Server* g_server = nullptr;
server::ShutdownEvent* g_shutdown_event = nullptr;

void install_git_credential_helper(const server::ServerContext& context) {
    try {
        auto it = context.modules.find("git");
        if (it == context.modules.end()) {
            throw server::ModuleLoadError("the git module is not loaded");
        }
        auto install = reinterpret_cast<void (*)()>(
            it->second.require_symbol("install_git_credential_helper"));
        install();
    } catch (const std::exception& e) {
        std::cout << "[startup] warning: git credential helper install failed: " << e.what()
                  << std::endl;
    }
}

// The browser auto-open and the tray icon, each when its condition holds. The auto-open is decided
// before the tray writes QUILLO_NO_AUTO_OPEN into the environment, but its thread starts after
// that: it reads the environment, which setenv() may move under a reader.
void start_desktop_conveniences(const server::ServerContext& context,
                                const server::StartupFlags& flags,
                                const std::function<void(std::string_view)>& log) {
    int port = context.settings.PORT;
    bool open_browser =
        desktop::auto_open_wanted(flags.no_browser, flags.daemon_mode, utils::environment_variable);
    if (desktop::tray_wanted(flags.no_tray, flags.daemon_mode,
                             desktop::env_is_set(utils::environment_variable, "QUILLO_NO_TRAY"),
                             utils::current_platform())) {
        desktop::start_tray(
            {context.executable_dir + "/quillo_tray_manager.so", port, &std::cout, log});
    }
    if (open_browser) {
        desktop::start_browser_auto_open(port, std::cout, log);
    }
}

// On the network without a password, only this device can set one; say so
// where the user looks, rather than leave the laptop with a bare 403.
void warn_if_set_up_is_local_only(const server::ServerContext& context) {
    bool on_network = false;
    for (const utils::ListenAddress& address : utils::get_listen_addresses()) {
        on_network = on_network || !utils::is_loopback_host(address.host);
    }
    if (on_network && !context.passwords->password_set()) {
        std::cout
            << "  [WARN] No password is set: until one is set on this device (http://127.0.0.1:"
            << context.settings.PORT << "), other devices are refused" << std::endl;
    }
}

// From here on the process serves until a signal or an interrupt; returns
// the exit status.
int serve(const server::ServerContext& context, const server::StartupFlags& flags) {
    const utils::Settings& s = context.settings;
    auto log = [](std::string_view line) { utils::log_write(line); };

    g_server =
        server::open_listeners(*context.app, s.PORT, s.WORKSPACE, utils::get_listen_addresses(),
                               utils::get_display_addresses(), std::cout, log, s.MAX_CONNECTIONS)
            .release();
    if (g_server->listening() == 0) {
        std::cout << "[ERROR] No servers could be started. Exiting." << std::endl;
        log("[SERVER] ERROR: No servers could be started. Exiting.");
        daemon::report_failure("No servers could be started");
        return 1;
    }
    // A daemon's invoking command returns now, and the port answers.
    daemon::report_ready();
    warn_if_set_up_is_local_only(context);

    start_desktop_conveniences(context, flags, log);

    g_shutdown_event = new server::ShutdownEvent();
    server::run_until_shutdown(
        *g_shutdown_event, server::signals_to_handle(utils::current_platform()), std::cout, log);
    server::shutdown_listeners(*g_server);
    server::stop_route_modules(context.modules);
    return 0;
}

// --status and --stop, which status wins over: answered from the PID file
// alone, so that neither a broken configuration nor a missing module keeps a
// running daemon from being found or stopped. Nothing when the command line
// asks for neither.
std::optional<int> answer_control_command(const server::StartupFlags& flags,
                                          const std::string& pid_file) {
    if (flags.check_status) {
        daemon::DaemonStatus status = daemon::daemon_status(pid_file);
        if (status.running) {
            std::cout << "Quillo daemon is running (PID " << status.pid << ")." << std::endl;
        } else {
            std::cout << "Quillo daemon is not running." << std::endl;
        }
        return 0;
    }
    if (flags.stop_daemon) {
        return daemon::daemon_stop(pid_file, std::cout);
    }
    return std::nullopt;
}

// server.log with its start line, then the streams behind std::cout and
// std::cerr. server.log is only a copy of the console: one that cannot be
// opened (read-only, a directory) costs that copy, not the IDE.
void install_output_streams(const server::StartupFlags& flags, const std::string& config_dir,
                            const std::string& pid_file) {
    std::shared_ptr<output::TextSink> server_log;
    std::string server_log_error;
    try {
        server_log = server::open_server_log(config_dir + "/server.log");
    } catch (const std::system_error& e) {
        server_log_error = e.what();
    }
    auto log = [](std::string_view line) { utils::log_write(line); };
    if (flags.daemon_mode) {
        // The start line is all a daemon writes there: held open, the file
        // would keep its disk space after a rotation removed it.
        server_log.reset();
        output::install_daemon_streams(daemon::open_daemon_log(pid_file), log);
    } else {
        output::install_foreground_streams(server_log, log);
    }
    if (!server_log_error.empty()) {
        std::cerr << "[WARN] " << server_log_error << "; the console is not copied to server.log"
                  << std::endl;
    }
}

// The rest of the start-up, once the settings are read and the application
// is built: detaching when asked to, preparing the process, serving.
int start(const server::StartupFlags& flags, server::ServerContext& context,
          const std::string& pid_file) {
    if (flags.daemon_mode) {
        if (std::optional<int> status =
                daemon::daemon_start(pid_file, utils::current_platform(), std::cout)) {
            return *status;
        }
    }
    std::filesystem::create_directories(context.settings.WORKSPACE);
    install_git_credential_helper(context);
    install_output_streams(flags, context.settings.CONFIG_DIR, pid_file);
    // Only now that the process is known to serve and its streams are in
    // place: --daemon must fork while the process has a single thread, and
    // the thread prints through std::cout, whose buffer was just replaced.
    if (context.modules.contains("qarn")) {
        integrations::qarn_autostart(context.executable_dir + "/qarn_service.so", std::cout,
                                     [] { return true; });
    }
    return serve(context, flags);
}

int run_main(const std::vector<std::string>& argv) {
    std::vector<std::string> args;
    if (argv.size() > 1) {
        args.assign(argv.begin() + 1, argv.end());
    }
    server::CommandLine command_line = server::scan_command_line(args);
    for (const std::string& unknown : command_line.unknown) {
        std::cout << "Unknown argument: " << unknown << std::endl;
    }
    if (command_line.flags.show_help) {
        std::cout << server::help_text(argv.empty() ? "quillo" : argv[0]) << std::flush;
        return server::help_exit_status(command_line);
    }
    utils::SettingsSources sources = utils::process_sources();
    std::string pid_file = daemon::pid_file_path(sources.home_dir);
    if (std::optional<int> status = answer_control_command(command_line.flags, pid_file)) {
        return *status;
    }
    utils::configure(utils::load_settings(sources));
    g_context =
        server::build_application(utils::settings(), sources.executable_dir, std::cout).release();
    return start(command_line.flags, *g_context, pid_file);
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    quillo::server::block_termination_signals();
    try {
        return run_main(std::vector<std::string>(argv, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "[ERROR] " << e.what() << std::endl;
        quillo::daemon::report_failure(e.what());
        return 1;
    }
}
