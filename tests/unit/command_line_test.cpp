#include "server/command_line.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace quillo::server;

namespace {

TEST(CommandLine, NoArgumentsIsAPlainForegroundStart) {
    CommandLine cl = scan_command_line({});
    EXPECT_FALSE(cl.flags.show_help || cl.flags.daemon_mode || cl.flags.stop_daemon ||
                 cl.flags.check_status || cl.flags.no_browser || cl.flags.no_tray);
    EXPECT_TRUE(cl.unknown.empty());
}

TEST(CommandLine, EveryAliasSetsItsFlagAndOnlyIt) {
    EXPECT_TRUE(scan_command_line({"-d"}).flags.daemon_mode);
    EXPECT_TRUE(scan_command_line({"--daemon"}).flags.daemon_mode);
    EXPECT_TRUE(scan_command_line({"-s"}).flags.stop_daemon);
    EXPECT_TRUE(scan_command_line({"--status"}).flags.check_status);
    EXPECT_TRUE(scan_command_line({"--no-open"}).flags.no_browser);
    EXPECT_TRUE(scan_command_line({"--no-browser"}).flags.no_browser);

    CommandLine headless = scan_command_line({"--headless"});
    EXPECT_TRUE(headless.flags.no_tray);
    EXPECT_FALSE(headless.flags.no_browser) << "--headless only turns the tray off";
    EXPECT_FALSE(headless.flags.show_help);
}

TEST(CommandLine, ComparisonsAreExactAndCaseSensitive) {
    for (const char* arg : {"--Daemon", "--daemon=1", "-ds", "--stat", "-H", ""}) {
        CommandLine cl = scan_command_line({arg});
        EXPECT_TRUE(cl.flags.show_help) << arg;
        EXPECT_FALSE(cl.flags.daemon_mode) << arg;
        ASSERT_EQ(cl.unknown.size(), 1u) << arg;
        EXPECT_EQ(cl.unknown[0], arg);
    }
}

TEST(CommandLine, UnknownArgumentsAreKeptInOrderAndScanningGoesOn) {
    CommandLine cl = scan_command_line({"one", "--no-tray", "two"});
    EXPECT_EQ(cl.unknown, (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(cl.flags.no_tray);
}

TEST(CommandLine, HelpExitStatusFollowsTheLastArgument) {
    EXPECT_EQ(help_exit_status(scan_command_line({"--help"})), 0);
    EXPECT_EQ(help_exit_status(scan_command_line({"-h"})), 0);
    EXPECT_EQ(help_exit_status(scan_command_line({"--bogus", "--help"})), 0);
    EXPECT_EQ(help_exit_status(scan_command_line({"--help", "--bogus"})), 1);
    EXPECT_EQ(help_exit_status(scan_command_line({"--bogus"})), 1);
    EXPECT_EQ(help_exit_status(scan_command_line({"--help", "--status"})), 1);
}

TEST(CommandLine, HelpTextNamesTheProgramAsInvoked) {
    std::string text = help_text("./build/quillo");
    EXPECT_EQ(text.rfind("Usage: ./build/quillo [OPTIONS]\n\nOptions:\n", 0), 0u);
    EXPECT_NE(text.find("\n  --help,   -h   Show this help message\n\n"), std::string::npos);
    EXPECT_EQ(text.find("--no-open"), std::string::npos);
    EXPECT_EQ(text.find("--headless"), std::string::npos);
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(lines, 13u);
    EXPECT_NE(
        text.find(
            "\nthe browser, and starts a system-tray icon if the tray module is\ninstalled.\n"),
        std::string::npos);
}

} // namespace
