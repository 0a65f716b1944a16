// What the server's connections and WebSockets share. Internal to src/http:
// it brings in Asio.
#pragma once

#include "app/application.h"
#include "http/server.h"
#include "http/worker_pool.h"
#include "utils/memory.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillo::http::detail {

using tcp = boost::asio::ip::tcp;

// A connection or a WebSocket, as the server sees it when it stops or runs
// out of room.
class Session {
  public:
    virtual ~Session() = default;
    // On the I/O thread: end as soon as what is in flight allows.
    virtual void shut_down() = 0;
    // Since when it has waited for a client that has proven nothing: idle
    // between requests, still sending a head, or a stranger still sending a
    // body. Such a session may be closed to make room for a new one; the
    // one waiting longest goes first. Nothing for every other session.
    virtual std::optional<std::chrono::steady_clock::time_point> evictable_since() const {
        return std::nullopt;
    }
    // On the I/O thread: close now, to make room.
    virtual void evict() {}
};

struct ServerState {
    ServerState(const app::Application& application, const ServerLimits& server_limits)
        : app(application), limits(server_limits),
          workers(server_limits.max_workers, server_limits.worker_retire),
          keep_alive_field("Keep-Alive: timeout=" +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                              server_limits.idle_timeout)
                                              .count()) +
                           ", max=" + std::to_string(server_limits.keep_alive_max_requests) +
                           "\r\n\r\n") {}

    const app::Application& app;
    const ServerLimits limits;
    boost::asio::io_context io{1};
    WorkerPool workers;
    // Ends the head of every answer that leaves the connection open.
    const std::string keep_alive_field;

    // The I/O thread only, from here on.
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
    size_t connections = 0;
    bool stopping = false;
    std::function<void()> resume_accepting;

    void add(const std::shared_ptr<Session>& session) {
        sessions[session.get()] = session;
        used_since_release = true;
    }
    void remove(Session* session) {
        sessions.erase(session);
        if (stopping && sessions.empty()) {
            std::lock_guard<std::mutex> lock(drained_mutex);
            drained = true;
            drained_cv.notify_all();
        } else if (sessions.empty() && used_since_release) {
            release_memory_when_idle();
        }
    }

    // Once the last session has ended and the workers have retired (their
    // caches go back to the heap when they end), what the load freed goes
    // back to the system: once per idle spell, and not at all while clients
    // keep coming.
    void release_memory_when_idle() {
        idle_release.expires_after(limits.worker_retire + std::chrono::seconds(1));
        idle_release.async_wait([this](boost::system::error_code ec) {
            if (!ec && !stopping && sessions.empty()) {
                utils::release_free_memory();
                used_since_release = false;
            }
        });
    }
    boost::asio::steady_timer idle_release{io};
    bool used_since_release = false;
    // The session that has waited longest for a client that proves nothing,
    // or nullptr when every session is busy or signed in.
    std::shared_ptr<Session> eviction_candidate() const {
        std::shared_ptr<Session> oldest;
        std::chrono::steady_clock::time_point oldest_since{};
        for (const auto& [raw, weak] : sessions) {
            std::optional<std::chrono::steady_clock::time_point> since = raw->evictable_since();
            if (since && (!oldest || *since < oldest_since)) {
                if (auto session = weak.lock()) {
                    oldest = std::move(session);
                    oldest_since = *since;
                }
            }
        }
        return oldest;
    }

    // A socket was closed: one more connection may be accepted.
    void release_connection() {
        --connections;
        if (resume_accepting) {
            resume_accepting();
        }
    }

    // Set once every session has ended after a shutdown began.
    std::mutex drained_mutex;
    std::condition_variable drained_cv;
    bool drained = false;
};

// WebSockets (websocket_session.cpp). A session is made before its
// handshake is answered, so the module's handler can keep it; it opens when
// it takes over the connection, or is abandoned when the handler refused.
class WebSocketSession;
std::shared_ptr<WebSocketSession> make_websocket(ServerState& state);
std::shared_ptr<WebSocket> as_websocket(const std::shared_ptr<WebSocketSession>& session);
// On the I/O thread: completes the handshake on `socket` and starts the
// session; the connection count now belongs to it.
void accept_websocket(const std::shared_ptr<WebSocketSession>& session, tcp::socket socket,
                      const Request& request, SocketEvents events);
void abandon_websocket(const std::shared_ptr<WebSocketSession>& session);

} // namespace quillo::http::detail
