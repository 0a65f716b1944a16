#include "http/server.h"

#include "app/host_check.h"
#include "http/server_state.h"
#include "utils/unique_fd.h"

#include <array>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/status.hpp>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillo::http {

namespace asio = boost::asio;
using boost::system::error_code;
using detail::ServerState;
using detail::Session;
using detail::tcp;
using Clock = std::chrono::steady_clock;

namespace {

std::string errno_message(int err) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
}

void set_option(int fd, int level, int name, int value) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        throw std::runtime_error(errno_message(errno));
    }
}

// Creates, binds and listens on a TCP socket: SO_REUSEADDR only (never
// SO_REUSEPORT, with which a second server could share a busy port
// silently), IPV6_V6ONLY on IPv6 (a wildcard must not also take IPv4), and
// TCP_NODELAY, which accepted connections inherit, so small answers are not
// held back by Nagle's algorithm.
int open_listening_socket(const std::string& host, int port, bool ipv6, int backlog) {
    addrinfo hints{};
    hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        throw std::runtime_error("[Errno " + std::to_string(rc) + "] " + ::gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    utils::UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        throw std::runtime_error(errno_message(errno));
    }
    set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
    set_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    if (ipv6) {
        set_option(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, 1);
    }
    if (::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(fd.get(), backlog) != 0) {
        throw std::runtime_error(errno_message(errno));
    }
    return fd.release();
}

std::string reason_phrase(int status) {
    auto text =
        boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(status));
    if (text.empty() || text.front() == '<') {
        return "Unknown";
    }
    return std::string(text.data(), text.size());
}

bool safe_field(std::string_view text) {
    return text.find_first_of("\r\n") == std::string_view::npos;
}

// 1xx, 204 and 304 answers never have a body (RFC 9112, section 6.3).
bool bodiless_status(int status) {
    return status < 200 || status == 204 || status == 304;
}

// A complete answer for a request that cannot be served: a JSON body
// {"error": reason}, and the connection closes.
Response refusal_response(int status, const std::string& reason) {
    return json_response({{"error", reason}}, status);
}

std::string chunk_size_line(size_t size) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%zx\r\n", size);
    return std::string(digits, static_cast<size_t>(n));
}

} // namespace

// The pieces of a streamed body on their way from the producer (a worker)
// to the connection (the I/O thread). The producer waits while too much is
// queued, so a slow client slows the producer instead of filling memory.
class StreamChannel : public BodyWriter {
  public:
    using Pump = std::function<void()>;
    StreamChannel(size_t limit, Pump pump) : limit_(limit), pump_(std::move(pump)) {}

    bool write(std::string_view piece) override {
        if (piece.empty()) {
            return !cancelled();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return queued_ < limit_ || cancelled_; });
        if (cancelled_) {
            return false;
        }
        pieces_.emplace_back(piece);
        queued_ += piece.size();
        schedule(lock);
        return true;
    }
    bool cancelled() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return cancelled_;
    }
    void finish() {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_ = true;
        schedule(lock);
    }
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        room_.notify_all();
    }
    // I/O thread: the pieces to send now; `last` once the body is complete.
    std::vector<std::string> take(bool& last) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> taken(std::make_move_iterator(pieces_.begin()),
                                       std::make_move_iterator(pieces_.end()));
        pieces_.clear();
        last = finished_;
        if (taken.empty() && !finished_) {
            scheduled_ = false; // the next write schedules the pump again
        }
        return taken;
    }
    void sent(size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_ -= bytes;
        room_.notify_all();
    }

  private:
    void schedule(std::unique_lock<std::mutex>& lock) {
        if (scheduled_) {
            return;
        }
        scheduled_ = true;
        lock.unlock();
        pump_();
    }

    const size_t limit_;
    Pump pump_;
    mutable std::mutex mutex_;
    std::condition_variable room_;
    std::deque<std::string> pieces_;
    size_t queued_ = 0;
    bool finished_ = false;
    bool cancelled_ = false;
    bool scheduled_ = false;
};

// A streamed request body on its way from the connection (the I/O thread)
// to the handler (a worker). The connection stops reading from the socket
// while too much is queued, so a handler that writes slowly slows the
// client instead of filling memory.
class BodyChannel : public BodySource {
  public:
    using Resume = std::function<void()>;
    BodyChannel(size_t limit, Resume resume) : limit_(limit), resume_(std::move(resume)) {}

    // Worker.
    bool read(std::string& piece) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !pieces_.empty() || finished_ || failed_; });
        if (failed_) {
            throw BodyError("the request body could not be read whole");
        }
        if (pieces_.empty()) {
            return false;
        }
        piece = std::move(pieces_.front());
        pieces_.pop_front();
        queued_ -= piece.size();
        if (paused_ && queued_ <= limit_ / 2) {
            paused_ = false;
            lock.unlock();
            resume_();
        }
        return true;
    }

    // I/O thread: false when the connection should stop reading until
    // resumed.
    bool put(std::string piece) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (abandoned_ || piece.empty()) {
            return true; // the handler has answered: the rest is dropped
        }
        queued_ += piece.size();
        pieces_.push_back(std::move(piece));
        ready_.notify_all();
        paused_ = queued_ >= limit_;
        return !paused_;
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        ready_.notify_all();
    }
    void fail() {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        ready_.notify_all();
    }
    // The handler has answered; what it did not read is not kept, and the
    // connection reads (and drops) the rest of the body.
    void abandon() {
        std::unique_lock<std::mutex> lock(mutex_);
        abandoned_ = true;
        pieces_.clear();
        queued_ = 0;
        if (paused_) {
            paused_ = false;
            lock.unlock();
            resume_();
        }
    }

  private:
    const size_t limit_;
    Resume resume_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> pieces_;
    size_t queued_ = 0;
    bool paused_ = false;
    bool finished_ = false;
    bool failed_ = false;
    bool abandoned_ = false;
};

namespace {

// One accepted connection: requests read one after the other, each answered
// before the next is read. Everything here runs on the I/O thread, except
// the handler and a stream's producer, which run on workers.
class Connection : public Session, public std::enable_shared_from_this<Connection> {
  public:
    Connection(ServerState& state, tcp::socket socket)
        : state_(state), socket_(std::move(socket)), timer_(state.io),
          reader_(state.limits.reader) {}

    void start() {
        error_code ec;
        tcp::endpoint remote = socket_.remote_endpoint(ec);
        if (!ec) {
            remote_addr_ = remote.address().to_string();
        }
        state_.add(shared_from_this());
        next_request();
    }

    std::optional<Clock::time_point> evictable_since() const override {
        bool waiting = phase_ == Phase::Idle || phase_ == Phase::Head ||
                       phase_ == Phase::Draining || (phase_ == Phase::Body && !trusted_body_);
        return waiting ? std::optional<Clock::time_point>(waiting_since_) : std::nullopt;
    }

    void evict() override { close(); }

    void shut_down() override {
        closing_ = true;
        // Nothing of a next request has come yet; or an upload is coming,
        // which would hold its handler past the end.
        if (phase_ == Phase::Idle || body_channel_) {
            close();
        }
    }

  private:
    enum class Phase { Idle, Head, Body, Handling, Writing, Draining, Closed };
    static constexpr size_t kHeadBufferBytes = 4 * 1024;
    static constexpr size_t kBodyBufferBytes = 64 * 1024;

    // ---- time-outs: one timer, moved lazily -------------------------------
    // A later deadline only updates deadline_; the timer, when it fires early,
    // waits again for the rest. Only an earlier deadline restarts it.
    void set_deadline(milliseconds from_now) {
        deadline_ = Clock::now() + from_now;
        if (timer_waiting_ && timer_expiry_ <= deadline_) {
            return;
        }
        arm(deadline_);
    }
    void clear_deadline() { deadline_ = Clock::time_point::max(); }

    void arm(Clock::time_point when) {
        timer_expiry_ = when;
        timer_waiting_ = true;
        timer_.expires_at(when);
        timer_.async_wait([self = shared_from_this()](error_code ec) {
            if (ec != asio::error::operation_aborted) {
                self->on_timer();
            }
        });
    }

    void on_timer() {
        timer_waiting_ = false;
        if (phase_ == Phase::Closed || deadline_ == Clock::time_point::max()) {
            return;
        }
        if (Clock::now() < deadline_) {
            arm(deadline_);
            return;
        }
        if (phase_ == Phase::Body &&
            reader_.body_bytes_received() - progress_mark_ >= state_.limits.body_progress_bytes) {
            progress_mark_ = reader_.body_bytes_received();
            set_deadline(state_.limits.body_progress_window);
            return;
        }
        close(); // idle, too slow, or the client stopped taking the answer
    }

    // ---- reading ----------------------------------------------------------
    void next_request() {
        if (closing_ || served_ >= state_.limits.keep_alive_max_requests) {
            close_after_answer();
            return;
        }
        reader_.start();
        head_seen_ = false;
        trusted_body_ = false;
        phase_ = Phase::Idle;
        waiting_since_ = Clock::now();
        set_deadline(state_.limits.idle_timeout);
        if (begin_ < end_) {
            phase_ = Phase::Head; // a pipelined request is already here
            set_deadline(state_.limits.head_timeout);
            consume();
        } else {
            read_more();
        }
    }

    // A small buffer for heads, kept for the connection's life (a thousand
    // kept-alive connections cost a few MB); a larger one while a body comes.
    void read_more() {
        if (begin_ == end_) {
            begin_ = end_ = 0;
        } else if (begin_ == 0 && end_ == buffer_.size()) {
            refuse(refusal_response(400, "Bad Request")); // a chunk size line without end
            return;
        } else if (end_ == buffer_.size()) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        size_t wanted = phase_ == Phase::Body ? kBodyBufferBytes : kHeadBufferBytes;
        if (buffer_.size() < wanted) {
            buffer_.resize(wanted);
        }
        socket_.async_read_some(
            asio::buffer(buffer_.data() + end_, buffer_.size() - end_),
            [self = shared_from_this()](error_code ec, size_t n) { self->on_read(ec, n); });
    }

    void on_read(error_code ec, size_t n) {
        if (ec || phase_ == Phase::Closed) {
            close();
            return;
        }
        end_ += n;
        if (phase_ == Phase::Idle) {
            waiting_since_ = Clock::now();
            phase_ = Phase::Head;
            set_deadline(state_.limits.head_timeout);
        }
        consume();
    }

    void consume() {
        size_t used = reader_.feed(std::string_view(buffer_.data() + begin_, end_ - begin_));
        begin_ += used;
        if (body_channel_ && !body_channel_->put(reader_.take_body())) {
            body_paused_ = true;
        }
        switch (reader_.state()) {
        case RequestReader::State::Failed:
            if (body_channel_) {
                body_channel_->fail();
            }
            refuse(refusal_response(reader_.failure().status, reader_.failure().reason));
            return;
        case RequestReader::State::Head:
            read_more();
            return;
        case RequestReader::State::Body:
        case RequestReader::State::Done:
            break;
        }
        if (!head_seen_) {
            head_seen_ = true;
            if (!on_head()) {
                return;
            }
        }
        if (reader_.state() == RequestReader::State::Done) {
            if (body_channel_) {
                streamed_body_ended();
            } else {
                dispatch();
            }
            return;
        }
        if (body_paused_) {
            clear_deadline(); // the handler is behind, not the client
            return;
        }
        read_more();
    }

    // The head is complete: the application decides, before any of the
    // body is read, whether the request is served at all.
    bool on_head() {
        Request& request = reader_.request();
        request.remote_addr = remote_addr_;
        admission_ = state_.app.admit(request);
        if (admission_.refusal) {
            refuse(std::move(*admission_.refusal));
            return false;
        }
        if (app::asks_for_websocket(request)) {
            if (const SocketHandler* handler = state_.app.socket_route(request)) {
                open_websocket(*handler);
                return false;
            }
        }
        if (reader_.state() == RequestReader::State::Body) {
            app::BodyRules rules = state_.app.body_rules(request);
            if (!reader_.limit_body(rules.limit)) {
                refuse(refusal_response(reader_.failure().status, reader_.failure().reason));
                return false;
            }
            trusted_body_ = rules.trusted;
            phase_ = Phase::Body;
            progress_mark_ = reader_.body_bytes_received();
            set_deadline(state_.limits.body_progress_window);
            if (rules.streamed) {
                start_streamed_body();
            }
            if (reader_.expects_continue()) {
                send_continue();
                return false;
            }
        }
        return true;
    }

    // The handler starts now and reads the body while the connection goes
    // on receiving it.
    void start_streamed_body() {
        reader_.stream_body();
        std::weak_ptr<Connection> weak = shared_from_this();
        body_channel_ = std::make_shared<BodyChannel>(state_.limits.streamed_body_buffer_bytes,
                                                      [weak, &io = state_.io] {
                                                          asio::post(io, [weak] {
                                                              if (auto connection = weak.lock()) {
                                                                  connection->resume_body();
                                                              }
                                                          });
                                                      });
        ++served_;
        keep_alive_ = reader_.keep_alive();
        body_channel_->put(reader_.take_body()); // what came with the head
        auto moved = std::make_shared<Request>(std::move(reader_.request()));
        moved->body_source = body_channel_;
        state_.workers.submit([self = shared_from_this(), moved]() mutable {
            respond_on_worker(std::move(self), *moved);
        });
    }

    void resume_body() {
        if (!body_paused_ || phase_ != Phase::Body) {
            return;
        }
        body_paused_ = false;
        progress_mark_ = reader_.body_bytes_received();
        set_deadline(state_.limits.body_progress_window);
        read_more();
    }

    // The whole body has come: the handler's answer goes out now, or as
    // soon as it is there.
    void streamed_body_ended() {
        body_channel_->finish();
        phase_ = Phase::Handling;
        clear_deadline();
        if (held_) {
            HeldAnswer held = std::move(*held_);
            held_.reset();
            body_channel_.reset();
            answer(std::move(held.response), held.head_only, held.streamed, held.channel);
        }
    }

    // A handler's answer, back on the I/O thread. One that streamed its body
    // may answer before the body has all come: the answer waits for the
    // rest, which is read and dropped, so the connection stays usable.
    void handler_answered(Response response, bool head_only, bool streamed,
                          std::shared_ptr<StreamChannel> channel) {
        if (body_channel_) {
            body_channel_->abandon();
            if (phase_ == Phase::Body) {
                held_ = HeldAnswer{std::move(response), head_only, streamed, std::move(channel)};
                return;
            }
            body_channel_.reset();
            if (phase_ != Phase::Handling) {
                // The body failed and was answered already, or the
                // connection has closed.
                if (channel) {
                    channel->cancel();
                }
                return;
            }
        }
        answer(std::move(response), head_only, streamed, std::move(channel));
    }

    void send_continue() {
        static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(socket_, asio::buffer(kContinue),
                          [self = shared_from_this()](error_code ec, size_t) {
                              if (ec) {
                                  self->close();
                              } else {
                                  self->consume();
                              }
                          });
    }

    // ---- answering --------------------------------------------------------
    void dispatch() {
        phase_ = Phase::Handling;
        clear_deadline();
        ++served_;
        keep_alive_ = reader_.keep_alive();
        Request& request = reader_.request();
        if (state_.app.answers_quickly(request)) {
            // The front end and the auth status: a hand-off to a worker
            // would cost more than the answer.
            bool head_only = request.method == "HEAD";
            Response response = state_.app.respond(request, admission_);
            bool streamed = static_cast<bool>(response.stream);
            answer(std::move(response), head_only || streamed, streamed, nullptr);
            return;
        }
        auto moved = std::make_shared<Request>(std::move(request));
        state_.workers.submit([self = shared_from_this(), moved]() mutable {
            respond_on_worker(std::move(self), *moved);
        });
    }

    // On a worker: the handler, then the answer back to the I/O thread. The
    // last reference to the connection is handed back with it, so the
    // connection always ends on the I/O thread. A stream's producer runs here
    // once the answer is on its way.
    static void respond_on_worker(std::shared_ptr<Connection> self, Request& request) {
        ServerState& state = self->state_;
        bool head_only = request.method == "HEAD";
        Response response = state.app.respond(request, self->admission_);
        bool streamed = static_cast<bool>(response.stream);
        BodyProducer producer;
        std::shared_ptr<StreamChannel> channel;
        if (streamed && !head_only) {
            producer = std::move(response.stream);
            std::weak_ptr<Connection> weak = self;
            channel = std::make_shared<StreamChannel>(state.limits.stream_buffer_bytes,
                                                      [weak, &io = state.io] {
                                                          asio::post(io, [weak] {
                                                              if (auto connection = weak.lock()) {
                                                                  connection->pump_stream();
                                                              }
                                                          });
                                                      });
        }
        std::weak_ptr<Connection> weak = self;
        asio::post(state.io, [self = std::move(self), response = std::move(response), head_only,
                              streamed, channel]() mutable {
            self->handler_answered(std::move(response), head_only, streamed, channel);
        });
        if (!producer) {
            return;
        }
        try {
            producer(*channel);
            channel->finish();
        } catch (...) {
            // The head has gone out: all that can tell the client that the
            // body is incomplete is a connection closed before its last chunk.
            channel->cancel();
            asio::post(state.io, [weak] {
                if (auto connection = weak.lock()) {
                    connection->close();
                }
            });
        }
    }

    std::string head_of(const Response& response, bool last, const std::string* length) {
        std::string head;
        head.reserve(256);
        head += "HTTP/1.1 ";
        head += std::to_string(response.status);
        head += ' ';
        head += reason_phrase(response.status);
        head += "\r\n";
        for (const auto& [name, value] : response.headers.fields()) {
            if (header_name_equals(name, "Content-Length") ||
                header_name_equals(name, "Transfer-Encoding") ||
                header_name_equals(name, "Connection") || !safe_field(name) || !safe_field(value)) {
                continue; // the framing is ours to write; no field may split the head
            }
            head += name;
            head += ": ";
            head += value;
            head += "\r\n";
        }
        if (length) {
            head += "Content-Length: ";
            head += *length;
            head += "\r\n";
        } else if (!bodiless_status(response.status)) {
            head += "Transfer-Encoding: chunked\r\n";
        }
        head += last ? std::string_view("Connection: close\r\n\r\n") : state_.keep_alive_field;
        return head;
    }

    // `head_only`: the head alone (HEAD); `streamed`: the body is chunked.
    void answer(Response response, bool head_only, bool streamed,
                std::shared_ptr<StreamChannel> channel) {
        if (phase_ == Phase::Closed) {
            if (channel) {
                channel->cancel();
            }
            return;
        }
        bool last = closing_ || !keep_alive_ || served_ >= state_.limits.keep_alive_max_requests;
        closing_ = closing_ || last;
        phase_ = Phase::Writing;
        response_ = std::move(response);
        stream_ = std::move(channel);
        std::string length;
        if (!streamed && !bodiless_status(response_.status)) {
            length = std::to_string(response_.file_body ? response_.file_body->length()
                                                        : response_.content().size());
        }
        bool framed_by_length = !streamed && !bodiless_status(response_.status);
        out_head_ = head_of(response_, last, framed_by_length ? &length : nullptr);
        if (bodiless_status(response_.status) || head_only) {
            write_then(asio::buffer(out_head_), &Connection::answer_sent);
        } else if (stream_) {
            write_then(asio::buffer(out_head_), &Connection::pump_stream_after_head);
        } else if (response_.file_body) {
            file_offset_ = 0;
            send_file_head();
        } else {
            // Head and body in one write; cached content goes from the cache
            // to the socket without a copy.
            std::array<asio::const_buffer, 2> parts{
                asio::buffer(out_head_),
                asio::buffer(response_.content().data(), response_.content().size())};
            write_then(parts, &Connection::answer_sent);
        }
    }

    template <class Buffers> void write_then(const Buffers& buffers, void (Connection::*next)()) {
        set_deadline(state_.limits.write_timeout);
        asio::async_write(socket_, buffers,
                          [self = shared_from_this(), next](error_code ec, size_t) {
                              if (ec) {
                                  self->close();
                              } else {
                                  ((*self).*next)();
                              }
                          });
    }

    // A file's head goes out at once, then the file from the page cache;
    // only when the socket cannot take the whole head does the rest go the
    // usual way. (Holding the head back with MSG_MORE for the file's first
    // bytes measured slower on one connection: 99 us against 94 us p50.)
    void send_file_head() {
        error_code ec;
        if (!socket_.native_non_blocking()) {
            socket_.native_non_blocking(true, ec);
        }
        if (ec) {
            close();
            return;
        }
        ssize_t sent =
            ::send(socket_.native_handle(), out_head_.data(), out_head_.size(), MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(out_head_.size())) {
            send_file_piece();
            return;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            close();
            return;
        }
        size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
        write_then(asio::buffer(out_head_.data() + done, out_head_.size() - done),
                   &Connection::send_file_piece);
    }

    // The file goes from the page cache to the socket (sendfile): nothing is
    // copied through this process and no buffer is held for a slow client.
    // At most kFileTurnBytes go per turn, so that other connections on the
    // I/O thread get their turn while a large file is sent.
    void send_file_piece() {
        static constexpr unsigned long long kFileTurnBytes = 1024 * 1024;
        const FileBody& file = *response_.file_body;
        unsigned long long turn = 0;
        while (file_offset_ < file.length() && turn < kFileTurnBytes) {
            off_t offset = static_cast<off_t>(file.offset() + file_offset_);
            size_t want =
                static_cast<size_t>(std::min(file.length() - file_offset_, kFileTurnBytes - turn));
            ssize_t sent = ::sendfile(socket_.native_handle(), file.fd(), &offset, want);
            if (sent > 0) {
                file_offset_ += static_cast<unsigned long long>(sent);
                turn += static_cast<unsigned long long>(sent);
            } else if (sent < 0 && errno == EINTR) {
                continue;
            } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else if (sent < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                read_file_piece(); // a file system that cannot splice (some FUSE mounts)
                return;
            } else {
                close(); // the file shrank or failed: the client sees a short answer
                return;
            }
        }
        if (file_offset_ >= file.length()) {
            answer_sent();
            return;
        }
        set_deadline(state_.limits.write_timeout);
        socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](error_code ec) {
            if (ec) {
                self->close();
            } else {
                self->send_file_piece();
            }
        });
    }

    // The way for files that sendfile cannot take: read, then write, a
    // piece at a time.
    void read_file_piece() {
        const FileBody& file = *response_.file_body;
        if (file_offset_ >= file.length()) {
            answer_sent();
            return;
        }
        if (file_buffer_.empty()) {
            file_buffer_.resize(64 * 1024);
        }
        size_t want = static_cast<size_t>(
            std::min<unsigned long long>(file_buffer_.size(), file.length() - file_offset_));
        ssize_t got = ::pread(file.fd(), file_buffer_.data(), want,
                              static_cast<off_t>(file.offset() + file_offset_));
        if (got <= 0) {
            close(); // the file shrank or failed: the client sees a short answer
            return;
        }
        file_offset_ += static_cast<unsigned long long>(got);
        write_then(asio::buffer(file_buffer_.data(), static_cast<size_t>(got)),
                   &Connection::read_file_piece);
    }

    void pump_stream_after_head() {
        head_written_ = true;
        pump_stream();
    }

    // Sends what the producer has queued, as chunks, one write at a time.
    void pump_stream() {
        if (!stream_ || !head_written_ || stream_writing_ || phase_ != Phase::Writing) {
            return;
        }
        bool last = false;
        std::vector<std::string> pieces = stream_->take(last);
        if (pieces.empty() && !last) {
            return;
        }
        stream_pieces_ = std::move(pieces);
        stream_framing_.clear();
        std::vector<asio::const_buffer> buffers;
        size_t bytes = 0;
        stream_framing_.reserve(stream_pieces_.size());
        for (const std::string& piece : stream_pieces_) {
            stream_framing_.push_back(chunk_size_line(piece.size()));
        }
        static const std::string kCrlf = "\r\n", kLast = "0\r\n\r\n";
        for (size_t i = 0; i < stream_pieces_.size(); ++i) {
            buffers.push_back(asio::buffer(stream_framing_[i]));
            buffers.push_back(asio::buffer(stream_pieces_[i]));
            buffers.push_back(asio::buffer(kCrlf));
            bytes += stream_pieces_[i].size();
        }
        if (last) {
            buffers.push_back(asio::buffer(kLast));
        }
        stream_writing_ = true;
        set_deadline(state_.limits.write_timeout);
        asio::async_write(socket_, buffers,
                          [self = shared_from_this(), bytes, last](error_code ec, size_t) {
                              self->stream_writing_ = false;
                              if (ec) {
                                  self->close();
                                  return;
                              }
                              self->stream_->sent(bytes);
                              if (last) {
                                  self->answer_sent();
                              } else {
                                  self->pump_stream();
                              }
                          });
    }

    void answer_sent() {
        stream_.reset();
        stream_pieces_.clear();
        stream_framing_.clear();
        response_ = Response();
        head_written_ = false;
        file_buffer_ = {};
        if (buffer_.size() > kHeadBufferBytes && end_ - begin_ <= kHeadBufferBytes) {
            // Back to the small buffer once a body has been read.
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
            buffer_.resize(kHeadBufferBytes);
            buffer_.shrink_to_fit();
        }
        next_request();
    }

    // ---- refusing and closing ---------------------------------------------
    // Answers a request that will not be served, then closes the connection
    // after the bounded drain.
    void refuse(Response response) {
        reader_.start(); // what was read of the request goes now, not after the drain
        closing_ = true;
        keep_alive_ = false;
        answer(std::move(response), false, false, nullptr);
    }

    // The last answer has gone: stop sending, take in what the client still
    // sends for a moment (a reset would destroy the answer in its buffers),
    // then close.
    void close_after_answer() {
        phase_ = Phase::Draining;
        error_code ec;
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        drained_ = 0;
        set_deadline(state_.limits.refusal_drain);
        drain();
    }

    void drain() {
        begin_ = end_ = 0;
        buffer_.resize(std::max(buffer_.size(), kHeadBufferBytes));
        socket_.async_read_some(
            asio::buffer(buffer_), [self = shared_from_this()](error_code ec, size_t n) {
                self->drained_ += n;
                if (ec || self->drained_ >= self->state_.limits.refusal_drain_bytes) {
                    self->close();
                } else {
                    self->drain();
                }
            });
    }

    void close() {
        if (phase_ == Phase::Closed) {
            return; // also after the socket went to a WebSocket
        }
        phase_ = Phase::Closed;
        if (stream_) {
            stream_->cancel();
        }
        if (body_channel_) {
            body_channel_->fail(); // the handler's read throws; its answer is dropped
        }
        if (held_ && held_->channel) {
            held_->channel->cancel();
        }
        error_code ec;
        timer_.cancel();
        socket_.close(ec);
        state_.remove(this);
        state_.release_connection();
    }

    // ---- WebSocket handshake ----------------------------------------------
    void open_websocket(const SocketHandler& handler) {
        if (reader_.state() != RequestReader::State::Done) {
            refuse(refusal_response(400, "Bad Request")); // a handshake has no body
            return;
        }
        phase_ = Phase::Handling;
        clear_deadline();
        auto request = std::make_shared<Request>(std::move(reader_.request()));
        auto session = detail::make_websocket(state_);
        state_.workers.submit([self = shared_from_this(), request, session, &handler] {
            auto opened = self->state_.app.open_socket(*request, self->admission_, handler,
                                                       detail::as_websocket(session));
            asio::post(self->state_.io, [self, request, session,
                                         opened = std::move(opened)]() mutable {
                if (auto* refusal = std::get_if<Response>(&opened)) {
                    detail::abandon_websocket(session);
                    self->refuse(std::move(*refusal));
                } else if (self->phase_ == Phase::Closed) {
                    detail::abandon_websocket(session);
                } else {
                    self->hand_over(session, *request, std::get<SocketEvents>(std::move(opened)));
                }
            });
        });
    }

    void hand_over(const std::shared_ptr<detail::WebSocketSession>& session, const Request& request,
                   SocketEvents events) {
        timer_.cancel();
        phase_ = Phase::Closed;
        state_.remove(this);
        detail::accept_websocket(session, std::move(socket_), request, std::move(events));
    }

    ServerState& state_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    RequestReader reader_;
    std::vector<char> buffer_;
    size_t begin_ = 0, end_ = 0;
    std::string remote_addr_;
    Phase phase_ = Phase::Idle;
    bool head_seen_ = false;
    bool keep_alive_ = true;
    bool closing_ = false;
    size_t served_ = 0;
    app::Admission admission_;
    bool trusted_body_ = false;
    Clock::time_point waiting_since_ = Clock::now();
    std::shared_ptr<BodyChannel> body_channel_;
    bool body_paused_ = false;
    struct HeldAnswer {
        Response response;
        bool head_only;
        bool streamed;
        std::shared_ptr<StreamChannel> channel;
    };
    std::optional<HeldAnswer> held_;
    size_t progress_mark_ = 0;
    size_t drained_ = 0;

    Clock::time_point deadline_ = Clock::time_point::max();
    Clock::time_point timer_expiry_{};
    bool timer_waiting_ = false;

    Response response_;
    std::string out_head_;
    std::vector<char> file_buffer_;
    unsigned long long file_offset_ = 0;
    std::shared_ptr<StreamChannel> stream_;
    std::vector<std::string> stream_pieces_;
    std::vector<std::string> stream_framing_;
    bool stream_writing_ = false;
    bool head_written_ = false;
};

// One listening socket and its accept loop. At the connection cap, a new
// connection takes the place of the one that has waited longest for a
// client that proves nothing (see Session::evictable_since): one client
// holding every slot with slow heads or bodies cannot keep anyone out.
// Only when every connection is busy or signed in does accepting stop, and
// new connections wait in the kernel's backlog.
class Listener {
  public:
    Listener(ServerState& state, int fd, bool ipv6)
        : state_(state), acceptor_(state.io), retry_(state.io) {
        acceptor_.assign(ipv6 ? tcp::v6() : tcp::v4(), fd);
    }

    void accept() {
        if (accepting_ || state_.stopping || !acceptor_.is_open()) {
            return;
        }
        if (at_cap() && !state_.eviction_candidate()) {
            return; // resumed when a connection closes
        }
        accepting_ = true;
        acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
            accepting_ = false;
            if (ec == asio::error::operation_aborted || state_.stopping) {
                return;
            }
            if (ec) {
                pause(); // out of descriptors or memory: try again in a moment
                return;
            }
            // A child process started while this connection is open must
            // not inherit it.
            ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
            if (at_cap()) {
                if (auto victim = state_.eviction_candidate()) {
                    victim->evict();
                }
            }
            ++state_.connections;
            std::make_shared<Connection>(state_, std::move(socket))->start();
            accept();
        });
    }

    void close() {
        error_code ec;
        acceptor_.close(ec);
        retry_.cancel();
    }

    int port() const {
        error_code ec;
        return acceptor_.local_endpoint(ec).port();
    }

  private:
    bool at_cap() const { return state_.connections >= state_.limits.max_connections; }

    void pause() {
        retry_.expires_after(std::chrono::milliseconds(100));
        retry_.async_wait([this](error_code ec) {
            if (!ec) {
                accept();
            }
        });
    }

    ServerState& state_;
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    bool accepting_ = false;
};

} // namespace

class Server::Impl {
  public:
    Impl(const app::Application& app, const ServerLimits& limits) : state(app, limits) {
        state.resume_accepting = [this] {
            for (auto& listener : listeners) {
                listener->accept();
            }
        };
    }

    ServerState state;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::thread thread;
    bool running = false;
};

Server::Server(const app::Application& app, ServerLimits limits)
    : impl_(std::make_unique<Impl>(app, limits)) {}

Server::~Server() {
    shutdown();
}

void Server::listen(const std::string& host, int port, bool ipv6) {
    int fd = open_listening_socket(host, port, ipv6, impl_->state.limits.backlog);
    impl_->listeners.push_back(std::make_unique<Listener>(impl_->state, fd, ipv6));
}

size_t Server::listening() const {
    return impl_->listeners.size();
}

int Server::port() const {
    return impl_->listeners.empty() ? 0 : impl_->listeners.front()->port();
}

void Server::start() {
    Impl& impl = *impl_;
    for (auto& listener : impl.listeners) {
        listener->accept();
    }
    impl.thread = std::thread([&impl] {
        // The accept loops keep the loop busy until shutdown closes them.
        impl.state.io.run();
    });
    impl.running = true;
}

void Server::shutdown() {
    Impl& impl = *impl_;
    if (!impl.running) {
        return;
    }
    impl.running = false;
    ServerState& state = impl.state;
    asio::post(state.io, [&impl, &state] {
        state.stopping = true;
        state.idle_release.cancel();
        for (auto& listener : impl.listeners) {
            listener->close();
        }
        std::vector<std::shared_ptr<Session>> live;
        for (auto& [raw, weak] : state.sessions) {
            if (auto session = weak.lock()) {
                live.push_back(std::move(session));
            }
        }
        for (auto& session : live) {
            session->shut_down();
        }
        if (state.sessions.empty()) {
            std::lock_guard<std::mutex> lock(state.drained_mutex);
            state.drained = true;
            state.drained_cv.notify_all();
        }
    });
    {
        std::unique_lock<std::mutex> lock(state.drained_mutex);
        state.drained_cv.wait_for(lock, state.limits.shutdown_grace,
                                  [&state] { return state.drained; });
    }
    state.io.stop();
    if (impl.thread.joinable()) {
        impl.thread.join();
    }
}

size_t Server::worker_threads() const {
    return impl_->state.workers.threads();
}

} // namespace quillo::http
