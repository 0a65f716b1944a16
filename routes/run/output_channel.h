// The output of one terminal or run on its way to the browser: the latest
// output kept in a ring, and at most one socket that shows it live.
#pragma once

#include <chrono>
#include <condition_variable>
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

class OutputChannel {
  public:
    explicit OutputChannel(size_t keep) : ring_(keep) {}

    // `socket` gets `preface` (a text message) when there is one, what is
    // kept, then the live output; a socket that had it is closed with
    // protocol::kTakenOver. Once finished: the kept output, the farewell
    // message and a normal close.
    void attach(const std::shared_ptr<WebSocket>& socket,
                const std::optional<std::string>& preface = std::nullopt);
    // Forgets `socket` if it is the attached one; true when it was.
    bool detach(const WebSocket* socket);
    // Keeps `bytes` and sends them to the attached socket. Waits while that
    // socket is behind or paused, which is what keeps a flooding program
    // blocked on its output instead of the server buffering it.
    void publish(std::string_view bytes);
    // The end: `farewell` (a text message) goes to the attached socket and
    // to every later one, each then closed normally.
    void finish(std::string farewell);

    // The browser's flow control: live output to `socket`, when it is the
    // attached one, waits until resume(). Detaching it, attaching another
    // socket and the end resume it too.
    void pause(const WebSocket* socket);
    void resume();
    // For a child that is being ended: from now on nothing pauses the
    // output, so that its reader sees the end.
    void end_pauses();

    bool attached() const;
    // Since when no socket has been attached (the creation, at first).
    std::chrono::steady_clock::time_point unattended_since() const;

  private:
    void send_kept(WebSocket& socket) const;
    // With the mutex held; the caller notifies `unpaused_` after unlocking.
    void lift_pause() { paused_ = false; }

    mutable std::mutex mutex_;
    std::condition_variable unpaused_;
    OutputRing ring_;
    std::shared_ptr<WebSocket> socket_;
    bool paused_ = false;
    bool pausable_ = true;
    std::optional<std::string> farewell_;
    std::chrono::steady_clock::time_point unattended_since_ = std::chrono::steady_clock::now();
};

} // namespace quillo::run
