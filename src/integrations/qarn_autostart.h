// The Qarn chat service's start in the background, five seconds after
// start-up, so that it never delays or endangers the server's own start.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <string>

namespace quillo::integrations {

// "[QARN] Auto-started: <first 20 characters of account_id>..." for a
// started service, "[QARN] Auto-start result: <the result as JSON>"
// otherwise.
std::string qarn_result_line(const std::map<std::string, std::string>& result);

// Loads `service_path`, asks its get_service() to start_background() and
// prints the outcome as one line on `out`; a failure prints
// "[QARN] Auto-start failed (non-fatal): <message>". Never throws.
void start_qarn_service(const std::string& service_path, std::ostream& out);

// start_qarn_service after `delay`, on a background thread that never keeps
// the process alive, provided `wanted()` still holds then (a process that
// only answers --stop or --status must not start the service, however long
// it takes). Throws only when no thread can be started.
void qarn_autostart(const std::string& service_path, std::ostream& out,
                    std::function<bool()> wanted,
                    std::chrono::milliseconds delay = std::chrono::seconds(5));

} // namespace quillo::integrations
