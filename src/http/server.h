// The HTTP server under the application: listening sockets, connections,
// keep-alive, time-outs and limits, streamed answers and WebSockets, on one
// I/O thread; handlers run on a pool of workers. Boost.Beast and Asio stay
// inside src/http/*.cpp: this header needs neither.
#pragma once

#include "app/application.h"
#include "http/request_reader.h"

#include <chrono>
#include <memory>
#include <string>

namespace quillo::http {

using std::chrono::milliseconds;

struct ServerLimits {
    ReaderLimits reader{};
    int backlog = 511;
    size_t keep_alive_max_requests = 1000;
    milliseconds idle_timeout{5'000};   // between requests on a kept-alive connection
    milliseconds head_timeout{30'000};  // from a request's first byte to the end of its head
    milliseconds write_timeout{30'000}; // for the client to take more of an answer
    // A body must keep coming: at least this much in every window, or the
    // connection is closed.
    size_t body_progress_bytes = 1024;
    milliseconds body_progress_window{10'000};
    // After a refusal, what the client still sends is read and dropped for
    // a moment before closing: closing with unread data resets the
    // connection, and the client would lose the answer.
    milliseconds refusal_drain{1'000};
    size_t refusal_drain_bytes = 256 * 1024;
    // Connections served at once, all listeners together; more wait in the
    // listen backlog. Idle ones cost a little memory and no thread.
    size_t max_connections = 1024;
    size_t max_workers = 64;
    milliseconds worker_retire{10'000};
    size_t stream_buffer_bytes = 256 * 1024; // of a streamed body, not yet sent
    // Of a streamed request body (an upload), received, not yet taken by
    // its handler.
    size_t streamed_body_buffer_bytes = 256 * 1024;
    size_t websocket_message_max = 1024 * 1024;
    size_t websocket_send_buffer = 1024 * 1024;
    size_t websocket_receive_buffer = 1024 * 1024; // received, not yet handled
    std::chrono::seconds websocket_ping_interval{30};
    milliseconds shutdown_grace{2'000};
};

class Server {
  public:
    explicit Server(const app::Application& app, ServerLimits limits = {});
    // Shuts down first when still running.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens on one address. `ipv6` gives an IPv6-only socket.
    // Throws std::runtime_error with the system's reason ("[Errno 98]
    // Address already in use") when the address cannot be bound.
    void listen(const std::string& host, int port, bool ipv6);
    size_t listening() const;
    // The port of the first listening socket (for a port 0 bind).
    int port() const;

    // Starts serving on a thread of its own, which never keeps the process
    // alive. Throws when the thread cannot be started.
    void start();

    // Stops accepting, lets the requests in flight finish for up to the
    // grace period, closes WebSockets with 1001 (going away), then stops.
    void shutdown();

    // Workers alive right now (they start on demand and retire when idle).
    size_t worker_threads() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillo::http
