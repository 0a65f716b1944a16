// PID-file parsing: whatever the file holds (a crash half-way through a
// write, another program's file, a hand edit), the number handed to kill()
// must be a single positive process id that the file spells out.

#include "daemon/daemon.h"

#include <cstdlib>
#include <iostream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view content(reinterpret_cast<const char*>(data), size);
    std::optional<pid_t> pid = quillo::daemon::parse_pid(content);
    if (!pid) {
        return 0;
    }
    std::string digits = std::to_string(*pid);
    if (*pid <= 0 || content.find(digits) == std::string_view::npos) {
        std::cerr << "pid file: read " << *pid << " from \"" << content << "\"\n";
        std::abort();
    }
    // What the daemon itself writes must read back the same.
    if (quillo::daemon::parse_pid(digits) != pid) {
        std::cerr << "pid file: " << digits << " does not read back\n";
        std::abort();
    }
    return 0;
}
