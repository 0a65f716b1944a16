// The health check that clients and scripts poll to see that the server is up.
#include "stand_in.h"

namespace {

const bool registered = [] {
    module_bp().route("/api/health", {"GET"}, [](quillo::Request&) {
        return quillo::json_response({{"status", "ok"}});
    });
    return true;
}();

} // namespace
