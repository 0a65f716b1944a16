// server.log: the file that keeps what the server printed, across runs.
#pragma once

#include "output/rotating_file_sink.h"

#include <chrono>
#include <memory>
#include <string>

namespace quillo::server {

// "2026-12-07T10:10:36.123456+00:00"; the fraction is left out when the
// microseconds are exactly zero.
std::string iso_utc_timestamp(std::chrono::system_clock::time_point when);

// "\n--- Quillo Server starting at <time stamp> ---\n"
std::string start_line(std::chrono::system_clock::time_point when);

// Opens `path` for appending (rotated, never truncated), writes the start
// line and flushes. Throws std::system_error when the file cannot be opened.
std::shared_ptr<output::RotatingFileSink> open_server_log(const std::string& path);

} // namespace quillo::server
