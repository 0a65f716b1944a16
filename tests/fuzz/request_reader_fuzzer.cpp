// The request reader as a connection drives it: bytes arrive in pieces of
// any size, requests follow one another on a kept-alive connection, and
// what one request leaves unused is the start of the next. Whatever a
// client sends, the reader must take only what it was given, stop at its
// limits, hand over heads that end in their empty line, answer a refusal
// with one of the statuses the server knows, and, above all, read the
// same requests however the bytes were split on the way.
//
// Input: a count, that many piece sizes (each byte one less than its
// piece, taken in turn, again from the first when they run out), then the
// bytes of the connection. No sizes: the bytes come in one piece.

#include "http/request_reader.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

using quillo::http::ReaderLimits;
using quillo::http::RequestReader;
using State = RequestReader::State;

namespace {

// Small, so that inputs of a few hundred bytes reach every limit.
ReaderLimits small_limits() {
    ReaderLimits limits;
    limits.max_request_line = 64;
    limits.max_header_line = 96;
    limits.max_head = 512;
    limits.max_body = 256;
    return limits;
}

[[noreturn]] void fail(const std::string& what, std::string_view bytes) {
    std::cerr << "request reader: " << what << "\nafter the bytes \"" << bytes << "\"\n";
    std::abort();
}

// What the connection learns from one request: its end (Done or Failed),
// or, at the end of the bytes, how far the last one got.
struct Outcome {
    State state = State::Head;
    int status = 0;
    std::string method, path, query, head, body;
    bool keep_alive = false;
    bool expects_continue = false;
    // The bytes ran out with fewer than 5 of a chunked body left over: the
    // reader waits for 5 before it looks at a chunk's size line.
    bool short_tail = false;

    bool operator==(const Outcome&) const = default;
};

const char* name(State state) {
    switch (state) {
    case State::Head:
        return "Head";
    case State::Body:
        return "Body";
    case State::Done:
        return "Done";
    case State::Failed:
        return "Failed";
    }
    return "?";
}

std::string describe(const Outcome& o) {
    std::string text = name(o.state);
    if (o.state == State::Failed) {
        return text + " " + std::to_string(o.status);
    }
    if (o.state != State::Head) {
        text += " " + o.method + " \"" + o.path + "\" ?\"" + o.query + "\"";
    }
    if (o.state == State::Done) {
        text += " body \"" + o.body + "\"" + (o.keep_alive ? " keep-alive" : " close");
    }
    return text;
}

// The checks that hold for every head the reader calls complete.
void check_head(std::string_view head, const quillo::Request& request, const ReaderLimits& limits,
                std::string_view bytes) {
    if (!head.ends_with("\n\r\n") && !head.ends_with("\n\n")) {
        fail("a complete head without its empty line: \"" + std::string(head) + "\"", bytes);
    }
    if (head.size() > limits.max_head) {
        fail("a head of " + std::to_string(head.size()) + " bytes", bytes);
    }
    // Every line within its limit, its line ending (CR LF or LF) aside.
    size_t line_start = 0;
    while (line_start < head.size()) {
        size_t line_end = head.find('\n', line_start);
        size_t length = line_end - line_start;
        if (length > 0 && head[line_end - 1] == '\r') {
            --length;
        }
        size_t limit = line_start == 0 ? limits.max_request_line : limits.max_header_line;
        if (length > limit) {
            fail("a head line of " + std::to_string(length) + " bytes", bytes);
        }
        line_start = line_end + 1;
    }
    for (const auto& [field, value] : request.headers.fields()) {
        if (field.find('\n') != std::string::npos || value.find('\n') != std::string::npos ||
            field.find_first_of(" \t") != std::string::npos) {
            fail("a header field spanning lines: \"" + field + ": " + value + "\"", bytes);
        }
    }
    // The one path every decision is made on: canonical, whatever was sent.
    const std::string& path = request.path;
    if (path != "*" && (!path.starts_with('/') || path.find("//") != std::string::npos)) {
        fail("the path \"" + path + "\" is not canonical", bytes);
    }
}

// Feeds the pieces as a kept-alive connection would: the bytes the reader
// left unused wait for the next request (or for more bytes), a Done
// request is followed by the next one, a Failed one ends the connection.
std::vector<Outcome> read_connection(const std::vector<std::string_view>& pieces) {
    const ReaderLimits limits = small_limits();
    RequestReader reader(limits);
    std::vector<Outcome> outcomes;
    std::string all;     // every byte received, for the messages
    std::string pending; // received, not yet taken by the reader
    std::string taken;   // taken by the current request
    for (std::string_view piece : pieces) {
        all += piece;
        pending += piece;
        while (!pending.empty()) {
            size_t used = reader.feed(pending);
            if (used > pending.size()) {
                fail("feed() took " + std::to_string(used) + " of " +
                         std::to_string(pending.size()) + " bytes",
                     all);
            }
            taken += pending.substr(0, used);
            pending.erase(0, used);
            State state = reader.state();
            if (state == State::Head || state == State::Body) {
                break; // it waits for more
            }
            Outcome o;
            o.state = state;
            if (state == State::Failed) {
                int status = reader.failure().status;
                if (status != 400 && status != 413 && status != 414 && status != 415 &&
                    status != 431 && status != 501) {
                    fail("a refusal with status " + std::to_string(status), all);
                }
                o.status = status;
                outcomes.push_back(std::move(o));
                return outcomes; // the connection closes
            }
            std::string_view head = reader.head();
            check_head(head, reader.request(), limits, all);
            const quillo::Request& request = reader.request();
            if (request.body.size() > limits.max_body) {
                fail("a body of " + std::to_string(request.body.size()) + " bytes", all);
            }
            // The request took blank lines before it, its head and its body
            // as sent, and nothing of the next request.
            size_t framed = head.size() + reader.body_bytes_received();
            if (taken.size() < framed ||
                taken.compare(taken.size() - framed, head.size(), head) != 0 ||
                taken.find_first_not_of("\r\n") < taken.size() - framed) {
                fail("the request took \"" + taken + "\" for its head \"" + std::string(head) +
                         "\" and " + std::to_string(reader.body_bytes_received()) + " body bytes",
                     all);
            }
            o.method = request.method;
            o.path = request.path;
            o.query = request.query_string;
            o.head = head;
            o.body = request.body;
            o.keep_alive = reader.keep_alive();
            o.expects_continue = reader.expects_continue();
            outcomes.push_back(std::move(o));
            reader.start();
            taken.clear();
        }
    }
    // The bytes ran out in the middle of a request (or between two).
    if (!taken.empty() || !pending.empty()) {
        Outcome o;
        o.state = reader.state();
        if (o.state == State::Body) {
            check_head(reader.head(), reader.request(), limits, all);
            o.method = reader.request().method;
            o.path = reader.request().path;
            o.query = reader.request().query_string;
            o.head = reader.head();
            o.short_tail = !pending.empty() && pending.size() < 5;
        }
        outcomes.push_back(std::move(o));
    }
    return outcomes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t count = std::min<size_t>(data[0], size - 1);
    const uint8_t* sizes = data + 1;
    std::string_view whole(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);
    std::vector<std::string_view> pieces;
    for (size_t at = 0, i = 0; at < whole.size(); ++i) {
        size_t piece = count == 0 ? whole.size() : sizes[i % count] + 1u;
        pieces.push_back(whole.substr(at, piece));
        at += pieces.back().size();
    }

    std::vector<Outcome> in_pieces = read_connection(pieces);
    std::vector<Outcome> at_once = read_connection({whole});
    if (!in_pieces.empty() && in_pieces.back().short_tail) {
        // Given all at once, the last few bytes may already end or break that
        // request; in pieces they wait for more, as a connection would. Only
        // the last request may differ, and only in that way.
        in_pieces.pop_back();
        at_once.resize(std::min(at_once.size(), in_pieces.size()));
    }
    if (in_pieces != at_once) {
        std::string text = "the split bytes read differently:\n";
        for (size_t i = 0; i < std::max(in_pieces.size(), at_once.size()); ++i) {
            text += "  in pieces: " + (i < in_pieces.size() ? describe(in_pieces[i]) : "-") +
                    "\n  at once:   " + (i < at_once.size() ? describe(at_once[i]) : "-") + "\n";
        }
        text += "  pieces:";
        for (std::string_view piece : pieces) {
            text += " " + std::to_string(piece.size());
        }
        fail(text, whole);
    }

    return 0;
}
