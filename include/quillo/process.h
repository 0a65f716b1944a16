// Starting child processes, for the server and for every route module.
//
// Every launch goes through these four entry points, which make two edits
// to the launch options before the child starts:
// - in text mode, decoding is tolerant: unless the caller chose an error
//   handling ("errors"), undecodable bytes become U+FFFD, and UTF-8 is used
//   when no encoding was named;
// - on Windows, the child gets no console window (CREATE_NO_WINDOW and a
//   hidden start-up record), unless the caller passed creation flags of 0.
// On POSIX a child starts with the default signal mask and dispositions
// (the server blocks and ignores some signals) and with no descriptor of
// the server's open beyond its standard streams.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <utility>
#include <variant>
#include <vector>

namespace quillo::process {

// A launch option that may be absent, present with a null value, or present
// with a value; the edits treat the three differently.
template <class T> class Option {
  public:
    Option() = default; // absent
    Option(T value) : state_(State::value), value_(std::move(value)) {}
    static Option null() {
        Option option;
        option.state_ = State::null;
        return option;
    }
    bool present() const { return state_ != State::absent; }
    bool is_null() const { return state_ == State::null; }
    bool has_value() const { return state_ == State::value; }
    const T& value() const { return *value_; }

  private:
    enum class State { absent, null, value };
    State state_ = State::absent;
    std::optional<T> value_;
};

// A loosely typed option value: a switch, a number or a text.
using Scalar = std::variant<bool, long long, std::string>;

// The Windows start-up record's fields that matter here.
struct StartupInfo {
    unsigned long dwFlags = 0;
    unsigned short wShowWindow = 1; // SW_SHOWNORMAL
};
inline constexpr long long kCreateNoWindow = 0x08000000;
inline constexpr unsigned long kStartfUseShowWindow = 0x00000001;

// Where a standard stream of the child goes.
enum class Stream {
    inherit,     // the server's own
    pipe,        // a pipe to the caller
    null_device, // /dev/null
    to_stdout,   // standard error only: wherever standard output goes
};

struct LaunchOptions {
    // Edited by the entry points (see above).
    Option<Scalar> text;
    Option<Scalar> universal_newlines;
    Option<std::string> encoding; // text mode when present, even when null
    Option<std::string> errors;   // "strict", "replace" or "ignore"
    Option<Scalar> creationflags; // Windows only
    Option<StartupInfo> startupinfo;

    Stream stdin_mode = Stream::inherit;
    Stream stdout_mode = Stream::inherit;
    Stream stderr_mode = Stream::inherit;
    std::optional<std::string> cwd;
    std::optional<std::vector<std::string>> env; // "NAME=value"; the server's own when absent
    bool start_new_session = false;              // not stopped by the terminal's Ctrl+C
    // A terminal device (the far side of a pseudo-terminal): the child's
    // standard input, output and error and, in a session of its own, its
    // controlling terminal. The stream modes above are then ignored.
    std::optional<std::string> terminal;
};

struct RunOptions : LaunchOptions {
    std::optional<std::string> input; // sent to standard input, which then is a pipe
    std::optional<std::chrono::milliseconds> timeout;
    bool capture_output = false; // standard output and error become pipes
    bool check = false;          // a non-zero exit status throws CalledProcessError
};

struct CompletedProcess {
    std::vector<std::string> args;
    int returncode = 0;      // minus the signal number when a signal ended it
    std::string stdout_data; // UTF-8 text in text mode, the raw bytes otherwise
    std::string stderr_data;
};

class SubprocessError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The program does not exist (or is not on PATH).
class ProgramNotFound : public SubprocessError {
  public:
    using SubprocessError::SubprocessError;
};

class TimeoutExpired : public SubprocessError {
  public:
    TimeoutExpired(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                   std::string output = {}, std::string stderr_output = {});
    std::string output;
    std::string stderr_output;
};

class CalledProcessError : public SubprocessError {
  public:
    CalledProcessError(const std::vector<std::string>& args, int returncode,
                       std::string output = {}, std::string stderr_output = {});
    int returncode;
    std::string output;
    std::string stderr_output;
};

// A started child. A child that is still unreaped when its Popen goes away
// is reaped in the background, so it never stays a zombie.
class Popen {
  public:
    // Throws ProgramNotFound, or SubprocessError for any other launch failure.
    explicit Popen(std::vector<std::string> args, LaunchOptions options = {});
    ~Popen();
    Popen(Popen&& other) noexcept;
    Popen& operator=(Popen&&) = delete;
    Popen(const Popen&) = delete;
    Popen& operator=(const Popen&) = delete;

    pid_t pid() const { return pid_; }
    const std::vector<std::string>& args() const { return args_; }
    std::optional<int> returncode() const { return returncode_; }

    // The exit status when the child has ended, nothing while it runs.
    std::optional<int> poll();
    // Waits for the child; throws TimeoutExpired when it outlives `timeout`.
    int wait(std::optional<std::chrono::milliseconds> timeout = {});
    // Sends `input` (when standard input is a pipe), reads standard output and
    // error (those that are pipes) to their end and waits for the child.
    // Throws TimeoutExpired, leaving the child running, when it takes longer.
    std::pair<std::string, std::string>
    communicate(std::optional<std::string> input = {},
                std::optional<std::chrono::milliseconds> timeout = {});
    void send_signal(int signum);
    void kill();
    // Signals the whole process group the child leads (it must have started
    // a session of its own): also its children, and also once it has ended
    // but was not yet waited for.
    void signal_group(int signum);

    // The caller's ends of the pipes (-1 for a stream that is not a pipe),
    // for reading and writing them directly; they stay the Popen's own.
    int stdin_fd() const { return stdin_fd_; }
    int stdout_fd() const { return stdout_fd_; }
    int stderr_fd() const { return stderr_fd_; }
    // The child reads the end of its input.
    void close_stdin();

  private:
    std::string decode(std::string bytes) const;
    void close_pipes();

    std::vector<std::string> args_;
    LaunchOptions options_; // as edited
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    std::optional<int> returncode_;
};

// The size of a terminal in character cells.
struct TerminalSize {
    unsigned short cols = 80;
    unsigned short rows = 24;
};

struct PtyOptions {
    std::optional<std::string> cwd;
    std::optional<std::vector<std::string>> env; // "NAME=value"; the server's own when absent
    TerminalSize size;
};

// A child on a pseudo-terminal of its own, as a terminal emulator starts a
// shell: the terminal is its standard streams and its controlling terminal,
// in a new session whose process group it leads. The server keeps the
// controlling side, `fd()`: what the child writes is read there, and what is
// written there is the child's keyboard. Apart from that side, the child
// gets what every Popen gets: the default signal state and no descriptor of
// the server's. POSIX only.
class PtyProcess {
  public:
    // Throws ProgramNotFound, or SubprocessError naming the failed call.
    explicit PtyProcess(std::vector<std::string> args, PtyOptions options = {});
    // Closes the controlling side, which hangs the terminal up: whatever
    // still runs on it gets SIGHUP. The child is reaped in the background.
    ~PtyProcess();
    PtyProcess(PtyProcess&&) = delete;
    PtyProcess& operator=(PtyProcess&&) = delete;

    // Non-blocking and close-on-exec. Reading gives EIO once nothing has the
    // terminal open any more, typically because the shell has exited.
    int fd() const { return fd_; }
    pid_t pid() const { return child_.pid(); }
    Popen& child() { return child_; }

    // The programs on the terminal get SIGWINCH and see the new size.
    void resize(TerminalSize size);
    // Hangs up: SIGHUP to the child's process group and to the job in the
    // terminal's foreground, as a closed terminal window does.
    void hang_up();

  private:
    struct Opened {
        int fd;
        std::string terminal;
    };
    static Opened open_terminal(TerminalSize size);
    PtyProcess(std::vector<std::string> args, PtyOptions options, Opened pty);

    int fd_;
    Popen child_;
};

// Starts the child, sends `input`, collects what `capture_output` asks for
// and waits. On a time-out the child is killed and TimeoutExpired thrown.
CompletedProcess run(std::vector<std::string> args, RunOptions options = {});

// Runs the child to its end; throws CalledProcessError on a non-zero status.
int check_call(std::vector<std::string> args, RunOptions options = {});

// Runs the child with standard output captured and returns it; throws
// CalledProcessError on a non-zero status.
std::string check_output(std::vector<std::string> args, RunOptions options = {});

} // namespace quillo::process
