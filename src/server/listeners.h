// Opening one HTTP listener per listen address, with the banner and the
// start-up log lines.
#pragma once

#include "http/server.h"
#include "utils/utils.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string_view>
#include <vector>

namespace quillo::server {

using LogFunction = std::function<void(std::string_view)>;

// Prints the banner, logs the bind targets, then listens on each address in
// order and starts serving. An address that fails is reported on `out` and
// in the log and skipped; the server may listen nowhere. All addresses
// together serve at most `max_connections` connections at once.
std::unique_ptr<http::Server> open_listeners(const app::Application& app, int port,
                                             const std::string& workspace,
                                             const std::vector<utils::ListenAddress>& listen,
                                             const std::vector<utils::DisplayAddress>& display,
                                             std::ostream& out, const LogFunction& log,
                                             int max_connections);

// Stops accepting, lets what is in flight finish briefly, closes WebSockets.
void shutdown_listeners(http::Server& server);

} // namespace quillo::server
