// server.log: the file that keeps what the server printed, across runs.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace quillo::server {

// "2026-12-07T10:10:36.123456+00:00"; the fraction is left out when the
// microseconds are exactly zero.
std::string iso_utc_timestamp(std::chrono::system_clock::time_point when);

// "\n--- Quillo Server starting at <time stamp> ---\n"
std::string start_line(std::chrono::system_clock::time_point when);

// Opens `path` for appending (never truncating), writes the start line and
// flushes. The handle stays open for the life of the process. Throws
// std::system_error when the file cannot be opened.
std::FILE* open_server_log(const std::string& path);

} // namespace quillo::server
