// The server under faults of its own files and of its clients: a server.log
// that cannot be written, a configuration directory that cannot be created,
// a pwd.txt that is a directory, set-up requests that die half-way, and
// servers killed while they write their secrets.
#include "server_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <regex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using namespace quillo::integration;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kBannerTitle = "    ║       Quillo Server           ║";

// The "name=value" part of a response's session cookie; empty when it set none.
std::string session_cookie(const http::Result& result) {
    if (!result || !result->has_header("Set-Cookie")) {
        return "";
    }
    std::string value = result->get_header_value("Set-Cookie");
    return value.substr(0, value.find(';'));
}

http::Headers with_cookie(const std::string& cookie) {
    return cookie.empty() ? http::Headers{} : http::Headers{{"Cookie", cookie}};
}

json auth_status(const ServerProcess& server, const std::string& cookie = "") {
    http::Result result =
        http_client(server.host(), server.port()).Get("/api/auth/status", with_cookie(cookie));
    if (!result) {
        return json();
    }
    return json::parse(result->body, nullptr, false);
}

http::Result post_setup(const ServerProcess& server, const std::string& password) {
    return http_client(server.host(), server.port())
        .Post("/api/auth/setup", json{{"password", password}}.dump(), "application/json");
}

// The names in `directory` that start with `prefix`: what an atomic write
// leaves behind when it fails half-way is "<file>.tmp-XXXXXX".
std::vector<std::string> entries_starting_with(const std::string& directory,
                                               const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

mode_t file_mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Root only respects a file's mode once CAP_DAC_OVERRIDE is gone, which
// takes CAP_SETPCAP to arrange and must not come back through the
// inheritable set; any other user respects it anyway.
bool file_modes_can_bind_the_server() {
    if (::geteuid() != 0) {
        return true;
    }
    std::string status = read_text("/proc/self/status");
    auto mask = [&](const std::string& field) -> unsigned long long {
        size_t at = status.find(field + ":\t");
        return at == std::string::npos
                   ? 0
                   : std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
    };
    return (mask("CapEff") >> CAP_SETPCAP & 1) != 0 &&
           (mask("CapInh") >> CAP_DAC_OVERRIDE & 1) == 0 &&
           (mask("CapAmb") >> CAP_DAC_OVERRIDE & 1) == 0;
}

// server.log only copies the console. Whatever keeps it from being written,
// the console still shows the banner and what is printed while serving (on
// both streams), requests are answered, and SIGTERM still ends the process
// with status 0.
void expect_serving_without_server_log(ServerProcess& server) {
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::vector<std::string> lines = split_lines(server.stdout_text());
    EXPECT_NE(std::find(lines.begin(), lines.end(), kBannerTitle), lines.end())
        << server.describe();
    EXPECT_EQ(count_of(server.stdout_text(), "[OK] Listening"), 1u) << server.describe();

    http::Client client = http_client(server.host(), server.port());
    http::Result health = client.Get("/api/health");
    ASSERT_TRUE(health) << http::to_string(health.error()) << "\n" << server.describe();
    EXPECT_EQ(health->status, 200);
    // A route that fails is reported on standard error while serving.
    http::Result failing = client.Post("/api/auth/setup", R"({"password": 5})", "application/json");
    ASSERT_TRUE(failing) << server.describe();
    EXPECT_EQ(failing->status, 500);
    EXPECT_TRUE(server.wait_for_stderr("[ERROR] POST /api/auth/setup: std::invalid_argument"))
        << server.describe();

    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0) << server.describe();
    EXPECT_EQ(count_of(server.stdout_text(), "[SERVER] Received SIGTERM, shutting down gracefully"),
              1u)
        << server.describe();
}

TEST(FaultServerLogTest, AFileSizeLimitCostsOnlyTheCopy) {
    constexpr size_t kLimit = 64 * 1024;
    // At the limit every write fails at once; just below it the first
    // write is cut short before the next one fails.
    for (size_t room : {size_t{0}, size_t{20}}) {
        SCOPED_TRACE("room below the limit: " + std::to_string(room));
        TempDir home;
        const std::string log_path = home.path() + "/.quillo/server.log";
        std::string earlier;
        while (earlier.size() < kLimit - room) {
            earlier += "[SERVER] a line of an earlier run\n";
        }
        earlier.resize(kLimit - room);
        write_text(log_path, earlier);

        ServerProcess server({.home = home.path(), .file_size_limit = kLimit});
        expect_serving_without_server_log(server);
        std::string after = read_text(log_path);
        EXPECT_EQ(after.size(), kLimit) << "the limit did not hold";
        EXPECT_EQ(after.substr(0, earlier.size()), earlier);
    }
}

TEST(FaultServerLogTest, AFileThatCannotBeOpenedCostsOnlyTheCopy) {
    TempDir home;
    const std::string log_path = home.path() + "/.quillo/server.log";
    fs::create_directories(log_path);
    {
        ServerProcess server({.home = home.path()});
        expect_serving_without_server_log(server);
        EXPECT_NE(server.stderr_text().find("[WARN] cannot open " + log_path + ": " +
                                            std::strerror(EISDIR)),
                  std::string::npos)
            << server.describe();
    }
    EXPECT_TRUE(fs::is_directory(log_path));
    EXPECT_TRUE(fs::is_empty(log_path));
}

TEST(FaultServerLogTest, AReadOnlyFileCostsOnlyTheCopy) {
    if (!file_modes_can_bind_the_server()) {
        GTEST_SKIP() << "root cannot be held to file modes here (no CAP_SETPCAP)";
    }
    TempDir home;
    const std::string log_path = home.path() + "/.quillo/server.log";
    write_text(log_path, "\n--- an earlier run ---\n");
    fs::permissions(log_path,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    ServerProcess server({.home = home.path(), .without_dac_override = true});
    expect_serving_without_server_log(server);
    EXPECT_NE(
        server.stderr_text().find("[WARN] cannot open " + log_path + ": " + std::strerror(EACCES)),
        std::string::npos)
        << server.describe();
    EXPECT_EQ(read_text(log_path), "\n--- an earlier run ---\n") << "the file was writable";
}

TEST(FaultConfigDirTest, AnUncreatableDirectoryIsAClearErrorWithStatusOne) {
    TempDir dir;
    const std::string blocker = dir.file("blocker");
    write_text(blocker, "a regular file\n");
    struct Case {
        std::string config_dir;
        std::vector<int> reasons; // the errno texts that tell the user why
    };
    for (const Case& c :
         std::vector<Case>{{blocker + "/.quillo", {ENOTDIR}}, {blocker, {ENOTDIR, EEXIST}}}) {
        SCOPED_TRACE(c.config_dir);
        ServerProcess server(
            {.env = {{"QUILLO_CONFIG_DIR", c.config_dir}}, .home = dir.file("home")});
        ASSERT_EQ(server.wait_exit(), 1) << server.describe();
        std::string err = server.stderr_text();
        EXPECT_NE(err.find("[ERROR] "), std::string::npos) << err;
        EXPECT_NE(err.find(c.config_dir), std::string::npos) << err;
        EXPECT_TRUE(std::any_of(c.reasons.begin(), c.reasons.end(), [&](int reason) {
            return err.find(std::strerror(reason)) != std::string::npos;
        })) << err;
        EXPECT_EQ(err.find("terminate called"), std::string::npos) << err;
        EXPECT_EQ(server.stdout_text().find("[OK] Listening"), std::string::npos)
            << server.describe();
        EXPECT_EQ(connect_error(server.host(), server.port()), ECONNREFUSED);
    }
    EXPECT_EQ(read_text(blocker), "a regular file\n");
}

// A password file that exists but cannot be read keeps the IDE closed: it
// never counts as "no password", which would let anyone choose a new one.
TEST(FaultPasswordFileTest, APwdTxtThatCannotBeReadKeepsTheIdeClosed) {
    TempDir home;
    const std::string config_dir = home.path() + "/.quillo";
    const std::string pwd_file = config_dir + "/pwd.txt";
    write_text(pwd_file + "/note", "left here by hand\n");
    ServerProcess server({.home = home.path()});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    http::Client stranger = http_client(server.host(), server.port());

    EXPECT_EQ(auth_status(server), (json{{"password_set", true}, {"authenticated", false}}));
    http::Result guarded = stranger.Get("/api/files/module");
    ASSERT_TRUE(guarded) << server.describe();
    EXPECT_EQ(guarded->status, 401);

    // Set-up and login name the file and the reason; nothing is stored.
    std::string reason = pwd_file + ": Is a directory";
    http::Result setup = post_setup(server, "pw");
    ASSERT_TRUE(setup) << server.describe();
    EXPECT_EQ(setup->status, 500) << setup->body;
    EXPECT_EQ(json::parse(setup->body), (json{{"error", reason}}));
    EXPECT_EQ(session_cookie(setup), "");
    http::Result login =
        stranger.Post("/api/auth/login", R"({"password":"pw"})", "application/json");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->status, 500);
    EXPECT_EQ(json::parse(login->body), (json{{"error", reason}}));
    EXPECT_TRUE(fs::is_directory(pwd_file));
    EXPECT_EQ(read_text(pwd_file + "/note"), "left here by hand\n");
    EXPECT_EQ(count_of(server.stderr_text(), "[WARN] Cannot read the password file " + reason), 1u)
        << "once per change of the file: " << server.describe();

    // Once the directory is gone, set-up works and the guard closes.
    fs::remove_all(pwd_file);
    http::Result second = post_setup(server, "pw");
    ASSERT_TRUE(second) << server.describe();
    EXPECT_EQ(second->status, 200) << second->body;
    EXPECT_EQ(read_text(pwd_file), "pw");
    EXPECT_EQ(stranger.Get("/api/files/module")->status, 401);
}

TEST(FaultSetupTest, AbandonedSetUpRequestsStoreNothing) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    const std::string head = "POST /api/auth/setup HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                             "Content-Type: application/json\r\n";
    // Each part that arrives is a complete set-up on its own; only the rest
    // that was announced never comes.
    const std::string body = R"({"password":"half"})";
    char chunk_size[16];
    std::snprintf(chunk_size, sizeof chunk_size, "%zx", body.size());
    for (const std::string& request :
         {head + "Content-Length: " + std::to_string(body.size() + 40) + "\r\n\r\n" + body,
          head + "Transfer-Encoding: chunked\r\n\r\n" + chunk_size + "\r\n" + body + "\r\n",
          head + "Content-Len"}) {
        RawResponse response = raw_exchange(server.host(), server.port(), request, 300ms);
        EXPECT_EQ(response.status_line.find(" 200 "), std::string::npos) << response.status_line;
    }

    EXPECT_EQ(auth_status(server), (json{{"password_set", false}, {"authenticated", false}}));
    EXPECT_FALSE(fs::exists(server.config_dir() + "/pwd.txt"));
    EXPECT_EQ(entries_starting_with(server.config_dir(), "pwd.txt"), std::vector<std::string>{});
    EXPECT_EQ(entries_starting_with(server.config_dir(), "secret_key.txt."),
              std::vector<std::string>{});

    // The first complete set-up is still the first one.
    http::Result whole = post_setup(server, "whole");
    ASSERT_TRUE(whole) << server.describe();
    EXPECT_EQ(whole->status, 200) << whole->body;
    EXPECT_EQ(read_text(server.config_dir() + "/pwd.txt"), "whole");
    EXPECT_TRUE(server.is_running()) << server.describe();
}

// Reports what happens to the names in a directory, so that a test can act
// at a given step of a file's atomic replacement.
class DirectoryWatch {
  public:
    explicit DirectoryWatch(const std::string& directory)
        : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (fd_ < 0 ||
            ::inotify_add_watch(fd_, directory.c_str(),
                                IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
            throw std::system_error(errno, std::generic_category(), "inotify " + directory);
        }
    }
    ~DirectoryWatch() { ::close(fd_); }
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // True once an event of `mask` names an entry that starts with `prefix`.
    bool wait_for(uint32_t mask, const std::string& prefix, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        alignas(inotify_event) char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 10) <= 0) {
                continue;
            }
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & mask) != 0 && event->len > 0 &&
                    std::string(event->name).rfind(prefix, 0) == 0) {
                    return true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return false;
    }

  private:
    int fd_;
};

// The steps of an atomic replacement of `file`, at which a kill may land.
struct KillPoint {
    uint32_t mask;
    std::string prefix;
    bool replaced; // whether the new file is in place once the step is seen
};

std::vector<KillPoint> kill_points(const std::string& file) {
    return {{IN_CREATE, file + ".", false},
            {IN_MODIFY, file + ".", false},
            {IN_CLOSE_WRITE, file + ".", false},
            {IN_MOVED_TO, file, true}};
}

// A killed server cannot clean up; what matters is that the next start finds
// each file either absent or whole, and that what it finds is usable.
TEST(FaultSetupTest, AServerKilledDuringSetUpLeavesNoPartialPasswordFile) {
    const std::string password = "pw-" + std::string(3000, 'x') + "-end";
    for (const KillPoint& point : kill_points("pwd.txt")) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE("kill at event " + std::to_string(point.mask) + " of " + point.prefix +
                         ", round " + std::to_string(round));
            TempDir home;
            const std::string config_dir = home.path() + "/.quillo";
            const std::string pwd_file = config_dir + "/pwd.txt";
            int status = -1;
            std::string cookie;
            // The session cookie is named after the port: restarts keep it.
            int port = free_port();
            {
                ServerProcess server({.port = port, .home = home.path()});
                ASSERT_TRUE(server.wait_until_listening()) << server.describe();
                DirectoryWatch watch(config_dir);
                std::thread browser([&] {
                    http::Result result = post_setup(server, password);
                    if (result) {
                        status = result->status;
                        cookie = session_cookie(result);
                    }
                });
                bool seen = watch.wait_for(point.mask, point.prefix, 10s);
                server.send_signal(SIGKILL);
                std::optional<int> exit = server.wait_exit();
                browser.join();
                ASSERT_TRUE(seen) << server.describe();
                ASSERT_EQ(exit, -SIGKILL) << server.describe();
            }

            bool present = fs::exists(pwd_file);
            if (point.replaced || status == 200) {
                EXPECT_TRUE(present) << "a stored password was lost";
            }
            if (present) {
                EXPECT_TRUE(fs::is_regular_file(pwd_file));
                EXPECT_EQ(read_text(pwd_file), password) << "a partial password file";
                EXPECT_EQ(file_mode(pwd_file), 0600u);
            }

            // The next start sees exactly that state: an answered set-up's
            // session is still valid, and a set-up that never finished can
            // be done again despite what it left behind.
            ServerProcess again({.port = port, .home = home.path()});
            ASSERT_TRUE(again.wait_until_listening()) << again.describe();
            EXPECT_EQ(auth_status(again, cookie),
                      (json{{"password_set", present}, {"authenticated", status == 200}}));
            if (!present) {
                http::Result retry = post_setup(again, "retry");
                ASSERT_TRUE(retry) << again.describe();
                EXPECT_EQ(retry->status, 200) << retry->body;
                EXPECT_EQ(read_text(pwd_file), "retry");
            }
        }
    }
}

TEST(FaultSetupTest, AServerKilledWhileStartingLeavesNoPartialSecretKey) {
    for (const KillPoint& point : kill_points("secret_key.txt")) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE("kill at event " + std::to_string(point.mask) + " of " + point.prefix +
                         ", round " + std::to_string(round));
            TempDir home;
            const std::string config_dir = home.path() + "/.quillo";
            const std::string key_file = config_dir + "/secret_key.txt";
            fs::create_directories(config_dir);
            {
                DirectoryWatch watch(config_dir);
                ServerProcess server({.home = home.path()});
                bool seen = watch.wait_for(point.mask, point.prefix, 10s);
                server.send_signal(SIGKILL);
                ASSERT_EQ(server.wait_exit(), -SIGKILL) << server.describe();
                ASSERT_TRUE(seen) << server.describe();
            }
            std::string key;
            if (fs::exists(key_file)) {
                key = read_text(key_file);
                EXPECT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{48}")))
                    << "a partial key: '" << key << "'";
                EXPECT_EQ(file_mode(key_file), 0600u);
            } else {
                EXPECT_FALSE(point.replaced) << "a key in place was lost";
            }

            // The next start keeps a whole key, and the sessions it signs
            // survive a further kill.
            std::string cookie;
            int port = free_port(); // the session cookie is named after the port
            {
                ServerProcess again({.port = port, .home = home.path()});
                ASSERT_TRUE(again.wait_until_listening()) << again.describe();
                if (!key.empty()) {
                    EXPECT_EQ(read_text(key_file), key);
                }
                http::Result setup = post_setup(again, "pw");
                ASSERT_TRUE(setup) << again.describe();
                ASSERT_EQ(setup->status, 200) << setup->body;
                cookie = session_cookie(setup);
            }
            ServerProcess third({.port = port, .home = home.path()});
            ASSERT_TRUE(third.wait_until_listening()) << third.describe();
            EXPECT_EQ(auth_status(third, cookie),
                      (json{{"password_set", true}, {"authenticated", true}}));
        }
    }
}

} // namespace
