// Shells on pseudo-terminals that outlive their sockets.
#pragma once

#include "children.h"
#include "output_channel.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <quillo/process.h>
#include <quillo/websocket.h>

namespace quillo::run {

struct TerminalLimits {
    size_t max_open = 8;
    size_t keep_bytes = 256 * 1024;
    // How long a shell waits for a socket after the last one closed.
    std::chrono::milliseconds unattended = std::chrono::minutes(15);
};

// One shell. A thread of its own reads the terminal while the shell lives.
class Terminal : public std::enable_shared_from_this<Terminal> {
  public:
    Terminal(std::string id, std::string shell, process::TerminalSize size,
             const TerminalLimits& limits);
    ~Terminal();

    const std::string& id() const { return id_; }
    nlohmann::json describe() const;

    // `socket` first gets the terminal's size, the one the kept output was
    // written for, then that output and what follows.
    void attach(const std::shared_ptr<WebSocket>& socket);
    void detached(const WebSocket* socket);
    void pause(const WebSocket* socket) { output_.pause(socket); }
    void resume() { output_.resume(); }
    // Keystrokes and pasted text. Keystrokes the shell cannot take end a
    // pause: what it runs may wait for its output to be read first.
    void input(std::string_view bytes);
    // {"type": "resize", "cols": C, "rows": R}; anything else is ignored.
    void control(const nlohmann::json& message);
    void resize(process::TerminalSize size);
    // Hangs the shell up; the terminal ends once it has gone, and a shell
    // still there 2 s later is killed.
    void end();

    // Reads the terminal until the shell has gone, then calls `ended`.
    void start(std::function<void(const std::string& id)> ended);

  private:
    void read_until_gone();
    bool unattended_too_long();

    std::string id_;
    std::string shell_;
    long long created_;
    mutable std::mutex mutex_; // the size and the child's state
    process::TerminalSize size_;
    TerminalLimits limits_;
    process::PtyProcess pty_;
    OutputChannel output_;
    Wakeup wakeup_;
    std::atomic<bool> ending_{false};
    std::function<void(const std::string&)> ended_;
};

class TerminalRegistry {
  public:
    explicit TerminalRegistry(TerminalLimits limits) : limits_(limits) {}

    // Throws HttpError 409 when the limit is reached.
    std::shared_ptr<Terminal> open(process::TerminalSize size);
    std::shared_ptr<Terminal> find(const std::string& id) const;
    nlohmann::json list() const;
    // False when there is no such terminal.
    bool end(const std::string& id);
    // Every shell hangs up.
    void end_all();

  private:
    void forget(const std::string& id);

    TerminalLimits limits_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Terminal>> terminals_;
};

// The size in a JSON object's "cols" and "rows", each from 1 to 1000; one
// that is absent stays as in `fallback`. Throws std::invalid_argument.
process::TerminalSize size_from_json(const nlohmann::json& object, process::TerminalSize fallback);

// The user's shell: $SHELL when it names a program, otherwise /bin/sh.
std::string user_shell();

} // namespace quillo::run
