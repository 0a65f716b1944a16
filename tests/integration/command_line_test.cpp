// The command line: help, unknown arguments and the exit status they give.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace quillo::integration;

// Not the executable's path, to see that the help names argv[0].
const std::string kProgram = "quillo-cli";
const std::string kHelpStart = "Usage: " + kProgram + " [OPTIONS]\n\nOptions:\n";

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run_with(std::vector<std::string> args) {
    ServerProcess server({.argv0 = kProgram, .args = std::move(args)});
    std::optional<int> status = server.wait_exit();
    // A server that keeps running did not take the arguments as a command.
    return {status.value_or(-1000), server.stdout_text(), server.stderr_text()};
}

// The output of a run that showed the help: nothing but the help after the
// unknown-argument lines, and never a started server.
void expect_help_after(const Outcome& run, const std::string& unknown_lines) {
    ASSERT_FALSE(run.out.empty()) << "status " << run.status << ", stderr: " << run.err;
    EXPECT_EQ(run.out.substr(0, unknown_lines.size() + kHelpStart.size()),
              unknown_lines + kHelpStart)
        << run.out;
    EXPECT_EQ(count_of(run.out, "Usage: "), 1u) << run.out;
    EXPECT_EQ(run.out.find("Quillo Server"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_EQ(run.err, "");
}

TEST(CommandLineTest, HelpIsShownWithStatusZero) {
    for (const char* flag : {"--help", "-h"}) {
        SCOPED_TRACE(flag);
        Outcome run = run_with({flag});
        EXPECT_EQ(run.status, 0);
        expect_help_after(run, "");
        EXPECT_NE(run.out.find("  --help,   -h   Show this help message\n"), std::string::npos)
            << run.out;
    }
}

TEST(CommandLineTest, UnknownArgumentIsNamedBeforeTheHelpWithStatusOne) {
    Outcome run = run_with({"--bogus"});
    EXPECT_EQ(run.status, 1);
    expect_help_after(run, "Unknown argument: --bogus\n");
}

TEST(CommandLineTest, TheLastArgumentDecidesTheStatus) {
    Outcome help_last = run_with({"--bogus", "--help"});
    EXPECT_EQ(help_last.status, 0);
    expect_help_after(help_last, "Unknown argument: --bogus\n");

    Outcome unknown_last = run_with({"--help", "--bogus"});
    EXPECT_EQ(unknown_last.status, 1);
    expect_help_after(unknown_last, "Unknown argument: --bogus\n");
}

TEST(CommandLineTest, EmptyArgumentIsUnknown) {
    Outcome run = run_with({""});
    EXPECT_EQ(run.status, 1);
    expect_help_after(run, "Unknown argument: \n");
}

TEST(CommandLineTest, UnknownArgumentsAreListedInOrderBeforeOneHelp) {
    Outcome run = run_with({"--zeta", "-a"});
    EXPECT_EQ(run.status, 1);
    expect_help_after(run, "Unknown argument: --zeta\nUnknown argument: -a\n");
}

TEST(CommandLineTest, ArgumentsAreComparedExactly) {
    // No abbreviations, values, other cases or combined short options.
    for (const char* near_miss : {"--hel", "--help=yes", "--HELP", "-hd", "help"}) {
        SCOPED_TRACE(near_miss);
        Outcome run = run_with({near_miss});
        EXPECT_EQ(run.status, 1);
        expect_help_after(run, "Unknown argument: " + std::string(near_miss) + "\n");
    }
}

TEST(CommandLineTest, KnownStartFlagsStartTheServer) {
    ServerProcess server({.argv0 = kProgram, .args = {"--no-browser", "--no-tray"}});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    EXPECT_EQ(server.stdout_text().find("Usage: "), std::string::npos) << server.describe();
    EXPECT_EQ(server.stdout_text().find("Unknown argument"), std::string::npos)
        << server.describe();
}

// Help, status and stop are answered from the command line and the PID file
// alone: a missing module or a bad setting does not stop them, and they
// create nothing in a new user's home.
TEST(CommandLineTest, ControlCommandsNeedNoSettingsModulesOrFiles) {
    TempDir scratch;
    std::string binary = copy_build_layout(scratch.path() + "/install");
    ASSERT_TRUE(std::filesystem::remove(scratch.path() + "/install/routes/files.so"));
    std::string home = scratch.path() + "/home";
    std::filesystem::create_directory(home);
    auto run = [&](const char* arg) {
        ServerProcess command(
            {.binary = binary, .args = {arg}, .env = {{"QUILLO_PORT", "abc"}}, .home = home});
        std::optional<int> status = command.wait_exit();
        return std::pair(status.value_or(-1000), command.stdout_text() + command.stderr_text());
    };
    auto [help_status, help] = run("--help");
    EXPECT_EQ(help_status, 0) << help;
    EXPECT_EQ(run("--status"), std::pair(0, std::string("Quillo daemon is not running.\n")));
    EXPECT_EQ(run("--stop"), std::pair(1, std::string("[daemon] Quillo daemon is not running.\n")));
    EXPECT_TRUE(std::filesystem::is_empty(home)) << "no configuration, no workspace";
}

} // namespace
