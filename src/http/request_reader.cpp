#include "http/request_reader.h"

#include "utils/text.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <charconv>
#include <cstring>
#include <utility>

namespace quillo::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

// Where the parser puts a body: into a text of our own that the reader
// hands over whole at the end, or piece by piece while it streams. Unlike
// Beast's string body it reserves nothing for a declared length (a stranger
// can declare any length), and it enforces a limit that can be set once
// the head has been judged.
struct RequestReader::SinkBody {
    struct value_type {
        std::string data; // decoded, not yet taken
        uint64_t limit = 0;
        uint64_t total = 0;
    };

    class reader {
      public:
        template <bool isRequest, class Fields>
        reader(bhttp::header<isRequest, Fields>&, value_type& body) : body_(body) {}

        void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }

        template <class ConstBufferSequence>
        size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
            size_t n = boost::asio::buffer_size(buffers);
            if (n > body_.limit - body_.total) {
                ec = bhttp::error::body_limit;
                return 0;
            }
            size_t at = body_.data.size();
            body_.data.resize(at + n);
            boost::asio::buffer_copy(boost::asio::buffer(body_.data.data() + at, n), buffers);
            body_.total += n;
            ec = {};
            return n;
        }

        void finish(beast::error_code& ec) { ec = {}; }

      private:
        value_type& body_;
    };
};

// Beast's parser checks the syntax, frames the body (Content-Length or
// chunked) and gives the header fields; the line limits and the head's
// deadline are ours, since the parser only knows one limit for the whole
// head.
class RequestReader::Parser : public bhttp::request_parser<RequestReader::SinkBody> {};

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Splits a request target into the path and the raw query. An absolute-form
// target ("http://host:port/path?q") also gives its authority, which RFC
// 9112 says takes the place of the Host field. False for a target that is
// none of the forms a server takes ("*" is kept as the path).
bool split_target(std::string_view target, std::string_view& path, std::string_view& query,
                  std::string_view& authority) {
    size_t question = target.find('?');
    std::string_view before_query = target.substr(0, question);
    if (question != std::string_view::npos) {
        query = target.substr(question + 1);
    }
    if (before_query == "*" && question == std::string_view::npos) {
        path = before_query;
        return true;
    }
    if (!before_query.empty() && before_query.front() == '/') {
        path = before_query;
        return true;
    }
    std::string scheme = utils::ascii_lower(before_query.substr(0, 8));
    size_t skip = scheme.starts_with("http://") ? 7 : scheme.starts_with("https://") ? 8 : 0;
    if (skip == 0) {
        return false;
    }
    std::string_view rest = before_query.substr(skip);
    size_t slash = rest.find('/');
    authority = rest.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    return !authority.empty() && authority.find('@') == std::string_view::npos;
}

} // namespace

std::string percent_decode_path(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        int high = 0, low = 0;
        if (path[i] == '%' && i + 2 < path.size() &&
            (high = utils::hex_digit_value(path[i + 1])) >= 0 &&
            (low = utils::hex_digit_value(path[i + 2])) >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += path[i];
        }
    }
    return out;
}

std::string canonical_path(std::string_view target_path) {
    std::string decoded = percent_decode_path(target_path);
    if (decoded.find("//") == std::string::npos) {
        return decoded;
    }
    std::string merged;
    merged.reserve(decoded.size());
    for (char c : decoded) {
        if (c != '/' || merged.empty() || merged.back() != '/') {
            merged += c;
        }
    }
    return merged;
}

RequestReader::RequestReader(ReaderLimits limits) : limits_(limits) {
    start();
}

RequestReader::~RequestReader() = default;

void RequestReader::start() {
    parser_ = std::make_unique<Parser>();
    // Our own scan enforces the head's limits first; the body's is the
    // sink's, counted on what is decoded, chunked bodies included.
    parser_->header_limit(static_cast<std::uint32_t>(limits_.max_head + 4));
    parser_->body_limit(boost::none);
    parser_->get().body().limit = limits_.max_body;
    parser_->eager(true);
    state_ = State::Head;
    failure_ = {};
    head_.clear();
    scan_pos_ = 0;
    request_ = Request{};
    keep_alive_ = false;
    expects_continue_ = false;
    body_bytes_ = 0;
    streaming_ = false;
}

size_t RequestReader::feed(std::string_view data) {
    size_t used = 0;
    if (state_ == State::Head) {
        used = feed_head(data);
    }
    if (state_ == State::Body && used < data.size()) {
        used += feed_body(data.substr(used));
    }
    return used;
}

void RequestReader::fail(int status, std::string reason) {
    state_ = State::Failed;
    failure_ = {status, std::move(reason)};
}

// Lines are scanned as they arrive, each only once, and only the head's own
// bytes are taken. The head ends at the first empty line after the request
// line; empty lines before a request line are skipped, as RFC 9112 allows.
size_t RequestReader::feed_head(std::string_view data) {
    size_t taken = 0;
    while (taken < data.size()) {
        bool request_line = scan_pos_ == 0;
        size_t line_limit = request_line ? limits_.max_request_line : limits_.max_header_line;
        size_t newline = data.find('\n', taken);
        size_t piece_end = newline == std::string_view::npos ? data.size() : newline + 1;
        head_.append(data.substr(taken, piece_end - taken));
        taken = piece_end;
        size_t line_length = head_.size() - scan_pos_;
        if (newline == std::string_view::npos) {
            if (line_length > line_limit + 2) {
                request_line ? fail(414, "URI Too Long")
                             : fail(431, "Request Header Fields Too Large");
            } else if (head_.size() > limits_.max_head) {
                fail(431, "Request Header Fields Too Large");
            }
            return taken;
        }
        bool crlf = line_length >= 2 && head_[head_.size() - 2] == '\r';
        size_t content = line_length - 1 - (crlf ? 1 : 0);
        if (request_line && content == 0) {
            head_.clear(); // a blank line between requests
            continue;
        }
        if (content > line_limit) {
            request_line ? fail(414, "URI Too Long") : fail(431, "Request Header Fields Too Large");
            return taken;
        }
        if (head_.size() > limits_.max_head) {
            fail(431, "Request Header Fields Too Large");
            return taken;
        }
        if (!request_line && content > 0 && is_blank(head_[scan_pos_])) {
            // A folded line (obsolete since RFC 7230) or blanks before the
            // first field: parsers disagree on what they mean, and a folded
            // " Host: x" must never become a field of its own somewhere.
            fail(400, "Bad Request");
            return taken;
        }
        scan_pos_ = head_.size();
        if (!request_line && content == 0) {
            head_complete();
            return taken;
        }
    }
    return taken;
}

void RequestReader::head_complete() {
    beast::error_code ec;
    size_t used = parser_->put(boost::asio::buffer(head_.data(), head_.size()), ec);
    if (ec == bhttp::error::need_more) {
        ec = {}; // the body's first bytes, which are yet to come
    }
    if (ec == bhttp::error::body_limit) {
        fail(413, "Payload Too Large"); // a declared length over the limit
        return;
    }
    if (ec || used != head_.size() || !parser_->is_header_done()) {
        fail(400, "Bad Request");
        return;
    }
    const auto& message = parser_->get();
    std::string_view target(message.target().data(), message.target().size());
    std::string_view path, query, authority;
    if (!split_target(target, path, query, authority)) {
        fail(400, "Bad Request");
        return;
    }
    request_.method.assign(message.method_string().data(), message.method_string().size());
    request_.path = path == "*" ? std::string(path) : canonical_path(path);
    request_.query_string.assign(query);
    for (const auto& field : message) {
        request_.headers.add(std::string(field.name_string()), std::string(field.value()));
    }
    if (!authority.empty()) {
        request_.headers.set("Host", std::string(authority));
    }
    const Headers& fields = request_.headers;
    // Only chunked is ever undone here: another coding would have to be
    // decoded (and could inflate without bound) or would frame the body in
    // a way a proxy in front of us may read differently.
    const std::string* coding = fields.find("Transfer-Encoding");
    if (coding && utils::ascii_lower(*coding) != "chunked") {
        fail(501, "Not Implemented");
        return;
    }
    if (coding && fields.has("Content-Length")) {
        fail(400, "Bad Request"); // two framings: the classic way to smuggle a request
        return;
    }
    bool has_body = parser_->chunked() || parser_->content_length().value_or(0) > 0;
    const std::string* encoding = fields.find("Content-Encoding");
    if (has_body && encoding && utils::ascii_lower(*encoding) != "identity") {
        fail(415, "Unsupported Media Type");
        return;
    }
    if (parser_->content_length().value_or(0) > limits_.max_body) {
        fail(413, "Payload Too Large");
        return;
    }
    keep_alive_ = parser_->keep_alive();
    const std::string* expect = fields.find("Expect");
    expects_continue_ = has_body && expect && utils::ascii_lower(*expect) == "100-continue";
    state_ = parser_->is_done() ? State::Done : State::Body;
}

size_t RequestReader::feed_body(std::string_view data) {
    SinkBody::value_type& body = parser_->get().body();
    if (!streaming_ && body.total == 0 && body.data.capacity() == 0) {
        // A buffered body's declared length is within its limit by now.
        body.data.reserve(static_cast<size_t>(std::min(content_length().value_or(0), body.limit)));
    }
    size_t used = 0;
    while (used < data.size() && !parser_->is_done()) {
        // Beast 1.81 asserts that a chunk's size line is looked at with at
        // least 5 bytes in hand (fixed in later releases). Waiting for them
        // never stalls a request: the shortest ending, "0\r\n\r\n", is 5.
        if (parser_->chunked() && data.size() - used < 5) {
            break;
        }
        beast::error_code ec;
        size_t n = parser_->put(boost::asio::buffer(data.data() + used, data.size() - used), ec);
        used += n;
        body_bytes_ += n;
        if (ec == bhttp::error::need_more) {
            break;
        }
        if (ec == bhttp::error::body_limit) {
            fail(413, "Payload Too Large");
            return used;
        }
        if (ec) {
            fail(400, "Bad Request");
            return used;
        }
        if (n == 0) {
            break;
        }
    }
    if (parser_->is_done()) {
        if (!streaming_) {
            request_.body = std::move(parser_->get().body().data);
        }
        state_ = State::Done;
    }
    return used;
}

bool RequestReader::limit_body(uint64_t limit) {
    SinkBody::value_type& body = parser_->get().body();
    body.limit = std::min<uint64_t>(limit, limits_.max_body);
    if (content_length().value_or(0) > body.limit) {
        fail(413, "Payload Too Large");
        return false;
    }
    return true;
}

std::string RequestReader::take_body() {
    return std::exchange(parser_->get().body().data, std::string());
}

std::optional<uint64_t> RequestReader::content_length() const {
    boost::optional<std::uint64_t> length = parser_->content_length();
    return length ? std::optional<uint64_t>(*length) : std::nullopt;
}

} // namespace quillo::http
