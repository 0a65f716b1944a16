// The optional Qarn chat service: a shared object qarn_service.so next to the
// server executable. The server starts it in the background after start-up.
#pragma once

#include <map>
#include <string>

namespace quillo {

class QarnService {
  public:
    virtual ~QarnService() = default;
    // Starts the service in the background. The result may hold "status"
    // ("started" when it was started now) and "account_id".
    virtual std::map<std::string, std::string> start_background() = 0;
};

} // namespace quillo

// Exported by qarn_service.so: the process-wide service object. It must never
// be destroyed, not even when the process exits: the server calls it from a
// background thread, which may still be inside start_background() then.
extern "C" __attribute__((visibility("default"))) quillo::QarnService* get_service();
