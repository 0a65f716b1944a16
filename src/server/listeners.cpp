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

std::unique_ptr<http::Server> open_listeners(const app::Application& app, int port,
                                             const std::string& workspace,
                                             const std::vector<utils::ListenAddress>& listen,
                                             const std::vector<utils::DisplayAddress>& display,
                                             std::ostream& out, const LogFunction& log,
                                             int max_connections) {
    announce(port, workspace, listen, display, out, log);
    http::ServerLimits limits;
    limits.max_connections = static_cast<size_t>(max_connections);
    auto server = std::make_unique<http::Server>(app, limits);
    for (const utils::ListenAddress& address : listen) {
        std::string where = address_text(address.host, address.family, port) + " (" +
                            family_label(address.family) + ")";
        try {
            server->listen(address.host, port, address.family == AF_INET6);
            out << "  [OK] Listening on " << where << std::endl;
            log("[SERVER] Listening on " + where);
        } catch (const std::exception& e) {
            out << "  [WARN] Failed to listen on " << where << ": " << e.what() << std::endl;
            log("[SERVER] WARNING: Failed to listen on " + where + ": " + e.what());
        }
    }
    if (server->listening() > 0) {
        server->start();
    }
    return server;
}

void shutdown_listeners(http::Server& server) {
    try {
        server.shutdown();
    } catch (const std::exception&) {
        // Exiting anyway.
    }
}

} // namespace quillo::server
