// One HTTP listener: a bound socket and its accept loop, serving an
// Application. Built on cpp-httplib, with its defaults corrected for a
// long-lived IDE server (see http_listener.cpp).
#pragma once

#include "app/application.h"
#include "app/connection_stream.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quillo::app {

// How many connections are served at once, shared by every listener of the
// server. Past the cap the accept loops stop accepting, so new connections
// wait in the kernel's listen backlog instead of each costing a thread.
class ConnectionCap {
  public:
    explicit ConnectionCap(int limit) : limit_(limit) {}

    // Waits for a free slot; false, without a slot, once `stopping` says so
    // (checked whenever wake() is called).
    bool acquire(const std::function<bool()>& stopping);
    void release();
    // Makes waiting acquire() calls look at their `stopping` again.
    void wake();
    int active() const;

  private:
    const int limit_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    int active_ = 0;
};

struct ListenerLimits {
    int backlog = 511;
    size_t keep_alive_max_requests = 1000;
    int keep_alive_timeout_seconds = 5; // an idle connection is closed after this
    StreamLimits stream{};              // time-outs and the request head's size limits
    size_t max_body_bytes = 64u * 1024 * 1024;
    std::shared_ptr<ConnectionCap> cap = std::make_shared<ConnectionCap>(256);
};

class HttpListener {
  public:
    HttpListener(const Application& app, ListenerLimits limits = {});
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    // Binds and starts listening. `ipv6` gives an IPv6-only socket.
    // Throws std::runtime_error with the system's reason ("[Errno 98]
    // Address already in use") when the address cannot be bound.
    void bind(const std::string& host, int port, bool ipv6);

    // Runs the accept loop on a background thread of its own, which never
    // keeps the process alive. Throws when the thread cannot be started.
    void start();

    // Stops the accept loop and waits until serve_forever() has returned.
    // Connections already being served finish on their own threads.
    void shutdown();

  private:
    class Server;
    void configure();
    void serve_forever();

    const Application& app_;
    ListenerLimits limits_;
    std::unique_ptr<Server> server_;
    std::mutex mutex_;
    std::condition_variable stopped_cv_;
    bool serving_ = false; // from start() until the accept loop has ended
    std::atomic<bool> stopping_{false};
};

} // namespace quillo::app
