// Every failure that escapes a route is answered in JSON.
#pragma once

#include "app/application.h"

#include <exception>
#include <ostream>

namespace quillo::app {

// 500 with {"error": the error's message}.
Response handle_unhandled_exception(const Request& request, const std::exception& error,
                                    std::ostream& err);
// 405 with {"error": "405 Method Not Allowed: " + description, "url", "method"}.
Response handle_method_not_allowed(const Request& request, const std::exception& error,
                                   std::ostream& err);

// Registers both handlers; they report on `err` (standard error at run time).
void register_error_handlers(Application& app, std::ostream& err);

// "std::runtime_error" for a std::runtime_error, and so on.
std::string error_type_name(const std::exception& error);

} // namespace quillo::app
