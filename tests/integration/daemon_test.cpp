// Daemon mode end to end with a temporary HOME: start, status, HTTP, stop,
// refusals, stale and foreign PID files, a terminal that goes away, and the
// foreground server.log.
#include "server_process.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;

std::string pid_text(pid_t pid) {
    return std::to_string(pid);
}

class DaemonTest : public ::testing::Test {
  protected:
    DaemonTest() : port_(free_port()) {}

    // Kills a daemon that a failed test left behind, also one that could
    // not write its PID file: a daemon built with AddressSanitizer that
    // hung in the leak check at exit once kept a processor busy for an hour
    // after its test had passed.
    ~DaemonTest() override {
        std::string content = read_text(pid_file());
        if (!content.empty() && std::stoi(content) > 0) {
            ::kill(std::stoi(content), SIGKILL);
        }
        kill_processes_with_home(home_.path());
    }

    struct Outcome {
        int status;
        std::string out;
    };
    // Runs the command to its end, as a user would from a shell.
    Outcome run(std::vector<std::string> args,
                std::vector<std::pair<std::string, std::string>> env = {},
                const std::string& binary = "") {
        ServerProcess command(ServerOptions{.binary = binary,
                                            .args = std::move(args),
                                            .env = std::move(env),
                                            .port = port_,
                                            .home = home_.path()});
        std::optional<int> status = command.wait_exit(20s);
        EXPECT_TRUE(status) << command.describe();
        return {status.value_or(-1), command.stdout_text() + command.stderr_text()};
    }
    std::string pid_file() const { return home_.path() + "/.quillo/quillo.pid"; }
    // A copy of the build whose routes/<module>.so is the fixture `variant`.
    std::string build_with_fixture(const std::string& variant, const std::string& module) {
        std::string install = home_.path() + "/install";
        std::string binary = copy_build_layout(install);
        fs::copy_file(std::string(QUILLO_FIXTURES_DIR) + "/" + variant + "/" + module + ".so",
                      install + "/routes/" + module + ".so", fs::copy_options::overwrite_existing);
        return binary;
    }
    bool answers_http() const {
        http::Result res = http_client("127.0.0.1", port_).Get("/api/health");
        return res && res->status == 200;
    }

    TempDir home_;
    int port_;
};

// Signal 0 also reaches a process that has exited but that init has not
// reaped yet, which in a container can take a while.
bool process_alive(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    return ::kill(pid, 0) == 0 && stat.find(") Z ") == std::string::npos;
}

TEST_F(DaemonTest, StartStatusServeAndStop) {
    // Auto-open is allowed by the environment, yet a daemon opens no browser.
    std::string browser = home_.path() + "/browser.sh";
    write_text(browser, "#!/bin/sh\necho \"$1\" >> '" + home_.path() + "/opened'\n");
    ::chmod(browser.c_str(), 0755);
    Outcome start = run({"--daemon"}, {{"QUILLO_NO_AUTO_OPEN", ""}, {"BROWSER", browser}});
    ASSERT_EQ(start.status, 0) << start.out;
    std::string pid = read_text(pid_file());
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(pid.find_first_not_of("0123456789"), std::string::npos) << "digits alone: " << pid;
    EXPECT_EQ(start.out, "[daemon] Quillo daemon started successfully (PID " + pid + ").\n");
    pid_t daemon = std::stoi(pid);
    EXPECT_TRUE(answers_http()) << "ready means serving";

    // Detached: a session of its own that it does not lead, so it can never
    // gain a terminal; input from the null device, output to server.log.
    EXPECT_NE(::getsid(daemon), ::getsid(0));
    EXPECT_NE(::getsid(daemon), daemon);
    std::string proc = "/proc/" + pid + "/fd/";
    std::string log = home_.path() + "/.quillo/server.log";
    EXPECT_EQ(fs::read_symlink(proc + "0"), "/dev/null");
    EXPECT_EQ(fs::read_symlink(proc + "1"), log);
    EXPECT_EQ(fs::read_symlink(proc + "2"), log);
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_text(log).find("  [OK] Listening on 127.0.0.1:" + std::to_string(port_)),
              std::string::npos);

    Outcome status = run({"--status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "Quillo daemon is running (PID " + pid + ").\n");
    std::this_thread::sleep_for(700ms); // a browser would have been asked by now
    EXPECT_FALSE(fs::exists(home_.path() + "/opened"));

    // The chat service is started in the daemon itself, once it serves.
    std::string qarn = "[QARN] Auto-start result: {\"status\":\"disabled\"}\n";
    for (int i = 0; i < 150 && read_text(log).find(qarn) == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(count_of(read_text(log), qarn), 1u) << read_text(log);

    Outcome second = run({"-d"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "[daemon] Quillo daemon is already running (PID " + pid +
                              ").\n[daemon] Use --stop to stop it first.\n");

    // Neither a broken configuration nor a bad setting stands between the
    // user and the daemon control commands.
    write_text(home_.path() + "/.quillo/config.json", "{ not json");
    std::vector<std::pair<std::string, std::string>> broken = {{"QUILLO_PORT", "abc"}};
    EXPECT_EQ(run({"--status"}, broken).out, "Quillo daemon is running (PID " + pid + ").\n");
    Outcome stop = run({"--stop"}, broken);
    EXPECT_EQ(stop.status, 0);
    EXPECT_EQ(stop.out, "[daemon] Stopping Quillo daemon (PID " + pid +
                            ")...\n[daemon] Quillo daemon stopped.\n");
    EXPECT_FALSE(fs::exists(pid_file()));
    EXPECT_FALSE(process_alive(daemon));
    fs::remove(home_.path() + "/.quillo/config.json");
    EXPECT_NE(read_text(log).find("[SERVER] Received SIGTERM, shutting down gracefully..."),
              std::string::npos);

    Outcome after = run({"--status"});
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.out, "Quillo daemon is not running.\n");
    Outcome again = run({"-s"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "[daemon] Quillo daemon is not running.\n");
}

TEST_F(DaemonTest, StalePidFileIsRemovedAndTheStartGoesOn) {
    pid_t gone = ::fork();
    if (gone == 0) {
        ::_exit(0);
    }
    ::waitpid(gone, nullptr, 0);
    write_text(pid_file(), pid_text(gone) + "\n");
    Outcome start = run({"--daemon"});
    EXPECT_EQ(start.status, 0) << start.out;
    EXPECT_NE(read_text(pid_file()), pid_text(gone));
    EXPECT_EQ(run({"--stop"}).status, 0);
}

TEST_F(DaemonTest, StopGivesUpOnAProcessThatIgnoresTerm) {
    pid_t stubborn = ::fork();
    if (stubborn == 0) {
        ::prctl(PR_SET_NAME, "quillo"); // only a Quillo server is signalled
        ::signal(SIGTERM, SIG_IGN);
        while (true) {
            ::pause();
        }
    }
    for (int i = 0; i < 200 && read_text("/proc/" + pid_text(stubborn) + "/comm") != "quillo\n";
         ++i) {
        std::this_thread::sleep_for(10ms);
    }
    write_text(pid_file(), pid_text(stubborn));
    Outcome stop = run({"--stop"});
    ::kill(stubborn, SIGKILL);
    ::waitpid(stubborn, nullptr, 0);
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.out, "[daemon] Stopping Quillo daemon (PID " + pid_text(stubborn) +
                            ")...\n[daemon] Quillo daemon did not stop within 10 seconds (PID " +
                            pid_text(stubborn) + ").\n");
    EXPECT_EQ(read_text(pid_file()), pid_text(stubborn)) << "the PID file is kept";
    fs::remove(pid_file());
}

// The invoking command reports what became of the daemon's start, and exits
// 1 when it failed; the PID file is gone by the time it returns.
TEST_F(DaemonTest, AFailedStartIsReportedAsAFailure) {
    {
        ListeningSocket busy("127.0.0.1", port_);
        Outcome start = run({"--daemon"});
        EXPECT_EQ(start.status, 1);
        EXPECT_EQ(start.out, "[daemon] Failed to start: No servers could be started\n");
        EXPECT_FALSE(fs::exists(pid_file()));
        EXPECT_NE(read_text(home_.path() + "/.quillo/server.log")
                      .find("[ERROR] No servers could be started. Exiting."),
                  std::string::npos);
    }
    // ~/.quillo is a file, so the daemon cannot write its PID file there.
    fs::remove_all(home_.path() + "/.quillo");
    write_text(home_.path() + "/.quillo", "in the way");
    Outcome start = run({"--daemon"}, {{"QUILLO_CONFIG_DIR", home_.path() + "/config"}});
    EXPECT_EQ(start.status, 1);
    EXPECT_NE(start.out.find("[daemon] Failed to start: "), std::string::npos) << start.out;
    EXPECT_NE(start.out.find(home_.path() + "/.quillo"), std::string::npos) << start.out;
    fs::remove(home_.path() + "/.quillo");
}

TEST_F(DaemonTest, ADaemonThatDiesBeforeReportingIsNotConfirmed) {
    std::string binary = build_with_fixture("git_helper_exits", "git");
    Outcome start = run({"--daemon"}, {}, binary);
    EXPECT_EQ(start.status, 0);
    EXPECT_EQ(start.out,
              "[daemon] Daemon may have started but did not confirm. Check server.log.\n");
}

// Files the daemon's modules create follow the mask it was started with,
// even a mask of 0, while its own state in ~/.quillo (the PID file and
// server.log; the configuration directory is elsewhere here) is the
// owner's alone.
TEST_F(DaemonTest, CreatedFilesFollowTheUsersMaskButItsOwnStateIsPrivate) {
    std::string binary = build_with_fixture("run_child", "run");
    mode_t old_mask = ::umask(0);
    Outcome start = run({"--daemon"}, {{"QUILLO_CONFIG_DIR", home_.path() + "/config"}}, binary);
    ::umask(old_mask);
    ASSERT_EQ(start.status, 0) << start.out;
    std::string file = home_.path() + "/quillo_workspace/notes.txt";
    http::Result res = http_client("127.0.0.1", port_).Post("/api/run/create", file, "text/plain");
    ASSERT_TRUE(res && res->status == 200) << (res ? res->body : http::to_string(res.error()));
    auto mode_of = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    EXPECT_EQ(mode_of(home_.path() + "/.quillo"), 0700u);
    EXPECT_EQ(mode_of(pid_file()), 0600u);
    EXPECT_EQ(mode_of(home_.path() + "/.quillo/server.log"), 0600u);
    EXPECT_EQ(run({"--stop"}).status, 0);

    EXPECT_EQ(mode_of(file), 0666u);
    EXPECT_EQ(mode_of(file + ".d"), 0777u);
}

TEST_F(DaemonTest, ZeroOrNegativePidIsNoDaemonAndNeverSignalled) {
    for (const char* content : {"0", "-1"}) {
        write_text(pid_file(), content);
        Outcome status = run({"--status"});
        EXPECT_EQ(status.out, "Quillo daemon is not running.\n") << content;
        Outcome stop = run({"--stop"});
        EXPECT_EQ(stop.status, 1) << content;
        EXPECT_EQ(read_text(pid_file()), content) << "left in place";
    }
    fs::remove(pid_file());
}

// The daemon is started from a shell on a pseudo-terminal, which is then
// closed: the shell gets SIGHUP, the daemon (in a session of its own) does not.
TEST_F(DaemonTest, SurvivesTheTerminalItWasStartedFrom) {
    std::vector<std::string> env = server_environment(home_.path(), port_, "127.0.0.1");
    std::string command = default_binary() + " --daemon && exec sleep 60";
    std::vector<std::string> argv = {"/bin/sh", "-c", command};
    std::vector<char*> c_argv, c_env;
    for (std::string& a : argv) {
        c_argv.push_back(a.data());
    }
    c_argv.push_back(nullptr);
    for (std::string& e : env) {
        c_env.push_back(e.data());
    }
    c_env.push_back(nullptr);

    int master = -1;
    pid_t shell = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (shell < 0) {
        GTEST_SKIP() << "no pseudo-terminals on this machine: " << std::strerror(errno);
    }
    if (shell == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve("/bin/sh", c_argv.data(), c_env.data());
        ::_exit(127);
    }
    // Whatever happens below, the shell does not outlive the test.
    std::unique_ptr<void, std::function<void(void*)>> reaper(&shell, [&](void*) {
        if (master >= 0) {
            ::close(master);
        }
        if (shell > 0) {
            ::kill(shell, SIGKILL);
            ::waitpid(shell, nullptr, 0);
        }
    });
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (seen.find("started successfully") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd readable{master, POLLIN, 0};
        char buffer[256];
        ssize_t n = ::poll(&readable, 1, 100) > 0 ? ::read(master, buffer, sizeof buffer) : 0;
        if (n < 0) {
            break;
        }
        seen.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_NE(seen.find("[daemon] Quillo daemon started successfully"), std::string::npos) << seen;
    ::close(master); // the terminal goes away
    master = -1;
    int status = 0;
    ::waitpid(shell, &status, 0);
    shell = -1;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << "the shell was hung up";

    std::this_thread::sleep_for(300ms);
    pid_t daemon = std::stoi(read_text(pid_file()));
    EXPECT_TRUE(process_alive(daemon));
    EXPECT_TRUE(answers_http());
    Outcome stop = run({"--stop"});
    EXPECT_EQ(stop.status, 0) << stop.out;
    EXPECT_FALSE(fs::exists(pid_file()));
}

TEST(ForegroundLogTest, ServerLogHoldsWhatTheConsoleShows) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    // An error report on standard error and a print from a request thread;
    // a line feed in the path cannot forge a line of its own.
    http_client(server.host(), server.port()).Post("/", "x", "text/plain");
    ASSERT_TRUE(server.wait_for_stderr("[ERROR] POST /")) << server.describe();
    http_client(server.host(), server.port())
        .Get("/x%0a[OK]%20forged",
             {{"Referer", "http://127.0.0.1/api/browser/proxy?url=http%3A%2F%2Fexample.com%2F"}});
    ASSERT_TRUE(server.wait_for_output("[PROXY FALLBACK] Redirecting escaped /x\\n[OK] forged"))
        << server.describe();
    server.send_signal(SIGTERM);
    ASSERT_EQ(server.wait_exit(), 0) << server.describe();

    std::string log = read_text(server.config_dir() + "/server.log");
    std::string console = server.stdout_text();
    EXPECT_EQ(log.find("\n--- Quillo Server starting at "), 0u);
    for (const std::string& line : split_lines(console)) {
        EXPECT_NE(log.find(line + "\n"), std::string::npos) << "missing from server.log: " << line;
    }
    EXPECT_NE(log.find("[ERROR] POST /"), std::string::npos);
    EXPECT_EQ(log.find("\n[OK] forged"), std::string::npos) << log;
    EXPECT_NE(log.find("[SERVER] Received SIGTERM, shutting down gracefully...\n"),
              std::string::npos);
    // Each console line also went to log_write once, without its line feed.
    std::string quillo_log = read_text(server.config_dir() + "/quillo.log");
    std::string listening =
        "  [OK] Listening on 127.0.0.1:" + std::to_string(server.port()) + " (IPv4)";
    EXPECT_EQ(count_log_lines(quillo_log, listening), 1u) << quillo_log;
}

} // namespace
