#include "utils/utils.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quillo::utils {

namespace {

std::string trim_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

const char* label_for(bool loopback) {
    return loopback ? "local" : "network";
}

std::vector<InterfaceAddress> machine_interfaces() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return out;
    }
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || !(it->ifa_flags & IFF_UP)) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        int family = it->ifa_addr->sa_family;
        if (family == AF_INET) {
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, text,
                        sizeof text);
        } else if (family == AF_INET6) {
            const in6_addr& addr = reinterpret_cast<sockaddr_in6*>(it->ifa_addr)->sin6_addr;
            if (IN6_IS_ADDR_LINKLOCAL(&addr)) {
                continue; // unusable in a URL without a zone index
            }
            ::inet_ntop(AF_INET6, &addr, text, sizeof text);
        } else {
            continue;
        }
        out.push_back({text, family, (it->ifa_flags & IFF_LOOPBACK) != 0});
    }
    ::freeifaddrs(list);
    return out;
}

} // namespace

bool is_loopback_address(std::string_view address) {
    std::string text(address.substr(0, address.find('%'))); // no zone index
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) {
        return false;
    }
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

bool is_loopback_host(std::string_view host) {
    return host == "localhost" || is_loopback_address(host);
}

std::vector<ListenAddress> parse_listen_addresses(std::string_view host_text) {
    std::vector<ListenAddress> out;
    size_t start = 0;
    while (start <= host_text.size()) {
        size_t end = host_text.find(',', start);
        if (end == std::string_view::npos) {
            end = host_text.size();
        }
        std::string host = trim_blanks(host_text.substr(start, end - start));
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (!host.empty()) {
            int family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
            out.push_back({host, family});
        }
        start = end + 1;
    }
    return out;
}

std::vector<ListenAddress> get_listen_addresses() {
    return parse_listen_addresses(settings().HOST);
}

std::vector<DisplayAddress> display_addresses_for(const std::vector<ListenAddress>& listen,
                                                  const std::vector<InterfaceAddress>& interfaces) {
    std::vector<DisplayAddress> out;
    for (const ListenAddress& address : listen) {
        bool ipv6 = address.family == AF_INET6;
        bool wildcard = ipv6 ? address.host == "::" : address.host == "0.0.0.0";
        if (!wildcard) {
            out.push_back(
                {address.host, address.family, label_for(is_loopback_host(address.host))});
            continue;
        }
        out.push_back({ipv6 ? "::1" : "127.0.0.1", address.family, label_for(true)});
        for (const InterfaceAddress& iface : interfaces) {
            if ((iface.family == AF_INET6) == ipv6 && !iface.loopback) {
                out.push_back({iface.host, address.family, label_for(false)});
            }
        }
    }
    return out;
}

std::vector<DisplayAddress> get_display_addresses() {
    return display_addresses_for(get_listen_addresses(), machine_interfaces());
}

} // namespace quillo::utils
