// The proxy behind each preview's listener: one coroutine per connection
// from the browser, with its own connection to the site. Bodies pass through
// in pieces of a fixed size, each written before the next is read, so a large
// download or upload never sits in memory, and a slow side slows the other.
#include "previews.h"

#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/url/parse.hpp>
#include <poll.h>

namespace quillo::browser {

namespace asio = boost::asio;
namespace beast = boost::beast;
using asio::awaitable;
using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);
constexpr size_t kPieceSize = 64 * 1024;
constexpr uint32_t kHeaderLimit = 64 * 1024;
constexpr int kMaxConnections = 64; // per preview
constexpr auto kIdleTimeout = 120s; // between requests on a kept-alive connection
constexpr auto kConnectTimeout = 10s;

using Piece = std::array<char, kPieceSize>;

// What the guard answers a browser without the pass.
constexpr std::string_view kNotSignedIn = R"({"auth_required":true,"error":"未登录"})"
                                          "\n";

http::response<http::string_body> answer(http::status status, std::string_view type,
                                         std::string body, unsigned version) {
    http::response<http::string_body> response(status, version);
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(false);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

std::string html_escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A page in the preview's frame saying what went wrong, so that the user
// sees it where the site would have been.
http::response<http::string_body> problem_page(http::status status, std::string_view message,
                                               unsigned version) {
    std::string page = "<!doctype html><meta charset=utf-8><meta name=viewport "
                       "content=\"width=device-width\"><title>Preview</title>"
                       "<p style=\"font:16px sans-serif;margin:1em\">" +
                       html_escape(message) + "</p>\n";
    return answer(status, "text/html; charset=utf-8", std::move(page), version);
}

std::string cookie_value(const http::fields& fields, std::string_view name) {
    for (auto range = fields.equal_range(http::field::cookie); range.first != range.second;
         ++range.first) {
        std::string_view rest = range.first->value();
        while (!rest.empty()) {
            size_t end = rest.find(';');
            std::string_view pair = rest.substr(0, end);
            while (!pair.empty() && pair.front() == ' ') {
                pair.remove_prefix(1);
            }
            if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=') {
                return std::string(pair.substr(name.size() + 1));
            }
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        }
    }
    return {};
}

// The percent-decoded value of `name` in a request target's query.
std::string query_value(std::string_view target, std::string_view name) {
    auto url = boost::urls::parse_origin_form(target);
    if (!url) {
        return {};
    }
    for (const auto& param : url->params()) {
        if (param.key == name) {
            return param.value;
        }
    }
    return {};
}

// Where the ticket's redemption may send the frame: a path on this origin,
// never "//elsewhere" (a URL without a scheme, on another host).
std::string local_path(std::string to) {
    if (to.empty() || to.front() != '/' || (to.size() > 1 && (to[1] == '/' || to[1] == '\\'))) {
        return "/";
    }
    return to;
}

// Pieces go out as they come: waiting to fill a segment (Nagle) would hold
// each one back until the last was acknowledged.
void no_delay(beast::tcp_stream& stream) {
    beast::error_code ignored;
    stream.socket().set_option(tcp::no_delay(true), ignored);
}

// A kept connection to the site that has something to read before it was
// asked anything has ended: the site closed it while idle (Node closes
// after 5 s), so the next request goes on a new one instead of failing.
bool still_open(tcp::socket& socket) {
    if (!socket.is_open()) {
        return false;
    }
    pollfd ready{socket.native_handle(), POLLIN | POLLRDHUP, 0};
    return ::poll(&ready, 1, 0) == 0;
}

asio::ssl::context& tls_context() {
    static asio::ssl::context context = [] {
        // OpenSSL is set up on the first https preview, not at start-up.
        // Previews may still be reading while the process exits, so its
        // exit-time clean-up must not pull the library from under them; and
        // the system's OpenSSL configuration is not read.
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
        asio::ssl::context made(asio::ssl::context::tls_client);
        made.set_default_verify_paths();
        return made;
    }();
    return context;
}

class Connection {
  public:
    Connection(std::shared_ptr<Preview> preview, tcp::socket socket)
        : preview_(std::move(preview)), client_(std::move(socket)) {
        no_delay(client_);
        // Each read takes what fits in the buffer's free space: without
        // room reserved, a body would come in pieces of the head's size.
        client_buffer_.reserve(kPieceSize);
    }

    awaitable<void> serve() {
        while (co_await exchange()) {
        }
        beast::error_code ignored;
        client_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    }

  private:
    template <class Message> awaitable<bool> reply(Message message) {
        auto [error, written] = co_await http::async_write(client_, message, kNoThrow);
        co_return !error && message.keep_alive();
    }

    // One request and its answer; false when the connection should end.
    awaitable<bool> exchange() {
        http::request_parser<http::buffer_body> request;
        request.header_limit(kHeaderLimit);
        request.body_limit(boost::none);
        client_.expires_after(kIdleTimeout);
        auto [error, read] =
            co_await http::async_read_header(client_, client_buffer_, request, kNoThrow);
        client_.expires_never();
        if (error) {
            co_return false;
        }
        auto& head = request.get();
        std::string target(head.target());
        if (target.starts_with(kEnterPath) &&
            (target.size() == kEnterPath.size() || target[kEnterPath.size()] == '?')) {
            co_return co_await enter(target, head.version()) && request.is_done();
        }
        if (!preview_->admits(cookie_value(head, preview_->cookie_name()))) {
            co_await reply(answer(http::status::unauthorized, "application/json",
                                  std::string(kNotSignedIn), head.version()));
            co_return false;
        }
        if (!target.starts_with('/')) {
            co_await reply(problem_page(http::status::bad_request, "Only paths are proxied here",
                                        head.version()));
            co_return false;
        }
        note_frame_document(head, target);
        co_return co_await forward(request);
    }

    awaitable<bool> enter(const std::string& target, unsigned version) {
        std::optional<std::string> pass = preview_->redeem(query_value(target, "ticket"));
        if (!pass) {
            co_await reply(answer(http::status::unauthorized, "application/json",
                                  std::string(kNotSignedIn), version));
            co_return false;
        }
        http::response<http::empty_body> redirect(http::status::found, version);
        redirect.set(http::field::location, local_path(query_value(target, "to")));
        redirect.set(http::field::set_cookie,
                     preview_->cookie_name() + "=" + *pass + "; Path=/; HttpOnly; SameSite=Strict");
        redirect.set(http::field::cache_control, "no-store");
        redirect.set("Referrer-Policy", "no-referrer");
        redirect.prepare_payload();
        co_return co_await reply(std::move(redirect));
    }

    void note_frame_document(const http::fields& head, const std::string& target) {
        auto dest = head.find("Sec-Fetch-Dest");
        bool document =
            dest != head.end() && (dest->value() == "iframe" || dest->value() == "document");
        if (document) {
            std::lock_guard lock(preview_->mutex);
            preview_->frame_url = preview_->target.origin() + target;
        }
    }

    beast::tcp_stream* upstream_tcp() {
        if (tls_) {
            return &beast::get_lowest_layer(*tls_);
        }
        return plain_ ? &*plain_ : nullptr;
    }

    void drop_upstream() {
        plain_.reset();
        tls_.reset();
    }

    awaitable<bool> connect_upstream(unsigned version) {
        if (beast::tcp_stream* open = upstream_tcp(); open && still_open(open->socket())) {
            co_return true;
        }
        drop_upstream();
        upstream_buffer_.clear();
        upstream_buffer_.reserve(kPieceSize);
        const Target& site = preview_->target;
        bool https = site.scheme == "https";
        beast::tcp_stream& tcp =
            https ? beast::get_lowest_layer(tls_.emplace(client_.get_executor(), tls_context()))
                  : plain_.emplace(client_.get_executor());
        tcp::resolver resolver(client_.get_executor());
        auto [resolve_error, endpoints] =
            co_await resolver.async_resolve(site.connect_host, std::to_string(site.port), kNoThrow);
        beast::error_code error = resolve_error;
        if (!error) {
            tcp.expires_after(kConnectTimeout);
            auto [connect_error, endpoint] = co_await tcp.async_connect(endpoints, kNoThrow);
            tcp.expires_never();
            error = connect_error;
        }
        std::string problem;
        if (error) {
            problem = "Nothing answers at " + site.origin() + " (" + error.message() +
                      "). Is the server running?";
        } else {
            no_delay(tcp);
            beast::error_code tls_error;
            if (https) {
                tls_error = co_await handshake(site);
            }
            if (tls_error) {
                problem = "No secure connection to " + site.origin() + ": " + tls_error.message();
            }
        }
        if (!problem.empty()) {
            drop_upstream();
            co_await reply(problem_page(http::status::bad_gateway, problem, version));
            co_return false;
        }
        co_return true;
    }

    // Certificates are checked as a browser would, but for a site on this
    // device: dev servers serve https with certificates of their own making,
    // and no one can stand between a browser and its own loopback.
    awaitable<beast::error_code> handshake(const Target& site) {
        beast::error_code not_an_address;
        asio::ip::make_address(site.connect_host, not_an_address);
        if (not_an_address) { // a name: the site picks its certificate by it (SNI)
            SSL_set_tlsext_host_name(tls_->native_handle(), site.connect_host.c_str());
        }
        if (site.on_this_device()) {
            tls_->set_verify_mode(asio::ssl::verify_none);
        } else {
            tls_->set_verify_mode(asio::ssl::verify_peer);
            tls_->set_verify_callback(asio::ssl::host_name_verification(site.connect_host));
        }
        beast::tcp_stream& tcp = beast::get_lowest_layer(*tls_);
        tcp.expires_after(kConnectTimeout);
        auto [handshake_error] =
            co_await tls_->async_handshake(asio::ssl::stream_base::client, kNoThrow);
        tcp.expires_never();
        co_return handshake_error;
    }

    // Copies the body that `parser` reads from `input` to `output`, behind the
    // head already in the parser's message.
    template <bool isRequest, class Output, class Input>
    awaitable<bool> relay(Output& output, Input& input, beast::flat_buffer& buffer,
                          http::parser<isRequest, http::buffer_body>& parser) {
        http::serializer<isRequest, http::buffer_body> serializer(parser.get());
        // The head goes at once: a streamed answer's browser waits for it.
        auto [head_error, head_written] =
            co_await http::async_write_header(output, serializer, kNoThrow);
        if (head_error) {
            co_return false;
        }
        while (!serializer.is_done()) {
            auto& body = parser.get().body();
            if (!parser.is_done()) {
                body.data = piece_.data();
                body.size = piece_.size();
                // Some, not all: a streamed answer (server-sent events) passes on
                // each piece as it comes instead of once the buffer is full.
                auto [error, read] =
                    co_await http::async_read_some(input, buffer, parser, kNoThrow);
                if (error == asio::ssl::error::stream_truncated) {
                    // A site that closes without saying so in TLS, as many
                    // do: where the body runs until the close, it is whole.
                    parser.put_eof(error);
                }
                if (error && error != http::error::need_buffer) {
                    co_return false;
                }
                body.size = piece_.size() - body.size;
                if (body.size == 0 && !parser.is_done()) {
                    continue; // only framing came (a chunk's size line)
                }
                body.data = piece_.data();
                body.more = !parser.is_done();
            } else {
                body.data = nullptr;
                body.size = 0;
                body.more = false;
            }
            auto [error, written] = co_await http::async_write(output, serializer, kNoThrow);
            if (error && error != http::error::need_buffer) {
                co_return false;
            }
        }
        co_return true;
    }

    awaitable<bool> forward(http::request_parser<http::buffer_body>& request) {
        auto& head = request.get();
        unsigned version = head.version();
        bool client_keeps_alive = head.keep_alive();
        bool websocket = beast::websocket::is_upgrade(head);
        if (!co_await connect_upstream(version)) {
            co_return false;
        }
        if (tls_) {
            co_return co_await forward_to(*tls_, request, version, client_keeps_alive, websocket);
        }
        co_return co_await forward_to(*plain_, request, version, client_keeps_alive, websocket);
    }

    template <class Upstream>
    awaitable<bool> forward_to(Upstream& upstream, http::request_parser<http::buffer_body>& request,
                               unsigned version, bool client_keeps_alive, bool websocket) {
        auto& head = request.get();
        if (head[http::field::expect] == "100-continue") {
            // Asked here rather than of the site, which would wait for a
            // body that this proxy only reads once it is told to go on.
            head.erase(http::field::expect);
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            co_await asio::async_write(client_, asio::buffer(kContinue), kNoThrow);
        }
        bool chunked = request.chunked();
        drop_hop_by_hop(head, websocket);
        PreviewContext context = preview_->context(std::string(head[http::field::host]));
        rewrite_request(head, context, preview_->jar);
        head.version(11);
        head.keep_alive(true);
        if (chunked) {
            head.chunked(true);
        }
        if (!co_await relay<true>(upstream, client_, client_buffer_, request)) {
            drop_upstream();
            co_return false;
        }
        co_return co_await answer_back(upstream, context, version, client_keeps_alive, websocket,
                                       head.method() == http::verb::head);
    }

    template <class Upstream>
    awaitable<bool> answer_back(Upstream& upstream, const PreviewContext& context, unsigned version,
                                bool keep_alive, bool websocket, bool head_request) {
        // An interim "100 Continue" of the site is not passed on: this proxy
        // has answered the browser's Expect itself.
        std::optional<http::response_parser<http::buffer_body>> parser;
        beast::error_code error;
        do {
            parser.emplace();
            parser->header_limit(kHeaderLimit);
            parser->body_limit(boost::none);
            parser->skip(head_request);
            std::tie(error, std::ignore) =
                co_await http::async_read_header(upstream, upstream_buffer_, *parser, kNoThrow);
        } while (!error && parser->get().result() == http::status::continue_);
        if (error) {
            drop_upstream();
            co_await reply(problem_page(http::status::bad_gateway,
                                        context.target_origin +
                                            " closed the connection without an answer (" +
                                            error.message() + ")",
                                        version));
            co_return false;
        }
        auto& response = *parser;
        auto& head = response.get();
        bool upgraded = websocket && head.result() == http::status::switching_protocols;
        bool site_keeps_alive = head.keep_alive();
        bool chunked = response.chunked();
        bool body_follows = !response.is_done();
        drop_hop_by_hop(head, upgraded);
        if (std::optional<std::string> refusal = rewrite_response(head, context, preview_->jar)) {
            drop_upstream();
            co_await reply(problem_page(http::status::bad_gateway, *refusal, version));
            co_return false;
        }
        head.version(version);
        // Without a length, a body ends when the site closes: the browser
        // gets it in chunks, so that its connection can stay.
        bool until_close = body_follows && !chunked && !response.content_length();
        if (body_follows && (chunked || until_close) && version >= 11) {
            head.chunked(true);
        }
        if (upgraded) {
            co_await tunnel(upstream, head);
            co_return false;
        }
        // An HTTP/1.0 browser gets a body without a length only up to the close.
        keep_alive = keep_alive && !(body_follows && !response.content_length() && version < 11);
        head.keep_alive(keep_alive);
        if (!co_await relay<false>(client_, upstream, upstream_buffer_, response)) {
            drop_upstream();
            co_return false;
        }
        if (!site_keeps_alive || until_close) {
            drop_upstream();
        }
        co_return keep_alive;
    }

    // After a WebSocket handshake both sides speak frames: bytes pass as
    // they come, each way, until one side ends.
    template <class Upstream>
    awaitable<void> tunnel(Upstream& upstream, http::response_header<>& head) {
        http::response<http::empty_body> switching(std::move(head));
        auto [error, written] = co_await http::async_write(client_, switching, kNoThrow);
        if (error) {
            co_return;
        }
        co_await (pump(client_, client_buffer_, upstream) &&
                  pump(upstream, upstream_buffer_, client_));
    }

    template <class From, class To>
    static awaitable<void> pump(From& from, beast::flat_buffer& early, To& to) {
        auto [error, written] = co_await asio::async_write(to, early.data(), kNoThrow);
        early.consume(early.size());
        std::vector<char> data(16 * 1024);
        while (!error) {
            auto [read_error, read] = co_await from.async_read_some(asio::buffer(data), kNoThrow);
            if (read_error) {
                break;
            }
            std::tie(error, written) =
                co_await asio::async_write(to, asio::buffer(data.data(), read), kNoThrow);
        }
        beast::error_code ignored;
        beast::get_lowest_layer(to).socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    std::shared_ptr<Preview> preview_;
    beast::tcp_stream client_;
    beast::flat_buffer client_buffer_;
    // The connection to the site: plain, or TLS for an https site.
    std::optional<beast::tcp_stream> plain_;
    std::optional<beast::ssl_stream<beast::tcp_stream>> tls_;
    beast::flat_buffer upstream_buffer_;
    Piece piece_{};
};

awaitable<void> serve(std::shared_ptr<Preview> preview, tcp::socket socket) {
    ++preview->connections;
    try {
        auto connection = std::make_unique<Connection>(preview, std::move(socket));
        co_await connection->serve();
    } catch (const std::exception&) {
        // A connection that fails ends alone; the listener and the others go on.
    }
    --preview->connections;
}

awaitable<void> accept_on(std::shared_ptr<Preview> preview, tcp::acceptor& acceptor) {
    while (acceptor.is_open()) {
        auto [error, socket] = co_await acceptor.async_accept(kNoThrow);
        if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor) {
            co_return;
        }
        if (error) {
            // Out of descriptors, say: a pause, rather than a loop that
            // spins on the same error.
            asio::steady_timer pause(acceptor.get_executor(), 100ms);
            co_await pause.async_wait(kNoThrow);
            continue;
        }
        if (preview->connections >= kMaxConnections) {
            continue; // the socket closes as it goes out of scope
        }
        asio::co_spawn(acceptor.get_executor(), serve(preview, std::move(socket)), asio::detached);
    }
}

} // namespace

void accept_connections(asio::io_context& io, const std::shared_ptr<Preview>& preview) {
    asio::post(io, [&io, preview] {
        for (tcp::acceptor& acceptor : preview->acceptors) {
            asio::co_spawn(io, accept_on(preview, acceptor), asio::detached);
        }
    });
}

} // namespace quillo::browser
