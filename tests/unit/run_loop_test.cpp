#include "server/run_loop.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace quillo;
using namespace quillo::server;

namespace {

TEST(Signals, WindowsHasNoHangupSignal) {
    EXPECT_EQ(signals_to_handle(utils::Platform::Linux), (std::vector<int>{SIGTERM, SIGHUP}));
    EXPECT_EQ(signals_to_handle(utils::Platform::MacOS), (std::vector<int>{SIGTERM, SIGHUP}));
    EXPECT_EQ(signals_to_handle(utils::Platform::Windows), (std::vector<int>{SIGTERM}));
    EXPECT_EQ(signal_name(SIGTERM), "SIGTERM");
    EXPECT_EQ(signal_name(SIGHUP), "SIGHUP");
}

TEST(Signals, FirstSignalPrintsLogsAndSetsTheEventLaterOnesStaySilent) {
    ShutdownEvent event;
    std::ostringstream out;
    std::vector<std::string> logged;
    auto log = [&](std::string_view line) { logged.emplace_back(line); };

    handle_signal(SIGTERM, event, out, log);
    handle_signal(SIGHUP, event, out, log);

    EXPECT_TRUE(event.is_set());
    EXPECT_EQ(out.str(), "\n[SERVER] Received SIGTERM, shutting down gracefully...\n");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "[SERVER] Received SIGTERM, shutting down gracefully. This may be "
                         "systemd-logind killing user processes on SSH disconnect. To prevent "
                         "this, run: loginctl enable-linger $USER");
}

TEST(Signals, EventSetByAnotherThreadEndsTheRunLoop) {
    ShutdownEvent event;
    std::ostringstream out;
    std::thread setter([&] { event.set(); });
    run_until_shutdown(event, {SIGTERM}, out, [](std::string_view) {});
    setter.join();
    EXPECT_TRUE(event.is_set());
    EXPECT_TRUE(event.wait(0));
    EXPECT_EQ(out.str(), "");
}

} // namespace
