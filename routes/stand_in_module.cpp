// A stand-in for one of the IDE's feature modules. It mounts a route set with
// one route that says what it is, so a client can tell that the module is
// loaded and that its features are not part of this build.
#include "stand_in.h"

#ifndef QUILLO_MODULE_NAME
#error "QUILLO_MODULE_NAME must name the module"
#endif

quillo::Blueprint& module_bp() {
    static quillo::Blueprint bp(QUILLO_MODULE_NAME "_bp");
    return bp;
}

namespace {

const bool registered = [] {
    module_bp().route("/api/" QUILLO_MODULE_NAME "/module", {"GET"}, [](quillo::Request&) {
        return quillo::json_response({{"module", QUILLO_MODULE_NAME}, {"stand_in", true}});
    });
    return true;
}();

} // namespace

QUILLO_ROUTE_MODULE(module_bp())
