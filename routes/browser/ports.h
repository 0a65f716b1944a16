// Which TCP ports on this device a user may want to preview: the ones that
// programs of the user listen on.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quillo::browser {

// The ports in LISTEN state owned by `uid` in a /proc/net/tcp or tcp6 text
// that a browser on this device can reach (bound to loopback or to every
// address), in the order listed.
std::vector<int> listening_ports_in(std::string_view proc_net_tcp, uid_t uid);

struct PortSources {
    // The text of a /proc/net file, or nothing where it cannot be read (as
    // on Android 10 and later).
    std::function<std::optional<std::string>(const std::string& path)> read_file;
    // True when something accepts a connection on 127.0.0.1:port.
    std::function<bool(int port)> accepts;
    uid_t uid;
};

struct PortList {
    std::vector<int> ports; // ascending, no duplicates
    std::string source;     // "proc", or "probe" where /proc/net was unreadable
};

// The user's listening ports, from /proc/net/tcp and tcp6; where neither
// can be read, the common development ports that accept a connection.
PortList listening_ports(const PortSources& sources);

// The sources of this device.
PortSources device_port_sources();

} // namespace quillo::browser
