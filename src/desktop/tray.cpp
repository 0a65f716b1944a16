#include "desktop/tray.h"

#include "quillo/tray.h"

#include <cstdlib>
#include <dlfcn.h>
#include <memory>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace quillo::desktop {

namespace {

// The module's entry points, resolved once it has loaded.
struct TrayModule {
    tray::ServerFunctions* functions = nullptr;
    bool (*check_port_listening)() = nullptr;
    tray::TrayManager* (*create_manager)() = nullptr;
};

void* require(void* handle, const char* name) {
    void* symbol = ::dlsym(handle, name);
    if (symbol == nullptr) {
        throw std::runtime_error(std::string("quillo_tray_manager has no ") + name);
    }
    return symbol;
}

// True when the module loads and names a library that does not.
bool tray_libraries_missing(const std::string& module_path) {
    void* handle = ::dlopen(module_path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        return false; // loading the module itself reports this
    }
    auto libraries =
        reinterpret_cast<const char* const* (*)()>(::dlsym(handle, "quillo_tray_libraries"));
    bool missing = false;
    for (const char* const* name = libraries ? libraries() : nullptr; name && *name; ++name) {
        void* library = ::dlopen(*name, RTLD_LAZY | RTLD_LOCAL);
        missing = missing || library == nullptr;
    }
    return missing;
}

TrayModule load_tray_module(const std::string& module_path) {
    // Never unloaded: the tray thread runs its code for the process's life.
    void* handle = ::dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(::dlerror());
    }
    int version = reinterpret_cast<int (*)()>(require(handle, "quillo_tray_api_version"))();
    if (version != tray::kTrayApiVersion) {
        throw std::runtime_error("quillo_tray_manager is built for tray API " +
                                 std::to_string(version) + ", this server has " +
                                 std::to_string(tray::kTrayApiVersion));
    }
    TrayModule module;
    module.functions = reinterpret_cast<tray::ServerFunctions* (*)()>(
        require(handle, "quillo_tray_server_functions"))();
    module.check_port_listening =
        reinterpret_cast<bool (*)()>(require(handle, "quillo_tray_check_port_listening"));
    module.create_manager =
        reinterpret_cast<tray::TrayManager* (*)()>(require(handle, "quillo_tray_create_manager"));
    return module;
}

// The tray and the server share the process: a start request finds the
// server running, and a stop request is left to the server's own signals.
void install_server_functions(const TrayModule& module,
                              const std::function<void(std::string_view)>& log) {
    auto listening = module.check_port_listening;
    module.functions->get_server_state = [listening] {
        return std::string(listening() ? "running" : "stopped");
    };
    module.functions->get_server_pid = [listening]() -> std::optional<long> {
        return listening() ? std::optional<long>(::getpid()) : std::nullopt;
    };
    module.functions->start_server = [] { return true; };
    module.functions->stop_server = [log] {
        log("[SERVER] Tray stop requested (no-op, in-process)");
    };
}

void run_tray(const TrayModule& module, std::ostream& out,
              const std::function<void(std::string_view)>& log) {
    try {
        std::unique_ptr<tray::TrayManager> manager(module.create_manager());
        manager->run();
    } catch (const std::exception& e) {
        out << "  [WARN] Tray icon failed: " + std::string(e.what()) + "\n" << std::flush;
        log("[SERVER] Tray icon failed: " + std::string(e.what()));
    }
}

} // namespace

bool tray_wanted(bool no_tray, bool daemon_mode, bool no_tray_env, utils::Platform platform) {
    return !no_tray && !daemon_mode && !no_tray_env &&
           (platform == utils::Platform::Windows || platform == utils::Platform::MacOS);
}

void start_tray(const TrayStart& start) {
    std::ostream& out = *start.out;
    if (tray_libraries_missing(start.module_path)) {
        out << "  [INFO] Tray icon disabled (tray libraries not installed).\n"
               "         Install the Quillo tray module to enable it.\n"
            << std::flush;
        start.log("[SERVER] Tray icon skipped: tray libraries not installed");
        return;
    }
    try {
        TrayModule module = load_tray_module(start.module_path);
        ::setenv("QUILLO_PORT", std::to_string(start.port).c_str(), 1);
        ::setenv("QUILLO_NO_AUTO_OPEN", "1", 1);
        install_server_functions(module, start.log);
        // Reported before the thread exists: the tray thread writes to `out`
        // too (a failing icon), and the two must not write at the same time.
        out << "  [OK] System tray icon started (right-click for menu)\n" << std::flush;
        start.log("[SERVER] Tray icon started");
        std::thread([module, &out, log = start.log] { run_tray(module, out, log); }).detach();
    } catch (const std::exception& e) {
        out << "  [WARN] Tray icon init failed: " + std::string(e.what()) + "\n" << std::flush;
        start.log("[SERVER] Tray icon init failed: " + std::string(e.what()));
    }
}

} // namespace quillo::desktop
