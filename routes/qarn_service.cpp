// A stand-in for the Qarn chat service: it has no account to start with.
#include <quillo/qarn_service.h>

namespace {

class StandInService : public quillo::QarnService {
  public:
    nlohmann::json start_background() override {
        return {{"status", "unavailable"},
                {"reason", "the chat service is not part of this build"}};
    }
};

} // namespace

quillo::QarnService* get_service() {
    static StandInService service;
    return &service;
}
