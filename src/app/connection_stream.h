// One accepted connection as cpp-httplib's Stream, read through a buffer of
// our own. The whole request head is read into it before the library parses
// anything, which gives the server three things the library lacks: a
// deadline for the whole head (a client that trickles its request in is cut
// off), size limits answered with 414 and 431, and the head exactly as the
// client sent it (the library percent-decodes every header value, which
// would turn a Referer's "%26" into "&" and "%2541" into "%41").
#pragma once

#include "quillo/http.h"

#include <httplib.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::app {

struct StreamLimits {
    int read_timeout_ms = 30'000;  // the whole head; then each read of the body
    int write_timeout_ms = 30'000; // each wait for the client to take more of the answer
    size_t max_request_line = 8192;
    size_t max_header_line = 8192;
    size_t max_head = 32 * 1024;
};

enum class HeadResult {
    Complete, // head() holds the request line and the header fields
    Closed,   // the client closed the connection or it failed
    TimedOut, // nothing came within the idle time, or the head not within the read time-out
    RequestLineTooLong, // answer 414
    HeadTooLarge,       // a header line or the whole head is too long: answer 431
};

struct SocketAddress {
    std::string ip;
    int port = 0;
};

class ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(int fd, StreamLimits limits);

    // Waits up to `idle_timeout_ms` for the next request to begin, then up to
    // the read time-out for the rest of its head.
    HeadResult read_head(int idle_timeout_ms);
    // The head found by the last read_head(), up to and including the empty
    // line. Valid until the body is read.
    std::string_view head() const { return {in_.data() + head_begin_, head_end_ - head_begin_}; }

    // Small writes are held back and go out with the next one, so that an
    // answer's head and body leave in one system call; flush() sends what is
    // still held. False when the client does not take the data in time.
    bool flush();

    // Reads and drops what the client still sends, until it closes, for at
    // most `timeout_ms` in all and `max_bytes` (counted after each read, so
    // one read may go past it). Returns the bytes dropped.
    size_t drain(int timeout_ms, size_t max_bytes);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return fd_; }

  private:
    enum class Scan { Complete, NeedMore, RequestLineTooLong, HeadTooLarge };
    Scan scan_head();
    bool wait(short events, int timeout_ms) const;
    ssize_t receive(char* target, size_t room);
    bool send_all(const char* data, size_t size);

    int fd_;
    StreamLimits limits_;
    std::vector<char> in_; // [begin_, end_) is received and not yet consumed
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t head_begin_ = 0; // the head being read or last read
    size_t head_end_ = 0;
    size_t scan_pos_ = 0; // where the next unscanned line of the head starts
    std::string held_;    // written but not yet sent
    mutable std::optional<SocketAddress> remote_; // looked up once per connection
    mutable std::optional<SocketAddress> local_;
};

// The header fields of a request head (request line first, then one field
// per line up to the empty line), values as sent: blanks around them
// removed, nothing decoded.
Headers parse_header_fields(std::string_view head);

// A complete answer for a request that is refused before it is parsed: a
// JSON body {"error": reason}, and the connection closes.
std::string refusal_answer(int status, std::string_view reason);

} // namespace quillo::app
