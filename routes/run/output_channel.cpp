#include "output_channel.h"

#include "socket_protocol.h"

#include <algorithm>
#include <utility>

namespace quillo::run {

namespace {

// A replay goes out in pieces of this size, so that a reconnecting client
// starts drawing before all of it has arrived.
constexpr size_t kReplayPiece = 64 * 1024;
// How far into a replay a line break is looked for.
constexpr size_t kLineSearch = 4096;

} // namespace

void OutputRing::append(std::string_view bytes) {
    if (bytes.size() >= capacity_) {
        dropped_ = dropped_ || size_ > 0 || bytes.size() > capacity_;
        bytes.remove_prefix(bytes.size() - capacity_);
        buffer_.assign(bytes.begin(), bytes.end());
        start_ = 0;
        size_ = capacity_;
        return;
    }
    if (buffer_.size() < capacity_) {
        size_t fits = std::min(bytes.size(), capacity_ - buffer_.size());
        buffer_.insert(buffer_.end(), bytes.begin(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(fits));
        size_ = buffer_.size();
        bytes.remove_prefix(fits);
    }
    // Full: the oldest bytes are overwritten where the next ones go.
    while (!bytes.empty()) {
        size_t piece = std::min(bytes.size(), capacity_ - start_);
        std::copy_n(bytes.begin(), piece, buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = (start_ + piece) % capacity_;
        bytes.remove_prefix(piece);
        dropped_ = true;
    }
}

std::string OutputRing::contents() const {
    std::string text(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), buffer_.end());
    text.append(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    if (dropped_) {
        size_t line_end = text.find('\n');
        if (line_end != std::string::npos && line_end < kLineSearch) {
            text.erase(0, line_end + 1);
        }
    }
    return text;
}

void OutputChannel::send_kept(WebSocket& socket) const {
    std::string kept = ring_.contents();
    for (size_t at = 0; at < kept.size(); at += kReplayPiece) {
        socket.send(kept.substr(at, kReplayPiece), WebSocket::Kind::Binary);
    }
}

void OutputChannel::attach(const std::shared_ptr<WebSocket>& socket,
                           const std::optional<std::string>& preface) {
    std::shared_ptr<WebSocket> previous;
    {
        // The kept output is queued while no new output can slip in before
        // it; a fresh socket's queue takes it without waiting.
        std::lock_guard<std::mutex> lock(mutex_);
        if (preface) {
            socket->send(*preface);
        }
        send_kept(*socket);
        if (farewell_) {
            socket->send(*farewell_);
            socket->close(protocol::kNormal);
            return;
        }
        previous = std::exchange(socket_, socket);
        lift_pause(); // a pause was the previous socket's
    }
    unpaused_.notify_all();
    if (previous) {
        previous->close(protocol::kTakenOver, "opened in another window");
    }
}

bool OutputChannel::detach(const WebSocket* socket) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (socket_.get() != socket) {
            return false;
        }
        socket_.reset();
        lift_pause();
        unattended_since_ = std::chrono::steady_clock::now();
    }
    unpaused_.notify_all();
    return true;
}

void OutputChannel::publish(std::string_view bytes) {
    std::shared_ptr<WebSocket> socket;
    {
        // Kept only once it can go out: a socket attached meanwhile gets it
        // live rather than twice, in the replay and again here.
        std::unique_lock<std::mutex> lock(mutex_);
        unpaused_.wait(lock, [this] { return !paused_; });
        ring_.append(bytes);
        socket = socket_;
    }
    if (socket) {
        socket->send(std::string(bytes), WebSocket::Kind::Binary);
    }
}

void OutputChannel::finish(std::string farewell) {
    std::shared_ptr<WebSocket> socket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        farewell_ = farewell;
        socket = std::move(socket_);
        pausable_ = false;
        lift_pause();
    }
    unpaused_.notify_all();
    if (socket) {
        socket->send(std::move(farewell));
        socket->close(protocol::kNormal);
    }
}

void OutputChannel::pause(const WebSocket* socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pausable_ && socket_ && socket_.get() == socket) {
        paused_ = true;
    }
}

void OutputChannel::resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lift_pause();
    }
    unpaused_.notify_all();
}

void OutputChannel::end_pauses() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pausable_ = false;
        lift_pause();
    }
    unpaused_.notify_all();
}

bool OutputChannel::attached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_ != nullptr;
}

std::chrono::steady_clock::time_point OutputChannel::unattended_since() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unattended_since_;
}

} // namespace quillo::run
