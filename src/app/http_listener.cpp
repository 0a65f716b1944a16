#include "app/http_listener.h"

#include "app/connection_stream.h"
#include "utils/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quillo::app {

namespace {

// The request being served on this thread, built from the head as the
// client sent it. The handlers registered with the library pick it up.
thread_local Request* current_request = nullptr;

void prepare_request(httplib::Request& in, Request& out) {
    out.method = in.method;
    out.path = in.path;
    size_t question = in.target.find('?');
    if (question != std::string::npos) {
        out.query_string = in.target.substr(question + 1);
    }
    // The library would compress answers for clients that accept it. The
    // browser usually sits on the same machine, where compressing costs
    // both sides CPU for nothing (brotli at the library's level takes
    // milliseconds per answer), so it never sees the wish.
    in.headers.erase("Accept-Encoding");
    // Ranges are the application's to serve (it knows the file); the
    // library would cut the answer a second time.
    in.ranges.clear();
}

// A declared body over the limit is refused before any of it is read.
bool declares_too_large_body(const Headers& headers, size_t limit) {
    const std::string* length = headers.find("Content-Length");
    if (length == nullptr) {
        return false;
    }
    size_t value = 0;
    auto [end, ec] = std::from_chars(length->data(), length->data() + length->size(), value);
    bool number = ec == std::errc() && end == length->data() + length->size();
    return (number && value > limit) || ec == std::errc::result_out_of_range;
}

// Answers a request that is refused before it is parsed and closes the
// connection. The rest of what the client sends is read and dropped for a
// moment first: closing a socket with unread data resets it, and the
// client would lose the answer.
void refuse(ConnectionStream& stream, int status, std::string_view reason) {
    std::string answer = refusal_answer(status, reason);
    stream.write(answer.data(), answer.size());
    stream.flush();
    ::shutdown(stream.socket(), SHUT_WR);
    stream.drain(1000, 256 * 1024);
}

} // namespace

// The library keeps its listening socket in a protected member; this lets
// the listener hand it a socket that was bound the way the server needs.
// Each connection is served by our own keep-alive loop over a
// ConnectionStream.
class HttpListener::Server : public httplib::Server {
  public:
    explicit Server(const ListenerLimits& limits) : limits_(limits) {}
    void adopt(int fd) { svr_sock_ = fd; }

  private:
    bool process_and_close_socket(int sock) override;

    const ListenerLimits& limits_;
};

bool HttpListener::Server::process_and_close_socket(int sock) {
    // The library accepts without close-on-exec; a child process started
    // while this connection is open must not inherit it.
    ::fcntl(sock, F_SETFD, FD_CLOEXEC);
    ConnectionStream stream(sock, limits_.stream);
    int idle_ms = limits_.keep_alive_timeout_seconds * 1000;
    bool ok = false;
    for (size_t left = limits_.keep_alive_max_requests; left > 0 && is_running(); --left) {
        HeadResult head = stream.read_head(idle_ms);
        if (head == HeadResult::RequestLineTooLong) {
            refuse(stream, 414, "URI Too Long");
            break;
        }
        if (head == HeadResult::HeadTooLarge) {
            refuse(stream, 431, "Request Header Fields Too Large");
            break;
        }
        if (head != HeadResult::Complete) {
            break; // closed, idle for too long, or too slow to send its head
        }
        Request request;
        int remote_port = 0;
        stream.get_remote_ip_and_port(request.remote_addr, remote_port);
        request.headers = parse_header_fields(stream.head());
        if (declares_too_large_body(request.headers, limits_.max_body_bytes)) {
            refuse(stream, 413, "Payload Too Large");
            break;
        }
        current_request = &request;
        bool closed = false;
        // The last request allowed on this connection is answered with
        // "Connection: close", so the client knows not to send another.
        ok = process_request(stream, left == 1, closed,
                             [&](httplib::Request& in) { prepare_request(in, request); });
        current_request = nullptr;
        ok = stream.flush() && ok;
        if (!ok || closed) {
            break;
        }
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

bool ConnectionCap::acquire(const std::function<bool()>& stopping) {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return active_ < limit_ || stopping(); });
    if (active_ >= limit_) {
        return false;
    }
    ++active_;
    return true;
}

void ConnectionCap::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --active_;
    }
    freed_.notify_one();
}

void ConnectionCap::wake() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    freed_.notify_all();
}

int ConnectionCap::active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
}

namespace {

// Every connection gets a thread of its own, so keep-alive connections held
// open by a browser can never starve a fixed pool; the cap bounds how many.
class ThreadPerConnection : public httplib::TaskQueue {
  public:
    ThreadPerConnection(std::shared_ptr<ConnectionCap> cap, const std::atomic<bool>& stopping)
        : cap_(std::move(cap)), stopping_(stopping) {}

    void enqueue(std::function<void()> task) override {
        if (!cap_->acquire([this] { return stopping_.load(); })) {
            task(); // the listener is stopping: this only closes the connection
            return;
        }
        auto serve = [cap = cap_, task = std::move(task)] {
            struct Release {
                ConnectionCap& cap;
                ~Release() { cap.release(); }
            } release{*cap};
            task();
        };
        try {
            std::thread(serve).detach();
        } catch (const std::system_error&) {
            // No thread could be started: serve this connection on the accept
            // thread rather than dropping it.
            serve();
        }
    }
    void shutdown() override {}

  private:
    std::shared_ptr<ConnectionCap> cap_;
    const std::atomic<bool>& stopping_;
};

std::string errno_message(int err) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
}

void set_option(int fd, int level, int name, int value) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        throw std::runtime_error(errno_message(errno));
    }
}

// Creates, binds and listens on a TCP socket. The library would bind with
// SO_REUSEPORT (a second server could share a busy port silently) and switch
// IPV6_V6ONLY off (an IPv6 wildcard would also take IPv4 connections), so
// the socket is made here and handed to it ready.
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
    // Accepted connections inherit it: small keep-alive answers are not held
    // back by Nagle's algorithm.
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

// Sends a file body as the library asks for it, in pieces read with pread,
// so a large file never sits in memory whole.
void provide_file_body(std::shared_ptr<const FileBody> file, const std::string& content_type,
                       httplib::Response& out) {
    size_t length = static_cast<size_t>(file->length());
    out.set_content_provider(
        length, content_type, [file](size_t offset, size_t length, httplib::DataSink& sink) {
            char buffer[64 * 1024];
            size_t want = std::min(length, sizeof buffer);
            ssize_t got =
                ::pread(file->fd(), buffer, want, static_cast<off_t>(file->offset() + offset));
            if (got <= 0) {
                return false; // the file shrank or failed: the connection is closed
            }
            return sink.write(buffer, static_cast<size_t>(got));
        });
}

void to_httplib_response(Response&& in, httplib::Response& out) {
    out.status = in.status;
    if (in.file_body && in.file_body->length() > 0) {
        std::string content_type = in.headers.get("Content-Type");
        for (auto& [name, value] : in.headers.fields()) {
            if (!header_name_equals(name, "Content-Type")) {
                out.headers.emplace(name, value);
            }
        }
        provide_file_body(std::move(in.file_body), content_type, out);
        return;
    }
    bool shared = in.shared_body && !in.shared_body->empty();
    std::string content_type;
    for (auto& [name, value] : in.headers.fields()) {
        if (shared && header_name_equals(name, "Content-Type")) {
            content_type = value; // the content provider sets it
        } else {
            out.headers.emplace(name, value);
        }
    }
    if (!shared) {
        out.body = std::move(in.body); // set_content would copy it
        return;
    }
    // Cached content goes straight from the cache to the socket.
    std::shared_ptr<const std::string> content = std::move(in.shared_body);
    size_t size = content->size();
    out.set_content_provider(size, content_type,
                             [content](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return sink.write(content->data() + offset, length);
                             });
}

// A request carries a body only when it says so (RFC 9112, section 6.3); the
// library would otherwise wait for one until the read time-out.
bool carries_body(const httplib::Request& request) {
    const std::string& m = request.method;
    bool body_method = m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE";
    return body_method &&
           (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"));
}

} // namespace

HttpListener::HttpListener(const Application& app, ListenerLimits limits)
    : app_(app), limits_(limits), server_(std::make_unique<Server>(limits_)) {
    configure();
}

HttpListener::~HttpListener() = default;

void HttpListener::configure() {
    httplib::Server& server = *server_;
    server.new_task_queue = [this] { return new ThreadPerConnection(limits_.cap, stopping_); };
    server.set_payload_max_length(limits_.max_body_bytes);
    // Only for the Keep-Alive header the library writes: our own loop
    // enforces both.
    server.set_keep_alive_max_count(limits_.keep_alive_max_requests);
    server.set_keep_alive_timeout(limits_.keep_alive_timeout_seconds);

    auto serve = [this](const httplib::Request& in, httplib::Response& out) {
        Request& request = *current_request;
        // The library's request is its own local object and is not read
        // again after routing, so its body can be taken instead of copied.
        request.body = std::move(const_cast<httplib::Request&>(in).body);
        to_httplib_response(app_.handle(request), out);
    };
    // The library reads a request body only after its pre-routing handler,
    // so requests that carry one go through its ordinary handlers, and all
    // others are answered before the library's own routing (which would
    // refuse methods it does not know, and serves mount points unguarded).
    server.set_pre_routing_handler([serve](const httplib::Request& in, httplib::Response& out) {
        if (carries_body(in)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        serve(in, out);
        return httplib::Server::HandlerResponse::Handled;
    });
    const std::string any = ".*";
    server.Post(any, serve);
    server.Put(any, serve);
    server.Patch(any, serve);
    server.Delete(any, serve);
}

void HttpListener::bind(const std::string& host, int port, bool ipv6) {
    server_->adopt(open_listening_socket(host, port, ipv6, limits_.backlog));
}

void HttpListener::start() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serving_ = true;
    }
    try {
        std::thread([this] { serve_forever(); }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        serving_ = false;
        throw;
    }
}

void HttpListener::serve_forever() {
    server_->listen_after_bind();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serving_ = false;
    }
    stopped_cv_.notify_all();
}

void HttpListener::shutdown() {
    // The library ignores stop() until its accept loop has begun, so keep
    // asking until the loop has ended.
    stopping_ = true;
    limits_.cap->wake(); // an accept loop may be waiting for a free slot
    std::unique_lock<std::mutex> lock(mutex_);
    while (serving_) {
        lock.unlock();
        server_->stop();
        lock.lock();
        stopped_cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !serving_; });
    }
}

} // namespace quillo::app
