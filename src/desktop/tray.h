// The system-tray icon of Windows and macOS, run by the optional module
// quillo_tray_manager.so. On other platforms nothing here runs.
#pragma once

#include "utils/platform.h"

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace quillo::desktop {

// Foreground only, neither --no-tray nor QUILLO_NO_TRAY, and only on
// Windows and macOS.
bool tray_wanted(bool no_tray, bool daemon_mode, bool no_tray_env, utils::Platform platform);

struct TrayStart {
    std::string module_path; // quillo_tray_manager.so next to the executable
    int port = 0;
    std::ostream* out = nullptr;
    std::function<void(std::string_view)> log;
};

// Checks the module's libraries, loads it, sets QUILLO_PORT and
// QUILLO_NO_AUTO_OPEN=1 in the environment, installs the server functions
// and runs its TrayManager on a background thread. Every failure is
// reported on `out` and through `log`; the server runs on without a tray.
void start_tray(const TrayStart& start);

} // namespace quillo::desktop
