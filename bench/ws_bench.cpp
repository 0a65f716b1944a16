// The WebSocket and many-connection loads of bench/run-bench, against the
// echo socket of the transport fixture module (/api/fixture/echo echoes every
// message back as it came), and the terminal loads against a shell's socket
// (/api/run/terminals/<id>/ws). Only 127.0.0.1 is contacted.
//
//   build/bench/ws_bench echo --port P --cookie NAME=VALUE [--count 20000]
//       [--warmup 1000] [--size 1024]
//     round trips one after the other on one socket, each message sent once
//     the previous echo is back; prints the p50 and p99 of a round trip.
//
//   build/bench/ws_bench rate --port P --cookie NAME=VALUE [--rate 10000]
//       [--seconds 10] [--size 1024]
//     messages due at fixed times (start + i / rate) on one socket, sent
//     whether or not the echoes keep up, so a server that falls behind shows
//     as a lower rate and a growing lag instead of a slower sender. The
//     caller samples the server's memory meanwhile.
//
//   build/bench/ws_bench hold --port P --cookie NAME=VALUE [--http 1000]
//       [--websockets 100] [--refresh 3]
//     opens that many keep-alive HTTP connections and WebSockets, prints
//     "ready ..." once all are open, and holds them until SIGTERM or SIGINT,
//     then prints what it held. The server closes a keep-alive connection
//     after 5 s without a request, so each HTTP connection sends
//     GET /api/health every --refresh seconds (staggered over the connections,
//     about 330 small requests a second for 1,000 at 3 s); the alternative,
//     measuring within 5 s of opening them, leaves too little time for a
//     latency run on a busy machine. Each WebSocket sends one message at open
//     and then waits, reading, so the server's keep-alive pings are answered.
//
//   build/bench/ws_bench keys --port P --cookie NAME=VALUE --target PATH
//       [--count 2000] [--warmup 200]
//     keystrokes on a terminal's socket (PATH is /api/run/terminals/<id>/ws),
//     one at a time, each typed once the previous one is back. The shell is
//     first told `stty raw -echo; cat`: the line discipline then neither
//     echoes nor translates, and cat writes back each byte it reads, so every
//     byte typed comes back as exactly one byte, through the same path as a
//     line editor's echo (socket, pty, a process woken to read, pty, socket).
//     The shell's prompt and the replay of kept output are read and dropped
//     before the first timed keystroke; prints the p50 and p99.
//
//   build/bench/ws_bench cat --port P --cookie NAME=VALUE --target PATH
//       --file NAME [--server-pid PID]
//     types `cat NAME; echo <marker>` at the shell and reads the output until
//     the marker, which the echoed command line does not contain (it is typed
//     with quotes inside); prints the bytes received, the time from the
//     Enter to the marker and MiB/s. With --server-pid, the server's VmRSS
//     just before, its peak while the output flows (read every 20 ms) and
//     1 s after the marker.
//
// Every result is one line of key=value pairs on stdout; errors go to stderr
// and end the run with status 1.

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kEchoTarget = "/api/fixture/echo";

struct Options {
    std::string mode;
    int port = 0;
    std::string cookie;
    long count = 20000;
    long warmup = 1000;
    size_t size = 1024;
    double rate = 10000;
    double seconds = 10;
    int http = 1000;
    int websockets = 100;
    double refresh = 3;
    std::string target;
    std::string file;
    int server_pid = 0;
};

[[noreturn]] void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s echo --port P --cookie NAME=VALUE [--count N] [--warmup N] [--size B]\n"
                 "       %s rate --port P --cookie NAME=VALUE [--rate R] [--seconds S] [--size B]\n"
                 "       %s hold --port P --cookie NAME=VALUE [--http N] [--websockets N] "
                 "[--refresh S]\n"
                 "       %s keys --port P --cookie NAME=VALUE --target PATH [--count N] "
                 "[--warmup N]\n"
                 "       %s cat --port P --cookie NAME=VALUE --target PATH --file NAME "
                 "[--server-pid PID]\n",
                 argv0, argv0, argv0, argv0, argv0);
    std::exit(64);
}

Options parse_options(int argc, char** argv) {
    if (argc < 2) {
        usage(argv[0]);
    }
    Options o;
    o.mode = argv[1];
    bool has_count = false;
    bool has_warmup = false;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) {
            usage(argv[0]);
        }
        const char* value = argv[++i];
        if (name == "--port") {
            o.port = std::atoi(value);
        } else if (name == "--cookie") {
            o.cookie = value;
        } else if (name == "--count") {
            o.count = std::atol(value);
            has_count = true;
        } else if (name == "--warmup") {
            o.warmup = std::atol(value);
            has_warmup = true;
        } else if (name == "--size") {
            o.size = static_cast<size_t>(std::atol(value));
        } else if (name == "--rate") {
            o.rate = std::atof(value);
        } else if (name == "--seconds") {
            o.seconds = std::atof(value);
        } else if (name == "--http") {
            o.http = std::atoi(value);
        } else if (name == "--websockets") {
            o.websockets = std::atoi(value);
        } else if (name == "--refresh") {
            o.refresh = std::atof(value);
        } else if (name == "--target") {
            o.target = value;
        } else if (name == "--file") {
            o.file = value;
        } else if (name == "--server-pid") {
            o.server_pid = std::atoi(value);
        } else {
            usage(argv[0]);
        }
    }
    if (o.mode == "keys") {
        o.count = has_count ? o.count : 2000;
        o.warmup = has_warmup ? o.warmup : 200;
    }
    bool terminal = o.mode == "keys" || o.mode == "cat";
    if (o.port <= 0 || (o.mode != "echo" && o.mode != "rate" && o.mode != "hold" && !terminal) ||
        o.count <= 0 || o.warmup < 0 || o.size < 16 || o.rate <= 0 || o.seconds <= 0 ||
        o.refresh <= 0 || (terminal && o.target.empty()) || (o.mode == "cat" && o.file.empty())) {
        usage(argv[0]);
    }
    return o;
}

tcp::endpoint server_endpoint(const Options& o) {
    return {asio::ip::address_v4::loopback(), static_cast<unsigned short>(o.port)};
}

std::string host_field(const Options& o) {
    return "127.0.0.1:" + std::to_string(o.port);
}

// The login cookie on the handshake: the echo socket wants a session like
// any other API.
void add_cookie(websocket::stream<tcp::socket>& ws, const std::string& cookie) {
    ws.set_option(websocket::stream_base::decorator([cookie](websocket::request_type& request) {
        if (!cookie.empty()) {
            request.set(http::field::cookie, cookie);
        }
    }));
}

// Text, as the editor's sockets carry: a 10-digit sequence number, then
// filler up to `size` bytes.
std::string message_text(size_t size, long sequence) {
    std::string text(size, 'x');
    char digits[16];
    std::snprintf(digits, sizeof digits, "%010ld", sequence);
    std::memcpy(text.data(), digits, 10);
    return text;
}

long sequence_of(const beast::flat_buffer& buffer) {
    auto data = buffer.data();
    if (data.size() < 10) {
        return -1;
    }
    return std::strtol(std::string(static_cast<const char*>(data.data()), 10).c_str(), nullptr, 10);
}

double percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// ---- echo: one round trip at a time ------------------------------------------

int run_echo(const Options& o) {
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    beast::get_lowest_layer(ws).connect(server_endpoint(o));
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    add_cookie(ws, o.cookie);
    websocket::response_type response;
    error_code ec;
    ws.handshake(response, host_field(o), kEchoTarget, ec);
    if (ec) {
        std::fprintf(stderr, "handshake failed: status %d, %s\n", response.result_int(),
                     ec.message().c_str());
        return 1;
    }
    ws.text(true);
    const std::string message = message_text(o.size, 0);
    beast::flat_buffer buffer;
    std::vector<double> round_trips;
    round_trips.reserve(static_cast<size_t>(o.count));
    for (long i = 0; i < o.warmup + o.count; ++i) {
        Clock::time_point begin = Clock::now();
        ws.write(asio::buffer(message));
        ws.read(buffer);
        Clock::time_point end = Clock::now();
        auto data = buffer.data();
        if (data.size() != message.size() ||
            std::memcmp(data.data(), message.data(), message.size()) != 0) {
            std::fprintf(stderr, "echo %ld came back different (%zu bytes)\n", i, data.size());
            return 1;
        }
        buffer.consume(buffer.size());
        if (i >= o.warmup) {
            round_trips.push_back(micros(end - begin));
        }
    }
    ws.close(websocket::close_code::normal, ec);
    std::sort(round_trips.begin(), round_trips.end());
    double sum = 0;
    for (double v : round_trips) {
        sum += v;
    }
    std::printf("echo messages=%ld size=%zu p50_us=%.1f p99_us=%.1f mean_us=%.1f max_us=%.1f\n",
                o.count, o.size, percentile(round_trips, 0.50), percentile(round_trips, 0.99),
                sum / static_cast<double>(round_trips.size()), round_trips.back());
    return 0;
}

// ---- rate: a paced stream of messages ------------------------------------------

class RateRun {
  public:
    RateRun(asio::io_context& io, const Options& o)
        : o_(o), ws_(io), pace_(io), deadline_(io),
          total_(static_cast<long>(o.rate * o.seconds + 0.5)),
          sent_at_(static_cast<size_t>(total_)) {
        latencies_.reserve(static_cast<size_t>(total_));
    }

    bool open() {
        beast::get_lowest_layer(ws_).connect(server_endpoint(o_));
        beast::get_lowest_layer(ws_).set_option(tcp::no_delay(true));
        add_cookie(ws_, o_.cookie);
        websocket::response_type response;
        error_code ec;
        ws_.handshake(response, host_field(o_), kEchoTarget, ec);
        if (ec) {
            std::fprintf(stderr, "handshake failed: status %d, %s\n", response.result_int(),
                         ec.message().c_str());
            return false;
        }
        ws_.text(true);
        return true;
    }

    void start() {
        start_ = Clock::now();
        // The echoes of a server that falls far behind are not waited for
        // without end.
        deadline_.expires_at(start_ + seconds(o_.seconds + 5));
        deadline_.async_wait([this](error_code ec) {
            if (!ec) {
                timed_out_ = true;
                finish();
            }
        });
        tick();
        read();
    }

    int report() const {
        std::vector<double> sorted = latencies_;
        std::sort(sorted.begin(), sorted.end());
        double elapsed = std::chrono::duration<double>(last_echo_ - start_).count();
        double achieved = elapsed > 0 ? static_cast<double>(received_) / elapsed : 0;
        std::printf("rate target_per_s=%.0f seconds=%.1f size=%zu sent=%ld received=%ld "
                    "elapsed_s=%.2f achieved_per_s=%.0f p50_us=%.1f p99_us=%.1f max_us=%.1f "
                    "max_send_lag_ms=%.2f timed_out=%d failed=%d\n",
                    o_.rate, o_.seconds, o_.size, sent_, received_, elapsed, achieved,
                    percentile(sorted, 0.50), percentile(sorted, 0.99),
                    sorted.empty() ? 0.0 : sorted.back(), max_lag_us_ / 1000, timed_out_ ? 1 : 0,
                    failed_ ? 1 : 0);
        return failed_ || timed_out_ || received_ != total_ ? 1 : 0;
    }

  private:
    static Clock::duration seconds(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }
    Clock::time_point due_time(long i) const { return start_ + seconds(i / o_.rate); }

    // Everything due by now may go; the timer then waits for the next one.
    void tick() {
        if (done_) {
            return;
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        due_ = std::min(total_, static_cast<long>(elapsed * o_.rate) + 1);
        write_next();
        if (due_ < total_) {
            pace_.expires_at(due_time(due_));
            pace_.async_wait([this](error_code ec) {
                if (!ec) {
                    tick();
                }
            });
        }
    }

    // One write at a time: what fell due meanwhile waits its turn and shows
    // as lag.
    void write_next() {
        if (writing_ || done_ || sent_ >= due_) {
            return;
        }
        Clock::time_point now = Clock::now();
        max_lag_us_ = std::max(max_lag_us_, micros(now - due_time(sent_)));
        out_ = message_text(o_.size, sent_);
        sent_at_[static_cast<size_t>(sent_)] = now;
        writing_ = true;
        ws_.async_write(asio::buffer(out_), [this](error_code ec, size_t) {
            writing_ = false;
            if (done_) {
                return;
            }
            if (ec) {
                fail("write", ec);
                return;
            }
            ++sent_;
            write_next();
        });
    }

    void read() {
        ws_.async_read(in_, [this](error_code ec, size_t) {
            if (ec) {
                if (!done_) {
                    fail("read", ec);
                }
                return;
            }
            long sequence = sequence_of(in_);
            if (in_.size() != o_.size || sequence != received_) {
                std::fprintf(stderr, "echo %ld came back as %ld (%zu bytes)\n", received_, sequence,
                             in_.size());
                failed_ = true;
                finish();
                return;
            }
            last_echo_ = Clock::now();
            latencies_.push_back(micros(last_echo_ - sent_at_[static_cast<size_t>(sequence)]));
            in_.consume(in_.size());
            if (++received_ == total_) {
                finish();
                return;
            }
            read();
        });
    }

    void fail(const char* what, error_code ec) {
        std::fprintf(stderr, "%s failed: %s\n", what, ec.message().c_str());
        failed_ = true;
        finish();
    }

    void finish() {
        if (done_) {
            return;
        }
        done_ = true;
        pace_.cancel();
        deadline_.cancel();
        error_code ec;
        beast::get_lowest_layer(ws_).close(ec);
    }

    const Options& o_;
    websocket::stream<tcp::socket> ws_;
    asio::steady_timer pace_;
    asio::steady_timer deadline_;
    const long total_;
    std::vector<Clock::time_point> sent_at_;
    std::vector<double> latencies_;
    Clock::time_point start_{}, last_echo_{};
    long due_ = 0, sent_ = 0, received_ = 0;
    double max_lag_us_ = 0;
    bool writing_ = false, done_ = false, failed_ = false, timed_out_ = false;
    std::string out_;
    beast::flat_buffer in_;
};

int run_rate(const Options& o) {
    asio::io_context io;
    RateRun run(io, o);
    if (!run.open()) {
        return 1;
    }
    run.start();
    io.run();
    return run.report();
}

// ---- hold: many idle connections ---------------------------------------------------

struct HoldCounts {
    int http_open = 0;
    int websockets_open = 0;
    long answers = 0;
    long failures = 0;
    int attempts_done = 0;
};

class Hold;

// One keep-alive HTTP connection that asks for /api/health now and then.
class HttpHolder : public std::enable_shared_from_this<HttpHolder> {
  public:
    HttpHolder(asio::io_context& io, Hold& hold, int index)
        : hold_(hold), socket_(io), timer_(io), index_(index) {}
    void open();
    void stop() {
        error_code ec;
        timer_.cancel();
        socket_.close(ec);
    }

  private:
    void ask();
    void answered();
    void failed(const std::string& why);

    Hold& hold_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    int index_;
    bool opened_ = false;
    bool dead_ = false;
    http::request<http::empty_body> request_;
    http::response<http::string_body> response_;
    beast::flat_buffer buffer_;
};

// One open WebSocket that waits, reading.
class SocketHolder : public std::enable_shared_from_this<SocketHolder> {
  public:
    SocketHolder(asio::io_context& io, Hold& hold) : hold_(hold), ws_(io) {}
    void open();
    void stop() {
        error_code ec;
        beast::get_lowest_layer(ws_).close(ec);
    }

  private:
    void wait();
    void failed(const std::string& why);

    Hold& hold_;
    websocket::stream<tcp::socket> ws_;
    websocket::response_type response_;
    beast::flat_buffer buffer_;
    std::string hello_ = "hello";
    bool opened_ = false;
    bool dead_ = false;
};

class Hold {
  public:
    Hold(asio::io_context& io, const Options& o)
        : io_(io), o_(o), signals_(io, SIGTERM, SIGINT), give_up_(io) {}

    void start() {
        signals_.async_wait([this](error_code ec, int) {
            if (!ec) {
                stop();
            }
        });
        // Readiness is announced even when some connections never open, so
        // the caller is never left waiting.
        give_up_.expires_after(std::chrono::seconds(60));
        give_up_.async_wait([this](error_code ec) {
            if (!ec) {
                announce_ready();
            }
        });
        open_more();
    }

    const Options& options() const { return o_; }
    HoldCounts& counts() { return counts_; }
    bool stopping() const { return stopping_; }

    // An opening attempt has ended, either way: the next may start.
    void attempt_done() {
        --in_flight_;
        ++counts_.attempts_done;
        if (counts_.attempts_done == o_.http + o_.websockets) {
            announce_ready();
        }
        open_more();
    }

  private:
    // A few dozen handshakes at a time: all of them at once would overflow
    // the listen backlog and measure SYN retries instead.
    static constexpr int kOpening = 64;

    void open_more() {
        while (!stopping_ && in_flight_ < kOpening && next_ < o_.http + o_.websockets) {
            ++in_flight_;
            int index = next_++;
            if (index < o_.http) {
                auto holder = std::make_shared<HttpHolder>(io_, *this, index);
                http_.push_back(holder);
                holder->open();
            } else {
                auto holder = std::make_shared<SocketHolder>(io_, *this);
                sockets_.push_back(holder);
                holder->open();
            }
        }
    }

    void announce_ready() {
        if (ready_) {
            return;
        }
        ready_ = true;
        give_up_.cancel();
        std::printf("ready http=%d websockets=%d failures=%ld\n", counts_.http_open,
                    counts_.websockets_open, counts_.failures);
        std::fflush(stdout);
    }

    void stop() {
        stopping_ = true;
        give_up_.cancel();
        std::printf("held http=%d websockets=%d answers=%ld failures=%ld\n", counts_.http_open,
                    counts_.websockets_open, counts_.answers, counts_.failures);
        std::fflush(stdout);
        for (auto& holder : http_) {
            holder->stop();
        }
        for (auto& holder : sockets_) {
            holder->stop();
        }
    }

    asio::io_context& io_;
    const Options& o_;
    asio::signal_set signals_;
    asio::steady_timer give_up_;
    std::vector<std::shared_ptr<HttpHolder>> http_;
    std::vector<std::shared_ptr<SocketHolder>> sockets_;
    HoldCounts counts_;
    int next_ = 0;
    int in_flight_ = 0;
    bool ready_ = false;
    bool stopping_ = false;
};

void HttpHolder::open() {
    request_.method(http::verb::get);
    request_.target("/api/health");
    request_.version(11);
    request_.set(http::field::host, host_field(hold_.options()));
    socket_.async_connect(server_endpoint(hold_.options()),
                          [self = shared_from_this()](error_code ec) {
                              if (ec) {
                                  self->failed(std::string("connect: ") + ec.message());
                                  return;
                              }
                              self->socket_.set_option(tcp::no_delay(true), ec);
                              self->ask();
                          });
}

void HttpHolder::ask() {
    response_ = {};
    http::async_write(socket_, request_, [self = shared_from_this()](error_code ec, size_t) {
        if (ec) {
            self->failed(std::string("write: ") + ec.message());
            return;
        }
        http::async_read(
            self->socket_, self->buffer_, self->response_, [self](error_code ec, size_t) {
                if (ec) {
                    self->failed(std::string("read: ") + ec.message());
                } else if (self->response_.result_int() != 200 || !self->response_.keep_alive()) {
                    self->failed("answer " + std::to_string(self->response_.result_int()));
                } else {
                    self->answered();
                }
            });
    });
}

void HttpHolder::answered() {
    HoldCounts& counts = hold_.counts();
    ++counts.answers;
    const Options& o = hold_.options();
    double wait = o.refresh;
    if (!opened_) {
        opened_ = true;
        ++counts.http_open;
        hold_.attempt_done();
        // The first refresh spreads the connections over one period, so the
        // requests come evenly rather than in waves.
        wait = o.refresh * (index_ + 1) / std::max(1, o.http);
    }
    timer_.expires_after(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait)));
    timer_.async_wait([self = shared_from_this()](error_code ec) {
        if (!ec && !self->hold_.stopping()) {
            self->ask();
        }
    });
}

void HttpHolder::failed(const std::string& why) {
    if (dead_ || hold_.stopping()) {
        return;
    }
    dead_ = true;
    HoldCounts& counts = hold_.counts();
    ++counts.failures;
    std::fprintf(stderr, "http connection %d failed, %s\n", index_, why.c_str());
    if (opened_) {
        --counts.http_open;
    } else {
        hold_.attempt_done();
    }
    stop();
}

void SocketHolder::open() {
    beast::get_lowest_layer(ws_).async_connect(
        server_endpoint(hold_.options()), [self = shared_from_this()](error_code ec) {
            if (ec) {
                self->failed(std::string("connect: ") + ec.message());
                return;
            }
            beast::get_lowest_layer(self->ws_).set_option(tcp::no_delay(true), ec);
            add_cookie(self->ws_, self->hold_.options().cookie);
            self->ws_.async_handshake(
                self->response_, host_field(self->hold_.options()), kEchoTarget,
                [self](error_code ec) {
                    if (ec) {
                        self->failed(std::string("handshake: ") + ec.message());
                        return;
                    }
                    self->ws_.text(true);
                    self->ws_.async_write(
                        asio::buffer(self->hello_), [self](error_code ec, size_t) {
                            if (ec) {
                                self->failed(std::string("write: ") + ec.message());
                                return;
                            }
                            self->wait();
                        });
                });
        });
}

void SocketHolder::wait() {
    ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, size_t) {
        if (ec) {
            self->failed(std::string("read: ") + ec.message());
            return;
        }
        if (!self->opened_) {
            auto data = self->buffer_.data();
            if (std::string(static_cast<const char*>(data.data()), data.size()) != self->hello_) {
                self->failed("echo came back different");
                return;
            }
            self->opened_ = true;
            ++self->hold_.counts().websockets_open;
            self->hold_.attempt_done();
        }
        self->buffer_.consume(self->buffer_.size());
        self->wait();
    });
}

void SocketHolder::failed(const std::string& why) {
    if (dead_ || hold_.stopping()) {
        return;
    }
    dead_ = true;
    HoldCounts& counts = hold_.counts();
    ++counts.failures;
    std::fprintf(stderr, "websocket failed (handshake status %d), %s\n", response_.result_int(),
                 why.c_str());
    if (opened_) {
        --counts.websockets_open;
    } else {
        hold_.attempt_done();
    }
    stop();
}

int run_hold(const Options& o) {
    asio::io_context io;
    Hold hold(io, o);
    hold.start();
    io.run();
    return hold.counts().failures > 0 ? 1 : 0;
}

// ---- terminals: keystrokes and a large output -----------------------------------

// A terminal that never answers must not hang the benchmark: the whole run
// ends after `seconds`, with a message, whatever it is blocked on.
void give_up_after(double seconds, std::string what) {
    std::thread([seconds, what = std::move(what)] {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        std::fprintf(stderr, "%s: no end after %.0f s\n", what.c_str(), seconds);
        std::fflush(stderr);
        ::_exit(1);
    }).detach();
}

bool open_terminal(websocket::stream<tcp::socket>& ws, const Options& o) {
    beast::get_lowest_layer(ws).connect(server_endpoint(o));
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    add_cookie(ws, o.cookie);
    websocket::response_type response;
    error_code ec;
    ws.handshake(response, host_field(o), o.target, ec);
    if (ec) {
        std::fprintf(stderr, "handshake to %s failed: status %d, %s\n", o.target.c_str(),
                     response.result_int(), ec.message().c_str());
        return false;
    }
    // Keystrokes go as binary; the kept output can come in large pieces.
    ws.binary(true);
    ws.read_message_max(16 * 1024 * 1024);
    return true;
}

void type(websocket::stream<tcp::socket>& ws, std::string_view bytes) {
    ws.binary(true);
    ws.write(asio::buffer(bytes.data(), bytes.size()));
}

// A terminal's text messages are JSON: the size its kept output was
// written at comes first, the shell's exit last. Only the exit ends a run.
bool shell_ended(const std::string& text) {
    return text.find("\"exit\"") != std::string::npos;
}

// Reads the terminal's output until `marker` has come, dropping all of it
// up to and including the marker; whatever came after the marker in the
// same message is returned. The shell's exit ends the run.
std::string read_past(websocket::stream<tcp::socket>& ws, std::string_view marker) {
    beast::flat_buffer buffer;
    std::string window;
    for (;;) {
        ws.read(buffer);
        if (ws.got_text()) {
            std::string text = beast::buffers_to_string(buffer.data());
            buffer.consume(buffer.size());
            if (shell_ended(text)) {
                throw std::runtime_error("the shell ended: " + text);
            }
            continue;
        }
        window += beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        size_t at = window.find(marker);
        if (at != std::string::npos) {
            return window.substr(at + marker.size());
        }
        // Only a marker's length is kept, for one split over two messages.
        if (window.size() > marker.size()) {
            window.erase(0, window.size() - marker.size());
        }
    }
}

// Markers of this run only: a terminal used before replays its kept output,
// which may hold an earlier run's markers.
std::string run_tag() {
    return std::to_string(::getpid()) + "_" +
           std::to_string(Clock::now().time_since_epoch().count() % 1000000007);
}

long vm_rss_kb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

int run_keys(const Options& o) {
    give_up_after(60, "ws_bench keys");
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    if (!open_terminal(ws, o)) {
        return 1;
    }
    // Typed ahead of the prompt: the shell reads it once it is ready. The
    // marker is printed only after stty has run, so once it has come back,
    // the terminal is raw and nothing is echoed but by cat. The quotes keep
    // the marker out of the echo of the command line itself.
    const std::string tag = run_tag();
    type(ws, "stty raw -echo; echo __KE''YS__" + tag + "; cat\n");
    read_past(ws, "__KEYS__" + tag);
    // What may still follow the marker (its end of line) is dropped by
    // waiting for one byte that only cat can send back.
    type(ws, "#");
    read_past(ws, "#");

    beast::flat_buffer buffer;
    std::vector<double> round_trips;
    round_trips.reserve(static_cast<size_t>(o.count));
    for (long i = 0; i < o.warmup + o.count; ++i) {
        const char key = static_cast<char>('a' + i % 26);
        Clock::time_point begin = Clock::now();
        type(ws, std::string_view(&key, 1));
        ws.read(buffer);
        Clock::time_point end = Clock::now();
        auto data = buffer.data();
        if (ws.got_text() || data.size() != 1 || *static_cast<const char*>(data.data()) != key) {
            std::fprintf(stderr, "keystroke %ld ('%c') came back as %zu bytes: %s\n", i, key,
                         data.size(), beast::buffers_to_string(data).c_str());
            return 1;
        }
        buffer.consume(buffer.size());
        if (i >= o.warmup) {
            round_trips.push_back(micros(end - begin));
        }
    }
    error_code ec;
    ws.close(websocket::close_code::normal, ec);
    std::sort(round_trips.begin(), round_trips.end());
    double sum = 0;
    for (double v : round_trips) {
        sum += v;
    }
    std::printf("keys count=%ld p50_us=%.1f p99_us=%.1f mean_us=%.1f max_us=%.1f\n", o.count,
                percentile(round_trips, 0.50), percentile(round_trips, 0.99),
                sum / static_cast<double>(round_trips.size()), round_trips.back());
    return 0;
}

int run_cat(const Options& o) {
    give_up_after(300, "ws_bench cat");
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    if (!open_terminal(ws, o)) {
        return 1;
    }
    // The shell is up and its prompt has been read before the clock starts.
    const std::string tag = run_tag();
    type(ws, "echo __RE''ADY__" + tag + "\n");
    read_past(ws, "__READY__" + tag);
    long rss_before = o.server_pid > 0 ? vm_rss_kb(o.server_pid) : 0;
    long rss_peak = rss_before;

    const std::string marker = "__DONE__" + tag;
    Clock::time_point begin = Clock::now();
    type(ws, "cat " + o.file + "; echo __DO''NE__" + tag + "\n");
    beast::flat_buffer buffer;
    std::string window;
    long long bytes = 0;
    long messages = 0;
    Clock::time_point next_sample = begin;
    Clock::time_point end;
    for (;;) {
        ws.read(buffer);
        if (ws.got_text()) {
            std::string text = beast::buffers_to_string(buffer.data());
            buffer.consume(buffer.size());
            if (shell_ended(text)) {
                std::fprintf(stderr, "the shell ended: %s\n", text.c_str());
                return 1;
            }
            continue;
        }
        auto data = buffer.data();
        bytes += static_cast<long long>(data.size());
        ++messages;
        window.append(static_cast<const char*>(data.data()), data.size());
        buffer.consume(buffer.size());
        Clock::time_point now = Clock::now();
        if (o.server_pid > 0 && now >= next_sample) {
            rss_peak = std::max(rss_peak, vm_rss_kb(o.server_pid));
            next_sample = now + std::chrono::milliseconds(20);
        }
        if (window.find(marker) != std::string::npos) {
            end = now;
            break;
        }
        if (window.size() > marker.size()) {
            window.erase(0, window.size() - marker.size());
        }
    }
    long rss_end = 0;
    long rss_after = 0;
    if (o.server_pid > 0) {
        rss_end = vm_rss_kb(o.server_pid);
        rss_peak = std::max(rss_peak, rss_end);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        rss_after = vm_rss_kb(o.server_pid);
    }
    error_code ec;
    ws.close(websocket::close_code::normal, ec);
    double seconds = std::chrono::duration<double>(end - begin).count();
    std::printf("cat bytes=%lld messages=%ld seconds=%.3f mib_per_s=%.1f rss_before_kb=%ld "
                "rss_peak_kb=%ld rss_end_kb=%ld rss_after_kb=%ld\n",
                bytes, messages, seconds, static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds,
                rss_before, rss_peak, rss_end, rss_after);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    try {
        if (o.mode == "echo") {
            return run_echo(o);
        }
        if (o.mode == "rate") {
            return run_rate(o);
        }
        if (o.mode == "keys") {
            return run_keys(o);
        }
        if (o.mode == "cat") {
            return run_cat(o);
        }
        return run_hold(o);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ws_bench %s: %s\n", o.mode.c_str(), error.what());
        return 1;
    }
}
