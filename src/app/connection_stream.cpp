#include "app/connection_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace quillo::app {

namespace {

using AddressQuery = int (*)(int, sockaddr*, socklen_t*);

void numeric_address(int fd, AddressQuery query, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

ConnectionStream::ConnectionStream(int fd, int read_timeout_seconds, int write_timeout_seconds)
    : fd_(fd), read_timeout_ms_(read_timeout_seconds * 1000),
      write_timeout_ms_(write_timeout_seconds * 1000) {}

bool ConnectionStream::wait(short events, int timeout_ms) const {
    pollfd entry{fd_, events, 0};
    while (true) {
        int ready = ::poll(&entry, 1, timeout_ms);
        if (ready >= 0 || errno != EINTR) {
            return ready > 0;
        }
    }
}

bool ConnectionStream::is_readable() const {
    return begin_ < end_ || wait(POLLIN, read_timeout_ms_);
}

bool ConnectionStream::is_writable() const {
    return wait(POLLOUT, write_timeout_ms_);
}

bool ConnectionStream::wait_for_request(int timeout_seconds) const {
    return begin_ < end_ || wait(POLLIN, timeout_seconds * 1000);
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    if (begin_ == end_) {
        if (!is_readable()) {
            return -1;
        }
        // Large reads (a body) go straight to the caller's memory.
        char* target = size >= sizeof buffer_ ? ptr : buffer_;
        size_t room = size >= sizeof buffer_ ? size : sizeof buffer_;
        ssize_t n;
        do {
            n = ::recv(fd_, target, room, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0 || target == ptr) {
            if (n > 0) {
                record(ptr, static_cast<size_t>(n));
            }
            return n;
        }
        begin_ = 0;
        end_ = static_cast<size_t>(n);
    }
    size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    record(ptr, n);
    return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    if (!is_writable()) {
        return -1;
    }
    ssize_t n;
    do {
        n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    numeric_address(fd_, ::getpeername, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    numeric_address(fd_, ::getsockname, ip, port);
}

void ConnectionStream::start_recording() {
    recorded_.clear();
    recording_ = true;
}

std::string ConnectionStream::stop_recording() {
    recording_ = false;
    return std::move(recorded_);
}

void ConnectionStream::record(const char* data, size_t size) {
    if (recording_) {
        recorded_.append(data, size);
    }
}

httplib::Headers parse_header_fields(std::string_view head) {
    httplib::Headers fields;
    size_t line_start = head.find('\n');
    while (line_start != std::string_view::npos && ++line_start < head.size()) {
        size_t line_end = head.find('\n', line_start);
        std::string_view line =
            head.substr(line_start, line_end == std::string_view::npos ? std::string_view::npos
                                                                       : line_end - line_start);
        while (!line.empty() && (line.back() == '\r' || is_blank(line.back()))) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break; // the end of the head
        }
        size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && is_blank(value.front())) {
                value.remove_prefix(1);
            }
            fields.emplace(std::string(line.substr(0, colon)), std::string(value));
        }
        line_start = line_end;
    }
    return fields;
}

} // namespace quillo::app
