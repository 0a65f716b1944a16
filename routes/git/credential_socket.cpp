#include "credential_socket.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace quillo::git {

namespace {

constexpr size_t kLargestRequest = 64 * 1024;
constexpr int kReadLimitMs = 10'000;
// Requests waiting for the user count here, so there is room for many.
constexpr size_t kMostConnections = 32;

[[noreturn]] void fail(const std::string& call) {
    throw std::system_error(errno, std::generic_category(), call);
}

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(),
                                "the credential socket path " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

bool same_user(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

// The request up to its empty line, or nothing when the peer is too slow
// or sends too much.
std::string read_request(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\n\n") == std::string::npos && request.size() < kLargestRequest) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, kReadLimitMs) <= 0) {
            return {};
        }
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break; // the helper closed its side: what came is the request
        }
        request.append(buffer, static_cast<size_t>(got));
    }
    return request;
}

void write_answer(int fd, const std::string& answer) {
    size_t done = 0;
    while (done < answer.size()) {
        ssize_t wrote = ::send(fd, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
        if (wrote <= 0 && errno != EINTR) {
            return; // the helper is gone; git goes on without it
        }
        done += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
}

} // namespace

CredentialSocket::CredentialSocket(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {
    sockaddr_un address = address_of(path_);
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        fail("socket");
    }
    ::unlink(path_.c_str()); // a file left by a server that was killed
    // The configuration directory is the user's alone already; the mode is
    // one more fence, set without touching the process-wide umask.
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path_.c_str(), 0600) != 0 || ::listen(listen_fd_, 16) != 0) {
        int error = errno;
        ::close(listen_fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        throw std::system_error(error, std::generic_category(), "bind/listen " + path_);
    }
    acceptor_ = std::thread([this] { accept_loop(); });
}

CredentialSocket::~CredentialSocket() {
    char stop = 1;
    (void)!::write(wake_[1], &stop, 1);
    acceptor_.join();
    for (Connection& connection : connections_) {
        connection.thread.join();
    }
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(path_.c_str());
}

void CredentialSocket::accept_loop() {
    for (;;) {
        pollfd ready[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (ready[1].revents != 0) {
            return;
        }
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        join_finished();
        if (!same_user(fd) || connections_.size() >= kMostConnections) {
            ::close(fd);
            continue;
        }
        Connection& connection = connections_.emplace_back();
        connection.thread = std::thread([this, fd, &connection] {
            serve(fd);
            connection.done = true;
        });
    }
}

void CredentialSocket::join_finished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void CredentialSocket::serve(int fd) {
    std::string request = read_request(fd);
    size_t first = request.find('\n');
    size_t second = first == std::string::npos ? first : request.find('\n', first + 1);
    if (second != std::string::npos) {
        try {
            std::string ask_key = request.substr(first + 1, second - first - 1);
            write_answer(fd, handler_(request.substr(0, first), ask_key == "-" ? "" : ask_key,
                                      request.substr(second + 1)));
        } catch (const std::exception&) {
            // git treats a helper with no answer as one that knows nothing
        }
    }
    ::close(fd);
}

} // namespace quillo::git
