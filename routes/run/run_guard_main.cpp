// quillo-run-guard: ends the runs and terminals of a server that has gone.
//
// The run module starts it, in a session of its own, with a pipe for its
// standard input whose only write end the server holds. The server writes
// "+<group>\n" when a run or a terminal starts (the process group its child
// leads) and "-<group>\n" once that child has ended. End of file means the
// server is gone, however it ended (SIGKILL, a crash, a clean stop): the
// groups still listed get SIGHUP, as at a clean stop, and SIGKILL once
// kHangUpGrace has passed. Then the guard exits.
//
// The kernel could not do this on a phone: PR_SET_PDEATHSIG fires when the
// thread that started the child ends (the server's workers retire), and
// Termux and proot have no cgroups to put the children in.
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// As long as a closed terminal gives its shell.
constexpr std::chrono::milliseconds kHangUpGrace{2000};

// Sockets the server had open without close-on-exec (the HTTP library's
// accepted connections, where the C library cannot close them at the spawn).
// Held here for the server's whole life, they would keep a connection the
// server closed open for its client.
void close_inherited_sockets() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    std::vector<int> sockets;
    while (dirent* entry = ::readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        if (fd <= STDERR_FILENO || fd == ::dirfd(dir)) {
            continue;
        }
        char target[64];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 &&
            std::string_view(target, static_cast<size_t>(length)).starts_with("socket:")) {
            sockets.push_back(fd);
        }
    }
    ::closedir(dir);
    for (int fd : sockets) {
        ::close(fd);
    }
}

// Applies "+<group>" or "-<group>". Anything else is ignored, and so is a
// group that cannot be a child's: kill(-1) would reach every process of the
// user, and kill(0) the guard's own group.
void apply(std::string_view line, std::set<pid_t>& groups) {
    if (line.size() < 2 || (line.front() != '+' && line.front() != '-')) {
        return;
    }
    pid_t group = 0;
    const char* end = line.data() + line.size();
    auto [stop, error] = std::from_chars(line.data() + 1, end, group);
    if (error != std::errc() || stop != end || group <= 1 || group == ::getpid()) {
        return;
    }
    if (line.front() == '+') {
        groups.insert(group);
    } else {
        groups.erase(group);
    }
}

void end_groups(std::set<pid_t> groups) {
    for (pid_t group : groups) {
        ::kill(-group, SIGHUP);
    }
    for (auto deadline = Clock::now() + kHangUpGrace; !groups.empty() && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::erase_if(groups, [](pid_t group) { return ::kill(-group, 0) != 0 && errno == ESRCH; });
    }
    for (pid_t group : groups) {
        ::kill(-group, SIGKILL);
    }
}

} // namespace

int main() {
    // What stops the server from its terminal must not stop the guard first.
    for (int signum : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) {
        ::signal(signum, SIG_IGN);
    }
    ::setsid(); // started in a session of its own already, when the module started it
    close_inherited_sockets();

    std::set<pid_t> groups;
    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // the server is gone: nothing else holds the write end
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            apply(std::string_view(pending).substr(0, end), groups);
            pending.erase(0, end + 1);
        }
    }
    end_groups(std::move(groups));
    return 0;
}
