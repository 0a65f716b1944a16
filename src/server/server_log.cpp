#include "server/server_log.h"

#include <cstdio>
#include <ctime>

namespace quillo::server {

std::string iso_utc_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    long fraction = static_cast<long>(micros % 1000000);
    if (fraction < 0) {
        fraction += 1000000;
        seconds -= 1;
    }
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string out(buf, n);
    if (fraction != 0) {
        std::snprintf(buf, sizeof buf, ".%06ld", fraction);
        out += buf;
    }
    return out + "+00:00";
}

std::string start_line(std::chrono::system_clock::time_point when) {
    return "\n--- Quillo Server starting at " + iso_utc_timestamp(when) + " ---\n";
}

std::shared_ptr<output::RotatingFileSink> open_server_log(const std::string& path) {
    auto file = std::make_shared<output::RotatingFileSink>(path, output::kServerLogLimit);
    file->write(start_line(std::chrono::system_clock::now()));
    return file;
}

} // namespace quillo::server
