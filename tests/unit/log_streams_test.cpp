#include "output/encoding.h"
#include "output/line_buffer.h"
#include "output/log_streams.h"
#include "output/rotating_file_sink.h"
#include "temp_dir.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <thread>
#include <unistd.h>

using namespace quillo::output;

namespace {

// A sink that records what it gets and can act like a console that lacks
// characters or fails outright.
class FakeSink : public TextSink {
  public:
    std::optional<std::string> reported_encoding = "utf-8";
    bool ascii_only = false; // non-ASCII text raises an encoding error
    bool broken = false;     // every write fails (a console that is gone)
    std::vector<std::string> writes;

    void write(std::string_view text) override {
        if (broken) {
            throw std::system_error(EPIPE, std::generic_category(), "write");
        }
        if (ascii_only) {
            for (char c : text) {
                if (static_cast<unsigned char>(c) >= 0x80) {
                    throw EncodingError("'ascii' codec can't encode character");
                }
            }
        }
        writes.emplace_back(text);
    }
    void flush() override {}
    std::optional<std::string> encoding() const override { return reported_encoding; }
};

struct LogRecorder {
    std::vector<std::string> lines;
    LogFunction function() {
        return [this](std::string_view line) { lines.emplace_back(line); };
    }
};

TEST(TeeStreamTest, EveryTargetGetsTheTextAndTheLogGetsItWithoutFinalLineFeeds) {
    FakeSink console, file;
    LogRecorder log;
    TeeStream tee({&console, &file}, log.function());
    for (const char* text : {"hello\n", "\n", "two\n\n", "crlf\r\n", "   \n", "no end"}) {
        tee.write(text);
    }
    std::vector<std::string> written = {"hello\n", "\n", "two\n\n", "crlf\r\n", "   \n", "no end"};
    EXPECT_EQ(console.writes, written);
    EXPECT_EQ(file.writes, written);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"hello", "", "two", "crlf\r", "   ", "no end"}));
}

TEST(TeeStreamTest, AConsoleThatCannotShowACharacterGetsQuestionMarks) {
    quillo::testing::TempDir dir;
    int fd = ::open(dir.file("console").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    FdSink gbk_console(fd, "GBK");
    FakeSink file;
    LogRecorder log;
    TeeStream tee({&gbk_console, &file}, log.function());
    tee.write("启动 🚀 ok\n");
    ::close(fd);

    std::ifstream in(dir.file("console"), std::ios::binary);
    std::string console_bytes(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(decode_replacing(console_bytes, "GBK"), "启动 ? ok\n");
    EXPECT_EQ(file.writes, std::vector<std::string>{"启动 🚀 ok\n"});
    EXPECT_EQ(log.lines, std::vector<std::string>{"启动 🚀 ok"});
}

TEST(TeeStreamTest, FallbacksEndInAsciiAndOtherConsoleFailuresAreDropped) {
    FakeSink no_encoding;
    no_encoding.reported_encoding = std::nullopt;
    no_encoding.ascii_only = true;
    safe_write(no_encoding, "é→x 🚀\n");
    EXPECT_EQ(no_encoding.writes, std::vector<std::string>{"??x ?\n"});

    FakeSink claims_utf8; // says UTF-8 but cannot show it: the ASCII form
    claims_utf8.ascii_only = true;
    safe_write(claims_utf8, "né");
    EXPECT_EQ(claims_utf8.writes, std::vector<std::string>{"n?"});

    FakeSink gone, file;
    gone.broken = true;
    LogRecorder log;
    TeeStream tee({&gone, &file}, log.function());
    EXPECT_NO_THROW(tee.write("still logged\n"));
    EXPECT_EQ(file.writes, std::vector<std::string>{"still logged\n"});
    EXPECT_EQ(log.lines, std::vector<std::string>{"still logged"});
}

TEST(DaemonStreamTest, BlankTextIsWrittenButNotLogged) {
    FakeSink original;
    LogRecorder log;
    DaemonStream stream(original, log.function());
    for (const char* text : {"\n", "   \n", "", "ready\n", "x\r\n"}) {
        stream.write(text);
    }
    EXPECT_EQ(original.writes, (std::vector<std::string>{"\n", "   \n", "", "ready\n", "x\r\n"}));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"ready", "x\r"}));

    original.broken = true;
    EXPECT_THROW(stream.write("lost\n"), std::system_error) << "the writer hears of it";
}

class RecordingStream : public TextStream {
  public:
    std::mutex mutex;
    std::vector<std::string> writes;
    void write(std::string_view data) override {
        std::lock_guard lock(mutex);
        writes.emplace_back(data);
    }
    void flush() override {}
};

TEST(LineBufferTest, OneWritePerLineOrFlush) {
    RecordingStream stream;
    LineBuffer buffer(stream);
    std::ostream out(&buffer);
    out << "port " << 12345 << '\n';
    out << "a\nb\n";
    out << "partial" << std::flush;
    out << "\n[SERVER] Received SIGTERM" << std::endl;
    EXPECT_EQ(stream.writes, (std::vector<std::string>{"port 12345\n", "a\n", "b\n", "partial",
                                                       "\n", "[SERVER] Received SIGTERM\n"}));
}

TEST(LineBufferTest, LinesFromTwoThreadsNeverMix) {
    RecordingStream stream;
    LineBuffer buffer(stream);
    auto print = [&buffer](char tag) {
        std::ostream out(&buffer);
        for (int i = 0; i < 500; ++i) {
            out << tag << tag << ' ' << i << ' ' << std::string(20, tag) << '\n';
        }
    };
    std::thread a(print, 'a');
    std::thread b(print, 'b');
    a.join();
    b.join();
    ASSERT_EQ(stream.writes.size(), 1000u);
    for (const std::string& line : stream.writes) {
        char tag = line[0];
        EXPECT_EQ(line.find(tag == 'a' ? 'b' : 'a'), std::string::npos) << line;
        EXPECT_EQ(line.back(), '\n');
    }
}

TEST(TeeStreamTest, ConcurrentWritesReachTheFileWhole) {
    quillo::testing::TempDir dir;
    auto log_file_owner = std::make_unique<RotatingFileSink>(dir.file("server.log"), 1 << 20);
    RotatingFileSink& log_file = *log_file_owner;
    FakeSink console;
    LogRecorder log;
    TeeStream out({&console, &log_file}, log.function());
    TeeStream err({&log_file}, [](std::string_view) {});
    auto print = [](TeeStream& stream, char tag) {
        for (int i = 0; i < 300; ++i) {
            stream.write(std::string(200, tag) + "\n");
        }
    };
    std::thread a(print, std::ref(out), 'o');
    std::thread b(print, std::ref(err), 'e');
    a.join();
    b.join();
    log_file_owner.reset();
    std::ifstream in(dir.file("server.log"));
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        EXPECT_TRUE(line == std::string(200, 'o') || line == std::string(200, 'e')) << line;
    }
    EXPECT_EQ(lines, 600);
}

// What was in the file counts towards the limit; a write that would pass it
// starts a new file, the full one kept as the only old one; lines stay whole.
TEST(RotatingFileSinkTest, KeepsOneOldFileAndNeverSplitsAWrite) {
    quillo::testing::TempDir dir;
    dir.write("server.log", std::string(950, '.'));
    dir.write("server.1.log", "the oldest");
    std::vector<int> opened;
    {
        RotatingFileSink log(dir.file("server.log"), 1000, [&](int fd) { opened.push_back(fd); });
        for (int i = 0; i < 25; ++i) {
            char line[101];
            std::snprintf(line, sizeof line, "%02d%097d\n", i, 0);
            log.write(line);
        }
    }
    EXPECT_EQ(opened.size(), 4u) << "the first file, then three rotations";
    EXPECT_EQ(std::filesystem::file_size(dir.file("server.log")), 500u) << "lines 20 to 24";
    EXPECT_EQ(std::filesystem::file_size(dir.file("server.1.log")), 1000u) << "lines 10 to 19";
    EXPECT_FALSE(std::filesystem::exists(dir.file("server.2.log")));
    std::ifstream in(dir.file("server.log"));
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.substr(0, 2), "20");
    EXPECT_EQ(first.size(), 99u);
}

} // namespace
