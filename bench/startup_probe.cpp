// Measures how fast the server starts and how much memory it holds when idle:
// the median time from exec to the first answered GET /api/health over a
// number of starts, then the VmRSS and thread count of the last run after it
// has idled for two seconds. Only 127.0.0.1 is contacted.
//
//   build/bench/startup_probe [--reuse-home] build/quillo [starts] [port]
//
// Each start gets a new home by default, so each is a first start: the
// server creates its configuration directory and secret key (written and
// synced to disk). With --reuse-home all starts share one home, which an
// unmeasured start has set up first: a restart, as on every day but the first.
//
// Any other server is timed the same way, for a comparison: it is started
// from the given command line with the environment as it is, and must
// answer GET /api/health on the port with a 200 (bench/run-bench gives nginx
// such a location).
//
//   build/bench/startup_probe --command STARTS PORT -- PROGRAM [ARGS...]

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool health_answers(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const char request[] =
            "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        char reply[16] = {};
        ok = ::write(fd, request, sizeof request - 1) > 0 && ::read(fd, reply, 12) == 12 &&
             std::string(reply, 12) == "HTTP/1.1 200";
    }
    ::close(fd);
    return ok;
}

pid_t spawn(const std::vector<std::string>& command, std::vector<std::string> env_text) {
    std::vector<char*> env;
    for (std::string& e : env_text) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);
    std::vector<std::string> args = command;
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), env.data()) != 0) {
        std::perror("posix_spawnp");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::vector<std::string> current_environment() {
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
        env_text.emplace_back(*e);
    }
    return env_text;
}

pid_t start_server(const std::string& binary, const std::string& home, int port) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("QUILLO_", 0) != 0 && std::string(*e).rfind("HOME=", 0) != 0) {
            env_text.emplace_back(*e);
        }
    }
    env_text.push_back("HOME=" + home);
    env_text.push_back("QUILLO_PORT=" + std::to_string(port));
    env_text.push_back("QUILLO_HOST=127.0.0.1");
    env_text.push_back("QUILLO_NO_AUTO_OPEN=1");
    env_text.push_back("QUILLO_NO_TRAY=1");
    return spawn({binary}, std::move(env_text));
}

std::string status_lines(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS", 0) == 0 || line.rfind("Threads", 0) == 0) {
            out += line + "\n";
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " [--reuse-home] SERVER_BINARY [STARTS] [PORT]\n"
                  << "       " << argv[0] << " --command STARTS PORT -- PROGRAM [ARGS...]\n";
        return 2;
    }
    // Quillo by default, with a home of its own per start; or any command.
    std::vector<std::string> command;
    std::string binary;
    int starts = 10;
    int port = 18231;
    bool reuse_home = false;
    if (std::string(argv[1]) == "--reuse-home") {
        reuse_home = true;
        ++argv;
        --argc;
        if (argc < 2) {
            std::cerr << "usage: " << argv[0] << " --reuse-home SERVER_BINARY [STARTS] [PORT]\n";
            return 2;
        }
    }
    if (std::string(argv[1]) == "--command") {
        if (argc < 6 || std::string(argv[4]) != "--") {
            std::cerr << "usage: " << argv[0] << " --command STARTS PORT -- PROGRAM [ARGS...]\n";
            return 2;
        }
        starts = std::atoi(argv[2]);
        port = std::atoi(argv[3]);
        command.assign(argv + 5, argv + argc);
    } else {
        binary = argv[1];
        starts = argc > 2 ? std::atoi(argv[2]) : 10;
        port = argc > 3 ? std::atoi(argv[3]) : 18231;
    }
    if (starts <= 0) {
        std::cerr << "STARTS must be at least 1\n";
        return 2;
    }
    std::vector<double> millis;
    // With a shared home, start -1 sets it up and is not counted.
    for (int i = reuse_home ? -1 : 0; i < starts; ++i) {
        std::string home =
            std::filesystem::temp_directory_path() /
            ("quillo-probe-" + std::to_string(reuse_home ? 0 : i));
        if (command.empty()) {
            std::filesystem::create_directories(home);
        }
        Clock::time_point begin = Clock::now();
        pid_t pid = command.empty() ? start_server(binary, home, port)
                                    : spawn(command, current_environment());
        while (!health_answers(port)) {
            int status = 0;
            if (Clock::now() - begin > std::chrono::seconds(10) ||
                ::waitpid(pid, &status, WNOHANG) == pid) {
                std::cerr << "the server did not answer within 10 s, or ended\n";
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                if (command.empty()) {
                    std::filesystem::remove_all(home);
                }
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (i >= 0) {
            millis.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        }
        if (i == starts - 1) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            std::cout << status_lines(pid);
        }
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        if (command.empty() && (!reuse_home || i == starts - 1)) {
            std::filesystem::remove_all(home);
        }
    }
    // Each start too, in order, for a caller that pools several runs.
    std::printf("each start (ms):");
    for (double ms : millis) {
        std::printf(" %.2f", ms);
    }
    std::printf("\n");
    std::sort(millis.begin(), millis.end());
    std::printf("start to first answer over %d starts: median %.2f ms, min %.2f ms, max %.2f ms\n",
                starts, millis[millis.size() / 2], millis.front(), millis.back());
    return 0;
}
