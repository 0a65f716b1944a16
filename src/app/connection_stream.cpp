#include "app/connection_stream.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace quillo::app {

namespace {

// Writes up to this size wait for the next write or the flush, so that the
// library's separate writes of an answer's head and body become one.
constexpr size_t kHoldBackBytes = 16 * 1024;
constexpr size_t kInitialBuffer = 4096;

using AddressQuery = int (*)(int, sockaddr*, socklen_t*);

const SocketAddress& cached_address(std::optional<SocketAddress>& slot, int fd,
                                    AddressQuery query) {
    if (slot) {
        return *slot;
    }
    slot = SocketAddress{};
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        slot->ip = host;
        slot->port = std::atoi(service);
    }
    return *slot;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

} // namespace

ConnectionStream::ConnectionStream(int fd, StreamLimits limits)
    : fd_(fd), limits_(limits), in_(kInitialBuffer) {}

bool ConnectionStream::wait(short events, int timeout_ms) const {
    pollfd entry{fd_, events, 0};
    while (true) {
        int ready = ::poll(&entry, 1, timeout_ms);
        if (ready >= 0 || errno != EINTR) {
            return ready > 0;
        }
    }
}

ssize_t ConnectionStream::receive(char* target, size_t room) {
    ssize_t n;
    do {
        n = ::recv(fd_, target, room, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Lines are scanned as they arrive, each only once. The head ends at the
// first line that is exactly CRLF after the request line, as the library
// itself reads it.
ConnectionStream::Scan ConnectionStream::scan_head() {
    while (true) {
        const char* start = in_.data() + scan_pos_;
        size_t available = end_ - scan_pos_;
        bool request_line = scan_pos_ == head_begin_;
        size_t line_limit = request_line ? limits_.max_request_line : limits_.max_header_line;
        Scan too_long = request_line ? Scan::RequestLineTooLong : Scan::HeadTooLarge;
        const void* newline = std::memchr(start, '\n', available);
        if (newline == nullptr) {
            if (available > line_limit + 2) {
                return too_long;
            }
            return end_ - head_begin_ > limits_.max_head ? Scan::HeadTooLarge : Scan::NeedMore;
        }
        size_t length = static_cast<const char*>(newline) - start + 1;
        bool crlf = length >= 2 && start[length - 2] == '\r';
        if (length - 1 - (crlf ? 1 : 0) > line_limit) {
            return too_long;
        }
        scan_pos_ += length;
        if (scan_pos_ - head_begin_ > limits_.max_head) {
            return Scan::HeadTooLarge;
        }
        if (!request_line && length == 2 && crlf) {
            head_end_ = scan_pos_;
            return Scan::Complete;
        }
    }
}

HeadResult ConnectionStream::read_head(int idle_timeout_ms) {
    // A pipelined request may already be here: move it to the front.
    if (begin_ > 0) {
        std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    head_begin_ = head_end_ = scan_pos_ = 0;
    bool readable = end_ == 0;
    if (readable && !wait(POLLIN, idle_timeout_ms)) {
        return HeadResult::TimedOut;
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.read_timeout_ms);
    size_t largest = std::max(limits_.max_head, limits_.max_request_line) + 4;
    while (true) {
        switch (scan_head()) {
        case Scan::Complete:
            return HeadResult::Complete;
        case Scan::RequestLineTooLong:
            return HeadResult::RequestLineTooLong;
        case Scan::HeadTooLarge:
            return HeadResult::HeadTooLarge;
        case Scan::NeedMore:
            break;
        }
        if (end_ == in_.size()) {
            in_.resize(std::min(in_.size() * 2, largest));
        }
        if (!readable && !wait(POLLIN, milliseconds_until(deadline))) {
            return HeadResult::TimedOut;
        }
        readable = false;
        ssize_t n = receive(in_.data() + end_, in_.size() - end_);
        if (n <= 0) {
            return HeadResult::Closed;
        }
        end_ += static_cast<size_t>(n);
    }
}

size_t ConnectionStream::drain(int timeout_ms, size_t max_bytes) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    begin_ = end_ = 0;
    size_t dropped = 0;
    while (dropped < max_bytes && wait(POLLIN, milliseconds_until(deadline))) {
        ssize_t n = receive(in_.data(), in_.size());
        if (n <= 0) {
            break;
        }
        dropped += static_cast<size_t>(n);
    }
    return dropped;
}

bool ConnectionStream::is_readable() const {
    return begin_ < end_ || wait(POLLIN, limits_.read_timeout_ms);
}

// The library asks before each piece it writes; write() itself waits for
// the client, with the write time-out, only when the socket is full, which
// spares a poll() per answer.
bool ConnectionStream::is_writable() const {
    return true;
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    if (begin_ == end_) {
        if (!is_readable()) {
            return -1;
        }
        if (size >= in_.size()) {
            return receive(ptr, size); // a large body goes straight to the caller
        }
        ssize_t n = receive(in_.data(), in_.size());
        if (n <= 0) {
            return n;
        }
        begin_ = 0;
        end_ = static_cast<size_t>(n);
    }
    size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, in_.data() + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    if (held_.size() + size <= kHoldBackBytes) {
        held_.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    return send_all(ptr, size) ? static_cast<ssize_t>(size) : -1;
}

bool ConnectionStream::flush() {
    return held_.empty() || send_all(nullptr, 0);
}

// Sends what is held back followed by `data`, in as few system calls as the
// socket allows. Never blocks for longer than the write time-out per wait.
bool ConnectionStream::send_all(const char* data, size_t size) {
    iovec parts[2] = {{held_.data(), held_.size()}, {const_cast<char*>(data), size}};
    iovec* next = held_.empty() ? parts + 1 : parts;
    int count = held_.empty() ? 1 : (size > 0 ? 2 : 1);
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if ((errno == EAGAIN || errno == EWOULDBLOCK) &&
                wait(POLLOUT, limits_.write_timeout_ms)) {
                continue;
            }
            held_.clear();
            return false;
        }
        size_t done = static_cast<size_t>(sent);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    held_.clear();
    return true;
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    const SocketAddress& address = cached_address(remote_, fd_, ::getpeername);
    ip = address.ip;
    port = address.port;
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    const SocketAddress& address = cached_address(local_, fd_, ::getsockname);
    ip = address.ip;
    port = address.port;
}

Headers parse_header_fields(std::string_view head) {
    Headers fields;
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
            fields.add(std::string(line.substr(0, colon)), std::string(value));
        }
        line_start = line_end;
    }
    return fields;
}

std::string refusal_answer(int status, std::string_view reason) {
    std::string body = nlohmann::json{{"error", reason}}.dump() + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace quillo::app
