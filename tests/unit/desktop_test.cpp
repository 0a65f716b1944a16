// Browser auto-open with a fake probe, clock and browser; the tray start on
// Windows and macOS with fake tray modules; the chat-service auto-start.
#include "desktop/browser_open.h"
#include "desktop/tray.h"
#include "integrations/qarn_autostart.h"
#include "quillo/tray.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quillo;
using namespace quillo::desktop;
using namespace std::chrono_literals;

namespace {

Getenv environment(std::map<std::string, std::string> variables) {
    return [variables](const char* name) -> std::optional<std::string> {
        auto it = variables.find(name);
        return it == variables.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
}

struct Recorder {
    std::ostringstream out;
    std::vector<std::string> log;
    std::vector<std::string> opened;
    std::vector<std::chrono::milliseconds> sleeps;
    int probes = 0;

    AutoOpen auto_open(int connect_on_probe, std::function<void(const std::string&)> open = {}) {
        AutoOpen a;
        a.port = 4321;
        a.probe = [this, connect_on_probe](int) {
            ++probes;
            if (probes == 2) {
                throw std::runtime_error("no sockets left");
            }
            return probes == connect_on_probe ? 0 : ECONNREFUSED;
        };
        a.sleep = [this](std::chrono::milliseconds pause) { sleeps.push_back(pause); };
        a.open = open ? open : [this](const std::string& url) { opened.push_back(url); };
        a.out = &out;
        a.log = [this](std::string_view line) { log.emplace_back(line); };
        return a;
    }
};

TEST(AutoOpenTest, OpensOnceAfterThePortAnswersAndASettlePause) {
    Recorder r;
    open_browser_after_delay(r.auto_open(4));
    EXPECT_EQ(r.probes, 4);
    EXPECT_EQ(r.sleeps, std::vector<std::chrono::milliseconds>(4, 500ms));
    EXPECT_EQ(r.opened, std::vector<std::string>{"http://localhost:4321"});
    EXPECT_EQ(r.out.str(), "  [OK] Opened IDE in browser: http://localhost:4321\n");
    EXPECT_EQ(r.log,
              std::vector<std::string>{"[SERVER] Auto-opened browser: http://localhost:4321"});
}

TEST(AutoOpenTest, GivesUpAfterTwentyAttempts) {
    Recorder r;
    open_browser_after_delay(r.auto_open(0));
    EXPECT_EQ(r.probes, 20);
    EXPECT_EQ(r.sleeps.size(), 20u);
    EXPECT_TRUE(r.opened.empty());
    EXPECT_EQ(r.out.str(), "  [WARN] Auto-open: server did not become ready in 10s, skipping\n");
    EXPECT_EQ(r.log, std::vector<std::string>{
                         "[SERVER] Auto-open: server did not become ready in 10s, skipping"});
}

TEST(AutoOpenTest, ABrowserThatDidNotOpenIsReportedOnceWithTheUrlToOpen) {
    Recorder r;
    int calls = 0;
    open_browser_after_delay(r.auto_open(1, [&](const std::string&) {
        ++calls;
        throw std::runtime_error("xdg-open exited with status 3");
    }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(r.out.str(), "  [WARN] Auto-open browser failed: xdg-open exited with status 3; "
                           "open http://localhost:4321 in a browser\n");
    EXPECT_EQ(r.log, std::vector<std::string>{"[SERVER] Auto-open browser failed: xdg-open exited "
                                              "with status 3; open http://localhost:4321 in a "
                                              "browser"});

    // A machine without any opener: the real one, not found.
    Recorder missing;
    open_browser_after_delay(missing.auto_open(1, [](const std::string& url) {
        run_opener({"/nonexistent/xdg-open", url}, 3s);
    }));
    EXPECT_EQ(missing.out.str(), "  [WARN] Auto-open browser failed: /nonexistent/xdg-open was not "
                                 "found; open http://localhost:4321 in a browser\n");
    EXPECT_EQ(missing.log.size(), 1u);
}

// The reason a real opener failed, from its exit status; an opener that
// stays (it may be the browser) counts as opened once the patience is over.
TEST(AutoOpenTest, TheOpenersExitStatusDecides) {
    auto reason = [](const std::vector<std::string>& command) -> std::string {
        try {
            run_opener(command, 3s);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "opened";
    };
    EXPECT_EQ(reason({"true"}), "opened");
    EXPECT_EQ(reason({"sh", "-c", "exit 3"}), "sh exited with status 3");
    EXPECT_EQ(reason({"sh", "-c", "kill -TERM $$"}), "sh was ended by signal 15");
    EXPECT_EQ(reason({"/nonexistent/opener"}), "/nonexistent/opener was not found");

    auto started = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(run_opener({"sleep", "2"}, 200ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
}

TEST(AutoOpenTest, WantedOnlyInTheForegroundWithoutOptOuts) {
    Getenv none = environment({});
    EXPECT_TRUE(auto_open_wanted(false, false, none));
    EXPECT_FALSE(auto_open_wanted(true, false, none));
    EXPECT_FALSE(auto_open_wanted(false, true, none));
    EXPECT_FALSE(auto_open_wanted(false, false, environment({{"QUILLO_NO_AUTO_OPEN", "0"}})));
    EXPECT_TRUE(auto_open_wanted(false, false, environment({{"QUILLO_NO_AUTO_OPEN", ""}})));
}

TEST(BrowserCommandTest, BrowserVariableThenThePlatformsOpener) {
    const std::string url = "http://localhost:12345";
    EXPECT_EQ(browser_command(url, utils::Platform::Linux,
                              environment({{"BROWSER", "/usr/bin/firefox"}})),
              (std::vector<std::string>{"/usr/bin/firefox", url}));
    EXPECT_EQ(browser_command(url, utils::Platform::Linux, environment({{"BROWSER", ""}})),
              (std::vector<std::string>{"xdg-open", url}));
    EXPECT_EQ(browser_command(url, utils::Platform::Linux,
                              environment({{"PREFIX", "/data/data/com.termux/files/usr"}})),
              (std::vector<std::string>{"termux-open-url", url}));
    EXPECT_EQ(browser_command(url, utils::Platform::MacOS, environment({})),
              (std::vector<std::string>{"open", url}));
    EXPECT_EQ(browser_command(url, utils::Platform::Windows, environment({})),
              (std::vector<std::string>{"cmd", "/c", "start", "", url}));
}

// A loopback port that accepts connections while the object lives.
class Listener {
  public:
    Listener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 4);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd_); }
    int port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

class TrayTest : public ::testing::Test {
  protected:
    ~TrayTest() override {
        ::unsetenv("QUILLO_PORT");
        ::unsetenv("QUILLO_NO_AUTO_OPEN");
    }
    void start(const std::string& variant, int port = 1) {
        start_tray({fixture(variant), port, &out, [this](std::string_view line) {
                        std::lock_guard lock(log_mutex);
                        log.emplace_back(line);
                    }});
    }
    static std::string fixture(const std::string& variant) {
        return std::string(QUILLO_FIXTURES_DIR) + "/" + variant + "/quillo_tray_manager.so";
    }
    // Waits until the tray thread has printed or recorded something.
    template <class Done> bool eventually(Done done) {
        for (int i = 0; i < 200 && !done(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }
    std::vector<std::string> logged() {
        std::lock_guard lock(log_mutex);
        return log;
    }

    std::ostringstream out;
    std::mutex log_mutex;
    std::vector<std::string> log;
};

TEST_F(TrayTest, OnlyWindowsAndMacOsInTheForegroundGetATray) {
    EXPECT_TRUE(tray_wanted(false, false, false, utils::Platform::Windows));
    EXPECT_TRUE(tray_wanted(false, false, false, utils::Platform::MacOS));
    EXPECT_FALSE(tray_wanted(false, false, false, utils::Platform::Linux));
    EXPECT_FALSE(tray_wanted(true, false, false, utils::Platform::Windows));
    EXPECT_FALSE(tray_wanted(false, true, false, utils::Platform::MacOS));
    EXPECT_FALSE(tray_wanted(false, false, true, utils::Platform::Windows));
}

TEST_F(TrayTest, TheServerFunctionsAnswerForTheRunningServer) {
    auto port = std::make_unique<Listener>();
    start("tray_ok", port->port());
    EXPECT_EQ(out.str(), "  [OK] System tray icon started (right-click for menu)\n");
    EXPECT_STREQ(std::getenv("QUILLO_PORT"), std::to_string(port->port()).c_str());
    EXPECT_STREQ(std::getenv("QUILLO_NO_AUTO_OPEN"), "1");

    void* module = ::dlopen(fixture("tray_ok").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto copy_report =
        reinterpret_cast<void (*)(char*, size_t)>(::dlsym(module, "fixture_tray_report"));
    ASSERT_NE(copy_report, nullptr);
    auto report = [copy_report] {
        char text[256];
        copy_report(text, sizeof text);
        return std::string(text);
    };
    ASSERT_TRUE(eventually([&] { return !report().empty(); }));
    EXPECT_EQ(report(), "state=running pid=" + std::to_string(::getpid()) + " start=true");
    std::vector<std::string> lines = logged(); // the tray thread may log first
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"[SERVER] Tray icon started",
                                        "[SERVER] Tray stop requested (no-op, in-process)"}));

    port.reset(); // the port stops answering
    auto functions = reinterpret_cast<tray::ServerFunctions* (*)()>(
        ::dlsym(module, "quillo_tray_server_functions"))();
    EXPECT_EQ(functions->get_server_state(), "stopped");
    EXPECT_EQ(functions->get_server_pid(), std::nullopt);
}

TEST_F(TrayTest, AFailingTrayManagerIsReportedFromItsThread) {
    start("tray_manager_fails");
    ASSERT_TRUE(eventually([&] { return logged().size() == 2; }));
    // The start is reported before the thread runs, so the two never mix.
    EXPECT_EQ(out.str(), "  [OK] System tray icon started (right-click for menu)\n"
                         "  [WARN] Tray icon failed: no display to show an icon on\n");
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "[SERVER] Tray icon failed: no display to show an icon on"),
              log.end());
}

TEST_F(TrayTest, MissingLibrariesOrModuleLeaveTheTrayOut) {
    start("tray_library_missing");
    EXPECT_EQ(out.str(), "  [INFO] Tray icon disabled (tray libraries not installed).\n"
                         "         Install the Quillo tray module to enable it.\n");
    EXPECT_EQ(logged(),
              std::vector<std::string>{"[SERVER] Tray icon skipped: tray libraries not installed"});
    EXPECT_EQ(std::getenv("QUILLO_PORT"), nullptr);

    out.str("");
    log.clear();
    start("no_such_variant");
    EXPECT_EQ(out.str().rfind("  [WARN] Tray icon init failed: ", 0), 0u) << out.str();
    EXPECT_NE(out.str().find("quillo_tray_manager.so"), std::string::npos) << "the load error";
    EXPECT_EQ(logged().at(0).rfind("[SERVER] Tray icon init failed: ", 0), 0u);
    EXPECT_EQ(std::getenv("QUILLO_NO_AUTO_OPEN"), nullptr) << "loading comes first";
}

TEST(QarnAutostartTest, TheResultBecomesOneLine) {
    using integrations::qarn_result_line;
    EXPECT_EQ(qarn_result_line({{"status", "started"}, {"account_id", "0123456789abcdefghijKLMN"}}),
              "[QARN] Auto-started: 0123456789abcdefghij...");
    EXPECT_EQ(
        qarn_result_line({{"status", "started"},
                          {"account_id", "账户一二三四五六七八九十甲乙丙丁戊己庚辛壬癸子丑"}}),
        "[QARN] Auto-started: 账户一二三四五六七八九十甲乙丙丁戊己庚辛...");
    EXPECT_EQ(qarn_result_line({{"status", "started"}}), "[QARN] Auto-started: ...");
    EXPECT_EQ(qarn_result_line({{"status", "disabled"}}),
              "[QARN] Auto-start result: {\"status\":\"disabled\"}");
    EXPECT_EQ(qarn_result_line({}), "[QARN] Auto-start result: {}");
}

TEST(QarnAutostartTest, ServicesAreLoadedAfterTheDelayAndFailuresAreOneLine) {
    std::ostringstream out;
    integrations::start_qarn_service(
        std::string(QUILLO_FIXTURES_DIR) + "/qarn_started/qarn_service.so", out);
    EXPECT_EQ(out.str(), "[QARN] Auto-started: acct-0123456789abcde...\n");

    std::ostringstream missing;
    integrations::start_qarn_service("/nonexistent/qarn_service.so", missing);
    EXPECT_EQ(missing.str().rfind("[QARN] Auto-start failed (non-fatal): ", 0), 0u);

    std::ostringstream unwanted;
    integrations::qarn_autostart(
        "/nonexistent/qarn_service.so", unwanted, [] { return false; }, 1ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(unwanted.str(), "") << "a process that does not serve starts nothing";
}

} // namespace
