#include "websocket_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

namespace quillo::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using tcp = asio::ip::tcp;

struct WebSocketClient::Impl {
    asio::io_context io;
    websocket::stream<tcp::socket> ws{io};
    beast::flat_buffer buffer;
    // A read under way, which may outlast a poll().
    bool reading = false;
    bool read_done = false;
    error_code read_result;

    // Runs the started operation for at most `timeout`; false when it did
    // not finish in time (the socket is then closed, which ends it, unless
    // `give_up` is false). Another operation under way, a read, goes on
    // meanwhile without being waited for.
    bool run_for(std::chrono::milliseconds timeout, const bool& done, bool give_up = true) {
        io.restart();
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done && io.run_one_until(deadline) > 0) {
        }
        if (done || !give_up) {
            return done;
        }
        error_code ignored;
        beast::get_lowest_layer(ws).close(ignored);
        io.restart();
        io.run();
        return false;
    }
};

WebSocketClient::WebSocketClient(int port, const std::string& target, const Fields& fields,
                                 const std::string& host)
    : impl_(std::make_unique<Impl>()) {
    error_code ec;
    beast::get_lowest_layer(impl_->ws).connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), ec);
    if (ec) {
        return;
    }
    impl_->ws.set_option(
        websocket::stream_base::decorator([fields](websocket::request_type& request) {
            for (const auto& [name, value] : fields) {
                request.set(name, value);
            }
        }));
    impl_->ws.read_message_max(64 * 1024 * 1024);
    websocket::response_type response;
    bool done = false;
    std::string host_field = host.empty() ? "127.0.0.1:" + std::to_string(port) : host;
    impl_->ws.async_handshake(response, host_field, target, [&](error_code result) {
        done = true;
        ec = result;
    });
    if (!impl_->run_for(std::chrono::seconds(5), done)) {
        return;
    }
    status_ = response.result_int();
    if (ec) {
        refusal_body_ = response.body();
    }
}

WebSocketClient::~WebSocketClient() = default;

bool WebSocketClient::send(const std::string& message, bool binary) {
    if (status_ != 101 || close_code_ != 0) {
        return false;
    }
    impl_->ws.binary(binary);
    error_code ec;
    bool done = false;
    impl_->ws.async_write(asio::buffer(message), [&](error_code result, size_t) {
        done = true;
        ec = result;
    });
    return impl_->run_for(std::chrono::seconds(10), done) && !ec;
}

std::optional<std::string> WebSocketClient::read(std::chrono::milliseconds timeout) {
    return next_message(timeout, true);
}

std::optional<std::string> WebSocketClient::poll(std::chrono::milliseconds timeout) {
    return next_message(timeout, false);
}

std::optional<std::string> WebSocketClient::next_message(std::chrono::milliseconds timeout,
                                                         bool give_up) {
    timed_out_ = false;
    if (status_ != 101 || close_code_ != 0) {
        return std::nullopt;
    }
    if (!impl_->reading) {
        impl_->reading = true;
        impl_->read_done = false;
        impl_->ws.async_read(impl_->buffer, [impl = impl_.get()](error_code result, size_t) {
            impl->read_done = true;
            impl->read_result = result;
        });
    }
    bool done = impl_->run_for(timeout, impl_->read_done, give_up);
    if (!done) {
        timed_out_ = true;
        if (give_up) {
            impl_->reading = false; // the closed socket ended it
            close_code_ = 1006;
        }
        return std::nullopt;
    }
    impl_->reading = false;
    error_code ec = impl_->read_result;
    if (ec) {
        close_code_ = ec == websocket::error::closed ? impl_->ws.reason().code : 1006;
        return std::nullopt;
    }
    last_binary_ = impl_->ws.got_binary();
    std::string message = beast::buffers_to_string(impl_->buffer.data());
    impl_->buffer.clear();
    return message;
}

void WebSocketClient::close(int code) {
    if (status_ != 101 || close_code_ != 0) {
        return;
    }
    bool done = false;
    impl_->ws.async_close(websocket::close_reason(static_cast<std::uint16_t>(code)),
                          [&](error_code) { done = true; });
    impl_->run_for(std::chrono::seconds(5), done);
    close_code_ = code;
}

} // namespace quillo::testing
