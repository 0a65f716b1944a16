// Loading the IDE's feature route modules (shared objects in routes/).
#pragma once

#include "quillo/blueprint.h"

#include <array>
#include <map>
#include <stdexcept>
#include <string>

namespace quillo::server {

struct RouteModuleSpec {
    const char* name;
    bool required;
};

// Loaded and mounted in this order; a required module that cannot be loaded
// stops the start, an optional one only costs its routes.
inline constexpr std::array<RouteModuleSpec, 11> kRouteModules{{
    {"files", true},
    {"run", true},
    {"git", true},
    {"chat", true},
    {"venv", true},
    {"update", false},
    {"server_mgmt", true},
    {"browser", true},
    {"notebook", true},
    {"debug", true},
    {"qarn", false},
}};

class ModuleLoadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A loaded module. It stays loaded for the life of the process: its handlers
// are code inside it.
class RouteModule {
  public:
    // Throws ModuleLoadError with the loader's reason.
    static RouteModule load(const std::string& path);

    const Blueprint& bp() const { return *bp_; }
    // An exported function; throws ModuleLoadError when it is missing.
    void* require_symbol(const char* name) const;
    // An optional exported function; null when it is missing.
    void* find_symbol(const char* name) const;

  private:
    RouteModule(void* handle, const Blueprint* bp) : handle_(handle), bp_(bp) {}
    void* handle_;
    const Blueprint* bp_;
};

// Calls each module's optional `quillo_module_stop` once the listeners have
// closed; one that throws is reported and the others still stop.
void stop_route_modules(const std::map<std::string, RouteModule>& modules);

} // namespace quillo::server
