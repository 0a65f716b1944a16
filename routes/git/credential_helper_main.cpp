// quillo-git-credential: the credential helper that git runs inside the IDE
// (git-credential(1)). It passes git's request to the server over the
// server's credential socket and git's answer back, and nothing else: it
// holds no token and writes none anywhere. When the server cannot be
// reached it answers nothing, and git goes on as if it had no helper.
//
//     quillo-git-credential --socket <path> get|store|erase
//
// The ask key of one of the server's own git jobs comes in QUILLO_GIT_ASK.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The user may take this long to type a token into the page.
constexpr int kAnswerLimitMs = 15 * 60 * 1000;

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno != EINTR) {
            return false;
        }
        done += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
    return true;
}

int connect_to(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string answer_from(int fd) {
    std::string answer;
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, kAnswerLimitMs) <= 0) {
            return {};
        }
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            return answer;
        }
        answer.append(buffer, static_cast<size_t>(got));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "--socket") != 0) {
        const char usage[] = "usage: quillo-git-credential --socket <path> get|store|erase\n";
        (void)!::write(2, usage, sizeof usage - 1);
        return 2;
    }
    std::string action = argv[3];
    std::string attributes = read_all(0);
    if (action != "get" && action != "store" && action != "erase") {
        return 0; // an action of a newer git: nothing to do
    }
    int fd = connect_to(argv[2]);
    if (fd < 0) {
        return 0;
    }
    const char* ask_key = std::getenv("QUILLO_GIT_ASK");
    // "-" for none: the request's header lines are never empty, since an empty
    // line ends the request.
    std::string request = action + "\n" + (ask_key && *ask_key ? ask_key : "-") + "\n" + attributes;
    while (!request.ends_with("\n\n")) {
        request += "\n";
    }
    if (write_all(fd, request)) {
        write_all(1, answer_from(fd));
    }
    ::close(fd);
    return 0;
}
