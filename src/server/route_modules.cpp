#include "server/route_modules.h"

#include "quillo/module.h"

#include <dlfcn.h>
#include <iostream>

namespace quillo::server {

namespace {

std::string last_dl_error() {
    const char* error = ::dlerror();
    return error ? error : "unknown loader error";
}

} // namespace

RouteModule RouteModule::load(const std::string& path) {
    // Lazily bound: a module's functions are bound on their first call, so
    // start-up does not bind the many a module never calls on a given day.
    void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
        throw ModuleLoadError(last_dl_error());
    }
    auto version = reinterpret_cast<int (*)()>(::dlsym(handle, "quillo_module_api_version"));
    auto bp = reinterpret_cast<const Blueprint* (*)()>(::dlsym(handle, "quillo_module_bp"));
    if (version == nullptr || bp == nullptr) {
        ::dlclose(handle);
        throw ModuleLoadError(path + ": not a Quillo route module (no quillo_module_bp)");
    }
    if (version() != kModuleApiVersion) {
        std::string message = path + ": built for route module API " + std::to_string(version()) +
                              ", this server needs " + std::to_string(kModuleApiVersion);
        ::dlclose(handle);
        throw ModuleLoadError(message);
    }
    return RouteModule(handle, bp());
}

void* RouteModule::require_symbol(const char* name) const {
    ::dlerror();
    void* found = ::dlsym(handle_, name);
    if (found == nullptr) {
        throw ModuleLoadError(last_dl_error());
    }
    return found;
}

void* RouteModule::find_symbol(const char* name) const {
    return ::dlsym(handle_, name);
}

void stop_route_modules(const std::map<std::string, RouteModule>& modules) {
    for (const auto& [name, module] : modules) {
        auto stop = reinterpret_cast<void (*)()>(module.find_symbol("quillo_module_stop"));
        try {
            if (stop != nullptr) {
                stop();
            }
        } catch (const std::exception& e) {
            std::cerr << "[SERVER] route module " << name << " failed to stop: " << e.what()
                      << std::endl;
        }
    }
}

} // namespace quillo::server
