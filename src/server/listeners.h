// Opening one HTTP listener per listen address, with the banner and the
// start-up log lines.
#pragma once

#include "app/http_listener.h"
#include "utils/utils.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string_view>
#include <vector>

namespace quillo::server {

using LogFunction = std::function<void(std::string_view)>;
using Listeners = std::vector<std::unique_ptr<app::HttpListener>>;

// Prints the banner, logs the bind targets, then opens and starts a listener
// for each address in order. An address that fails is reported on `out` and
// in the log and skipped. The result may be empty. The listeners together
// serve at most `max_connections` connections at once.
Listeners open_listeners(const app::Application& app, int port, const std::string& workspace,
                         const std::vector<utils::ListenAddress>& listen,
                         const std::vector<utils::DisplayAddress>& display, std::ostream& out,
                         const LogFunction& log, int max_connections);

// Stops every listener in order; a failure of one does not stop the others.
void shutdown_listeners(Listeners& listeners);

} // namespace quillo::server
