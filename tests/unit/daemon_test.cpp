#include "daemon/daemon.h"
#include "temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillo::daemon;

namespace {

TEST(PidFileTest, OnlyPositiveDecimalNumbersAreProcessIds) {
    EXPECT_EQ(parse_pid("4242"), 4242);
    EXPECT_EQ(parse_pid("  4242\n"), 4242);
    EXPECT_EQ(parse_pid("+17"), 17);
    for (const char* bad : {"0", "-1", "-4242", "", " \n", "abc", "12a", "1 2", "0x10",
                            "99999999999999999999", "\xff\xfe"}) {
        EXPECT_EQ(parse_pid(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(pid_file_path("/home/u"), "/home/u/.quillo/quillo.pid");
}

pid_t dead_process_id() {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST(DaemonStatusTest, StaleFilesGoAndUnreadableOnesStay) {
    quillo::testing::TempDir dir;
    std::string pid_file = dir.file("quillo.pid");
    EXPECT_FALSE(daemon_status(pid_file).running) << "no file";

    dir.write("quillo.pid", std::to_string(::getpid()) + "\n");
    DaemonStatus alive = daemon_status(pid_file);
    EXPECT_TRUE(alive.running);
    EXPECT_EQ(alive.pid, ::getpid());

    dir.write("quillo.pid", std::to_string(dead_process_id()));
    EXPECT_FALSE(daemon_status(pid_file).running);
    EXPECT_FALSE(std::filesystem::exists(pid_file)) << "a stale file is removed";

    // Exited but not reaped (init in a container may reap late or never).
    pid_t zombie = ::fork();
    if (zombie == 0) {
        ::_exit(0);
    }
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    dir.write("quillo.pid", std::to_string(zombie));
    EXPECT_FALSE(daemon_status(pid_file).running) << "a zombie is no daemon";
    ::waitpid(zombie, nullptr, 0);

    for (const char* content : {"not a pid", "0", "-1", ""}) {
        dir.write("quillo.pid", content);
        EXPECT_FALSE(daemon_status(pid_file).running) << content;
        EXPECT_TRUE(std::filesystem::exists(pid_file)) << content;
        std::ostringstream out;
        EXPECT_EQ(daemon_stop(pid_file, out), 1) << content;
        EXPECT_EQ(out.str(), "[daemon] Quillo daemon is not running.\n");
    }
}

TEST(DaemonStartTest, WindowsIsRefusedBeforeAnythingHappens) {
    std::ostringstream out;
    EXPECT_EQ(daemon_start("/nonexistent/quillo.pid", quillo::utils::Platform::Windows, out), 1);
    EXPECT_EQ(out.str(),
              "[daemon] Daemon mode is not supported on Windows. Use foreground mode instead.\n");
}

} // namespace
