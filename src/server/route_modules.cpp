#include "server/route_modules.h"

#include "quillo/module.h"

#include <dlfcn.h>

namespace quillo::server {

namespace {

std::string last_dl_error() {
    const char* error = ::dlerror();
    return error ? error : "unknown loader error";
}

} // namespace

RouteModule RouteModule::load(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
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

} // namespace quillo::server
