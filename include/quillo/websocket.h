// WebSockets as route modules see them.
//
//     bp.websocket("/api/echo", [](quillo::Request&, std::shared_ptr<quillo::WebSocket> socket) {
//         quillo::SocketEvents events;
//         events.on_message = [socket](std::string message, quillo::WebSocket::Kind kind) {
//             socket->send(std::move(message), kind);
//         };
//         return events;
//     });
//
// The handler runs once the handshake has passed the server's checks (Host,
// login, Origin); it may throw to refuse the socket, which gets the server's
// answer for a failed request. A browser is not shown that answer, only a
// failed connection: to tell it why, accept and close with a code of your
// own (4000-4999) instead. It may keep the socket and send from any thread,
// also after it returned. The events run on worker threads, one at a time per socket and
// in order; while they lag behind, the server stops reading from the client.
// An event that throws closes the socket with 1011.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace quillo {

class WebSocket {
  public:
    enum class Kind { Text, Binary };

    virtual ~WebSocket() = default;

    // Queues a message. Waits while more than the send limit is queued for a
    // slow client. False, and the message dropped, once the socket is closed
    // or closing.
    virtual bool send(std::string message, Kind kind = Kind::Text) = 0;
    // Starts the closing handshake with `code` (1000 normal, 1001 going
    // away, 1011 an error of the server); messages queued before it are
    // sent first.
    virtual void close(int code = 1000, std::string reason = {}) = 0;
    // False once the socket is closed or closing.
    virtual bool is_open() const = 0;
};

struct SocketEvents {
    // A whole message from the client, at most the message size limit long
    // (larger ones close the socket with 1009).
    std::function<void(std::string message, WebSocket::Kind kind)> on_message;
    // Once, when the socket has closed for any reason; the close code the
    // client sent, or 1006 when the connection ended without one.
    std::function<void(int code)> on_close;
};

struct Request;

using SocketHandler =
    std::function<SocketEvents(Request& request, std::shared_ptr<WebSocket> socket)>;

} // namespace quillo
