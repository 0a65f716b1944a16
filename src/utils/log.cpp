#include "utils/files.h"
#include "utils/utils.h"

#include <fcntl.h>
#include <memory>
#include <mutex>
#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>

namespace quillo::utils {

namespace {

// Rotating keeps the log from filling a phone's storage: at most
// kLogFiles files of kMaxLogBytes each.
constexpr size_t kMaxLogBytes = 1024 * 1024;
constexpr size_t kLogFiles = 3;

struct LogState {
    std::mutex mutex;
    std::shared_ptr<spdlog::logger> logger;
    std::string path;
};

LogState& state() {
    static LogState* instance = new LogState(); // never destroyed: threads may outlive main
    return *instance;
}

// Programs the server starts must not inherit the log.
void close_on_exec(const spdlog::filename_t&, std::FILE* file) {
    ::fcntl(::fileno(file), F_SETFD, FD_CLOEXEC);
}

std::shared_ptr<spdlog::logger> open_logger(const std::string& path) {
    spdlog::file_event_handlers handlers;
    // spdlog would create the file, and each one begun by a rotation, with
    // the umask.
    handlers.before_open = [](const spdlog::filename_t& name) { precreate_private_file(name); };
    handlers.after_open = close_on_exec;
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kMaxLogBytes,
                                                                       kLogFiles, false, handlers);
    auto logger = std::make_shared<spdlog::logger>("quillo", std::move(sink));
    logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e%z %v");
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info); // every line reaches the file at once
    // spdlog reports its own failures on stderr by default; stderr is one of
    // the streams that calls log_write, so stay silent instead.
    logger->set_error_handler([](const std::string&) {});
    return logger;
}

std::shared_ptr<spdlog::logger> logger_for(const std::string& path) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.logger || s.path != path) {
        try {
            s.logger = open_logger(path);
            s.path = path;
        } catch (const spdlog::spdlog_ex&) {
            // The directory is missing or not writable: the log is
            // best-effort and must never take a request or the start down.
            return nullptr;
        }
    }
    return s.logger;
}

} // namespace

void log_write(std::string_view message) {
    if (auto logger = logger_for(settings().CONFIG_DIR + "/quillo.log")) {
        logger->info("{}", message);
    }
}

} // namespace quillo::utils
