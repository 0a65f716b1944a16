#include "daemon/daemon.h"
#include "temp_dir.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// A scripted system: each probe of the process answers the next state in
// `states` (the last one repeats); every call is counted.
struct ScriptedProbe {
    enum State { Alive, Reaped, Zombie };
    std::vector<State> states;
    size_t probes = 0, sleeps = 0, terms = 0;

    ProcessProbe probe() {
        ProcessProbe p;
        p.send_signal = [this](pid_t, int signum) {
            terms += signum == SIGTERM;
            return 0; // the signal always arrives: the race is in the stat
        };
        p.read_stat = [this](pid_t) -> ProcessProbe::Stat {
            State state = states[std::min(probes++, states.size() - 1)];
            if (state == Reaped) {
                return {ProcessProbe::Stat::Entry::Missing, {}};
            }
            return {ProcessProbe::Stat::Entry::Read,
                    std::string("77 (quillo) ") + (state == Zombie ? "Z" : "S") + " 1 77"};
        };
        p.sleep = [this](std::chrono::milliseconds) { ++sleeps; };
        p.server_names = {"quillo"};
        return p;
    }
};

std::string stop_with(ScriptedProbe& script, int& status) {
    quillo::testing::TempDir dir;
    dir.write("quillo.pid", "77");
    std::ostringstream out;
    status = daemon_stop(dir.file("quillo.pid"), out, script.probe());
    EXPECT_EQ(std::filesystem::exists(dir.file("quillo.pid")), status == 1);
    return out.str();
}

TEST(DaemonStopTest, TheVerdictIsTheLastProbesAndAVanishedProcessIsGone) {
    const std::string stopping = "[daemon] Stopping Quillo daemon (PID 77)...\n";
    int status = -1;
    // Signal 0 still reaches it, then it is reaped before its stat is read.
    ScriptedProbe reaped{{ScriptedProbe::Alive, ScriptedProbe::Reaped}};
    EXPECT_EQ(stop_with(reaped, status), stopping + "[daemon] Quillo daemon stopped.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(reaped.terms, 1u);
    EXPECT_EQ(reaped.sleeps, 0u);

    ScriptedProbe zombie{
        {ScriptedProbe::Alive, ScriptedProbe::Alive, ScriptedProbe::Alive, ScriptedProbe::Zombie}};
    EXPECT_EQ(stop_with(zombie, status), stopping + "[daemon] Quillo daemon stopped.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(zombie.sleeps, 2u);

    // Alive at each of the 100 checks, reaped right after: the loop's own
    // answer stands, no late probe overrules it.
    std::vector<ScriptedProbe::State> states(101, ScriptedProbe::Alive);
    states.push_back(ScriptedProbe::Reaped);
    ScriptedProbe stubborn{states};
    EXPECT_EQ(stop_with(stubborn, status),
              stopping + "[daemon] Quillo daemon did not stop within 10 seconds (PID 77).\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(stubborn.probes, 101u) << "the status check and 100 checks";
    EXPECT_EQ(stubborn.sleeps, 100u);
}

// A child of this test that runs under `name` until it is killed.
pid_t child_named(const char* name) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_NAME, name);
        while (true) {
            ::pause();
        }
    }
    return pid;
}

// What a crash followed by PID reuse leaves: a PID file naming a live
// process of another program. It is never signalled.
TEST(DaemonStatusTest, APidFileNamingAnotherProgramIsStale) {
    quillo::testing::TempDir dir;
    std::string pid_file = dir.file("quillo.pid");
    ProcessProbe probe = system_probe();
    probe.server_names = {"quillo"};
    pid_t server = child_named("quillo");
    pid_t other = child_named("editor");
    // The name is set by the child itself: wait until it shows.
    auto named = [](pid_t pid, const std::string& name) {
        for (int i = 0; i < 200; ++i) {
            ProcessProbe::Stat stat = system_probe().read_stat(pid);
            if (stat.text.find("(" + name + ")") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    ASSERT_TRUE(named(server, "quillo") && named(other, "editor"));

    dir.write("quillo.pid", std::to_string(server));
    EXPECT_TRUE(daemon_status(pid_file, probe).running);

    dir.write("quillo.pid", std::to_string(other));
    EXPECT_FALSE(daemon_status(pid_file, probe).running);
    EXPECT_FALSE(std::filesystem::exists(pid_file)) << "removed as stale";

    dir.write("quillo.pid", std::to_string(other));
    std::ostringstream out;
    EXPECT_EQ(daemon_stop(pid_file, out, probe), 1);
    EXPECT_EQ(out.str(), "[daemon] Quillo daemon is not running.\n");
    EXPECT_EQ(probe_process(other, probe, false), ProcessState::Other) << "not signalled";

    for (pid_t child : {server, other}) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}

} // namespace
