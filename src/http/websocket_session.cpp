// WebSockets on Boost.Beast: the handshake, a read loop that hands messages
// to the module's events on workers, and a send queue that module threads
// fill and the I/O thread empties.
#include "http/server_state.h"

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <optional>

namespace quillo::http::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;

class WebSocketSession : public WebSocket,
                         public Session,
                         public std::enable_shared_from_this<WebSocketSession> {
  public:
    explicit WebSocketSession(ServerState& state)
        : state_(state), events_queue_(std::make_shared<SerialQueue>(state.workers)) {}

    // ---- WebSocket, called from any thread but the I/O thread --------------
    bool send(std::string message, Kind kind) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] {
            return queued_bytes_ < state_.limits.websocket_send_buffer ||
                   status_ >= Status::Closing;
        });
        if (status_ >= Status::Closing) {
            return false;
        }
        queued_bytes_ += message.size();
        outbox_.push_back({std::move(message), kind});
        schedule_pump(lock);
        return true;
    }

    void close(int code, std::string reason) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (status_ >= Status::Closing) {
            return;
        }
        status_ = Status::Closing;
        close_code_ = code;
        close_reason_ = std::move(reason);
        room_.notify_all();
        schedule_pump(lock);
    }

    bool is_open() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_ <= Status::Open;
    }

    // ---- the I/O thread ------------------------------------------------------
    void accept(tcp::socket socket, const Request& request, SocketEvents events) {
        events_ = std::move(events);
        stream_.emplace(std::move(socket));
        stream_->read_message_max(state_.limits.websocket_message_max);
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(30);
        // A ping goes out after half the idle time without a word from the
        // client; without an answer by the end of it, the socket closes.
        timeouts.idle_timeout = state_.limits.websocket_ping_interval * 2;
        timeouts.keep_alive_pings = true;
        stream_->set_option(timeouts);
        stream_->set_option(
            websocket::stream_base::decorator([](websocket::response_type& response) {
                response.erase(beast::http::field::server);
            }));
        state_.add(shared_from_this());
        handshake_ = handshake_of(request);
        stream_->async_accept(handshake_, [self = shared_from_this()](error_code ec) {
            if (ec) {
                self->closed(1006);
                return;
            }
            self->opened();
        });
    }

    void abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = Status::Closed;
        room_.notify_all();
    }

    void shut_down() override { close(1001, "server stopping"); }

  private:
    enum class Status { Opening, Open, Closing, Closed };
    struct Outgoing {
        std::string text;
        Kind kind;
    };

    static websocket::request_type handshake_of(const Request& request) {
        websocket::request_type handshake;
        handshake.method(beast::http::verb::get);
        std::string target = request.path;
        if (!request.query_string.empty()) {
            target += '?' + request.query_string;
        }
        handshake.target(target);
        handshake.version(11);
        for (const auto& [name, value] : request.headers.fields()) {
            handshake.insert(name, value);
        }
        return handshake;
    }

    void opened() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ == Status::Opening) {
                status_ = Status::Open;
            }
        }
        started_ = true;
        pump();
        read();
    }

    void schedule_pump(std::unique_lock<std::mutex>& lock) {
        if (pump_scheduled_) {
            return;
        }
        pump_scheduled_ = true;
        lock.unlock();
        asio::post(state_.io, [self = shared_from_this()] {
            {
                std::lock_guard<std::mutex> guard(self->mutex_);
                self->pump_scheduled_ = false;
            }
            self->pump();
        });
    }

    // Sends the next queued message, or the close frame once the queue is
    // empty and a close was asked for; one write at a time.
    void pump() {
        if (!started_ || writing_ || closed_) {
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (outbox_.empty()) {
            bool closing = status_ == Status::Closing && !close_sent_;
            lock.unlock();
            if (closing) {
                send_close();
            }
            return;
        }
        current_ = std::move(outbox_.front());
        outbox_.pop_front();
        lock.unlock();
        writing_ = true;
        stream_->text(current_.kind == Kind::Text);
        stream_->async_write(asio::buffer(current_.text),
                             [self = shared_from_this()](error_code ec, size_t) {
                                 self->writing_ = false;
                                 self->sent(self->current_.text.size());
                                 self->current_.text.clear();
                                 if (ec) {
                                     self->fail();
                                 } else {
                                     self->pump();
                                 }
                             });
    }

    void sent(size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_bytes_ -= bytes;
        room_.notify_all();
    }

    void send_close() {
        close_sent_ = true;
        websocket::close_reason reason(static_cast<std::uint16_t>(close_code_));
        reason.reason = close_reason_;
        stream_->async_close(reason, [self = shared_from_this()](error_code ec) {
            if (ec) {
                self->fail();
            }
            // Otherwise the read loop sees the client's close frame and ends.
        });
    }

    void read() {
        if (closed_ || reading_ || read_paused_) {
            return;
        }
        reading_ = true;
        stream_->async_read(incoming_, [self = shared_from_this()](error_code ec, size_t) {
            self->reading_ = false;
            self->on_message(ec);
        });
    }

    void on_message(error_code ec) {
        if (ec) {
            int code = 1006;
            if (ec == websocket::error::closed) {
                code = stream_->reason().code;
            } else if (ec == websocket::error::message_too_big) {
                code = 1009;
            }
            closed(code);
            return;
        }
        std::string message = beast::buffers_to_string(incoming_.data());
        incoming_.clear();
        incoming_.shrink_to_fit();
        Kind kind = stream_->got_text() ? Kind::Text : Kind::Binary;
        size_t size = message.size();
        pending_in_ += size;
        events_queue_->submit(
            [self = shared_from_this(), message = std::move(message), kind, size]() mutable {
                if (self->events_.on_message) {
                    try {
                        self->events_.on_message(std::move(message), kind);
                    } catch (...) {
                        self->close(1011, "internal error"); // the module failed on it
                    }
                }
                if ((self->pending_in_ -= size) < self->state_.limits.websocket_receive_buffer) {
                    asio::post(self->state_.io, [self] { self->resume_reading(); });
                }
            });
        // While the module lags behind, the client waits: TCP pushes back.
        read_paused_ = pending_in_ >= state_.limits.websocket_receive_buffer;
        read();
    }

    void resume_reading() {
        if (read_paused_ && pending_in_ < state_.limits.websocket_receive_buffer) {
            read_paused_ = false;
            read();
        }
    }

    void fail() {
        error_code ec;
        beast::get_lowest_layer(*stream_).close(ec); // the read loop ends and reports
        if (!reading_) {
            closed(1006);
        }
    }

    // The socket has ended: tell the module once, free the connection slot.
    void closed(int code) {
        if (closed_) {
            return;
        }
        closed_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = Status::Closed;
            outbox_.clear();
            queued_bytes_ = 0;
            room_.notify_all();
        }
        error_code ec;
        beast::get_lowest_layer(*stream_).close(ec);
        // The events go once told: a module's events commonly hold the
        // socket itself, which would otherwise never be freed.
        events_queue_->submit([self = shared_from_this(), code] {
            try {
                if (self->events_.on_close) {
                    self->events_.on_close(code);
                }
            } catch (...) {
                // Nothing is left to tell: the socket is gone.
            }
            self->events_ = {};
        });
        state_.remove(this);
        state_.release_connection();
    }

    ServerState& state_;
    std::shared_ptr<SerialQueue> events_queue_;
    SocketEvents events_;
    std::optional<websocket::stream<tcp::socket>> stream_;
    websocket::request_type handshake_;

    // Shared with the threads that send, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable room_;
    std::deque<Outgoing> outbox_;
    size_t queued_bytes_ = 0;
    Status status_ = Status::Opening;
    int close_code_ = 1000;
    std::string close_reason_;
    bool pump_scheduled_ = false;

    // The I/O thread only.
    bool started_ = false; // the handshake is done
    Outgoing current_{};
    bool writing_ = false;
    bool reading_ = false;
    bool read_paused_ = false;
    bool close_sent_ = false;
    bool closed_ = false;
    beast::flat_buffer incoming_;
    std::atomic<size_t> pending_in_{0};
};

std::shared_ptr<WebSocketSession> make_websocket(ServerState& state) {
    return std::make_shared<WebSocketSession>(state);
}

std::shared_ptr<WebSocket> as_websocket(const std::shared_ptr<WebSocketSession>& session) {
    return session;
}

void accept_websocket(const std::shared_ptr<WebSocketSession>& session, tcp::socket socket,
                      const Request& request, SocketEvents events) {
    session->accept(std::move(socket), request, std::move(events));
}

void abandon_websocket(const std::shared_ptr<WebSocketSession>& session) {
    session->abandon();
}

} // namespace quillo::http::detail
