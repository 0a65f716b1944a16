// A stand-in for the Qarn chat service: this build has none to start.
#include <quillo/qarn_service.h>

namespace {

class StandInService : public quillo::QarnService {
  public:
    std::map<std::string, std::string> start_background() override {
        return {{"status", "disabled"}};
    }
};

} // namespace

quillo::QarnService* get_service() {
    static auto* service = new StandInService(); // never destroyed: see quillo/qarn_service.h
    return service;
}
