#include "server/listeners.h"

#include "server/banner.h"

#include <sys/socket.h>

namespace quillo::server {

namespace {

void announce(int port, const std::string& workspace,
              const std::vector<utils::ListenAddress>& listen,
              const std::vector<utils::DisplayAddress>& display, std::ostream& out,
              const LogFunction& log) {
    out << banner_text(port, workspace, display, kProjectWebsite) << std::endl;
    log("[SERVER] Starting on port " + std::to_string(port) + ", workspace: " + workspace);
    log("[SERVER] Bind targets: " + bind_targets_text(listen));
    for (const utils::DisplayAddress& a : display) {
        log("[SERVER]   Accessible at " + a.host + ":" + std::to_string(port) + " (" + a.label +
            ")");
    }
}

} // namespace

Listeners open_listeners(const app::Application& app, int port, const std::string& workspace,
                         const std::vector<utils::ListenAddress>& listen,
                         const std::vector<utils::DisplayAddress>& display, std::ostream& out,
                         const LogFunction& log, int max_connections) {
    announce(port, workspace, listen, display, out, log);
    app::ListenerLimits limits;
    limits.cap = std::make_shared<app::ConnectionCap>(max_connections); // one for all listeners
    Listeners listeners;
    for (const utils::ListenAddress& address : listen) {
        std::string where = address_text(address.host, address.family, port) + " (" +
                            family_label(address.family) + ")";
        try {
            auto listener = std::make_unique<app::HttpListener>(app, limits);
            listener->bind(address.host, port, address.family == AF_INET6);
            listeners.push_back(std::move(listener));
            listeners.back()->start();
            out << "  [OK] Listening on " << where << std::endl;
            log("[SERVER] Listening on " + where);
        } catch (const std::exception& e) {
            out << "  [WARN] Failed to listen on " << where << ": " << e.what() << std::endl;
            log("[SERVER] WARNING: Failed to listen on " + where + ": " + e.what());
        }
    }
    return listeners;
}

void shutdown_listeners(Listeners& listeners) {
    for (auto& listener : listeners) {
        try {
            listener->shutdown();
        } catch (const std::exception&) {
            // One listener that cannot stop must not keep the others open.
        }
    }
}

} // namespace quillo::server
