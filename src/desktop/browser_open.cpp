#include "desktop/browser_open.h"

#include "quillo/process.h"
#include "utils/utils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace quillo::desktop {

namespace {

using namespace std::chrono_literals;

constexpr int kAttempts = 20;
constexpr auto kPause = 500ms;
constexpr int kConnectTimeoutMs = 500;
constexpr auto kOpenerPatience = 3s;

bool on_termux(const Getenv& getenv) {
    std::optional<std::string> prefix = getenv("PREFIX");
    return env_is_set(getenv, "TERMUX_VERSION") ||
           (prefix && prefix->find("com.termux") != std::string::npos);
}

void ask_browser(const AutoOpen& auto_open) {
    std::string url = "http://localhost:" + std::to_string(auto_open.port);
    try {
        auto_open.open(url);
    } catch (const std::exception& e) {
        std::string message = std::string(e.what()) + "; open " + url + " in a browser";
        *auto_open.out << "  [WARN] Auto-open browser failed: " + message + "\n" << std::flush;
        auto_open.log("[SERVER] Auto-open browser failed: " + message);
        return;
    }
    *auto_open.out << "  [OK] Opened IDE in browser: " + url + "\n" << std::flush;
    auto_open.log("[SERVER] Auto-opened browser: " + url);
}

} // namespace

bool env_is_set(const Getenv& getenv, const char* name) {
    std::optional<std::string> value = getenv(name);
    return value && !value->empty();
}

bool auto_open_wanted(bool no_browser, bool daemon_mode, const Getenv& getenv) {
    return !no_browser && !daemon_mode && !env_is_set(getenv, "QUILLO_NO_AUTO_OPEN");
}

std::vector<std::string> browser_command(const std::string& url, utils::Platform platform,
                                         const Getenv& getenv) {
    if (std::optional<std::string> browser = getenv("BROWSER"); browser && !browser->empty()) {
        return {*browser, url};
    }
    switch (platform) {
    case utils::Platform::Windows:
        return {"cmd", "/c", "start", "", url};
    case utils::Platform::MacOS:
        return {"open", url};
    default:
        return {on_termux(getenv) ? "termux-open-url" : "xdg-open", url};
    }
}

void run_opener(const std::vector<std::string>& command, std::chrono::milliseconds patience) {
    process::LaunchOptions options;
    options.stdin_mode = process::Stream::null_device;
    options.stdout_mode = process::Stream::null_device;
    options.stderr_mode = process::Stream::null_device;
    options.start_new_session = true; // a Ctrl+C for the server leaves the browser alone
    const std::string& name = command.front();
    std::optional<process::Popen> opener;
    try {
        opener.emplace(command, options);
    } catch (const process::ProgramNotFound&) {
        throw std::runtime_error(name + " was not found");
    } catch (const process::SubprocessError& e) {
        throw std::runtime_error(name + " could not start: " + e.what());
    }
    int status = 0;
    try {
        status = opener->wait(patience);
    } catch (const process::TimeoutExpired&) {
        return; // still at work, or it is the browser: the Popen reaps it later
    }
    if (status > 0) {
        throw std::runtime_error(name + " exited with status " + std::to_string(status));
    }
    if (status < 0) {
        throw std::runtime_error(name + " was ended by signal " + std::to_string(-status));
    }
}

void open_in_browser(const std::string& url) {
    run_opener(browser_command(url, utils::current_platform(), utils::environment_variable),
               kOpenerPatience);
}

void open_browser_after_delay(const AutoOpen& auto_open) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int result = -1;
        try {
            result = auto_open.probe(auto_open.port);
        } catch (const std::exception&) {
            // a socket that could not be made: just another failed attempt
        }
        if (result == 0) {
            auto_open.sleep(kPause); // let the listeners settle
            ask_browser(auto_open);
            return;
        }
        auto_open.sleep(kPause);
    }
    *auto_open.out << "  [WARN] Auto-open: server did not become ready in 10s, skipping\n"
                   << std::flush;
    auto_open.log("[SERVER] Auto-open: server did not become ready in 10s, skipping");
}

int probe_loopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        result = errno;
        if (result == EINPROGRESS) {
            pollfd entry{fd, POLLOUT, 0};
            result = ETIMEDOUT;
            if (::poll(&entry, 1, kConnectTimeoutMs) == 1) {
                socklen_t length = sizeof result;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length);
            }
        }
    }
    ::close(fd);
    return result;
}

void start_browser_auto_open(int port, std::ostream& out, LogFunction log) {
    AutoOpen auto_open;
    auto_open.port = port;
    auto_open.probe = probe_loopback;
    auto_open.sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    auto_open.open = open_in_browser;
    auto_open.out = &out;
    auto_open.log = std::move(log);
    std::thread([auto_open] { open_browser_after_delay(auto_open); }).detach();
}

} // namespace quillo::desktop
