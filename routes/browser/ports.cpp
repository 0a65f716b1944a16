#include "ports.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace quillo::browser {

namespace {

constexpr std::string_view kListen = "0A";

// Ports a dev server picks by default: Node and React (3000), Flask (5000),
// Vite (5173), Python's http.server and Django (8000), and the like.
constexpr int kCommonPorts[] = {3000, 3001, 4000, 4200, 5000, 5173,
                                5500, 8000, 8080, 8081, 8888, 9000};

// A local address in /proc/net form ("0100007F:1F40", 32 hex digits for
// IPv6) bound where a browser on this device reaches it: loopback, or any
// address. The address words are in host byte order.
bool ipv4_reachable_here(std::string_view word_hex) {
    uint32_t word = static_cast<uint32_t>(std::stoul(std::string(word_hex), nullptr, 16));
    return word == 0 || (ntohl(word) >> 24) == 127;
}

bool reachable_here(std::string_view address) {
    if (address.size() == 8) {
        return ipv4_reachable_here(address);
    }
    if (address.size() != 32) {
        return false;
    }
    std::string_view head = address.substr(0, 16), third = address.substr(16, 8),
                     last = address.substr(24);
    if (head != "0000000000000000") {
        return false;
    }
    if (third == "00000000") {
        return last == "00000000" || last == "01000000"; // :: or ::1
    }
    // ::ffff:a.b.c.d, an IPv4 address mapped into IPv6
    return third == "FFFF0000" && ipv4_reachable_here(last);
}

std::optional<std::string> read_whole(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return text.str();
}

// A connection attempt to 127.0.0.1 that waits at most 150 ms.
bool loopback_accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd wait{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        ok = ::poll(&wait, 1, 150) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    ::close(fd);
    return ok;
}

} // namespace

std::vector<int> listening_ports_in(std::string_view text, uid_t uid) {
    std::vector<int> ports;
    std::istringstream lines{std::string(text)};
    std::string line;
    std::getline(lines, line); // the column names
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, owner;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
              owner)) {
            continue;
        }
        size_t colon = local.rfind(':');
        if (state != kListen || colon == std::string::npos || owner != std::to_string(uid)) {
            continue;
        }
        try {
            if (reachable_here(std::string_view(local).substr(0, colon))) {
                ports.push_back(static_cast<int>(std::stoul(local.substr(colon + 1), nullptr, 16)));
            }
        } catch (const std::exception&) {
            // a line that is not in the kernel's format: not a port
        }
    }
    return ports;
}

PortList listening_ports(const PortSources& sources) {
    PortList list;
    bool readable = false;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        if (std::optional<std::string> text = sources.read_file(path)) {
            readable = true;
            for (int port : listening_ports_in(*text, sources.uid)) {
                list.ports.push_back(port);
            }
        }
    }
    list.source = readable ? "proc" : "probe";
    if (!readable) {
        for (int port : kCommonPorts) {
            if (sources.accepts(port)) {
                list.ports.push_back(port);
            }
        }
    }
    std::sort(list.ports.begin(), list.ports.end());
    list.ports.erase(std::unique(list.ports.begin(), list.ports.end()), list.ports.end());
    return list;
}

PortSources device_port_sources() {
    return {read_whole, loopback_accepts, ::getuid()};
}

} // namespace quillo::browser
