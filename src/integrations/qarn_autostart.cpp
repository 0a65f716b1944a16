#include "integrations/qarn_autostart.h"

#include "quillo/qarn_service.h"
#include "utils/text.h"

#include <dlfcn.h>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

namespace quillo::integrations {

namespace {

constexpr size_t kShownAccountCharacters = 20;

// The service keeps running after the call, so its library stays loaded.
QarnService* load_service(const std::string& service_path) {
    void* handle = ::dlopen(service_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(::dlerror());
    }
    void* symbol = ::dlsym(handle, "get_service");
    if (symbol == nullptr) {
        throw std::runtime_error("cannot import name 'get_service' from " + service_path);
    }
    QarnService* service = reinterpret_cast<QarnService* (*)()>(symbol)();
    if (service == nullptr) {
        throw std::runtime_error("get_service() returned no service");
    }
    return service;
}

} // namespace

std::string qarn_result_line(const std::map<std::string, std::string>& result) {
    auto status = result.find("status");
    if (status != result.end() && status->second == "started") {
        auto account = result.find("account_id");
        std::string id = account == result.end() ? std::string() : account->second;
        return "[QARN] Auto-started: " +
               std::string(utils::first_code_points(id, kShownAccountCharacters)) + "...";
    }
    return "[QARN] Auto-start result: " +
           nlohmann::json(result).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void start_qarn_service(const std::string& service_path, std::ostream& out) {
    std::string line;
    try {
        line = qarn_result_line(load_service(service_path)->start_background());
    } catch (const std::exception& e) {
        line = "[QARN] Auto-start failed (non-fatal): " + std::string(e.what());
    }
    out << line + "\n" << std::flush;
}

void qarn_autostart(const std::string& service_path, std::ostream& out,
                    std::function<bool()> wanted, std::chrono::milliseconds delay) {
    std::thread([service_path, &out, wanted = std::move(wanted), delay] {
        std::this_thread::sleep_for(delay);
        if (wanted()) {
            start_qarn_service(service_path, out);
        }
    }).detach();
}

} // namespace quillo::integrations
