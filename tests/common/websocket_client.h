// A WebSocket client for the integration tests, with time-outs on every
// wait so that a server that never answers fails the test instead of
// hanging it. Loopback only.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillo::testing {

class WebSocketClient {
  public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    // Connects to 127.0.0.1:`port` and asks for `target`, sending `host` as
    // Host (empty: "127.0.0.1:<port>") and `fields` (Origin, Cookie...) with
    // the handshake.
    WebSocketClient(int port, const std::string& target, const Fields& fields = {},
                    const std::string& host = "");
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // 101 once open; otherwise the status of the server's refusal (0 when
    // nothing came), with its body.
    int status() const { return status_; }
    const std::string& refusal_body() const { return refusal_body_; }

    bool send(const std::string& message, bool binary = false);
    // The next message; nothing once the socket has closed (close_code()
    // says how) or when none came within `timeout` (timed_out()).
    std::optional<std::string> read(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // As read(), but a socket that brought nothing within `timeout` stays
    // open, and the wait goes on in the next call: for checking that
    // nothing comes.
    std::optional<std::string> poll(std::chrono::milliseconds timeout);
    bool last_was_binary() const { return last_binary_; }
    // The code of the server's close frame; 1006 when the connection ended
    // without one; 0 while open.
    int close_code() const { return close_code_; }
    bool timed_out() const { return timed_out_; }
    void close(int code = 1000);

  private:
    std::optional<std::string> next_message(std::chrono::milliseconds timeout, bool give_up);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    int status_ = 0;
    std::string refusal_body_;
    bool last_binary_ = false;
    int close_code_ = 0;
    bool timed_out_ = false;
};

} // namespace quillo::testing
