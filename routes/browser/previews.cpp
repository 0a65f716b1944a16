#include "previews.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <sys/random.h>
#include <system_error>

namespace quillo::browser {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Sixteen previews at once is more than a phone shows; beyond that the
// oldest goes, so that listeners do not pile up over a long session.
constexpr size_t kMaxPreviews = 16;
constexpr size_t kMaxIdeOrigins = 8;

// "localhost:12345" → "localhost"; "[::1]:12345" → "[::1]".
std::string host_name_of(const std::string& host) {
    if (host.starts_with('[')) {
        size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(0, end + 1);
    }
    return host.substr(0, host.find(':'));
}

template <class Map> void forget_expired(Map& map, Clock::time_point now) {
    std::erase_if(map, [now](const auto& entry) { return entry.second <= now; });
}

} // namespace

std::string random_token() {
    unsigned char bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += got > 0 ? static_cast<size_t>(got) : 0;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

std::optional<std::string> Preview::redeem(const std::string& ticket) {
    std::lock_guard lock(mutex);
    Clock::time_point now = Clock::now();
    forget_expired(tickets, now);
    if (tickets.erase(ticket) == 0) {
        return std::nullopt;
    }
    forget_expired(passes, now);
    std::string pass = random_token();
    passes[pass] = now + kPassLifetime;
    return pass;
}

bool Preview::admits(const std::string& pass) {
    std::lock_guard lock(mutex);
    auto found = passes.find(pass);
    return found != passes.end() && found->second > Clock::now();
}

PreviewContext Preview::context(const std::string& preview_host) {
    std::lock_guard lock(mutex);
    return {target.origin(), target.authority(), "http://" + preview_host, ide_origins};
}

Previews::Previews(std::vector<std::string> listen_hosts) : listen_hosts_(std::move(listen_hosts)) {
    if (listen_hosts_.empty()) {
        listen_hosts_.push_back("127.0.0.1");
    }
}

Previews::~Previews() {
    stop();
}

void Previews::start_thread() {
    if (thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this] {
        auto work = asio::make_work_guard(io_);
        io_.run();
    });
}

// Binds one port on every listen address: the first address picks a free
// port and the others take the same one; when another program holds it on
// one of them, a new port is tried.
void Previews::listen(Preview& preview) {
    std::error_code last;
    for (int attempt = 0; attempt < 8; ++attempt) {
        preview.acceptors.clear();
        uint16_t port = 0;
        try {
            for (const std::string& host : listen_hosts_) {
                tcp::endpoint endpoint(asio::ip::make_address(host), port);
                tcp::acceptor acceptor(io_);
                acceptor.open(endpoint.protocol());
                acceptor.set_option(tcp::acceptor::reuse_address(true));
                if (endpoint.address().is_v6()) {
                    acceptor.set_option(asio::ip::v6_only(true));
                }
                acceptor.bind(endpoint);
                acceptor.listen();
                port = acceptor.local_endpoint().port();
                preview.acceptors.push_back(std::move(acceptor));
            }
            preview.port = port;
            return;
        } catch (const boost::system::system_error& error) {
            last = std::error_code(error.code().value(), std::generic_category());
        }
    }
    preview.acceptors.clear();
    throw std::system_error(last, "listen for a preview of " + preview.target.origin());
}

std::shared_ptr<Preview> Previews::preview_for(const Target& target) {
    std::string origin = target.origin();
    if (auto found = by_origin_.find(origin); found != by_origin_.end()) {
        return found->second;
    }
    auto preview = std::make_shared<Preview>();
    preview->target = target;
    preview->target.path_and_query = "/";
    listen(*preview);
    if (order_.size() >= kMaxPreviews) {
        std::shared_ptr<Preview> oldest = order_.front();
        order_.erase(order_.begin());
        by_origin_.erase(oldest->target.origin());
        asio::post(io_, [oldest] {
            for (tcp::acceptor& acceptor : oldest->acceptors) {
                boost::system::error_code ignored;
                acceptor.close(ignored);
            }
        });
    }
    by_origin_[origin] = preview;
    order_.push_back(preview);
    start_thread();
    accept_connections(io_, preview);
    return preview;
}

Opened Previews::open(const Target& target, const std::string& ide_host) {
    std::shared_ptr<Preview> preview;
    {
        std::lock_guard lock(mutex_);
        preview = preview_for(target);
    }
    std::string ticket = random_token();
    std::string ide_origin = "http://" + (ide_host.empty() ? "127.0.0.1" : ide_host);
    {
        std::lock_guard lock(preview->mutex);
        forget_expired(preview->tickets, Clock::now());
        preview->tickets[ticket] = Clock::now() + kTicketLifetime;
        bool known = std::find(preview->ide_origins.begin(), preview->ide_origins.end(),
                               ide_origin) != preview->ide_origins.end();
        if (!known && preview->ide_origins.size() < kMaxIdeOrigins) {
            preview->ide_origins.push_back(ide_origin);
        }
    }
    std::string origin = "http://" + host_name_of(ide_host.empty() ? "127.0.0.1" : ide_host) + ":" +
                         std::to_string(preview->port);
    return {origin + std::string(kEnterPath) + "?ticket=" + ticket +
                "&to=" + percent_encode(target.path_and_query),
            origin, target.url()};
}

std::optional<std::string> Previews::frame_url(int port) {
    std::lock_guard lock(mutex_);
    for (const auto& preview : order_) {
        if (preview->port == port) {
            std::lock_guard preview_lock(preview->mutex);
            if (!preview->frame_url.empty()) {
                return preview->frame_url;
            }
        }
    }
    return std::nullopt;
}

std::set<int> Previews::ports() {
    std::lock_guard lock(mutex_);
    std::set<int> ports;
    for (const auto& preview : order_) {
        ports.insert(preview->port);
    }
    return ports;
}

void Previews::stop() {
    io_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace quillo::browser
