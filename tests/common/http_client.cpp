#include "http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <cstdint>
#include <optional>
#include <utility>

namespace quillo::testing::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

// Some tests download files of many megabytes.
constexpr std::uint64_t kBodyLimit = 256ull * 1024 * 1024;
// Beast's default of 8 KiB would refuse a response that a browser takes.
constexpr std::uint32_t kHeaderLimit = 64 * 1024;

std::string to_std(beast::string_view text) {
    return std::string(text.data(), text.size());
}

bool has_field(const bhttp::request<bhttp::string_body>& message, beast::string_view name) {
    return message.find(name) != message.end();
}

// Starts one asynchronous operation and runs the client's io_context until it
// has ended. Everything is asynchronous only because the stream's time-outs
// apply to asynchronous operations alone; the caller sees a blocking call.
template <class Initiate>
beast::error_code run_to_end(asio::io_context& context, Initiate initiate) {
    beast::error_code result;
    initiate([&result](beast::error_code ec, auto&&...) { result = ec; });
    context.restart();
    context.run();
    return result;
}

// A connection that ends early is a failed read; the parser's other
// complaints are about what the server sent.
Error read_error(const beast::error_code& ec) {
    if (ec == beast::error::timeout) {
        return Error::ReadTimeout;
    }
    if (ec == bhttp::error::body_limit || ec == bhttp::error::header_limit) {
        return Error::ResponseTooLarge;
    }
    bool from_parser =
        ec.category() == bhttp::make_error_code(bhttp::error::end_of_stream).category();
    if (from_parser && ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
        return Error::InvalidResponse;
    }
    return Error::Read;
}

} // namespace

bool HeaderNameLess::operator()(const std::string& a, const std::string& b) const {
    return beast::iless{}(a, b);
}

bool Response::has_header(const std::string& name) const {
    return headers.find(name) != headers.end();
}

std::string Response::get_header_value(const std::string& name, std::size_t index) const {
    auto [first, last] = headers.equal_range(name);
    for (auto it = first; it != last; ++it, --index) {
        if (index == 0) {
            return it->second;
        }
    }
    return "";
}

std::size_t Response::get_header_value_count(const std::string& name) const {
    return headers.count(name);
}

std::string to_string(Error error) {
    switch (error) {
    case Error::Success:
        return "Success";
    case Error::Connection:
        return "Could not connect (name not resolved or connection refused)";
    case Error::ConnectionTimeout:
        return "Connection timed out";
    case Error::Write:
        return "Could not send the request";
    case Error::WriteTimeout:
        return "Sending the request timed out";
    case Error::Read:
        return "The connection failed or closed before the response was complete";
    case Error::ReadTimeout:
        return "Reading the response timed out";
    case Error::InvalidResponse:
        return "The response was not well-formed HTTP";
    case Error::ResponseTooLarge:
        return "The response was larger than the client takes";
    }
    return "Unknown error";
}

struct Client::Impl {
    Impl(std::string host_name, int port_number) : host(std::move(host_name)), port(port_number) {}

    // What came of one request on one connection.
    struct Exchange {
        Error error = Error::Success;
        Response response{};
        bool keep_alive = false;  // the server keeps the connection open
        bool got_nothing = false; // no byte of a response arrived
    };

    std::string host_field() const {
        std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
        return name + ":" + std::to_string(port);
    }

    Error connect() {
        tcp::resolver resolver(context);
        beast::error_code ec;
        tcp::resolver::results_type endpoints =
            resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
        if (ec) {
            return Error::Connection;
        }
        stream.emplace(context);
        stream->expires_after(connection_timeout);
        ec = run_to_end(
            context, [&](auto handler) { stream->async_connect(endpoints, std::move(handler)); });
        if (ec) {
            close();
            return ec == beast::error::timeout ? Error::ConnectionTimeout : Error::Connection;
        }
        stream->expires_never();
        return Error::Success;
    }

    void close() {
        if (stream) {
            beast::error_code ignored;
            stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
            stream->close();
            stream.reset();
        }
        buffer.clear();
    }

    Exchange exchange(bhttp::request<bhttp::string_body>& message, bool head) {
        Exchange result;
        stream->expires_after(write_timeout);
        beast::error_code ec = run_to_end(context, [&](auto handler) {
            bhttp::async_write(*stream, message, std::move(handler));
        });
        if (ec) {
            result.error = ec == beast::error::timeout ? Error::WriteTimeout : Error::Write;
            result.got_nothing = true;
            return result;
        }

        bhttp::response_parser<bhttp::string_body> parser;
        parser.body_limit(kBodyLimit);
        parser.header_limit(kHeaderLimit);
        // The answer to HEAD announces a body that never comes.
        parser.skip(head);
        // The read time-out bounds each wait for data, so a large download
        // that keeps coming is not cut off.
        while (!parser.is_done()) {
            stream->expires_after(read_timeout);
            ec = run_to_end(context, [&](auto handler) {
                bhttp::async_read_some(*stream, buffer, parser, std::move(handler));
            });
            if (ec) {
                result.error = read_error(ec);
                result.got_nothing = !parser.got_some();
                return result;
            }
        }
        stream->expires_never();

        result.keep_alive = parser.keep_alive();
        bhttp::response<bhttp::string_body> message_in = parser.release();
        result.response.status = static_cast<int>(message_in.result_int());
        for (const auto& field : message_in) {
            result.response.headers.emplace(to_std(field.name_string()), to_std(field.value()));
        }
        result.response.body = std::move(message_in.body());
        return result;
    }

    std::string host;
    int port;
    bool keep_alive = false;
    std::chrono::milliseconds connection_timeout = std::chrono::seconds(5);
    std::chrono::milliseconds write_timeout = std::chrono::seconds(5);
    std::chrono::milliseconds read_timeout = std::chrono::seconds(30);

    asio::io_context context{1};
    std::optional<beast::tcp_stream> stream{}; // the open connection, if any
    beast::flat_buffer buffer{};               // what was read past the last response
};

Client::Client(std::string host, int port) : impl_(std::make_unique<Impl>(std::move(host), port)) {}
Client::~Client() = default;
Client::Client(Client&&) noexcept = default;
Client& Client::operator=(Client&&) noexcept = default;

void Client::set_keep_alive(bool keep_alive) {
    impl_->keep_alive = keep_alive;
    if (!keep_alive) {
        impl_->close();
    }
}

void Client::set_connection_timeout(std::chrono::milliseconds timeout) {
    impl_->connection_timeout = timeout;
}

void Client::set_write_timeout(std::chrono::milliseconds timeout) {
    impl_->write_timeout = timeout;
}

void Client::set_read_timeout(std::chrono::milliseconds timeout) {
    impl_->read_timeout = timeout;
}

Result Client::Get(const std::string& path, const Headers& headers) {
    return send(Request{.method = "GET", .path = path, .headers = headers});
}

Result Client::Post(const std::string& path, const std::string& body,
                    const std::string& content_type) {
    return Post(path, Headers{}, body, content_type);
}

Result Client::Post(const std::string& path, const Headers& headers, const std::string& body,
                    const std::string& content_type) {
    Request request{.method = "POST", .path = path, .headers = headers, .body = body};
    request.headers.emplace("Content-Type", content_type);
    return send(request);
}

Result Client::Put(const std::string& path, const std::string& body,
                   const std::string& content_type) {
    Request request{.method = "PUT", .path = path, .body = body};
    request.headers.emplace("Content-Type", content_type);
    return send(request);
}

Result Client::Options(const std::string& path, const Headers& headers) {
    return send(Request{.method = "OPTIONS", .path = path, .headers = headers});
}

Result Client::send(const Request& request) {
    bhttp::request<bhttp::string_body> message;
    message.version(11);
    message.method_string(request.method);
    message.target(request.path);
    for (const auto& [name, value] : request.headers) {
        message.insert(name, value);
    }
    if (!has_field(message, "Host")) {
        message.set(bhttp::field::host, impl_->host_field());
    }
    if (!has_field(message, "Accept")) {
        message.set(bhttp::field::accept, "*/*");
    }
    if (!has_field(message, "User-Agent")) {
        message.set(bhttp::field::user_agent, "quillo-tests");
    }
    if (!impl_->keep_alive && !has_field(message, "Connection")) {
        message.set(bhttp::field::connection, "close");
    }
    // A body always comes with its length, so that the server never has to
    // take the end of the connection for its end; POST, PUT and PATCH declare
    // even an empty one, since a server may refuse them without (411).
    bool declares_length = !request.body.empty() || request.method == "POST" ||
                           request.method == "PUT" || request.method == "PATCH";
    if (!request.body.empty() && !has_field(message, "Content-Type")) {
        message.set(bhttp::field::content_type, "text/plain");
    }
    if (declares_length && !has_field(message, "Content-Length")) {
        message.content_length(request.body.size());
    }
    message.body() = request.body;
    bool head = request.method == "HEAD";

    // A connection kept from an earlier request may have been closed by the
    // server in the meantime; that shows as a failure before any byte of a
    // response, and the request goes once more on a new connection.
    bool reused = impl_->stream.has_value();
    while (true) {
        if (!impl_->stream) {
            Error error = impl_->connect();
            if (error != Error::Success) {
                return Result(Response{}, error);
            }
        }
        Impl::Exchange exchange = impl_->exchange(message, head);
        if (exchange.error == Error::Success) {
            if (!impl_->keep_alive || !exchange.keep_alive) {
                impl_->close();
            }
            return Result(std::move(exchange.response), Error::Success);
        }
        impl_->close();
        bool dropped_while_idle = reused && exchange.got_nothing &&
                                  exchange.error != Error::WriteTimeout &&
                                  exchange.error != Error::ReadTimeout;
        if (!dropped_while_idle) {
            return Result(Response{}, exchange.error);
        }
        reused = false;
    }
}

} // namespace quillo::testing::http
