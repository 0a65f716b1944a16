// Requests, responses and HTTP errors as route modules see them.
//
// This header is part of the small API that route modules compile against;
// it depends only on the standard library and nlohmann::json.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillo {

// Header names compare case-insensitively (RFC 9110, section 5.1).
inline bool header_name_equals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

class Headers {
  public:
    using Field = std::pair<std::string, std::string>;

    // The first value of the named header, or an empty text when it is absent.
    std::string get(std::string_view name) const {
        const std::string* value = find(name);
        return value ? *value : std::string();
    }
    const std::string* find(std::string_view name) const {
        for (const auto& field : fields_) {
            if (header_name_equals(field.first, name)) {
                return &field.second;
            }
        }
        return nullptr;
    }
    bool has(std::string_view name) const { return find(name) != nullptr; }

    // Replaces every earlier value of the header.
    void set(std::string name, std::string value) {
        erase(name);
        fields_.emplace_back(std::move(name), std::move(value));
    }
    void add(std::string name, std::string value) {
        fields_.emplace_back(std::move(name), std::move(value));
    }
    void erase(std::string_view name) {
        std::erase_if(fields_, [&](const Field& f) { return header_name_equals(f.first, name); });
    }

    const std::vector<Field>& fields() const { return fields_; }
    void reserve(size_t n) { fields_.reserve(n); }

  private:
    std::vector<Field> fields_;
};

// The signed cookie session: a small JSON object that travels in the
// client's cookie. The server only trusts it after checking its signature.
class Session {
  public:
    const nlohmann::json* find(const std::string& key) const {
        auto it = data_.find(key);
        return it == data_.end() ? nullptr : &*it;
    }
    bool contains(const std::string& key) const { return data_.contains(key); }
    void set(const std::string& key, nlohmann::json value) {
        data_[key] = std::move(value);
        modified_ = true;
    }
    void erase(const std::string& key) {
        if (data_.erase(key) > 0) {
            modified_ = true;
        }
    }
    bool empty() const { return data_.empty(); }

    // A permanent session's cookie outlives the browser session.
    bool permanent() const { return permanent_; }
    void set_permanent(bool on) {
        if (permanent_ != on) {
            permanent_ = on;
            modified_ = true;
        }
    }

    bool modified() const { return modified_; }
    const nlohmann::json& data() const { return data_; }

    // Used when the cookie is decoded; does not count as a change.
    void load(nlohmann::json data, bool permanent) {
        data_ = std::move(data);
        permanent_ = permanent;
        modified_ = false;
    }

  private:
    nlohmann::json data_ = nlohmann::json::object();
    bool permanent_ = false;
    bool modified_ = false;
};

// Why a streamed body could not be read whole: the client went away or sent
// too slowly, the body passed its limit or was malformed, or the server is
// stopping. The server has answered the request itself by then (or closed
// the connection), and drops the handler's answer.
class BodyError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The body of a request whose rule takes it as it arrives (see
// Blueprint::streaming_route): read piece by piece, so that an upload never
// sits in memory whole.
class BodySource {
  public:
    virtual ~BodySource() = default;
    // Replaces `piece` with the next piece of the body, waiting for the
    // client; false at the end of the body. Throws BodyError.
    virtual bool read(std::string& piece) = 0;
};

struct Request {
    std::string method; // as sent (methods are case-sensitive)
    // Percent-decoded, repeated slashes merged, without the query string:
    // the one path that the server's checks, its guard and the router all
    // judged.
    std::string path;
    std::string query_string; // raw, as sent, without the "?"
    Headers headers;
    std::string body;
    // Set when the rule streams its body and the body was still on its way
    // when the handler began; `body` is empty then. Use read_body().
    std::shared_ptr<BodySource> body_source;
    std::string remote_addr; // the client's IP address as text ("127.0.0.1", "::1")
    std::map<std::string, std::string> view_args; // the rule's variables
    Session session;

    std::string header(std::string_view name) const { return headers.get(name); }
};

// Calls `take` with the request's body in order: piece by piece as it
// arrives when it is streamed, else at once (not at all when it is empty).
// Throws BodyError, or what `take` throws.
inline void read_body(Request& request, const std::function<void(std::string_view)>& take) {
    if (!request.body_source) {
        if (!request.body.empty()) {
            take(request.body);
        }
        return;
    }
    std::string piece;
    while (request.body_source->read(piece)) {
        take(piece);
    }
}

// A body read from an open file while it is sent, so that a large file never
// sits in memory whole. Owns the descriptor.
class FileBody {
  public:
    FileBody(int fd, unsigned long long offset, unsigned long long length)
        : fd_(fd), offset_(offset), length_(length) {}
    ~FileBody() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileBody(const FileBody&) = delete;
    FileBody& operator=(const FileBody&) = delete;

    int fd() const { return fd_; }
    unsigned long long offset() const { return offset_; }
    unsigned long long length() const { return length_; }

  private:
    int fd_;
    unsigned long long offset_;
    unsigned long long length_;
};

// Where a streamed answer's body goes, piece by piece (see Response::stream).
class BodyWriter {
  public:
    virtual ~BodyWriter() = default;
    // Sends one piece. Waits while earlier pieces are still on their way to a
    // slow client, so memory stays bounded. False once the client has gone
    // or the server is stopping: the producer should then return.
    virtual bool write(std::string_view piece) = 0;
    // True once the client has gone or the server is stopping.
    virtual bool cancelled() const = 0;
};

// Produces a streamed body: called once, on a worker thread, right after the
// answer's head has been sent; the body ends when it returns. If it throws,
// the connection is closed before the body's end, so the client sees it cut.
using BodyProducer = std::function<void(BodyWriter&)>;

struct Response {
    int status = 200;
    Headers headers;
    std::string body;
    // Content kept elsewhere (a cache) and sent without being copied; when
    // set, it is the body and `body` is ignored.
    std::shared_ptr<const std::string> shared_body;
    // Content sent from a file; when set, it is the body and both of the
    // above are ignored.
    std::shared_ptr<const FileBody> file_body;
    // A body produced while it is sent (server-sent events, long outputs),
    // sent chunked; when set, it is the body and the above are ignored.
    BodyProducer stream;

    std::string_view content() const { return shared_body ? std::string_view(*shared_body) : body; }

    Response() = default;
    Response(int status_code, std::string content_type, std::string content)
        : status(status_code), body(std::move(content)) {
        headers.set("Content-Type", std::move(content_type));
    }
};

// A JSON answer, as the front end expects it: UTF-8, keys sorted.
// Text that is not valid UTF-8 is replaced rather than refused, so an error
// message quoting a broken file name still gets through.
inline Response json_response(const nlohmann::json& body, int status = 200) {
    std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text += '\n';
    return Response(status, "application/json", std::move(text));
}

// Base of the HTTP errors that handlers may throw. Like every other ordinary
// error it derives from std::exception, so the application's general error
// handler sees it.
class HttpError : public std::runtime_error {
  public:
    HttpError(int code, std::string name, std::string description)
        : std::runtime_error(std::to_string(code) + " " + name + ": " + description), code_(code),
          name_(std::move(name)), description_(std::move(description)) {}

    int code() const { return code_; }
    const std::string& name() const { return name_; }
    const std::string& description() const { return description_; }

  private:
    int code_;
    std::string name_;
    std::string description_;
};

class BadRequest : public HttpError {
  public:
    explicit BadRequest(std::string description = "The browser (or proxy) sent a request that "
                                                  "this server could not understand.")
        : HttpError(400, "Bad Request", std::move(description)) {}
};

class NotFound : public HttpError {
  public:
    explicit NotFound(std::string description =
                          "The requested URL was not found on the server. If you entered the URL "
                          "manually please check your spelling and try again.")
        : HttpError(404, "Not Found", std::move(description)) {}
};

class MethodNotAllowed : public HttpError {
  public:
    explicit MethodNotAllowed(
        std::vector<std::string> allowed,
        std::string description = "The method is not allowed for the requested URL.")
        : HttpError(405, "Method Not Allowed", std::move(description)),
          allowed_(std::move(allowed)) {}

    const std::vector<std::string>& allowed() const { return allowed_; }

  private:
    std::vector<std::string> allowed_;
};

} // namespace quillo
