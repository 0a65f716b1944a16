// Reading HTTP/1.1 requests from the bytes of a connection, without doing
// any I/O itself, so that the rules are the same in the server, the tests
// and the fuzzer. The connection feeds it what arrives; it says when the
// head is complete (for the Host check and the guard, before any of the
// body is read), when the whole request is, or what to answer when the
// request cannot be served.
#pragma once

#include "quillo/http.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::http {

struct ReaderLimits {
    size_t max_request_line = 8192;
    size_t max_header_line = 8192;
    size_t max_head = 32 * 1024;
    // The most any body may have (Content-Length, or chunked as decoded),
    // an upload streamed to disk included; limit_body() lowers it for each
    // request once its sender is known.
    uint64_t max_body = 16ull * 1024 * 1024 * 1024;
};

// Why a request cannot be served: answer `status` and close the connection.
struct ReadFailure {
    int status = 400;
    std::string reason = "Bad Request";
};

class RequestReader {
  public:
    enum class State {
        Head,   // the head is not complete yet
        Body,   // the head is complete (request() is valid), the body is not
        Done,   // the whole request has been read
        Failed, // failure() says what to answer
    };

    explicit RequestReader(ReaderLimits limits = {});
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // Begins the next request of the connection.
    void start();

    // Takes bytes as they arrive and returns how many it used. Once the
    // request is Done, the rest belongs to the next one (pipelining); while
    // the body is still being read, the rest (part of a chunk's size line)
    // must be given again with what comes next.
    size_t feed(std::string_view data);

    State state() const { return state_; }
    const ReadFailure& failure() const { return failure_; }

    // The request as the head gives it, from state Body on: method, the
    // canonical path (see canonical_path), the raw query, the header fields
    // as the parser read them. An absolute-form target ("http://host/path")
    // gives its path, and its host replaces the Host field. The body is
    // filled in at Done, unless it is streamed.
    Request& request() { return request_; }

    // From state Body on: the body of this request may be at most `limit`
    // bytes. False (and state Failed, 413) when its Content-Length already
    // says more; a chunked body fails as soon as it passes the limit.
    bool limit_body(uint64_t limit);
    // From state Body on: the body is not kept for request().body; the
    // caller takes it piece by piece with take_body() as it arrives.
    void stream_body() { streaming_ = true; }
    // The body bytes decoded since the last call (streamed bodies only).
    std::string take_body();
    // The body's length as the head declares it, when it does.
    std::optional<uint64_t> content_length() const;
    // The head as it arrived, up to and including its empty line.
    std::string_view head() const { return head_; }
    // Whether the connection may carry another request after this one.
    bool keep_alive() const { return keep_alive_; }
    // The client waits for "100 Continue" before it sends the body.
    bool expects_continue() const { return expects_continue_; }
    // Body bytes received so far, as sent (chunk framing included).
    size_t body_bytes_received() const { return body_bytes_; }

  private:
    class Parser;
    struct SinkBody;
    size_t feed_head(std::string_view data);
    size_t feed_body(std::string_view data);
    void head_complete();
    void fail(int status, std::string reason);

    ReaderLimits limits_;
    std::unique_ptr<Parser> parser_;
    State state_ = State::Head;
    ReadFailure failure_;
    std::string head_;
    size_t scan_pos_ = 0; // where the next unscanned line of the head starts
    Request request_;
    bool keep_alive_ = false;
    bool expects_continue_ = false;
    size_t body_bytes_ = 0;
    bool streaming_ = false;
};

// "/a%20b" is "/a b"; a "%" not followed by two hex digits stays as it is.
std::string percent_decode_path(std::string_view path);

// The one path every decision about a request is made on (the Host and
// Origin checks, the guard, the router, the log): the target's path
// percent-decoded, then repeated slashes merged, so that "//api/x",
// "/%2Fapi/x" and "/api//x" can only ever be "/api/x" and "/api/x" and the
// guard never judges one path while the router serves another.
std::string canonical_path(std::string_view target_path);

} // namespace quillo::http
