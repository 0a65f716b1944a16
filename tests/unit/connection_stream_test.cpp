#include "app/connection_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quillo::app;

namespace {

TEST(HeaderFieldsTest, ValuesAreKeptAsSentApartFromSurroundingBlanks) {
    httplib::Headers fields =
        parse_header_fields("GET /x?y=%41 HTTP/1.1\r\nHost: h:1\r\nReferer:\t/p?url=a%2541%26b \r\n"
                            "X-Empty:\r\nCookie: a=1\r\nCookie: b=2\r\n\r\nbody: not a header\r\n");
    EXPECT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields.find("Host")->second, "h:1");
    EXPECT_EQ(fields.find("Referer")->second, "/p?url=a%2541%26b");
    EXPECT_EQ(fields.find("X-Empty")->second, "");
    EXPECT_EQ(fields.count("Cookie"), 2u);
    EXPECT_EQ(fields.count("body"), 0u);
    EXPECT_EQ(parse_header_fields("GET / HTTP/1.0\nA: 1\n\n").find("A")->second, "1");
}

TEST(ConnectionStreamTest, RecordsTheHeadButNotWhatFollows) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string sent = "GET / HTTP/1.1\r\nA: %41\r\n\r\nBODY";
    ASSERT_EQ(::write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    ConnectionStream stream(fds[0], 1, 1);
    ASSERT_TRUE(stream.wait_for_request(1));
    stream.start_recording();
    std::string head;
    char c;
    while (!head.ends_with("\r\n\r\n") && stream.read(&c, 1) == 1) {
        head += c; // the library reads the head one byte at a time
    }
    EXPECT_EQ(stream.stop_recording(), head);
    char body[8] = {};
    EXPECT_EQ(stream.read(body, sizeof body), 4);
    EXPECT_EQ(std::string(body, 4), "BODY");
    ::close(fds[1]);
    EXPECT_EQ(stream.read(body, sizeof body), 0) << "end of stream";
    ::close(fds[0]);
}

} // namespace
