// The contract between the server and the optional tray module
// quillo_tray_manager.so, which draws a system-tray icon on Windows and
// macOS. The server loads it next to its executable, hands it the port in
// QUILLO_PORT, replaces its four server functions with its own, and runs a
// TrayManager on a thread of its own.
//
// The module exports, with QUILLO_TRAY_EXPORT:
//   int quillo_tray_api_version();              // kTrayApiVersion
//   const char* const* quillo_tray_libraries(); // the shared libraries the icon
//                                               // needs, null-terminated; the
//                                               // server checks they load
//   quillo::tray::ServerFunctions* quillo_tray_server_functions();
//   bool quillo_tray_check_port_listening();    // does the port in QUILLO_PORT answer?
//   quillo::tray::TrayManager* quillo_tray_create_manager(); // may throw
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quillo::tray {

inline constexpr int kTrayApiVersion = 1;

// How the tray asks the server about itself; the server installs these.
struct ServerFunctions {
    std::function<std::string()> get_server_state;       // "running" or "stopped"
    std::function<std::optional<long>()> get_server_pid; // nothing when stopped
    std::function<bool()> start_server;
    std::function<void()> stop_server;
};

class TrayManager {
  public:
    virtual ~TrayManager() = default;
    // Shows the icon; may block for as long as the icon lives.
    virtual void run() = 0;
};

} // namespace quillo::tray

#define QUILLO_TRAY_EXPORT extern "C" __attribute__((visibility("default")))
