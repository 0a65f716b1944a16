// Real child processes through the process API: decoding, errors, time-outs,
// and the clean state every child starts with.
#include "output/encoding.h"
#include "quillo/process.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quillo::process;
using namespace std::chrono_literals;

namespace {

RunOptions captured(bool text) {
    RunOptions options;
    options.capture_output = true;
    if (text) {
        options.text = Scalar(true);
    }
    return options;
}

std::vector<std::string> shell(const std::string& script) {
    return {"/bin/sh", "-c", script};
}

TEST(ProcessTest, TextModeReplacesUndecodableBytesAndTranslatesLineEnds) {
    std::vector<std::string> args = shell("printf 'ok \\377 end\\r\\nnext'");
    EXPECT_EQ(run(args, captured(true)).stdout_data, "ok \xEF\xBF\xBD end\nnext");
    EXPECT_EQ(run(args, captured(false)).stdout_data, "ok \xff end\r\nnext") << "binary mode";

    RunOptions latin1 = captured(false);
    latin1.encoding = std::string("latin1");
    EXPECT_EQ(run(shell("printf 'caf\\351'"), latin1).stdout_data, "café");

    RunOptions strict = captured(true);
    strict.errors = std::string("strict"); // the caller's choice is kept
    EXPECT_THROW(run(args, strict), quillo::output::EncodingError);
}

TEST(ProcessTest, FailuresAreErrorsWithClearMessages) {
    try {
        check_output(shell("echo out; exit 3"));
        FAIL() << "no error";
    } catch (const CalledProcessError& e) {
        EXPECT_EQ(e.returncode, 3);
        EXPECT_EQ(e.output, "out\n");
        EXPECT_STREQ(e.what(), "Command '/bin/sh -c 'echo out; exit 3'' returned non-zero exit "
                               "status 3.");
    }
    EXPECT_THROW(check_call({"false"}), CalledProcessError);
    EXPECT_EQ(check_call({"true"}), 0);

    try {
        run({"quillo-no-such-program", "x"});
        FAIL() << "no error";
    } catch (const ProgramNotFound& e) {
        EXPECT_STREQ(e.what(), "[Errno 2] No such file or directory: 'quillo-no-such-program'");
    }

    RunOptions slow;
    slow.timeout = 100ms;
    auto started = std::chrono::steady_clock::now();
    try {
        run({"sleep", "5"}, slow);
        FAIL() << "no time-out";
    } catch (const TimeoutExpired& e) {
        EXPECT_STREQ(e.what(), "Command 'sleep 5' timed out after 0.1 seconds");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << "the child was killed";
}

TEST(ProcessTest, InputReachesTheChildAndPopenCanBePolled) {
    RunOptions with_input = captured(true);
    with_input.input = "hello\n";
    CompletedProcess cat = run({"cat"}, with_input);
    EXPECT_EQ(cat.returncode, 0);
    EXPECT_EQ(cat.stdout_data, "hello\n");

    LaunchOptions quiet;
    quiet.stdout_mode = Stream::pipe;
    Popen child({"sh", "-c", "sleep 0.2; echo done"}, quiet);
    EXPECT_EQ(child.poll(), std::nullopt);
    EXPECT_EQ(child.communicate().first, "done\n");
    EXPECT_EQ(child.returncode(), 0);

    Popen killed({"sleep", "5"});
    killed.kill();
    EXPECT_EQ(killed.wait(), -SIGKILL);
}

// The SigIgn mask of a /proc/<pid>/status text, less glibc's two reserved
// real-time signals (32 and 33): its posix_spawn leaves those ignored in
// every child, and glibc programs take them over on their own.
unsigned long long ignored_signals(const std::string& status) {
    size_t at = status.find("SigIgn:\t");
    if (at == std::string::npos) {
        return ~0ULL;
    }
    return std::stoull(status.substr(at + 8, 16), nullptr, 16) & ~0x180000000ULL;
}

// The server blocks and ignores signals and holds sockets; none of that may
// reach a child.
TEST(ProcessTest, ChildrenStartWithDefaultSignalsAndOnlyTheStandardStreams) {
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
    struct sigaction ignore {
    }, old_pipe{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old_pipe);
    int inheritable_socket = ::socket(AF_INET, SOCK_STREAM, 0); // no close-on-exec

    // Each report comes from the spawned process itself ("exec"): a shell's
    // own mask is briefly all-blocked while it forks a command.
    std::string report =
        run(shell("exec grep -E '^Sig(Blk|Ign)' /proc/self/status"), captured(true)).stdout_data;
    std::string descriptors = run(shell("exec ls -l /proc/self/fd"), captured(true)).stdout_data;

    ::close(inheritable_socket);
    ::sigaction(SIGPIPE, &old_pipe, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    EXPECT_NE(report.find("SigBlk:\t0000000000000000\n"), std::string::npos) << report;
    EXPECT_EQ(ignored_signals(report), 0u) << report;
    EXPECT_EQ(descriptors.find("socket:"), std::string::npos) << descriptors;
}

} // namespace
