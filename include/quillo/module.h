// The contract between the server and a route module.
//
// A route module is a shared object `routes/<name>.so` next to the server
// executable. It defines one Blueprint and exports it with
// QUILLO_ROUTE_MODULE; the server loads the modules at start-up and refuses
// one built against another version of this API.
//
//     #include <quillo/module.h>
//     static quillo::Blueprint bp("hello");
//     static const bool registered = [] {
//         bp.route("/api/hello", {"GET"}, [](quillo::Request&) {
//             return quillo::json_response({{"hello", "world"}});
//         });
//         return true;
//     }();
//     QUILLO_ROUTE_MODULE(bp)
//
// Threads: handlers run on worker threads, many at once; a handler may
// block (run a child process) without delaying other requests. WebSocket
// events run on workers too, one at a time per socket (quillo/websocket.h).
// Child processes: start them with quillo/process.h (run, Popen,
// check_call, check_output, PtyProcess on a terminal), which decodes text
// output safely, hides the console window on Windows, and gives the child
// the default signal state (the server blocks SIGTERM, SIGHUP and SIGINT in
// every thread and ignores SIGPIPE and SIGXFSZ) and none of the server's
// descriptors.
#pragma once

#include "quillo/blueprint.h"
#include "quillo/services.h"

namespace quillo {

// Raised whenever this header or the types it uses change incompatibly.
inline constexpr int kModuleApiVersion = 8;

} // namespace quillo

#define QUILLO_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

// Exports `bp_object` (a quillo::Blueprint with static storage) as the
// module's route set.
#define QUILLO_ROUTE_MODULE(bp_object)                                                             \
    QUILLO_MODULE_EXPORT int quillo_module_api_version() {                                         \
        return quillo::kModuleApiVersion;                                                          \
    }                                                                                              \
    QUILLO_MODULE_EXPORT const quillo::Blueprint* quillo_module_bp() {                             \
        return &(bp_object);                                                                       \
    }

// Optional entry points, looked up by name:
//   any:  QUILLO_MODULE_EXPORT void quillo_module_stop();
//         called once when the server stops, after its listeners closed:
//         end the module's child processes there.
//   chat: QUILLO_MODULE_EXPORT bool resume_pending_task_on_startup();
//         true when it resumed an unfinished AI task.
//   git:  QUILLO_MODULE_EXPORT void install_git_credential_helper();
//         may throw; the server reports the failure and goes on.
