// The browser auto-open and the chat-service auto-start of a real server.
// BROWSER points at a script that records how it was started.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;

// A stand-in browser: appends its URL, its signal masks and its open
// descriptors to `record`.
std::string recording_browser(const TempDir& dir, const std::string& record) {
    std::string script = dir.file("browser.sh");
    // The masks are read with shell built-ins only: while a shell forks a
    // command, its own mask is briefly all-blocked.
    write_text(script, "#!/bin/sh\n{ echo \"url=$1\"\n"
                       "while read -r line; do case $line in Sig*) echo \"$line\";; esac; done "
                       "< /proc/$$/status\nls -l /proc/$$/fd; } >> '" +
                           record + "'\n");
    ::chmod(script.c_str(), 0755);
    return script;
}

// Auto-open on: the harness switches it off for every other test.
ServerOptions opening_browser(const std::string& browser, std::vector<std::string> args = {}) {
    return ServerOptions{.args = std::move(args),
                         .env = {{"QUILLO_NO_AUTO_OPEN", ""}, {"BROWSER", browser}}};
}

TEST(BrowserAutoOpenTest, TheIdeOpensOnceInACleanChild) {
    TempDir dir;
    std::string record = dir.file("record.txt");
    ServerProcess server(opening_browser(recording_browser(dir, record)));
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    // A connection that is open while the browser starts: the child must not
    // inherit it (nor the listening sockets).
    http::Client client = http_client(server.host(), server.port());
    client.set_keep_alive(true);
    ASSERT_TRUE(client.Get("/api/health"));

    std::string url = "http://localhost:" + std::to_string(server.port());
    ASSERT_TRUE(server.wait_for_output("  [OK] Opened IDE in browser: " + url + "\n"))
        << server.describe();
    for (int i = 0; i < 100 && read_text(record).find("SigIgn") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(700ms); // time for a second opening, which must not come
    std::string seen = read_text(record);
    EXPECT_EQ(count_of(seen, "url="), 1u) << seen;
    EXPECT_NE(seen.find("url=" + url + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("SigBlk:\t0000000000000000\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("socket:"), std::string::npos) << seen;
    EXPECT_EQ(count_log_lines(read_text(server.config_dir() + "/quillo.log"),
                              "[SERVER] Auto-opened browser: " + url),
              1u);
}

TEST(BrowserAutoOpenTest, OptOutsKeepTheBrowserClosed) {
    TempDir dir;
    std::string record = dir.file("record.txt");
    std::string browser = recording_browser(dir, record);
    std::vector<std::unique_ptr<ServerProcess>> servers;
    servers.push_back(std::make_unique<ServerProcess>(opening_browser(browser, {"--no-browser"})));
    servers.push_back(std::make_unique<ServerProcess>(opening_browser(browser, {"--no-open"})));
    ServerOptions variable = opening_browser(browser);
    variable.env.emplace_back("QUILLO_NO_AUTO_OPEN", "0"); // any non-empty value counts
    servers.push_back(std::make_unique<ServerProcess>(variable));
    for (auto& server : servers) {
        ASSERT_TRUE(server->wait_until_listening()) << server->describe();
    }
    std::this_thread::sleep_for(1500ms); // a browser would be asked after about 0.5 s
    EXPECT_FALSE(fs::exists(record));
    for (auto& server : servers) {
        EXPECT_EQ(server->stdout_text().find("Opened IDE"), std::string::npos);
    }
}

TEST(BrowserAutoOpenTest, AServerNotOnIpv4LoopbackIsNeverProbedReady) {
    if (!can_bind("::1")) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    TempDir dir;
    std::string record = dir.file("record.txt");
    ServerOptions options = opening_browser(recording_browser(dir, record));
    options.host = "::1";
    ServerProcess server(options);
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    EXPECT_TRUE(server.wait_for_output(
        "  [WARN] Auto-open: server did not become ready in 10s, skipping\n", 20s))
        << server.describe();
    EXPECT_FALSE(fs::exists(record));
}

TEST(QarnAutostartTest, TheChatServiceStartsFiveSecondsAfterStartUp) {
    auto started = std::chrono::steady_clock::now();
    ServerProcess server;
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string line = "[QARN] Auto-start result: {\"status\":\"disabled\"}\n";
    ASSERT_TRUE(server.wait_for_output(line, 15s)) << server.describe();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4500ms);
    EXPECT_NE(read_text(server.config_dir() + "/server.log").find(line), std::string::npos);
}

} // namespace
