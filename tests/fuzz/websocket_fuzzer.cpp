// WebSocket frames from a client that may send anything, through the real
// server: one server for the whole run, with an echo socket, and one
// connection per input. After a proper handshake the input is sent as the
// client's frames (masked or not, fragmented, control frames, close
// frames, lengths past the limit); once the server has gone quiet, the
// client stops sending. Whatever the frames were, the server must end the
// connection, must send only frames a client can read, and must still take
// the next handshake: a wedged I/O thread, a lost connection slot or a
// session that never closes shows as the next input timing out.
//
// Input: the bytes the client sends after the handshake, as they are.

#include "app/application.h"
#include "http/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Long enough for a loaded machine, short against libFuzzer's own -timeout,
// so that a stuck server is reported as what it is.
constexpr int kTimeoutMs = 2000;
// A server quiet for this long after the last frame has sent its echoes.
constexpr int kQuietMs = 3;
constexpr size_t kMessageMax = 256;

[[noreturn]] void fail(const std::string& what) {
    std::cerr << "websocket: " << what << "\n";
    std::abort();
}

// The key and its answer from RFC 6455, section 1.3.
constexpr std::string_view kHandshake = "GET /echo HTTP/1.1\r\n"
                                        "Host: 127.0.0.1\r\n"
                                        "Upgrade: websocket\r\n"
                                        "Connection: Upgrade\r\n"
                                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                        "Sec-WebSocket-Version: 13\r\n"
                                        "\r\n";
constexpr std::string_view kAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

// The application and the server live as long as the process and are never
// freed: the server's threads use them until the very end, and the leak
// checker sees them reachable from here.
struct Fixture {
    quillo::app::Application app;
    quillo::http::Server* server = nullptr;

    Fixture() : app(config()) {
        quillo::Blueprint bp("websocket_fuzzer");
        bp.websocket("/echo", [](quillo::Request&, std::shared_ptr<quillo::WebSocket> socket) {
            quillo::SocketEvents events;
            // Weak: the session owns its events, a strong reference here
            // would keep it alive forever.
            std::weak_ptr<quillo::WebSocket> weak = socket;
            events.on_message = [weak](std::string message, quillo::WebSocket::Kind kind) {
                if (auto socket = weak.lock()) {
                    socket->send(std::move(message), kind);
                }
            };
            return events;
        });
        app.register_blueprint(bp);
        app.freeze();

        quillo::http::ServerLimits limits;
        limits.websocket_message_max = kMessageMax;
        limits.websocket_send_buffer = 16 * 1024;
        limits.websocket_receive_buffer = 16 * 1024;
        // Few, so that connections the server forgets to count as closed
        // use up the slots within a few inputs.
        limits.max_connections = 4;
        limits.max_workers = 4;
        server = new quillo::http::Server(app, limits);
        server->listen("127.0.0.1", 0, false);
        server->start();
    }

    static quillo::app::AppConfig config() {
        quillo::app::AppConfig config;
        config.secret_key = "websocket-fuzzer-secret";
        // Never read: no input reaches /static (the handshake asks for
        // /echo), so nothing needs to be there, and a crashed run leaves
        // nothing behind.
        config.static_folder = "/nonexistent/quillo-websocket-fuzzer";
        return config;
    }
};

int server_port() {
    static Fixture* fixture = new Fixture();
    return fixture->server->port();
}

// Waits for the socket to be readable or writable, or fails after the
// time-out: the server must always make progress or end the connection.
short wait_for(int fd, short events, const char* waiting_for) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, kTimeoutMs);
    if (n < 0 && errno != EINTR) {
        fail(std::string("poll: ") + std::strerror(errno));
    }
    if (n == 0) {
        fail(std::string("nothing from the server for 2 s while waiting for ") + waiting_for);
    }
    return n < 0 ? 0 : p.revents;
}

int connect_to_server() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(std::string("socket: ") + std::strerror(errno));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server_port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail(std::string("connect: ") + std::strerror(errno));
    }
    return fd;
}

// Sends the handshake and reads the answer's head; what came after it is
// left in `rest`.
void handshake(int fd, std::string& rest) {
    if (::send(fd, kHandshake.data(), kHandshake.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kHandshake.size())) {
        fail(std::string("sending the handshake: ") + std::strerror(errno));
    }
    std::string answer;
    size_t end;
    while ((end = answer.find("\r\n\r\n")) == std::string::npos) {
        wait_for(fd, POLLIN, "the answer to the handshake");
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            fail("the connection ended before the handshake was answered: \"" + answer + "\"");
        }
        answer.append(buffer, static_cast<size_t>(n));
    }
    std::string head = answer.substr(0, end + 4);
    if (!head.starts_with("HTTP/1.1 101 ") || head.find(kAccept) == std::string::npos) {
        fail("the handshake was answered with \"" + head + "\"");
    }
    rest = answer.substr(end + 4);
}

// What the server sent after the handshake must be frames that a client
// takes: unmasked, no reserved bits (no extension was agreed), known
// opcodes, control frames short and whole, data no larger than the message
// limit, and nothing after the close frame. Only the last frame may be cut
// short, by a connection that ended while it was being written.
void check_frames(std::string_view out) {
    size_t pos = 0;
    bool closed = false;
    while (out.size() - pos >= 2) {
        auto byte = [&](size_t i) { return static_cast<uint8_t>(out[pos + i]); };
        bool fin = byte(0) & 0x80;
        unsigned opcode = byte(0) & 0x0f;
        uint64_t length = byte(1) & 0x7f;
        size_t header = 2;
        if (length == 126 || length == 127) {
            size_t bytes = length == 126 ? 2 : 8;
            if (out.size() - pos < header + bytes) {
                return;
            }
            length = 0;
            for (size_t i = 0; i < bytes; ++i) {
                length = length << 8 | byte(header + i);
            }
            header += bytes;
        }
        std::string frame = "frame " + std::to_string(byte(0)) + " " + std::to_string(byte(1)) +
                            " of " + std::to_string(length) + " bytes";
        if (closed) {
            fail("a " + frame + " after the close frame");
        }
        if ((byte(0) & 0x70) != 0 || (byte(1) & 0x80) != 0) {
            fail("a reserved bit or the mask set: " + frame);
        }
        if (opcode >= 8) {
            if (opcode > 10 || !fin || length > 125) {
                fail("a bad control " + frame);
            }
            closed = opcode == 8;
        } else if (opcode > 2 || length > kMessageMax) {
            fail("a bad data " + frame);
        }
        if (out.size() - pos - header < length) {
            return;
        }
        pos += header + static_cast<size_t>(length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) {
        return -1;
    }
    int fd = connect_to_server();
    std::string out;
    handshake(fd, out);

    // Send the input while taking what comes back (an echo may come back
    // before everything is sent), wait until the server has gone quiet, then
    // stop sending and read to the end. The echoes are sent from a worker:
    // the end of the stream right behind the last message would close the
    // socket before they leave, and their frames would go unchecked.
    std::string_view input(reinterpret_cast<const char*>(data), size);
    enum class Phase { Sending, Lingering, Ending } phase = Phase::Sending;
    while (true) {
        if (phase == Phase::Sending && input.empty()) {
            phase = Phase::Lingering;
        }
        short ready = 0;
        if (phase == Phase::Lingering) {
            pollfd p{fd, POLLIN, 0};
            int n = ::poll(&p, 1, kQuietMs);
            if (n == 0) {
                ::shutdown(fd, SHUT_WR);
                phase = Phase::Ending;
                continue;
            }
            ready = n < 0 ? 0 : p.revents;
        } else if (phase == Phase::Sending) {
            ready = wait_for(fd, POLLIN | POLLOUT, "the server to take the frames");
        } else {
            ready = wait_for(fd, POLLIN, "the end of the connection after the client's last frame");
        }
        if (ready & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[16 * 1024];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE))) {
                break; // the end
            }
            if (n > 0) {
                out.append(buffer, static_cast<size_t>(n));
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                fail(std::string("recv: ") + std::strerror(errno));
            }
        }
        if (phase == Phase::Sending && (ready & POLLOUT)) {
            ssize_t n = ::send(fd, input.data(), input.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                input.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
                phase = Phase::Ending; // the server has closed: read what it said
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                fail(std::string("send: ") + std::strerror(errno));
            }
        }
    }
    ::close(fd);
    check_frames(out);
    return 0;
}
