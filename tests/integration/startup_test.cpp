// Start-up as a user sees it: the console, the health check, and the files
// the server keeps in its configuration directory across runs.
#include "server_process.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

const std::string kBannerTop = "    ╔══════════════════════════════════╗";
const std::string kBannerTitle = "    ║       Quillo Server           ║";

ptrdiff_t index_of(const std::vector<std::string>& lines, const std::string& line) {
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : it - lines.begin();
}

// Stops a server the way a service manager would and expects a clean exit.
void stop(ServerProcess& server) {
    server.send_signal(SIGTERM);
    ASSERT_EQ(server.wait_exit(), 0) << server.describe();
}

// The time stamps of the start lines of server.log, in file order. Each start
// line must follow an empty line.
std::vector<std::time_t> start_times(const std::string& server_log) {
    static const std::regex start(
        R"(--- Quillo Server starting at (\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d{6})?\+00:00 ---)");
    std::vector<std::string> lines = split_lines(server_log);
    std::vector<std::time_t> times;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("Quillo Server starting") == std::string::npos) {
            continue;
        }
        std::smatch m;
        EXPECT_TRUE(std::regex_match(lines[i], m, start)) << "malformed: " << lines[i];
        EXPECT_TRUE(i > 0 && lines[i - 1].empty()) << "no empty line before line " << i;
        if (m.empty()) {
            continue;
        }
        std::tm tm{};
        tm.tm_year = std::stoi(m[1]) - 1900;
        tm.tm_mon = std::stoi(m[2]) - 1;
        tm.tm_mday = std::stoi(m[3]);
        tm.tm_hour = std::stoi(m[4]);
        tm.tm_min = std::stoi(m[5]);
        tm.tm_sec = std::stoi(m[6]);
        times.push_back(::timegm(&tm));
    }
    return times;
}

std::time_t seconds(Clock::time_point when) {
    return Clock::to_time_t(when);
}

TEST(StartupTest, ConsoleShowsTheBannerAndThenTheListeningLine) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string port = std::to_string(server.port());
    std::vector<std::string> lines = split_lines(server.stdout_text());

    ASSERT_GE(lines.size(), 3u) << server.describe();
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], kBannerTop);
    EXPECT_EQ(lines[2], kBannerTitle);
    ptrdiff_t port_line =
        index_of(lines, "    ║  Port:    " + port + std::string(22 - port.size(), ' ') + "║");
    ptrdiff_t listening = index_of(lines, "  [OK] Listening on 127.0.0.1:" + port + " (IPv4)");
    EXPECT_GT(port_line, 2) << server.describe();
    EXPECT_GT(listening, port_line) << server.describe();
    EXPECT_EQ(count_of(server.stdout_text(), "[OK] Listening"), 1u);
    EXPECT_EQ(server.stderr_text(), "");
}

TEST(StartupTest, HealthCheckAnswersOk) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    http::Client client = http_client(server.host(), server.port());
    http::Result res = client.Get("/api/health");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(nlohmann::json::parse(res->body), nlohmann::json::object({{"status", "ok"}}));
}

TEST(StartupTest, QuilloLogRecordsThePortWorkspaceAndBindTargets) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string log = read_text(server.config_dir() + "/quillo.log");
    EXPECT_EQ(count_log_lines(log, "[SERVER] Starting on port " + std::to_string(server.port()) +
                                       ", workspace: " + server.workspace()),
              1u)
        << log;
    EXPECT_EQ(count_log_lines(log, "[SERVER] Bind targets: [('127.0.0.1', 'IPv4')]"), 1u) << log;
    EXPECT_TRUE(fs::is_directory(server.workspace()));
}

TEST(StartupTest, ServerLogGetsAStartLinePerRunAndIsNeverTruncated) {
    TempDir home;
    const std::string path = home.path() + "/.quillo/server.log";

    Clock::time_point before_first = Clock::now();
    {
        ServerProcess server({.home = home.path()});
        ASSERT_TRUE(server.wait_until_listening()) << server.describe();
        stop(server);
    }
    Clock::time_point after_first = Clock::now();
    std::string first = read_text(path);
    std::vector<std::time_t> first_times = start_times(first);
    ASSERT_EQ(first_times.size(), 1u) << first;
    // The stamp is UTC: a local time would land hours away.
    EXPECT_GE(first_times[0], seconds(before_first) - 1);
    EXPECT_LE(first_times[0], seconds(after_first) + 1);

    {
        ServerProcess server({.home = home.path()});
        ASSERT_TRUE(server.wait_until_listening()) << server.describe();
        stop(server);
    }
    std::string both = read_text(path);
    EXPECT_EQ(both.substr(0, first.size()), first) << "the first run's lines were lost";
    std::vector<std::time_t> times = start_times(both);
    ASSERT_EQ(times.size(), 2u) << both;
    EXPECT_GE(times[1], times[0]);
}

TEST(StartupTest, SecretKeyIsPrivateAndSurvivesARestart) {
    TempDir home;
    const std::string config_dir = home.path() + "/.quillo";
    const std::string path = config_dir + "/secret_key.txt";
    {
        ServerProcess server({.home = home.path()});
        ASSERT_TRUE(server.wait_until_listening()) << server.describe();
        stop(server);
    }
    std::string key = read_text(path);
    EXPECT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{48}"))) << "key: '" << key << "'";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    for (const fs::directory_entry& entry : fs::directory_iterator(config_dir)) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("secret_key.txt.", 0) != 0) << "left behind: " << name;
    }

    {
        ServerProcess server({.home = home.path()});
        ASSERT_TRUE(server.wait_until_listening()) << server.describe();
        stop(server);
    }
    EXPECT_EQ(read_text(path), key);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
