// Measures how fast the server starts and how much memory it holds when idle:
// the median time from exec to the first answered GET /api/health over a
// number of starts, then the VmRSS and thread count of the last run after it
// has idled for two seconds. Only 127.0.0.1 is contacted.
//
//   build/bench/startup_probe build/quillo [starts] [port]

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
    std::vector<char*> env;
    for (std::string& e : env_text) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string arg0 = binary;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, env.data()) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
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
        std::cerr << "usage: " << argv[0] << " SERVER_BINARY [STARTS] [PORT]\n";
        return 2;
    }
    std::string binary = argv[1];
    int starts = argc > 2 ? std::atoi(argv[2]) : 10;
    int port = argc > 3 ? std::atoi(argv[3]) : 18231;
    std::vector<double> millis;
    for (int i = 0; i < starts; ++i) {
        std::string home =
            std::filesystem::temp_directory_path() / ("quillo-probe-" + std::to_string(i));
        std::filesystem::create_directories(home);
        Clock::time_point begin = Clock::now();
        pid_t pid = start_server(binary, home, port);
        while (!health_answers(port)) {
            if (Clock::now() - begin > std::chrono::seconds(10)) {
                std::cerr << "the server did not answer within 10 s\n";
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                std::filesystem::remove_all(home);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        if (i == starts - 1) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            std::cout << status_lines(pid);
        }
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(home);
    }
    std::sort(millis.begin(), millis.end());
    std::printf("start to first answer over %d starts: median %.2f ms, min %.2f ms, max %.2f ms\n",
                starts, millis[millis.size() / 2], millis.front(), millis.back());
    return 0;
}
