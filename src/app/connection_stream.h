// One accepted connection as cpp-httplib's Stream, read through a buffer of
// our own so that the request head can be kept exactly as the client sent
// it: the library percent-decodes every header value while parsing, which
// would turn a Referer's "%26" into "&" and "%2541" into "%41".
#pragma once

#include <httplib.h>
#include <string>
#include <string_view>

namespace quillo::app {

class ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(int fd, int read_timeout_seconds, int write_timeout_seconds);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return fd_; }

    // True once the next request has begun to arrive, false when the
    // client closed the connection or sent nothing for `timeout_seconds`.
    bool wait_for_request(int timeout_seconds) const;

    // Everything read from here until stop_recording() is kept: the request
    // line and the header fields, but never the body.
    void start_recording();
    std::string stop_recording();

  private:
    bool wait(short events, int timeout_ms) const;
    void record(const char* data, size_t size);

    int fd_;
    int read_timeout_ms_;
    int write_timeout_ms_;
    char buffer_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
    bool recording_ = false;
    std::string recorded_;
};

// The header fields of a request head (request line first, then one field
// per line up to the empty line), values as sent: blanks around them
// removed, nothing decoded.
httplib::Headers parse_header_fields(std::string_view head);

} // namespace quillo::app
