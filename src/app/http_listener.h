// One HTTP listener: a bound socket and its accept loop, serving an
// Application. Built on cpp-httplib, with its defaults corrected for a
// long-lived IDE server (see http_listener.cpp).
#pragma once

#include "app/application.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace quillo::app {

struct ListenerLimits {
    int backlog = 128;
    size_t keep_alive_max_requests = 1000;
    int keep_alive_timeout_seconds = 5;
    int read_timeout_seconds = 30;
    int write_timeout_seconds = 30;
    size_t max_body_bytes = 64u * 1024 * 1024;
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
};

} // namespace quillo::app
