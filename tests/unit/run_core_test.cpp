// The run module's parts that need neither children nor sockets: the kept
// output, what runs a file, the end message.
#include "children.h"
#include "launch_plan.h"
#include "output_channel.h"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quillo::run {
namespace {

using Strings = std::vector<std::string>;

TEST(OutputRingTest, KeepsTheLatestBytesInOrderWhateverThePieces) {
    std::string written;
    for (char c = 'a'; written.size() < 5000; c = c == 'z' ? 'a' : static_cast<char>(c + 1)) {
        written += c;
    }
    for (size_t piece : {1u, 7u, 100u, 999u, 1000u, 4096u}) {
        OutputRing ring(1000);
        for (size_t at = 0; at < written.size(); at += piece) {
            ring.append(std::string_view(written).substr(at, piece));
            size_t total = std::min(at + piece, written.size());
            size_t kept = std::min<size_t>(total, 1000);
            ASSERT_EQ(ring.contents(), written.substr(total - kept, kept))
                << "pieces of " << piece << ", after " << total;
        }
    }
    // Once something was dropped, a replay starts at a line's beginning.
    OutputRing ring(16);
    ring.append("first line\nsecond\n");
    EXPECT_EQ(ring.contents(), "second\n");
    OutputRing small(16);
    small.append("one\ntwo\n");
    EXPECT_EQ(small.contents(), "one\ntwo\n") << "nothing dropped, nothing cut";
}

TEST(LaunchPlanTest, TheFileKindChoosesInterpreterOrCompiler) {
    EXPECT_EQ(plan_launch("/w/a.py", {"x"}, false, "/b").command,
              (Strings{"python3", "-u", "/w/a.py", "x"}));
    EXPECT_EQ(plan_launch("/w/A.PY", {}, false, "/b").command.front(), "python3");
    EXPECT_EQ(plan_launch("/w/a.mjs", {}, false, "/b").command, (Strings{"node", "/w/a.mjs"}));
    EXPECT_EQ(plan_launch("/w/a.sh", {}, true, "/b").command, (Strings{"bash", "/w/a.sh"}));
    LaunchPlan c = plan_launch("/w/a.c", {"1"}, false, "/b");
    EXPECT_EQ(c.compile, (Strings{"cc", "-o", "/b/program", "/w/a.c"}));
    EXPECT_EQ(c.command, (Strings{"/b/program", "1"}));
    EXPECT_EQ(plan_launch("/w/a.cc", {}, false, "/b").compile.at(1), "-std=c++20");

    // Anything else runs only with its execute bit, as itself.
    EXPECT_EQ(plan_launch("/w/tool", {"-v"}, true, "/b").command, (Strings{"/w/tool", "-v"}));
    EXPECT_EQ(plan_launch("/w/.py", {}, true, "/b").command, (Strings{"/w/.py"}))
        << "a name that only starts with a dot has no extension";
    EXPECT_THROW(plan_launch("/w/notes.txt", {}, false, "/b"), NotRunnable);
    EXPECT_THROW(plan_launch("/w.d/notes", {}, false, "/b"), NotRunnable);
}

TEST(ExitMessageTest, AStatusOrASignalNeverBoth) {
    EXPECT_EQ(nlohmann::json::parse(exit_message(3, 1200)),
              nlohmann::json(
                  {{"type", "exit"}, {"code", 3}, {"signal", nullptr}, {"duration_ms", 1200}}));
    EXPECT_EQ(nlohmann::json::parse(exit_message(-SIGKILL, std::nullopt)),
              nlohmann::json({{"type", "exit"}, {"code", nullptr}, {"signal", "SIGKILL"}}));
}

} // namespace
} // namespace quillo::run
