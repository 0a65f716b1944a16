// Launching on POSIX: posix_spawn with pipes, a clean signal state and no
// inherited descriptors beyond the three standard streams.
#include "quillo/process.h"

#include "output/encoding.h"
#include "output/text_sink.h"
#include "process/launch_edits.h"
#include "utils/utils.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillo::process {

namespace {

using Clock = std::chrono::steady_clock;

std::string command_text(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) {
        if (!text.empty()) {
            text += ' ';
        }
        text += utils::shlex_quote(arg);
    }
    return text;
}

std::string errno_text(int err) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err);
}

void close_fd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw SubprocessError(errno_text(errno));
    }
    return {fds[0], fds[1]};
}

int exit_status(int status) {
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// Text mode reads lines the way text files are read: "\r\n" and a lone
// "\r" become "\n".
std::string translate_newlines(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The file actions and attributes of one spawn, released in any case.
class SpawnPlan {
  public:
    SpawnPlan() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnPlan() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// The child's signal state is the default one, whatever the server blocks
// or ignores, and it may start a session of its own.
void reset_signals(posix_spawnattr_t& attributes, bool new_session) {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (new_session) {
        flags |= POSIX_SPAWN_SETSID;
    }
    ::posix_spawnattr_setflags(&attributes, flags);
}

// Connects one standard stream of the child; returns the caller's end of a
// pipe, or -1.
int plan_stream(posix_spawn_file_actions_t& actions, Stream mode, int target, Pipe& pipe) {
    switch (mode) {
    case Stream::inherit:
        return -1;
    case Stream::null_device:
        ::posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                           target == 0 ? O_RDONLY : O_WRONLY, 0);
        return -1;
    case Stream::to_stdout:
        ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, target);
        return -1;
    case Stream::pipe:
        pipe = make_pipe();
        ::posix_spawn_file_actions_adddup2(&actions, target == 0 ? pipe.read : pipe.write, target);
        return target == 0 ? pipe.write : pipe.read;
    }
    return -1;
}

// The terminal becomes the three standard streams. The session is new by
// then (the spawn starts it before the file actions), so opening the
// terminal without O_NOCTTY makes it the controlling one.
void plan_terminal(posix_spawn_file_actions_t& actions, const std::string& terminal) {
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, terminal.c_str(), O_RDWR, 0);
    ::posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
}

} // namespace

TimeoutExpired::TimeoutExpired(const std::vector<std::string>& args,
                               std::chrono::milliseconds timeout, std::string output_,
                               std::string stderr_output_)
    : SubprocessError([&] {
          char seconds[32];
          std::snprintf(seconds, sizeof seconds, "%g", timeout.count() / 1000.0);
          return "Command '" + command_text(args) + "' timed out after " + seconds + " seconds";
      }()),
      output(std::move(output_)), stderr_output(std::move(stderr_output_)) {}

CalledProcessError::CalledProcessError(const std::vector<std::string>& args, int returncode_,
                                       std::string output_, std::string stderr_output_)
    : SubprocessError("Command '" + command_text(args) + "' " +
                      (returncode_ < 0
                           ? "died with signal " + std::to_string(-returncode_) + "."
                           : "returned non-zero exit status " + std::to_string(returncode_) + ".")),
      returncode(returncode_), output(std::move(output_)),
      stderr_output(std::move(stderr_output_)) {}

Popen::Popen(std::vector<std::string> args, LaunchOptions options)
    : args_(std::move(args)), options_(std::move(options)) {
    if (args_.empty()) {
        throw std::invalid_argument("no program to run");
    }
    apply_text_mode_edit(options_);
    inject_no_window(options_, utils::current_platform());

    SpawnPlan plan;
    Pipe in, out, err;
    if (options_.terminal) {
        plan_terminal(plan.actions, *options_.terminal);
        options_.start_new_session = true;
    } else {
        stdin_fd_ = plan_stream(plan.actions, options_.stdin_mode, STDIN_FILENO, in);
        stdout_fd_ = plan_stream(plan.actions, options_.stdout_mode, STDOUT_FILENO, out);
        stderr_fd_ = plan_stream(plan.actions, options_.stderr_mode, STDERR_FILENO, err);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Sockets accepted by the HTTP library are not close-on-exec; a child
    // holding one would keep a finished connection open.
    ::posix_spawn_file_actions_addclosefrom_np(&plan.actions, 3);
#endif
    if (options_.cwd) {
        ::posix_spawn_file_actions_addchdir_np(&plan.actions, options_.cwd->c_str());
    }
    reset_signals(plan.attributes, options_.start_new_session);

    std::vector<std::string> argv_texts = args_;
    std::vector<char*> argv = c_strings(argv_texts);
    std::vector<std::string> env_texts = options_.env.value_or(std::vector<std::string>());
    std::vector<char*> envp = c_strings(env_texts);
    int rc = ::posix_spawnp(&pid_, args_[0].c_str(), &plan.actions, &plan.attributes, argv.data(),
                            options_.env ? envp.data() : environ);
    for (int* child_end : {&in.read, &out.write, &err.write}) {
        close_fd(*child_end);
    }
    if (rc != 0) {
        pid_ = -1;
        close_pipes();
        std::string message = errno_text(rc) + ": '" + args_[0] + "'";
        if (rc == ENOENT) {
            throw ProgramNotFound(message);
        }
        throw SubprocessError(message);
    }
}

Popen::Popen(Popen&& other) noexcept
    : args_(std::move(other.args_)), options_(std::move(other.options_)), pid_(other.pid_),
      stdin_fd_(other.stdin_fd_), stdout_fd_(other.stdout_fd_), stderr_fd_(other.stderr_fd_),
      returncode_(other.returncode_) {
    other.pid_ = -1;
    other.stdin_fd_ = other.stdout_fd_ = other.stderr_fd_ = -1;
}

Popen::~Popen() {
    close_pipes();
    if (pid_ <= 0 || returncode_ || poll()) {
        return;
    }
    try {
        std::thread([pid = pid_] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child stays a zombie until the server ends.
    }
}

void Popen::close_pipes() {
    close_fd(stdin_fd_);
    close_fd(stdout_fd_);
    close_fd(stderr_fd_);
}

std::optional<int> Popen::poll() {
    if (returncode_ || pid_ <= 0) {
        return returncode_;
    }
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        returncode_ = exit_status(status);
    } else if (done < 0 && errno == ECHILD) {
        returncode_ = 0; // reaped elsewhere; its status is lost
    }
    return returncode_;
}

int Popen::wait(std::optional<std::chrono::milliseconds> timeout) {
    if (returncode_) {
        return *returncode_;
    }
    if (!timeout) {
        int status = 0;
        pid_t done;
        do {
            done = ::waitpid(pid_, &status, 0);
        } while (done < 0 && errno == EINTR);
        returncode_ = done == pid_ ? exit_status(status) : 0;
        return *returncode_;
    }
    auto deadline = Clock::now() + *timeout;
    auto pause = std::chrono::milliseconds(1);
    while (!poll()) {
        if (Clock::now() >= deadline) {
            throw TimeoutExpired(args_, *timeout);
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    return *returncode_;
}

std::pair<std::string, std::string>
Popen::communicate(std::optional<std::string> input,
                   std::optional<std::chrono::milliseconds> timeout) {
    std::string to_send = input.value_or(std::string());
    if (stdin_fd_ >= 0 && input && is_text_mode(options_) && options_.encoding.has_value() &&
        !output::is_utf8_name(options_.encoding.value())) {
        to_send = output::encode_strict(to_send, options_.encoding.value());
    }
    if (stdin_fd_ >= 0 && to_send.empty()) {
        close_fd(stdin_fd_);
    }
    std::string out_bytes, err_bytes;
    size_t sent = 0;
    auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
    while (stdin_fd_ >= 0 || stdout_fd_ >= 0 || stderr_fd_ >= 0) {
        std::vector<pollfd> watched;
        for (auto [fd, events] : {std::pair{stdin_fd_, POLLOUT}, std::pair{stdout_fd_, POLLIN},
                                  std::pair{stderr_fd_, POLLIN}}) {
            if (fd >= 0) {
                watched.push_back({fd, static_cast<short>(events), 0});
            }
        }
        int wait_ms = -1;
        if (timeout) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait_ms = static_cast<int>(std::max<long long>(0, left.count()));
        }
        int ready = ::poll(watched.data(), watched.size(), wait_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            throw TimeoutExpired(args_, *timeout, out_bytes, err_bytes);
        }
        for (const pollfd& entry : watched) {
            if (entry.revents == 0) {
                continue;
            }
            if (entry.fd == stdin_fd_) {
                ssize_t n = ::write(stdin_fd_, to_send.data() + sent, to_send.size() - sent);
                if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    close_fd(stdin_fd_); // the child stopped reading
                } else if (n > 0 && (sent += static_cast<size_t>(n)) == to_send.size()) {
                    close_fd(stdin_fd_);
                }
                continue;
            }
            char buffer[65536];
            ssize_t n = ::read(entry.fd, buffer, sizeof buffer);
            if (n > 0) {
                (entry.fd == stdout_fd_ ? out_bytes : err_bytes)
                    .append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close_fd(entry.fd == stdout_fd_ ? stdout_fd_ : stderr_fd_);
            }
        }
    }
    if (timeout) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        try {
            wait(std::max(left, std::chrono::milliseconds(0)));
        } catch (const TimeoutExpired&) {
            throw TimeoutExpired(args_, *timeout, out_bytes, err_bytes); // the caller's time-out
        }
    } else {
        wait();
    }
    return {decode(std::move(out_bytes)), decode(std::move(err_bytes))};
}

std::string Popen::decode(std::string bytes) const {
    if (!is_text_mode(options_)) {
        return bytes;
    }
    std::string encoding =
        options_.encoding.has_value() ? options_.encoding.value() : output::console_encoding();
    std::string errors = options_.errors.has_value() ? options_.errors.value() : "strict";
    return translate_newlines(output::decode(bytes, encoding, errors));
}

void Popen::send_signal(int signum) {
    if (pid_ > 0 && !poll()) {
        ::kill(pid_, signum);
    }
}

void Popen::kill() {
    send_signal(SIGKILL);
}

void Popen::signal_group(int signum) {
    if (pid_ > 0 && !returncode_) { // once reaped, the number may be another's
        ::kill(-pid_, signum);
    }
}

void Popen::close_stdin() {
    close_fd(stdin_fd_);
}

CompletedProcess run(std::vector<std::string> args, RunOptions options) {
    apply_text_mode_edit(options);
    inject_no_window(options, utils::current_platform());
    if (options.input) {
        options.stdin_mode = Stream::pipe;
    }
    if (options.capture_output) {
        options.stdout_mode = Stream::pipe;
        options.stderr_mode = Stream::pipe;
    }
    Popen child(args, options);
    std::pair<std::string, std::string> output;
    try {
        output = child.communicate(options.input, options.timeout);
    } catch (const TimeoutExpired&) {
        child.kill();
        child.wait();
        throw;
    }
    int code = child.wait();
    if (options.check && code != 0) {
        throw CalledProcessError(args, code, output.first, output.second);
    }
    return {std::move(args), code, std::move(output.first), std::move(output.second)};
}

int check_call(std::vector<std::string> args, RunOptions options) {
    inject_no_window(options, utils::current_platform());
    Popen child(args, options);
    int code;
    try {
        code = child.wait(options.timeout);
    } catch (const TimeoutExpired&) {
        child.kill();
        child.wait();
        throw;
    }
    if (code != 0) {
        throw CalledProcessError(args, code);
    }
    return 0;
}

std::string check_output(std::vector<std::string> args, RunOptions options) {
    apply_text_mode_edit(options);
    inject_no_window(options, utils::current_platform());
    options.stdout_mode = Stream::pipe;
    options.check = true;
    return run(std::move(args), std::move(options)).stdout_data;
}

} // namespace quillo::process
