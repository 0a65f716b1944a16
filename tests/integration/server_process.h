// The integration tests' harness: the built server started as a child process
// with a private home directory, its console captured to files, and a few
// socket helpers. Everything it contacts is on loopback.
#pragma once

#include "http_client.h"
#include "temp_dir.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace quillo::integration {

using quillo::testing::TempDir;
namespace http = quillo::testing::http;

using namespace std::chrono_literals;

// The build directory's server executable.
std::string default_binary();

// A TCP port that was free on 127.0.0.1 a moment ago (bound to port 0, read,
// closed). Good enough for tests that each take their own.
int free_port();

// True when a socket can be bound to `host` (an IPv6 text when it contains a
// ':') on some port of this machine.
bool can_bind(const std::string& host);

// 0 when a TCP connection to host:port succeeds, otherwise the errno of the
// failed connect (ECONNREFUSED for a closed port).
int connect_error(const std::string& host, int port);

// A program a test runs beside the server (a site, a git remote), found on
// PATH and given the test's environment; sent `stop_signal` and reaped when
// it goes away. Throws std::runtime_error when it cannot start.
class HelperProgram {
  public:
    explicit HelperProgram(std::vector<std::string> args, int stop_signal);
    ~HelperProgram();
    HelperProgram(const HelperProgram&) = delete;
    HelperProgram& operator=(const HelperProgram&) = delete;

    // Waits up to 10 s for it to accept connections on 127.0.0.1:port.
    bool wait_for_port(int port) const;

  private:
    pid_t pid_ = -1;
    int stop_signal_;
};

// A TCP connection from this process to 127.0.0.1:port; closed by the
// destructor.
class ClientSocket {
  public:
    explicit ClientSocket(int port);
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;
    int fd() const { return fd_; }
    bool connected() const { return connected_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// A socket listening on host:port (port 0: any). Closed by the destructor.
class ListeningSocket {
  public:
    ListeningSocket(const std::string& host, int port);
    ~ListeningSocket();
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// The whole content of a file; empty when it cannot be read.
std::string read_text(const std::string& path);
// Writes `content` to `path`, creating the parent directories.
void write_text(const std::string& path, const std::string& content);
// Kills (SIGKILL) every process of this user whose environment holds
// HOME=`home`, other than the caller: what a test started under its own
// home, also a daemon that left no PID file. Returns how many were killed.
int kill_processes_with_home(const std::string& home);

// A number from /proc/<pid>/status ("Threads", "VmRSS" in kB), or -1.
long proc_status_number(pid_t pid, const std::string& field);

// Splits at '\n'; a final line feed does not add an empty line.
std::vector<std::string> split_lines(const std::string& text);
// How many times `needle` occurs in `text` (not overlapping).
size_t count_of(const std::string& text, const std::string& needle);
// How many lines of quillo.log's `log_text` hold exactly `message` after
// their time stamp ("2026-12-08T21:54:56.614+00:00 <message>").
size_t count_log_lines(const std::string& log_text, const std::string& message);

// Copies the server as the build lays it out (quillo, routes/,
// qarn_service.so, static/) into `directory`, so that a test can alter the
// copy. Returns the path of the copied executable.
std::string copy_build_layout(const std::string& directory);

struct ServerOptions {
    std::string binary{};                                   // empty: default_binary()
    std::string argv0{};                                    // empty: the binary's path
    std::vector<std::string> args{};                        // after argv[0]
    std::vector<std::pair<std::string, std::string>> env{}; // set last, so they override
    std::string host = "127.0.0.1";                         // QUILLO_HOST
    int port = 0;                                           // QUILLO_PORT; 0: free_port()
    std::string home{};                                     // empty: a fresh one of its own
    // RLIMIT_FSIZE of the server: a write that would grow a file past it
    // fails, even for root.
    std::optional<rlim_t> file_size_limit{};
    // Takes CAP_DAC_OVERRIDE out of the server's bounding set, so that a
    // server run by root is held to file modes like any user (a 0444 file
    // cannot be opened for writing). Starting fails when root cannot drop it.
    bool without_dac_override = false;
};

// The environment a server under test gets: the test's own without any
// QUILLO_* variable, plus HOME, QUILLO_CONFIG_DIR=<home>/.quillo,
// QUILLO_PORT, QUILLO_HOST, QUILLO_NO_AUTO_OPEN=1 and QUILLO_NO_TRAY=1,
// plus `extra`, as NAME=value texts.
std::vector<std::string>
server_environment(const std::string& home, int port, const std::string& host,
                   const std::vector<std::pair<std::string, std::string>>& extra = {});

// One run of the server, in server_environment() plus `env`. Standard output and standard error go
// to files in the process's temporary directory; standard input is /dev/null. The destructor kills
// a child that still runs, reaps it and removes the temporary directory; a ThreadSanitizer report
// of the server on its standard error or in server.log fails the running test.
class ServerProcess {
  public:
    explicit ServerProcess(ServerOptions options = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& host() const { return host_; }
    const std::string& home() const { return home_; }
    std::string config_dir() const { return home_ + "/.quillo"; }
    std::string workspace() const { return home_ + "/quillo_workspace"; }

    std::string stdout_text() const;
    std::string stderr_text() const;
    // Both streams, labelled, for failure messages.
    std::string describe() const;

    // True once standard output (or error) contains `text`; false when the
    // time-out passes or the process ends without printing it.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 10s);
    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // Waits for the first "[OK] Listening" line.
    bool wait_until_listening(std::chrono::milliseconds timeout = 10s);

    // Throws once the process has been reaped (by is_running, wait_exit or
    // a wait_for_* that saw it end); an ended but unreaped one ignores it.
    void send_signal(int signum);
    bool is_running();
    // The exit code, or minus the signal number for a process killed by a
    // signal; nothing when the process still runs after `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s);

  private:
    bool wait_for(const std::string& file, const std::string& text,
                  std::chrono::milliseconds timeout);
    bool reap(bool block);

    TempDir dir_;
    std::string home_;
    std::string host_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::optional<int> status_; // the decoded exit status once reaped
};

// A client for host:port with connection and read time-outs of a few
// seconds. IPv6 hosts are given without brackets ("::1").
http::Client http_client(const std::string& host, int port);

// What came back on a raw connection, split at the first blank line.
struct RawResponse {
    std::string status_line; // without the CRLF; empty when nothing came
    std::string head;        // the header lines, CRLF-separated
    std::string body;
};

// Sends `request` as written on a new connection and reads until the server
// closes it or `timeout` passes without data.
RawResponse raw_exchange(const std::string& host, int port, const std::string& request,
                         std::chrono::milliseconds timeout = 5s);

} // namespace quillo::integration
