// The load of the soak run: a steady rate of mixed requests over a few
// keep-alive connections, for as long as a browser session might stay open,
// counting every answer that is not the expected one and watching the
// server's memory. wrk cannot hold a rate (it sends as fast as it can), and
// a soak is about what builds up over time, not about peak speed.
//
//   build/bench/soak_client --port P --pid SERVER_PID --cookie NAME=VALUE
//       --password TEXT [--seconds 600] [--rate 200] [--connections 4]
//       [--warmup SECONDS]
//
// Requests are due at fixed times (start + i / rate); each connection takes
// the next due request, so one slow answer delays only its own connection.
// Exits 1 when any request failed, 2 when the memory grew past 1 MiB after
// the warm-up, 0 otherwise. Only 127.0.0.1 is contacted.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kTimeout = 5s;
// The server closes a keep-alive connection after 5 s without a request; a
// connection idle for longer than this is replaced before it is used, so
// that race is never counted as a failure.
constexpr auto kIdleLimit = 4s;
constexpr long kGrowthLimitKb = 1024;

struct Options {
    int port = 0;
    pid_t pid = 0;
    std::string cookie;
    std::string password;
    double seconds = 600;
    double rate = 200;
    int connections = 4;
    double warmup = -1; // chosen from `seconds` when not given
};

[[noreturn]] void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s --port P --pid SERVER_PID --cookie NAME=VALUE --password TEXT\n"
                 "          [--seconds 600] [--rate 200] [--connections 4] [--warmup SECONDS]\n",
                 argv0);
    std::exit(64);
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) {
            usage(argv[0]);
        }
        std::string value = argv[++i];
        if (name == "--port") {
            o.port = std::atoi(value.c_str());
        } else if (name == "--pid") {
            o.pid = static_cast<pid_t>(std::atol(value.c_str()));
        } else if (name == "--cookie") {
            o.cookie = value;
        } else if (name == "--password") {
            o.password = value;
        } else if (name == "--seconds") {
            o.seconds = std::atof(value.c_str());
        } else if (name == "--rate") {
            o.rate = std::atof(value.c_str());
        } else if (name == "--connections") {
            o.connections = std::atoi(value.c_str());
        } else if (name == "--warmup") {
            o.warmup = std::atof(value.c_str());
        } else {
            usage(argv[0]);
        }
    }
    if (o.port <= 0 || o.pid <= 0 || o.cookie.empty() || o.password.empty() || o.seconds <= 0 ||
        o.rate <= 0 || o.connections <= 0) {
        usage(argv[0]);
    }
    if (o.warmup < 0) {
        // Long enough for the allocator's arenas and the thread stacks to
        // reach their working size, and never more than half the run.
        o.warmup = std::max(o.seconds * 0.1, std::min(30.0, o.seconds * 0.5));
    }
    return o;
}

// One kind of request in the mix and the answer it must get.
struct Kind {
    std::string name;
    std::string request;
    int expected_status;
    std::string body_must_contain; // empty: any body
    std::atomic<long> sent{0};
    std::atomic<long> failed{0};
    std::atomic<long> max_micros{0};
};

std::string get(const std::string& path, const std::string& cookie) {
    std::string r = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: quillo-soak\r\n";
    if (!cookie.empty()) {
        r += "Cookie: " + cookie + "\r\n";
    }
    return r + "\r\n";
}

std::string login(const std::string& password) {
    std::string body = "{\"password\":\"" + password + "\"}";
    return "POST /api/auth/login HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: quillo-soak\r\n"
           "Content-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Reply {
    int status = 0;
    std::string body;
    bool close = false;
};

// One keep-alive connection to the server, with just enough HTTP/1.1 to read
// the answers this server gives (Content-Length or chunked bodies).
class Connection {
  public:
    explicit Connection(int port) : port_(port) {}
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Empty on success, else what went wrong.
    std::string exchange(const std::string& request, Reply& reply) {
        if (fd_ >= 0 && Clock::now() - last_used_ > kIdleLimit) {
            close();
        }
        if (fd_ < 0) {
            if (std::string error = open(); !error.empty()) {
                return error;
            }
        }
        deadline_ = Clock::now() + kTimeout;
        std::string error = send_all(request);
        if (error.empty()) {
            error = read_reply(reply);
        }
        last_used_ = Clock::now();
        if (!error.empty() || reply.close) {
            close();
        }
        return error;
    }

  private:
    std::string open() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return std::string("socket: ") + std::strerror(errno);
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::string error = std::string("connect: ") + std::strerror(errno);
            close();
            return error;
        }
        buffer_.clear();
        return {};
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        buffer_.clear();
    }

    bool wait(short events) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd_, events, 0};
        int ready;
        do {
            ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        } while (ready < 0 && errno == EINTR);
        return ready > 0;
    }

    std::string send_all(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            if (!wait(POLLOUT)) {
                return "time-out while sending";
            }
            ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return std::string("send: ") + std::strerror(errno);
            }
            sent += n > 0 ? static_cast<size_t>(n) : 0;
        }
        return {};
    }

    // Appends what the socket has to buffer_; empty on success.
    std::string fill() {
        if (!wait(POLLIN)) {
            return "time-out while reading";
        }
        char chunk[65536];
        ssize_t n;
        do {
            n = ::recv(fd_, chunk, sizeof chunk, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            return std::string("recv: ") + std::strerror(errno);
        }
        if (n == 0) {
            return "connection closed by the server";
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return {};
    }

    // Takes `count` bytes off the front of buffer_, reading as needed.
    std::string take(size_t count, std::string& out) {
        while (buffer_.size() < count) {
            if (std::string error = fill(); !error.empty()) {
                return error;
            }
        }
        out.append(buffer_, 0, count);
        buffer_.erase(0, count);
        return {};
    }

    std::string take_line(std::string& line) {
        size_t end;
        while ((end = buffer_.find("\r\n")) == std::string::npos) {
            if (std::string error = fill(); !error.empty()) {
                return error;
            }
        }
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return {};
    }

    static std::string lower(std::string text) {
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return text;
    }

    std::string read_reply(Reply& reply) {
        reply = Reply{};
        std::string line;
        if (std::string error = take_line(line); !error.empty()) {
            return error;
        }
        if (line.rfind("HTTP/1.", 0) != 0 || line.size() < 12) {
            return "not an HTTP status line: " + line.substr(0, 60);
        }
        reply.status = std::atoi(line.c_str() + 9);
        std::optional<size_t> length;
        bool chunked = false;
        while (true) {
            if (std::string error = take_line(line); !error.empty()) {
                return error;
            }
            if (line.empty()) {
                break;
            }
            size_t colon = line.find(':');
            if (colon == std::string::npos) {
                return "malformed header line: " + line.substr(0, 60);
            }
            std::string name = lower(line.substr(0, colon));
            size_t first = line.find_first_not_of(" \t", colon + 1);
            std::string value = first == std::string::npos ? "" : line.substr(first);
            if (name == "content-length") {
                length = std::strtoull(value.c_str(), nullptr, 10);
            } else if (name == "transfer-encoding") {
                chunked = lower(value).find("chunked") != std::string::npos;
            } else if (name == "connection") {
                reply.close = lower(value).find("close") != std::string::npos;
            }
        }
        if (reply.status == 204 || reply.status == 304 || reply.status < 200) {
            return {};
        }
        if (chunked) {
            while (true) {
                if (std::string error = take_line(line); !error.empty()) {
                    return error;
                }
                size_t size = std::strtoull(line.c_str(), nullptr, 16);
                if (size == 0) {
                    return take_line(line); // no trailers from this server
                }
                std::string crlf;
                if (std::string error = take(size, reply.body); !error.empty()) {
                    return error;
                }
                if (std::string error = take(2, crlf); !error.empty()) {
                    return error;
                }
            }
        }
        if (length) {
            return take(*length, reply.body);
        }
        // Neither: the body ends when the server closes the connection.
        reply.close = true;
        while (true) {
            std::string error = fill();
            if (error == "connection closed by the server") {
                reply.body = std::move(buffer_);
                return {};
            }
            if (!error.empty()) {
                return error;
            }
        }
    }

    int port_;
    int fd_ = -1;
    std::string buffer_;
    Clock::time_point last_used_{};
    Clock::time_point deadline_{};
};

struct Memory {
    long rss_kb = 0;
    long threads = 0;
};

std::optional<Memory> read_memory(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in) {
        return std::nullopt;
    }
    Memory m;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            m.rss_kb = std::atol(line.c_str() + 6);
        } else if (line.rfind("Threads:", 0) == 0) {
            m.threads = std::atol(line.c_str() + 8);
        }
    }
    return m;
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

void note_max(std::atomic<long>& max, long value) {
    long seen = max.load();
    while (value > seen && !max.compare_exchange_weak(seen, value)) {
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options = parse_options(argc, argv);

    // One cycle of the mix: assets, the page, the logged-in status, a refused
    // API call, a right and a wrong login, and a missing file.
    std::vector<Kind> kinds(8);
    auto define = [&](size_t i, std::string name, std::string request, int status,
                      std::string must_contain = "") {
        kinds[i].name = std::move(name);
        kinds[i].request = std::move(request);
        kinds[i].expected_status = status;
        kinds[i].body_must_contain = std::move(must_contain);
    };
    define(0, "GET /app.js", get("/app.js", options.cookie), 200);
    define(1, "GET / (index)", get("/", options.cookie), 200, "<!doctype html>");
    define(2, "GET /api/auth/status (in)", get("/api/auth/status", options.cookie), 200,
           "\"authenticated\":true");
    define(3, "GET /api/files/list (no cookie)", get("/api/files/list", ""), 401);
    define(4, "POST /api/auth/login (right)", login(options.password), 200, "\"success\":true");
    define(5, "GET /style.css", get("/style.css", options.cookie), 200);
    define(6, "GET /missing.js (404)", get("/missing.js", options.cookie), 404);
    define(7, "POST /api/auth/login (wrong)", login(options.password + "-wrong"), 401);

    const auto interval = std::chrono::duration<double>(1.0 / options.rate);
    const Clock::time_point start = Clock::now() + 100ms;
    const Clock::time_point end = start + seconds(options.seconds);
    const Clock::time_point warm = start + seconds(options.warmup);

    std::atomic<uint64_t> next{0};
    std::atomic<long> served{0};
    std::atomic<long> errors{0};
    std::atomic<long> late{0};
    std::atomic<long> max_lag_micros{0};
    std::mutex report_mutex;
    long reported = 0;

    auto worker = [&] {
        Connection connection(options.port);
        Reply reply;
        while (true) {
            uint64_t i = next.fetch_add(1);
            auto due = start + std::chrono::duration_cast<Clock::duration>(interval *
                                                                           static_cast<double>(i));
            if (due >= end) {
                return;
            }
            std::this_thread::sleep_until(due);
            Clock::time_point begin = Clock::now();
            long lag = std::chrono::duration_cast<std::chrono::microseconds>(begin - due).count();
            if (lag > 10000) {
                ++late;
            }
            note_max(max_lag_micros, lag);

            Kind& kind = kinds[i % kinds.size()];
            ++kind.sent;
            std::string error = connection.exchange(kind.request, reply);
            long micros =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
            note_max(kind.max_micros, micros);
            if (error.empty() && reply.status != kind.expected_status) {
                error = "status " + std::to_string(reply.status) + ", expected " +
                        std::to_string(kind.expected_status);
            }
            if (error.empty() && reply.status == 200 && reply.body.empty()) {
                error = "empty body";
            }
            if (error.empty() && !kind.body_must_contain.empty() &&
                reply.body.find(kind.body_must_contain) == std::string::npos) {
                error = "the body lacks " + kind.body_must_contain;
            }
            if (error.empty()) {
                ++served;
                continue;
            }
            ++errors;
            ++kind.failed;
            std::lock_guard lock(report_mutex);
            if (++reported <= 20) {
                std::fprintf(stderr, "error: %s: %s\n", kind.name.c_str(), error.c_str());
            }
        }
    };

    std::printf("soak: %.0f s at %.0f requests/s over %d keep-alive connections, warm-up %.0f s\n",
                options.seconds, options.rate, options.connections, options.warmup);
    std::fflush(stdout);
    std::vector<std::thread> workers;
    for (int i = 0; i < options.connections; ++i) {
        workers.emplace_back(worker);
    }

    // The memory is read once a second. The figures compared are the highest
    // VmRSS in the first 10 s after the warm-up and in the last 10 s: a single
    // reading moves with the requests in flight at that instant, the high
    // mark of a window does not.
    const Clock::duration window = seconds(std::min(10.0, options.seconds / 4));
    const Clock::duration progress_every = seconds(std::max(10.0, options.seconds / 10));
    long start_rss = 0;
    long end_rss = 0;
    long start_threads = 0;
    long end_threads = 0;
    bool server_gone = false;
    Clock::time_point next_progress = start + progress_every;
    for (Clock::time_point tick = start + 1s; tick < end; tick += 1s) {
        std::this_thread::sleep_until(tick);
        std::optional<Memory> memory = read_memory(options.pid);
        if (!memory) {
            server_gone = true;
            break;
        }
        if (tick >= warm && tick < warm + window) {
            start_rss = std::max(start_rss, memory->rss_kb);
            start_threads = std::max(start_threads, memory->threads);
        }
        if (tick > end - window) {
            end_rss = std::max(end_rss, memory->rss_kb);
            end_threads = std::max(end_threads, memory->threads);
        }
        if (tick >= next_progress) {
            next_progress += progress_every;
            std::printf("  %4.0f s: %ld served, %ld errors, VmRSS %ld kB, %ld threads\n",
                        std::chrono::duration<double>(tick - start).count(), served.load(),
                        errors.load(), memory->rss_kb, memory->threads);
            std::fflush(stdout);
        }
    }
    for (std::thread& t : workers) {
        t.join();
    }

    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("\n%-34s %9s %9s %10s\n", "request", "sent", "failed", "slowest");
    for (const Kind& kind : kinds) {
        std::printf("%-34s %9ld %9ld %7.1f ms\n", kind.name.c_str(), kind.sent.load(),
                    kind.failed.load(), static_cast<double>(kind.max_micros.load()) / 1000.0);
    }
    std::printf("\nrequests served: %ld (%.1f/s), errors: %ld (target 0)\n", served.load(),
                static_cast<double>(served.load()) / elapsed, errors.load());
    std::printf("requests started over 10 ms late: %ld, latest start: %.1f ms after its time\n",
                late.load(), static_cast<double>(max_lag_micros.load()) / 1000.0);
    bool grew = false;
    if (server_gone) {
        std::printf("the server process is gone: no memory figures\n");
        errors += 1;
    } else {
        long growth = end_rss - start_rss;
        grew = growth >= kGrowthLimitKb;
        std::printf("server VmRSS after warm-up: %ld kB, at the end: %ld kB, growth: %+ld kB "
                    "(target under %ld kB): %s\n",
                    start_rss, end_rss, growth, kGrowthLimitKb, grew ? "MISS" : "ok");
        std::printf("server threads after warm-up: %ld, at the end: %ld\n", start_threads,
                    end_threads);
    }
    int status = errors.load() > 0 ? 1 : grew ? 2 : 0;
    std::printf("result: %s\n", status == 0   ? "PASS"
                                : status == 1 ? "FAIL (errors)"
                                              : "FAIL (memory growth)");
    return status;
}
