#include "server/banner.h"

#include <sys/socket.h>

namespace quillo::server {

std::string address_text(const std::string& host, int family, int port) {
    if (family == AF_INET6) {
        return "[" + host + "]:" + std::to_string(port);
    }
    return host + ":" + std::to_string(port);
}

std::string family_label(int family) {
    return family == AF_INET6 ? "IPv6" : "IPv4";
}

std::string workspace_name(const std::string& workspace) {
    size_t slash = workspace.rfind('/');
    return slash == std::string::npos ? workspace : workspace.substr(slash + 1);
}

std::string pad_right(const std::string& utf8, size_t width) {
    size_t characters = 0;
    for (char c : utf8) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++characters; // count lead bytes only
        }
    }
    return characters >= width ? utf8 : utf8 + std::string(width - characters, ' ');
}

std::string banner_text(int port, const std::string& workspace,
                        const std::vector<utils::DisplayAddress>& display,
                        const std::string& website) {
    std::string lines;
    for (size_t i = 0; i < display.size(); ++i) {
        if (i > 0) {
            lines += "\n";
        }
        const utils::DisplayAddress& a = display[i];
        lines += "    ║    " + address_text(a.host, a.family, port) + " (" + a.label + ")";
    }
    return "\n    ╔══════════════════════════════════╗\n"
           "    ║       Quillo Server           ║\n"
           "    ║   Mobile Web IDE for Termux     ║\n"
           "    ╠══════════════════════════════════╣\n"
           "    ║  Port:    " +
           pad_right(std::to_string(port), 22) +
           "║\n    ║  Workspace: " + pad_right(workspace_name(workspace), 18) + "║\n" + lines +
           "\n    ║  Website: " + website +
           "      ║\n    ╚══════════════════════════════════╝\n    ";
}

std::string bind_targets_text(const std::vector<utils::ListenAddress>& listen) {
    std::string out = "[";
    for (size_t i = 0; i < listen.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += "('" + listen[i].host + "', '" + family_label(listen[i].family) + "')";
    }
    return out + "]";
}

} // namespace quillo::server
