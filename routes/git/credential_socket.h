// The local socket through which the credential helper (a small program git
// starts) reaches the server. It lives in the configuration directory and
// answers only processes of the server's own user.
//
// A request is: the action ("get", "store", "erase") on a line, the ask key
// of the module's job on a line ("-" for any other git), then git's
// attributes and an empty line. The answer is the attributes for git; the
// server closes the connection after it.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <string>
#include <thread>

namespace quillo::git {

class CredentialSocket {
  public:
    using Handler = std::function<std::string(const std::string& action, const std::string& ask_key,
                                              const std::string& attributes)>;

    // Listens at `path` (a stale socket file there is replaced). Throws
    // std::system_error naming the failed call.
    CredentialSocket(std::string path, Handler handler);
    // Stops listening, waits for the requests in progress, removes the file.
    ~CredentialSocket();
    CredentialSocket(const CredentialSocket&) = delete;
    CredentialSocket& operator=(const CredentialSocket&) = delete;

    const std::string& path() const { return path_; }

  private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void accept_loop();
    void serve(int fd);
    void join_finished();

    std::string path_;
    Handler handler_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::list<Connection> connections_; // the accepting thread's alone
    std::thread acceptor_;
};

} // namespace quillo::git
