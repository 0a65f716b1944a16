// Building the web application: settings, session secret, error handlers,
// directories, route modules and the front end's routes, in that order.
#pragma once

#include "app/application.h"
#include "app/password_store.h"
#include "server/route_modules.h"
#include "utils/utils.h"

#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace quillo::server {

struct ServerContext {
    utils::Settings settings;
    std::string executable_dir;
    std::unique_ptr<app::Application> app;
    std::shared_ptr<app::PasswordStore> passwords;
    std::map<std::string, RouteModule> modules; // the ones that loaded
};

// A mandatory start-up step failed; the message says which and why.
class StartupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Runs the whole set-up. Warnings about optional steps go to `out`.
// Throws StartupError (or the failing call's own error) when a mandatory
// step fails.
std::unique_ptr<ServerContext> build_application(const utils::Settings& settings,
                                                 const std::string& executable_dir,
                                                 std::ostream& out);

// Older installations left compiled-cache directories next to the server and
// inside each directory of routes/; they are removed, silently.
void remove_stale_caches(const std::string& executable_dir);

// The route modules of kRouteModules, loaded from `routes_dir`.
std::map<std::string, RouteModule> load_route_modules(const std::string& routes_dir,
                                                      std::ostream& out);

} // namespace quillo::server
