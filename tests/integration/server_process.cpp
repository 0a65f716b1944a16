#include "server_process.h"

#include "utils/unique_fd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillo::integration {

namespace fs = std::filesystem;
using quillo::utils::UniqueFd;

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A socket address for a numeric host: IPv6 when the text has a ':'.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
};

SocketAddress socket_address(const std::string& host, int port) {
    SocketAddress address;
    if (host.find(':') != std::string::npos) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) != 1) {
            throw std::invalid_argument("not a numeric IPv6 address: " + host);
        }
        address.length = sizeof(sockaddr_in6);
        address.family = AF_INET6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&address.storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &in4->sin_addr) != 1) {
            throw std::invalid_argument("not a numeric IPv4 address: " + host);
        }
        address.length = sizeof(sockaddr_in);
    }
    return address;
}

int bound_port(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        fail("getsockname");
    }
    if (storage.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

int open_or_fail(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("open " + path);
    }
    return fd;
}

void set_variable(std::vector<std::string>& env, const std::string& name,
                  const std::string& value) {
    std::string prefix = name + "=";
    std::erase_if(env, [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
    env.push_back(prefix + value);
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        out.push_back(text.data());
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

std::string default_binary() {
    return std::string(QUILLO_BUILD_DIR) + "/quillo";
}

HelperProgram::HelperProgram(std::vector<std::string> args, int stop_signal)
    : stop_signal_(stop_signal) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + args.front());
    }
}

HelperProgram::~HelperProgram() {
    ::kill(pid_, stop_signal_);
    ::waitpid(pid_, nullptr, 0);
}

bool HelperProgram::wait_for_port(int port) const {
    for (int tries = 0; tries < 200; ++tries) {
        if (connect_error("127.0.0.1", port) == 0) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int free_port() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        fail("socket");
    }
    SocketAddress address = socket_address("127.0.0.1", 0);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address.storage), address.length) != 0) {
        fail("bind 127.0.0.1:0");
    }
    return bound_port(fd.get());
}

bool can_bind(const std::string& host) {
    SocketAddress address = socket_address(host, 0);
    UniqueFd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd.get() >= 0 &&
           ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address.storage), address.length) == 0;
}

int connect_error(const std::string& host, int port) {
    SocketAddress address = socket_address(host, port);
    UniqueFd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        return errno;
    }
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address.storage), address.length) != 0) {
        return errno;
    }
    return 0;
}

ClientSocket::ClientSocket(int port) {
    SocketAddress address = socket_address("127.0.0.1", port);
    fd_ = ::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connected_ = fd_ >= 0 &&
                 ::connect(fd_, reinterpret_cast<sockaddr*>(&address.storage), address.length) == 0;
}

ClientSocket::~ClientSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

ListeningSocket::ListeningSocket(const std::string& host, int port) {
    SocketAddress address = socket_address(host, port);
    fd_ = ::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        fail("socket");
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address.storage), address.length) != 0 ||
        ::listen(fd_, 16) != 0) {
        int err = errno;
        ::close(fd_);
        errno = err;
        fail("listen on " + host + ":" + std::to_string(port));
    }
    port_ = bound_port(fd_);
}

ListeningSocket::~ListeningSocket() {
    ::close(fd_);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_text(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

int kill_processes_with_home(const std::string& home) {
    const std::string wanted = "HOME=" + home;
    int killed = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        pid_t pid = std::stoi(name);
        if (pid == ::getpid()) {
            continue;
        }
        std::string environment = read_text("/proc/" + name + "/environ");
        size_t start = 0;
        while (start < environment.size()) {
            size_t end = environment.find('\0', start);
            if (end == std::string::npos) {
                end = environment.size();
            }
            if (environment.compare(start, end - start, wanted) == 0) {
                killed += ::kill(pid, SIGKILL) == 0 ? 1 : 0;
                break;
            }
            start = end + 1;
        }
    }
    return killed;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

size_t count_log_lines(const std::string& log_text, const std::string& message) {
    static const std::regex stamp(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}[+-]\d{2}:?\d{2} )");
    size_t count = 0;
    for (const std::string& line : split_lines(log_text)) {
        if (line.size() > message.size() &&
            line.compare(line.size() - message.size(), message.size(), message) == 0 &&
            std::regex_match(line.substr(0, line.size() - message.size()), stamp)) {
            ++count;
        }
    }
    return count;
}

std::string copy_build_layout(const std::string& directory) {
    const fs::path build(QUILLO_BUILD_DIR);
    const fs::path target(directory);
    fs::create_directories(target);
    fs::copy_file(build / "quillo", target / "quillo", fs::copy_options::overwrite_existing);
    fs::permissions(target / "quillo", fs::status(build / "quillo").permissions());
    fs::copy_file(build / "qarn_service.so", target / "qarn_service.so",
                  fs::copy_options::overwrite_existing);
    for (const char* sub : {"routes", "static"}) {
        fs::copy(build / sub, target / sub,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    return (target / "quillo").string();
}

std::vector<std::string>
server_environment(const std::string& home, int port, const std::string& host,
                   const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        if (text.rfind("QUILLO_", 0) != 0 && text.rfind("HOME=", 0) != 0) {
            env.push_back(std::move(text));
        }
    }
    set_variable(env, "HOME", home);
    set_variable(env, "QUILLO_CONFIG_DIR", home + "/.quillo");
    set_variable(env, "QUILLO_PORT", std::to_string(port));
    set_variable(env, "QUILLO_HOST", host);
    set_variable(env, "QUILLO_NO_AUTO_OPEN", "1");
    set_variable(env, "QUILLO_NO_TRAY", "1");
    for (const auto& [name, value] : extra) {
        set_variable(env, name, value);
    }
    return env;
}

ServerProcess::ServerProcess(ServerOptions options) {
    home_ = options.home.empty() ? dir_.path() + "/home" : options.home;
    fs::create_directories(home_);
    host_ = options.host;
    port_ = options.port != 0 ? options.port : free_port();
    std::string binary = options.binary.empty() ? default_binary() : options.binary;

    std::vector<std::string> env = server_environment(home_, port_, host_, options.env);
    std::vector<std::string> argv{options.argv0.empty() ? binary : options.argv0};
    argv.insert(argv.end(), options.args.begin(), options.args.end());

    // Everything the child needs is prepared here: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char*> c_argv = c_strings(argv);
    std::vector<char*> c_env = c_strings(env);
    UniqueFd in(open_or_fail("/dev/null", O_RDONLY));
    UniqueFd out(open_or_fail(dir_.path() + "/stdout.txt", O_WRONLY | O_CREAT | O_TRUNC));
    UniqueFd err(open_or_fail(dir_.path() + "/stderr.txt", O_WRONLY | O_CREAT | O_TRUNC));
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    UniqueFd report_read(report[0]);
    UniqueFd report_write(report[1]);
    const std::string& work_dir = dir_.path();
    pid_t parent = ::getpid();

    pid_t pid = ::fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        // The test process may block or ignore signals; the server must
        // start from the defaults, as it would from a shell.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        sigemptyset(&default_action.sa_mask);
        for (int signum : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
            ::sigaction(signum, &default_action, nullptr);
        }
        // A test run that dies must not leave servers behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        // The console files are written under the limit too; they stay far
        // below any limit a test sets.
        bool ready = true;
        if (options.file_size_limit) {
            rlimit limit{};
            ready = ::getrlimit(RLIMIT_FSIZE, &limit) == 0;
            limit.rlim_cur = *options.file_size_limit;
            ready = ready && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        }
        // What root may do after exec is its bounding set; a user has no
        // override to lose.
        if (ready && options.without_dac_override && ::geteuid() == 0) {
            ready = ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0;
        }
        if (!ready || ::dup2(in.get(), 0) < 0 || ::dup2(out.get(), 1) < 0 ||
            ::dup2(err.get(), 2) < 0 || ::chdir(work_dir.c_str()) != 0) {
            int e = errno;
            (void)!::write(report_write.get(), &e, sizeof e);
            ::_exit(127);
        }
        ::execve(binary.c_str(), c_argv.data(), c_env.data());
        int e = errno;
        (void)!::write(report_write.get(), &e, sizeof e);
        ::_exit(127);
    }
    pid_ = pid;
    report_write.reset();
    int child_errno = 0;
    ssize_t n;
    do {
        n = ::read(report_read.get(), &child_errno, sizeof child_errno);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        reap(true);
        errno = child_errno;
        fail("start " + binary);
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    // Under ThreadSanitizer a race in the server must fail the test that ran
    // it, even when the test never reads the output and the server was killed
    // before it could exit with the sanitizer's status. The report goes to
    // standard error, which a daemon points at server.log.
    for (const std::string& path : {dir_.path() + "/stderr.txt", config_dir() + "/server.log"}) {
        std::string text = read_text(path);
        if (text.find("ThreadSanitizer") != std::string::npos) {
            ADD_FAILURE() << "the server reported on " << path << ":\n" << text;
        }
    }
}

std::string ServerProcess::stdout_text() const {
    return read_text(dir_.path() + "/stdout.txt");
}

std::string ServerProcess::stderr_text() const {
    return read_text(dir_.path() + "/stderr.txt");
}

std::string ServerProcess::describe() const {
    return "--- server stdout ---\n" + stdout_text() + "\n--- server stderr ---\n" + stderr_text() +
           "\n---";
}

bool ServerProcess::wait_for(const std::string& file, const std::string& text,
                             std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        bool running = is_running();
        if (read_text(file).find(text) != std::string::npos) {
            return true;
        }
        if (!running || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool ServerProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_for(dir_.path() + "/stdout.txt", text, timeout);
}

bool ServerProcess::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_for(dir_.path() + "/stderr.txt", text, timeout);
}

bool ServerProcess::wait_until_listening(std::chrono::milliseconds timeout) {
    return wait_for_output("[OK] Listening", timeout);
}

void ServerProcess::send_signal(int signum) {
    // Until it is reaped an ended child stays a zombie that keeps its id, so
    // only a reaped one must not be signalled: the id may be reused.
    if (status_) {
        throw std::logic_error("signal " + std::to_string(signum) + " to a process that ended");
    }
    if (::kill(pid_, signum) != 0) {
        fail("kill");
    }
}

bool ServerProcess::reap(bool block) {
    if (status_) {
        return true;
    }
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done != pid_) {
        return false;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return true;
}

bool ServerProcess::is_running() {
    return !reap(false);
}

std::optional<int> ServerProcess::wait_exit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
    return status_;
}

long proc_status_number(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

http::Client http_client(const std::string& host, int port) {
    http::Client client(host, port);
    client.set_connection_timeout(3s);
    client.set_read_timeout(5s);
    client.set_write_timeout(5s);
    return client;
}

RawResponse raw_exchange(const std::string& host, int port, const std::string& request,
                         std::chrono::milliseconds timeout) {
    SocketAddress address = socket_address(host, port);
    UniqueFd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        fail("socket");
    }
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval tv{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address.storage), address.length) != 0) {
        fail("connect to " + host + ":" + std::to_string(port));
    }
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("send");
        }
        sent += static_cast<size_t>(n);
    }
    std::string received;
    char buffer[4096];
    while (true) {
        ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // closed, or no data within the time-out
        }
        received.append(buffer, static_cast<size_t>(n));
    }

    RawResponse response;
    size_t line_end = received.find("\r\n");
    if (line_end == std::string::npos) {
        response.status_line = received;
        return response;
    }
    response.status_line = received.substr(0, line_end);
    size_t head_end = received.find("\r\n\r\n", line_end);
    if (head_end == std::string::npos) {
        response.head = received.substr(line_end + 2);
        return response;
    }
    if (head_end > line_end) {
        response.head = received.substr(line_end + 2, head_end - line_end - 2);
    }
    response.body = received.substr(head_end + 4);
    return response;
}

} // namespace quillo::integration
