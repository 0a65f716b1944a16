#include "server/run_loop.h"

#include <atomic>
#include <chrono>
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
    std::atomic<bool> loop_returned{false};
    bool returned_before_the_event = true;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        returned_before_the_event = loop_returned.load();
        event.set();
    });
    run_until_shutdown(event, {SIGTERM}, out, [](std::string_view) {});
    loop_returned = true;
    setter.join();
    EXPECT_FALSE(returned_before_the_event) << "the loop must wait for the event";
    EXPECT_TRUE(event.is_set());
    EXPECT_EQ(out.str(), "");
}

} // namespace
