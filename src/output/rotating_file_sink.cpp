#include "output/rotating_file_sink.h"

#include "utils/files.h"

#include <cerrno>
#include <fcntl.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <system_error>

namespace quillo::output {

namespace {

// spdlog retries a failing open for a while and words its own error; an
// open of our own first names the file and the cause at once. It also
// creates a missing file with the log's mode.
void check_can_append(const std::string& path) {
    try {
        utils::open_private_file(path, O_WRONLY | O_APPEND);
    } catch (const std::system_error& e) {
        throw std::system_error(e.code(), "cannot open " + path);
    }
}

} // namespace

RotatingFileSink::RotatingFileSink(const std::string& path, size_t max_bytes, OpenHook after_open) {
    check_can_append(path);
    spdlog::file_event_handlers handlers;
    // spdlog creates the files with the umask: the new one after each
    // rotation is made first, private like the first.
    handlers.before_open = [](const spdlog::filename_t& name) {
        utils::precreate_private_file(name);
    };
    handlers.after_open = [after_open](const spdlog::filename_t&, std::FILE* file) {
        int fd = ::fileno(file);
        // Programs the server starts must not inherit the log.
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (after_open) {
            after_open(fd);
        }
    };
    auto sink =
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, max_bytes, 1, false, handlers);
    logger_ = std::make_shared<spdlog::logger>("server.log", std::move(sink));
    // The text as written: no time stamp, no line end of spdlog's own.
    logger_->set_formatter(
        std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
    logger_->set_level(spdlog::level::trace);
    logger_->flush_on(spdlog::level::trace);
    // spdlog would report its failures on standard error, which writes here.
    logger_->set_error_handler([](const std::string&) {});
}

void RotatingFileSink::write(std::string_view utf8) {
    logger_->log(spdlog::level::info, spdlog::string_view_t(utf8.data(), utf8.size()));
}

void RotatingFileSink::flush() {
    logger_->flush();
}

} // namespace quillo::output
