// A stand-in for one of the IDE's feature modules. It mounts a route set with
// one route that says what it is, so a client can tell that the module is
// loaded and that its features are not part of this build.
#include "stand_in.h"

#include <string>

quillo::Blueprint& module_bp() {
    static quillo::Blueprint bp(std::string(stand_in_name()) + "_bp");
    return bp;
}

namespace {

const bool registered = [] {
    module_bp().route(
        "/api/" + std::string(stand_in_name()) + "/module", {"GET"}, [](quillo::Request&) {
            return quillo::json_response({{"module", stand_in_name()}, {"stand_in", true}});
        });
    return true;
}();

} // namespace

QUILLO_ROUTE_MODULE(module_bp())
