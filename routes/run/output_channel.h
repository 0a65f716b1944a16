// The output of one terminal or run on its way to the browser: the latest
// output kept in a ring, and at most one socket that shows it live.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <quillo/websocket.h>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::run {

// The last `capacity` bytes written, in order. Memory grows with the output
// up to the capacity, never beyond.
class OutputRing {
  public:
    explicit OutputRing(size_t capacity) : capacity_(capacity) {}

    void append(std::string_view bytes);
    // What is kept, oldest first. Once output was dropped, it starts after
    // the first line break (when one is near), so that a replay does not
    // begin inside a line or an escape sequence.
    std::string contents() const;
    size_t size() const { return size_; }

  private:
    size_t capacity_;
    std::vector<char> buffer_;
    size_t start_ = 0; // index of the oldest byte once the buffer is full
    size_t size_ = 0;
    bool dropped_ = false;
};

// The close code a socket gets when another one takes its terminal or run.
inline constexpr int kTakenOver = 4001;

class OutputChannel {
  public:
    explicit OutputChannel(size_t keep) : ring_(keep) {}

    // `socket` gets what is kept, then the live output; a socket that had
    // it is closed with kTakenOver. Once finished: the kept output, the
    // farewell message and a normal close.
    void attach(const std::shared_ptr<WebSocket>& socket);
    // Forgets `socket` if it is the attached one; true when it was.
    bool detach(const WebSocket* socket);
    // Keeps `bytes` and sends them to the attached socket. Waits while that
    // socket is behind, which is what keeps a flooding program blocked.
    void publish(std::string_view bytes);
    // The end: `farewell` (a text message) goes to the attached socket and
    // to every later one, each then closed normally.
    void finish(std::string farewell);

    bool attached() const;
    // Since when no socket has been attached (the creation, at first).
    std::chrono::steady_clock::time_point unattended_since() const;

  private:
    void send_kept(WebSocket& socket) const;

    mutable std::mutex mutex_;
    OutputRing ring_;
    std::shared_ptr<WebSocket> socket_;
    std::optional<std::string> farewell_;
    std::chrono::steady_clock::time_point unattended_since_ = std::chrono::steady_clock::now();
};

} // namespace quillo::run
