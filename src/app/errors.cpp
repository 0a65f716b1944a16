#include "app/errors.h"

#include "utils/text.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace quillo::app {

namespace {

// There is no traceback to print; the error's type and message, with the
// request that raised it, are what a developer needs to find the fault. The
// method, the path and the message may hold what the client sent: escaped,
// a line feed in them cannot forge a line of the log.
void report(std::ostream& err, const Request& request, const std::exception& error) {
    err << "[ERROR] " << utils::escape_controls(request.method) << " "
        << utils::escape_controls(request.path) << ": " << error_type_name(error) << ": "
        << utils::escape_controls(error.what()) << std::endl;
}

} // namespace

std::string error_type_name(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

Response handle_unhandled_exception(const Request& request, const std::exception& error,
                                    std::ostream& err) {
    report(err, request, error);
    return json_response({{"error", error.what()}}, 500);
}

Response handle_method_not_allowed(const Request& request, const std::exception& error,
                                   std::ostream& err) {
    report(err, request, error);
    const auto* http_error = dynamic_cast<const HttpError*>(&error);
    std::string description = http_error ? http_error->description() : std::string();
    if (description.empty()) {
        description = request.method;
    }
    return json_response({{"error", "405 Method Not Allowed: " + description},
                          {"url", request.path},
                          {"method", request.method}},
                         405);
}

void register_error_handlers(Application& app, std::ostream& err) {
    app.on_exception([&err](Request& request, const std::exception& error) {
        return handle_unhandled_exception(request, error, err);
    });
    app.on_status(405, [&err](Request& request, const std::exception& error) {
        return handle_method_not_allowed(request, error, err);
    });
}

} // namespace quillo::app
