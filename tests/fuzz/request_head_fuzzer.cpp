// The request head as it comes off the network: whatever a client sends,
// the head reader must stop at the limits it was given, hand over only a
// head that ends in an empty line, and the header parser must take that
// head without failing.

#include "app/connection_stream.h"

#include <cstdlib>
#include <iostream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using quillo::app::ConnectionStream;
using quillo::app::HeadResult;

[[noreturn]] void fail(const char* what, std::string_view head) {
    std::cerr << "request head: " << what << " for \"" << head << "\"\n";
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (size > 60000 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return 0;
    }
    if (::write(fds[1], data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    ::close(fds[1]); // the client is done: nothing more will come
    quillo::app::StreamLimits limits;
    limits.read_timeout_ms = 1000;
    limits.max_request_line = 64;
    limits.max_header_line = 96;
    limits.max_head = 512;
    ConnectionStream stream(fds[0], limits);
    // Like the keep-alive loop: heads one after the other, the library
    // consuming each head before the next is read.
    for (int requests = 0; requests < 64; ++requests) {
        HeadResult result = stream.read_head(0);
        if (result != HeadResult::Complete) {
            break;
        }
        std::string_view head = stream.head();
        if (head.size() > limits.max_head || !head.ends_with("\n\r\n") ||
            head.find('\n') > limits.max_request_line + 1) {
            fail("a head past its limits or without its end", head);
        }
        quillo::Headers fields = quillo::app::parse_header_fields(head);
        for (const auto& [name, value] : fields.fields()) {
            if (name.find('\n') != std::string::npos || value.find('\n') != std::string::npos) {
                fail("a field spanning lines", head);
            }
        }
        std::string consumed(head.size(), '\0');
        if (stream.read(consumed.data(), consumed.size()) != static_cast<ssize_t>(head.size()) ||
            consumed != head) {
            fail("the head read back differently", head);
        }
    }
    ::close(fds[0]);
    return 0;
}
