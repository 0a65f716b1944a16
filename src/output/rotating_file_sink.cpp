#include "output/rotating_file_sink.h"

#include "utils/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <system_error>

namespace quillo::output {

namespace {

// spdlog retries a failing open for a while and words its own error; an
// open of our own first names the file and the cause at once.
void check_can_append(const std::string& path) {
    utils::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot open " + path);
    }
}

} // namespace

RotatingFileSink::RotatingFileSink(const std::string& path, size_t max_bytes, OpenHook after_open) {
    check_can_append(path);
    spdlog::file_event_handlers handlers;
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
