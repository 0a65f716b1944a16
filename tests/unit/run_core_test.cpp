// The run module's parts that need neither children nor real sockets: the
// kept output and its flow to a socket, what runs a file, the end message.
#include "children.h"
#include "launch_plan.h"
#include "output_channel.h"
#include "socket_protocol.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace quillo::run {
namespace {

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

// A socket that records what it was sent: binary messages as one text.
class RecordingSocket : public WebSocket {
  public:
    bool send(std::string message, Kind kind) override {
        std::lock_guard<std::mutex> lock(mutex_);
        (kind == Kind::Binary ? output_ : text_) += message;
        return true;
    }
    void close(int code, std::string) override { close_code_ = code; }
    bool is_open() const override { return close_code_ == 0; }
    std::string output() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    int close_code() const { return close_code_; }

  private:
    mutable std::mutex mutex_;
    std::string output_;
    std::string text_;
    std::atomic<int> close_code_{0};
};

// publish() on a thread of its own, as a child's reader calls it. The
// channel is shared, so that a publish that never returns fails the test
// instead of hanging it.
class Publisher {
  public:
    Publisher(std::shared_ptr<OutputChannel> channel, std::string bytes) {
        std::thread([channel, bytes, done = done_] {
            channel->publish(bytes);
            *done = true;
        }).detach();
    }
    bool returns_within(std::chrono::milliseconds timeout) const {
        for (auto end = std::chrono::steady_clock::now() + timeout;
             !*done_ && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(5ms);
        }
        return *done_;
    }

  private:
    std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
};

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

TEST(OutputChannelTest, APauseHoldsTheOutputUntilResumedDetachedOrFinished) {
    auto channel = std::make_shared<OutputChannel>(1024);
    auto socket = std::make_shared<RecordingSocket>();
    channel->publish("one ");
    channel->attach(socket, R"({"type":"size"})");
    EXPECT_EQ(socket->text(), R"({"type":"size"})") << "before the replay";
    channel->pause(socket.get());
    Publisher second(channel, "two ");
    EXPECT_FALSE(second.returns_within(100ms)) << "a paused socket holds the program up";
    EXPECT_EQ(socket->output(), "one ");
    channel->resume();
    ASSERT_TRUE(second.returns_within(2s));
    channel->publish("three");
    EXPECT_EQ(socket->output(), "one two three");

    // A stale socket's pause is ignored; a newcomer starts unpaused.
    RecordingSocket stranger;
    channel->pause(&stranger);
    EXPECT_TRUE(Publisher(channel, ".").returns_within(2s));
    channel->pause(socket.get());
    Publisher held(channel, "four");
    auto newcomer = std::make_shared<RecordingSocket>();
    channel->attach(newcomer);
    ASSERT_TRUE(held.returns_within(2s));
    EXPECT_EQ(newcomer->output(), "one two three.four") << "neither lost nor sent twice";
    EXPECT_EQ(socket->close_code(), protocol::kTakenOver);

    // Leaving, ending the pauses and the end each let a held publish go.
    channel->pause(newcomer.get());
    Publisher detached(channel, "5");
    channel->detach(newcomer.get());
    EXPECT_TRUE(detached.returns_within(2s));
    auto last = std::make_shared<RecordingSocket>();
    channel->attach(last);
    channel->pause(last.get());
    Publisher ending(channel, "6");
    channel->end_pauses();
    EXPECT_TRUE(ending.returns_within(2s));
    channel->pause(last.get());
    EXPECT_TRUE(Publisher(channel, "7").returns_within(2s)) << "no pauses once ending";
    EXPECT_EQ(last->output(), "one two three.four567");

    auto finishing = std::make_shared<OutputChannel>(64);
    auto watcher = std::make_shared<RecordingSocket>();
    finishing->attach(watcher);
    finishing->pause(watcher.get());
    Publisher late(finishing, "x");
    finishing->finish(R"({"type":"exit"})");
    EXPECT_TRUE(late.returns_within(2s));
    EXPECT_EQ(watcher->close_code(), protocol::kNormal);
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
