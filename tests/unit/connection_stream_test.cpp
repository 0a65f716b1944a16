#include "app/connection_stream.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quillo::app;

namespace {

TEST(HeaderFieldsTest, ValuesAreKeptAsSentApartFromSurroundingBlanks) {
    quillo::Headers fields =
        parse_header_fields("GET /x?y=%41 HTTP/1.1\r\nHost: h:1\r\nReferer:\t/p?url=a%2541%26b \r\n"
                            "X-Empty:\r\nCookie: a=1\r\nCookie: b=2\r\n\r\nbody: not a header\r\n");
    EXPECT_EQ(fields.fields().size(), 5u);
    EXPECT_EQ(fields.get("Host"), "h:1");
    EXPECT_EQ(fields.get("Referer"), "/p?url=a%2541%26b");
    EXPECT_TRUE(fields.has("X-Empty"));
    EXPECT_EQ(fields.get("X-Empty"), "");
    EXPECT_EQ(std::count_if(fields.fields().begin(), fields.fields().end(),
                            [](const auto& f) { return f.first == "Cookie"; }),
              2);
    EXPECT_FALSE(fields.has("body"));
    EXPECT_EQ(parse_header_fields("GET / HTTP/1.0\nA: 1\n\n").get("A"), "1");
}

// A connected pair: the test writes as the client on `client`, the stream
// reads as the server.
class StreamPair : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        ::close(fds_[0]);
        if (fds_[1] >= 0) {
            ::close(fds_[1]);
        }
    }
    void send(const std::string& text) {
        ASSERT_EQ(::write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void close_client() {
        ::close(fds_[1]);
        fds_[1] = -1;
    }
    std::string received() {
        std::string all;
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            all.append(buf, static_cast<size_t>(n));
        }
        return all;
    }
    int server() const { return fds_[0]; }

    int fds_[2] = {-1, -1};
};

TEST_F(StreamPair, HeadThenBodyThenAPipelinedRequest) {
    ConnectionStream stream(server(), {});
    send("GET / HTTP/1.1\r\nA: %41\r\n\r\nBODYGET /next HTTP/1.1\r\n\r\n");
    ASSERT_EQ(stream.read_head(1000), HeadResult::Complete);
    EXPECT_EQ(stream.head(), "GET / HTTP/1.1\r\nA: %41\r\n\r\n");
    std::string head(stream.head().size(), '\0');
    for (char& c : head) {
        ASSERT_EQ(stream.read(&c, 1), 1); // the library reads the head one byte at a time
    }
    char body[4];
    ASSERT_EQ(stream.read(body, sizeof body), 4);
    EXPECT_EQ(std::string(body, 4), "BODY");
    ASSERT_EQ(stream.read_head(1000), HeadResult::Complete);
    EXPECT_EQ(stream.head(), "GET /next HTTP/1.1\r\n\r\n");
}

TEST_F(StreamPair, HeadArrivingInPiecesIsAssembled) {
    ConnectionStream stream(server(), {});
    std::thread client([this] {
        for (const char* piece : {"GET /slow HT", "TP/1.1\r\nHost: x\r", "\n", "\r\n"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            send(piece);
        }
    });
    EXPECT_EQ(stream.read_head(2000), HeadResult::Complete);
    client.join();
    EXPECT_EQ(stream.head(), "GET /slow HTTP/1.1\r\nHost: x\r\n\r\n");
}

TEST_F(StreamPair, IdleSlowAndClosedClientsEndTheConnection) {
    ConnectionStream idle(server(), {});
    EXPECT_EQ(idle.read_head(50), HeadResult::TimedOut) << "nothing sent";

    StreamLimits limits;
    limits.read_timeout_ms = 100;
    ConnectionStream slow(server(), limits);
    send("GET / HTTP/1.1\r\n");
    EXPECT_EQ(slow.read_head(1000), HeadResult::TimedOut) << "head not finished in time";

    ConnectionStream closed(server(), {});
    send("GET / HTTP/1.1\r\n");
    close_client();
    EXPECT_EQ(closed.read_head(1000), HeadResult::Closed);
}

TEST_F(StreamPair, OversizedHeadsAreRecognisedBeforeTheyEnd) {
    StreamLimits limits;
    limits.max_request_line = 64;
    limits.max_header_line = 64;
    limits.max_head = 256;
    ConnectionStream long_line(server(), limits);
    send("GET /" + std::string(100, 'a')); // no line end yet
    EXPECT_EQ(long_line.read_head(1000), HeadResult::RequestLineTooLong);
    received();

    int more[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, more), 0);
    ConnectionStream long_field(more[0], limits);
    std::string head = "GET / HTTP/1.1\r\nX: " + std::string(70, 'b') + "\r\n\r\n";
    ASSERT_EQ(::write(more[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(long_field.read_head(1000), HeadResult::HeadTooLarge);
    ::close(more[0]);
    ::close(more[1]);

    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, more), 0);
    ConnectionStream many_fields(more[0], limits);
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 20; ++i) {
        many += "X-" + std::to_string(i) + ": 0123456789\r\n";
    }
    ASSERT_EQ(::write(more[1], many.data(), many.size()), static_cast<ssize_t>(many.size()));
    EXPECT_EQ(many_fields.read_head(1000), HeadResult::HeadTooLarge);
    ::close(more[0]);
    ::close(more[1]);
}

TEST_F(StreamPair, DrainingStopsAtTheClientsEndOrItsLimits) {
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    ConnectionStream stream(server(), {});
    // Each call below would take a minute if its stop were missing; 10 s
    // tells the two apart on any machine.
    send(std::string(1000, 'x'));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(stream.drain(60'000, 512), 1000u) << "one read, then the byte limit";
    EXPECT_LT(Clock::now() - start, 10s);

    send("more");
    start = Clock::now();
    EXPECT_EQ(stream.drain(50, 1 << 20), 4u) << "the client stays: the time limit";
    EXPECT_GE(Clock::now() - start, 40ms) << "poll() may round its time-out down";
    EXPECT_LT(Clock::now() - start, 10s);

    send("last");
    close_client();
    start = Clock::now();
    EXPECT_EQ(stream.drain(60'000, 1 << 20), 4u) << "the client closed: what it sent, then stop";
    EXPECT_LT(Clock::now() - start, 10s);
}

TEST_F(StreamPair, SmallWritesLeaveTogetherLargeOnesUncopied) {
    ConnectionStream stream(server(), {});
    ASSERT_EQ(stream.write("head;", 5), 5);
    ASSERT_EQ(stream.write("body", 4), 4);
    EXPECT_EQ(received(), "") << "held back until the flush";
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(received(), "head;body");

    std::string big(100 * 1000, 'x');
    ASSERT_EQ(stream.write("head;", 5), 5);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        while (got.size() < big.size() + 5) {
            ssize_t n = ::recv(fds_[1], buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(stream.write(big.data(), big.size()), static_cast<ssize_t>(big.size()));
    reader.join();
    EXPECT_EQ(got, "head;" + big);
}

} // namespace
