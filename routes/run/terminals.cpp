#include "terminals.h"

#include "run_guard.h"
#include "socket_protocol.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <quillo/http.h>
#include <quillo/services.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillo::run {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a hung-up shell gets to go before it is killed.
constexpr milliseconds kHangUpGrace{2000};
// No screen has more character cells across or down.
constexpr unsigned short kMaxCells = 1000;

std::vector<std::string> shell_environment() {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        // The size comes from the terminal; stale numbers would override it.
        if (!text.starts_with("TERM=") && !text.starts_with("COLUMNS=") &&
            !text.starts_with("LINES=")) {
            env.emplace_back(text);
        }
    }
    env.emplace_back("TERM=xterm-256color");
    return env;
}

long long epoch_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

process::TerminalSize size_from_json(const nlohmann::json& object, process::TerminalSize fallback) {
    auto cells = [&](const char* name, unsigned short fallback_cells) -> unsigned short {
        auto found = object.find(name);
        if (found == object.end() || found->is_null()) {
            return fallback_cells;
        }
        if (!found->is_number_integer() || *found < 1 || *found > kMaxCells) {
            throw std::invalid_argument(std::string("\"") + name +
                                        "\" must be a whole number from 1 to " +
                                        std::to_string(kMaxCells));
        }
        return found->get<unsigned short>();
    };
    return {cells("cols", fallback.cols), cells("rows", fallback.rows)};
}

std::string user_shell() {
    const char* shell = std::getenv("SHELL");
    if (shell != nullptr && shell[0] == '/' && ::access(shell, X_OK) == 0) {
        return shell;
    }
    return "/bin/sh";
}

Terminal::Terminal(std::string id, std::string shell, process::TerminalSize size,
                   const TerminalLimits& limits)
    : id_(std::move(id)), shell_(std::move(shell)), created_(epoch_seconds()), size_(size),
      limits_(limits),
      pty_({shell_, "-i"}, process::PtyOptions{workspace_dir(), shell_environment(), size}),
      output_(limits.keep_bytes) {}

Terminal::~Terminal() = default;

nlohmann::json Terminal::describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {{"id", id_},
            {"shell", shell_},
            {"pid", pty_.pid()},
            {"cols", size_.cols},
            {"rows", size_.rows},
            {"created", created_},
            {"connected", output_.attached()}};
}

void Terminal::attach(const std::shared_ptr<WebSocket>& socket) {
    nlohmann::json size_message;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_message = {{"type", protocol::kSizeType}, {"cols", size_.cols}, {"rows", size_.rows}};
    }
    output_.attach(socket, size_message.dump());
    wakeup_.ring(); // no longer unattended
}

void Terminal::detached(const WebSocket* socket) {
    if (output_.detach(socket)) {
        wakeup_.ring(); // the unattended time starts
    }
}

void Terminal::input(std::string_view bytes) {
    write_all(pty_.fd(), bytes, [this] {
        output_.resume();
        return !ending_;
    });
}

void Terminal::control(const nlohmann::json& message) {
    if (message_type(message) != protocol::kResizeType) {
        return;
    }
    process::TerminalSize size;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size = size_;
    }
    try {
        resize(size_from_json(message, size));
    } catch (const std::invalid_argument&) {
        // A size out of range changes nothing.
    }
}

void Terminal::resize(process::TerminalSize size) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_ = size;
    pty_.resize(size);
}

void Terminal::end() {
    if (!ending_.exchange(true)) {
        output_.end_pauses(); // the reader must see the shell go
        std::lock_guard<std::mutex> lock(mutex_);
        pty_.hang_up();
        wakeup_.ring();
    }
}

void Terminal::start(std::function<void(const std::string& id)> ended) {
    ended_ = std::move(ended);
    // The closed terminal of a killed server hangs the shell up, but a
    // shell may ignore that.
    run_guard().watch(pty_.pid());
    std::thread([self = shared_from_this()] { self->read_until_gone(); }).detach();
}

bool Terminal::unattended_too_long() {
    return !output_.attached() && Clock::now() - output_.unattended_since() >= limits_.unattended;
}

void Terminal::read_until_gone() {
    std::optional<Clock::time_point> give_up;
    char buffer[16384];
    for (;;) {
        std::optional<milliseconds> timeout;
        if (give_up) {
            timeout = std::chrono::duration_cast<milliseconds>(*give_up - Clock::now());
        } else if (!output_.attached()) {
            timeout = std::chrono::duration_cast<milliseconds>(output_.unattended_since() +
                                                               limits_.unattended - Clock::now());
        }
        Readiness ready = wait_readable(pty_.fd(), wakeup_, timeout);
        if (ready.woken) {
            wakeup_.drain();
        }
        if (ready.readable) {
            ssize_t n = ::read(pty_.fd(), buffer, sizeof buffer);
            if (n > 0) {
                output_.publish(std::string_view(buffer, static_cast<size_t>(n)));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                break; // EIO: nothing has the terminal open any more
            }
        }
        // Also looked at while output flows, which may be forever.
        if (!give_up && (ending_ || unattended_too_long())) {
            end();
            give_up = Clock::now() + kHangUpGrace;
        } else if (give_up && Clock::now() >= *give_up) {
            // The shell ignored the hang-up: ended all the same, as its
            // terminal is. Jobs in groups of their own (nohup) go on.
            std::lock_guard<std::mutex> lock(mutex_);
            pty_.child().signal_group(SIGKILL);
            break;
        }
    }
    std::optional<int> status;
    for (auto deadline = Clock::now() + kHangUpGrace; !status && Clock::now() < deadline;) {
        if (has_exited(pty_.pid())) {
            run_guard().unwatch(pty_.pid()); // before the reaping frees the number
            std::lock_guard<std::mutex> lock(mutex_);
            status = pty_.child().poll();
        } else {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    if (!status) {
        // A shell that left its terminal but goes on: no longer this
        // terminal's, like a job started with nohup.
        run_guard().unwatch(pty_.pid());
    }
    output_.finish(exit_message(status.value_or(-SIGHUP), std::nullopt));
    ending_ = true;
    ended_(id_);
}

std::shared_ptr<Terminal> TerminalRegistry::open(process::TerminalSize size) {
    std::shared_ptr<Terminal> terminal;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (terminals_.size() >= limits_.max_open) {
            throw HttpError(409, "Conflict",
                            "At most " + std::to_string(limits_.max_open) +
                                " terminals can be open at once; close one first");
        }
        terminal = std::make_shared<Terminal>(random_id(), user_shell(), size, limits_);
        terminals_[terminal->id()] = terminal;
    }
    try {
        terminal->start([this](const std::string& id) { forget(id); });
    } catch (...) {
        forget(terminal->id());
        throw;
    }
    return terminal;
}

std::shared_ptr<Terminal> TerminalRegistry::find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = terminals_.find(id);
    return found == terminals_.end() ? nullptr : found->second;
}

nlohmann::json TerminalRegistry::list() const {
    nlohmann::json list = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, terminal] : terminals_) {
        list.push_back(terminal->describe());
    }
    return list;
}

bool TerminalRegistry::end(const std::string& id) {
    std::shared_ptr<Terminal> terminal = find(id);
    if (terminal) {
        forget(id);
        terminal->end();
    }
    return terminal != nullptr;
}

void TerminalRegistry::end_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, terminal] : terminals_) {
        terminal->end();
    }
}

void TerminalRegistry::forget(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    terminals_.erase(id);
}

} // namespace quillo::run
