#include "http/request_reader.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace quillo::http;
using State = RequestReader::State;

namespace {

// Feeds `bytes` as they might arrive, in pieces of `piece` bytes, keeping
// what the reader did not take in front of the next piece, as a connection
// does. Returns what is left once the request is complete or has failed.
std::string feed(RequestReader& reader, const std::string& bytes, size_t piece = 1 << 20) {
    std::string pending;
    size_t at = 0;
    while (reader.state() == State::Head || reader.state() == State::Body) {
        if (at == bytes.size()) {
            return pending;
        }
        pending += bytes.substr(at, piece);
        at = std::min(bytes.size(), at + piece);
        pending.erase(0, reader.feed(pending));
    }
    return pending + bytes.substr(at);
}

TEST(RequestReaderTest, FieldsComeFromTheParserWithValuesAsSentApartFromSurroundingBlanks) {
    RequestReader reader;
    feed(reader, "GET /x?y=%41 HTTP/1.1\r\nHost: h:1\r\nReferer:\t/p?url=a%2541%26b \r\n"
                 "X-Empty:\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n");
    ASSERT_EQ(reader.state(), State::Done);
    const quillo::Headers& fields = reader.request().headers;
    EXPECT_EQ(fields.fields().size(), 5u);
    EXPECT_EQ(fields.get("Host"), "h:1");
    EXPECT_EQ(fields.get("Referer"), "/p?url=a%2541%26b");
    EXPECT_TRUE(fields.has("X-Empty"));
    EXPECT_EQ(fields.get("X-Empty"), "");
    EXPECT_EQ(std::count_if(fields.fields().begin(), fields.fields().end(),
                            [](const auto& f) { return f.first == "Cookie"; }),
              2);
}

// A folded line means one thing to one parser and another to the next: a
// folded " Host: evil" must not become a field, nor "two" join "one".
TEST(RequestReaderTest, FoldedLinesAreRefused) {
    for (const char* head : {"GET / HTTP/1.1\r\nX-Long: one\r\n two\r\n\r\n",
                             "GET / HTTP/1.1\r\nHost: ide\r\n Host: evil\r\n\r\n",
                             "GET / HTTP/1.1\r\n\tX: 1\r\n\r\n"}) {
        SCOPED_TRACE(head);
        RequestReader reader;
        feed(reader, head);
        ASSERT_EQ(reader.state(), State::Failed);
        EXPECT_EQ(reader.failure().status, 400);
    }
}

// Every spelling of a path is read as the one canonical path that the
// guard and the router both see.
TEST(RequestReaderTest, EverySpellingOfAPathGivesTheCanonicalPath) {
    for (const char* target :
         {"/api/files/read", "//api/files/read", "///api//files/read", "/%2Fapi/files/read",
          "/%2fapi%2F%2ffiles/read", "http://127.0.0.1:1//api/files/read"}) {
        SCOPED_TRACE(target);
        RequestReader reader;
        feed(reader, std::string("GET ") + target + "?path=a HTTP/1.1\r\nHost: h\r\n\r\n");
        ASSERT_EQ(reader.state(), State::Done);
        EXPECT_EQ(reader.request().path, "/api/files/read");
        EXPECT_EQ(reader.request().query_string, "path=a");
    }
    EXPECT_EQ(canonical_path("/a%20b//c/"), "/a b/c/");
    EXPECT_EQ(canonical_path("/%"), "/%");
}

// The limit set once the sender is known: a declared length over it is
// refused before any of the body, a chunked body as soon as it passes it.
// A streamed body is handed over as it arrives and never kept whole.
TEST(RequestReaderTest, BodiesAreLimitedPerRequestAndMayBeStreamed) {
    RequestReader declared;
    feed(declared, "POST /x HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    ASSERT_EQ(declared.state(), State::Body);
    EXPECT_FALSE(declared.limit_body(10));
    EXPECT_EQ(declared.state(), State::Failed);
    EXPECT_EQ(declared.failure().status, 413);

    RequestReader chunked;
    feed(chunked, "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    ASSERT_TRUE(chunked.limit_body(10));
    feed(chunked, "6\r\nabcdef\r\n6\r\nghijkl\r\n0\r\n\r\n");
    ASSERT_EQ(chunked.state(), State::Failed);
    EXPECT_EQ(chunked.failure().status, 413);

    RequestReader streamed;
    feed(streamed, "POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n");
    ASSERT_TRUE(streamed.limit_body(10));
    streamed.stream_body();
    std::string pieces;
    for (const char* piece : {"0123", "456", "789"}) {
        streamed.feed(piece);
        std::string taken = streamed.take_body();
        EXPECT_EQ(taken, piece);
        pieces += taken;
    }
    EXPECT_EQ(streamed.state(), State::Done);
    EXPECT_EQ(pieces, "0123456789");
    EXPECT_EQ(streamed.request().body, "");
}

// Byte by byte or all at once, a request comes out the same, and every body
// (of any method, chunked or not) is taken whole, never left to be read as
// the next request.
TEST(RequestReaderTest, BodiesOfAnyMethodAreReadWholeAndPipelinedRequestsKeptApart) {
    const std::string stream = "GET /a%20b/c?x=%41 HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\n"
                               "BODYPOST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\nGET /next HTTP/1.1\r\n\r\n";
    for (size_t piece : {size_t(1), size_t(7), stream.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        RequestReader reader;
        std::string rest = feed(reader, stream, piece);
        ASSERT_EQ(reader.state(), State::Done);
        EXPECT_EQ(reader.request().method, "GET");
        EXPECT_EQ(reader.request().path, "/a b/c");
        EXPECT_EQ(reader.request().query_string, "x=%41");
        EXPECT_EQ(reader.request().body, "BODY");
        EXPECT_TRUE(reader.keep_alive());

        reader.start();
        rest = feed(reader, rest, piece);
        ASSERT_EQ(reader.state(), State::Done);
        EXPECT_EQ(reader.request().body, "abcde");

        reader.start();
        rest = feed(reader, rest, piece);
        ASSERT_EQ(reader.state(), State::Done);
        EXPECT_EQ(reader.request().path, "/next");
        EXPECT_EQ(rest, "");
    }
}

TEST(RequestReaderTest, TargetsInEveryFormAndMethodsAsSent) {
    RequestReader reader;
    feed(reader,
         "PROPFIND http://127.0.0.1:12345/app.js?v=1 HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    ASSERT_EQ(reader.state(), State::Done);
    EXPECT_EQ(reader.request().method, "PROPFIND");
    EXPECT_EQ(reader.request().path, "/app.js");
    EXPECT_EQ(reader.request().query_string, "v=1");
    EXPECT_EQ(reader.request().header("Host"), "127.0.0.1:12345") << "the target's host counts";

    reader.start();
    feed(reader, "OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(reader.state(), State::Done);
    EXPECT_EQ(reader.request().path, "*");

    reader.start();
    feed(reader, "get / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(reader.state(), State::Done);
    EXPECT_EQ(reader.request().method, "get");

    reader.start();
    feed(reader, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_FALSE(reader.keep_alive());
}

TEST(RequestReaderTest, RequestsThatCannotBeServedSayWhatToAnswer) {
    ReaderLimits limits;
    limits.max_request_line = 64;
    limits.max_header_line = 64;
    limits.max_head = 256;
    limits.max_body = 100;
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 20; ++i) {
        many += "X-" + std::to_string(i) + ": 0123456789\r\n";
    }
    std::string chunked_over = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 5; ++i) {
        chunked_over += "20\r\n" + std::string(32, 'x') + "\r\n";
    }
    struct Case {
        std::string bytes;
        int status;
    } cases[] = {
        {"GET /" + std::string(100, 'a'), 414}, // known before the line ends
        {"GET / HTTP/1.1\r\nX: " + std::string(70, 'b') + "\r\n\r\n", 431},
        {many, 431},
        {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413},
        {chunked_over, 413},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\nabc", 501},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nContent-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc", 415},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nBad Header\r\n\r\nGET / HTTP/1.1\r\n\r\n", 400},
        {"GET nowhere HTTP/1.1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n\r\n", 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 80));
        RequestReader reader(limits);
        feed(reader, c.bytes);
        ASSERT_EQ(reader.state(), State::Failed);
        EXPECT_EQ(reader.failure().status, c.status);
    }
    // A body without any encoding, or identity, is taken as it is.
    RequestReader plain(limits);
    feed(plain, "POST / HTTP/1.1\r\nContent-Encoding: identity\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(plain.state(), State::Done);
}

TEST(RequestReaderTest, TheHeadIsCompleteBeforeAnyOfTheBodyIsTaken) {
    RequestReader reader;
    std::string head = "PUT /f HTTP/1.1\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n";
    EXPECT_EQ(reader.feed(head + "01234"), head.size() + 5);
    ASSERT_EQ(reader.state(), State::Body);
    EXPECT_EQ(reader.head(), head);
    EXPECT_TRUE(reader.expects_continue());
    EXPECT_EQ(reader.request().path, "/f");
    EXPECT_EQ(reader.feed("56789GET"), 5u);
    ASSERT_EQ(reader.state(), State::Done);
    EXPECT_EQ(reader.request().body, "0123456789");
}

} // namespace

namespace {

// The last chunk's line coming in pieces: a parser that looked at it too
// early failed (and aborted debug builds) instead of waiting for the rest.
TEST(RequestReaderTest, TheLastChunkArrivingInPiecesEndsTheBody) {
    RequestReader reader;
    std::string pending = "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n";
    for (const char* next : {"", "\r", "\n"}) {
        pending += next;
        pending.erase(0, reader.feed(pending));
    }
    EXPECT_EQ(reader.state(), State::Done);
    EXPECT_EQ(pending, "");
}

} // namespace
