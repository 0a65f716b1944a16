// Terminals and runs as the browser uses them: created over HTTP, carried by
// real WebSockets, in the server the run module is loaded into.
#include "server_process.h"
#include "websocket_client.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace quillo::integration {
namespace {

using nlohmann::json;
using quillo::testing::WebSocketClient;
using Clock = std::chrono::steady_clock;

// What a socket brought: the binary output, the text messages, the close.
struct Received {
    std::string output;
    std::vector<json> control;
    bool closed = false;
};

class RunApiTest : public ::testing::Test {
  protected:
    // Runs and shells live in sessions of their own: a server killed before
    // it could hang them up leaves them behind.
    void TearDown() override {
        if (server_) {
            std::string home = server_->home();
            server_.reset();
            kill_processes_with_home(home);
        }
    }

    void start(std::vector<std::pair<std::string, std::string>> env = {}, std::string binary = {}) {
        ServerOptions options;
        options.env = std::move(env);
        options.binary = std::move(binary);
        server_ = std::make_unique<ServerProcess>(std::move(options));
        ASSERT_TRUE(server_->wait_until_listening()) << server_->describe();
        auto setup = client().Post("/api/auth/setup", R"({"password":"pw"})", "application/json");
        ASSERT_TRUE(setup && setup->status == 200);
        std::string cookie = setup->get_header_value("Set-Cookie");
        cookie_ = cookie.substr(0, cookie.find(';'));
    }
    http::Client client() const { return http_client(server_->host(), server_->port()); }

    json call(const std::string& method, const std::string& path, const json& body = nullptr,
              int expected = 200) {
        http::Request request;
        request.method = method;
        request.path = path;
        request.headers.emplace("Cookie", cookie_);
        request.body = body.is_null() ? "" : body.dump();
        http::Result result = client().send(request);
        EXPECT_TRUE(result) << method << " " << path;
        if (!result) {
            return json();
        }
        EXPECT_EQ(result->status, expected) << method << " " << path << ": " << result->body;
        return json::parse(result->body, nullptr, false);
    }

    std::unique_ptr<WebSocketClient> socket(const std::string& target,
                                            WebSocketClient::Fields fields = {}) {
        fields.emplace_back("Cookie", cookie_);
        return std::make_unique<WebSocketClient>(server_->port(), target, fields);
    }

    // Reads until `done` holds for what came, the socket closes, or 10 s
    // pass (a read that times out ends the client's socket).
    static Received read_until(WebSocketClient& socket,
                               const std::function<bool(const Received&)>& done) {
        Received got;
        auto deadline = Clock::now() + 10s;
        while (!done(got)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            std::optional<std::string> message = socket.read(std::max(left, 1ms));
            if (!message) {
                got.closed = !socket.timed_out();
                break;
            }
            if (socket.last_was_binary()) {
                got.output += *message;
            } else {
                got.control.push_back(json::parse(*message, nullptr, false));
            }
        }
        return got;
    }
    static Received read_to_close(WebSocketClient& socket) {
        return read_until(socket, [](const Received&) { return false; });
    }
    // After a pause: how much output came until `quiet` passed without any,
    // the socket staying open; nothing when it kept coming for 10 s.
    static std::optional<size_t> output_until_quiet(WebSocketClient& socket,
                                                    std::chrono::milliseconds quiet) {
        size_t bytes = 0;
        for (auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
            std::optional<std::string> message = socket.poll(quiet);
            if (!message) {
                return socket.timed_out() ? std::optional<size_t>(bytes) : std::nullopt;
            }
            bytes += socket.last_was_binary() ? message->size() : 0;
        }
        return std::nullopt;
    }
    static std::function<bool(const Received&)> output_has(const std::string& text) {
        return [text](const Received& got) { return got.output.find(text) != std::string::npos; };
    }

    void write_workspace_file(const std::string& name, const std::string& content,
                              bool executable = false) {
        write_text(server_->workspace() + "/" + name, content);
        if (executable) {
            std::filesystem::permissions(server_->workspace() + "/" + name,
                                         std::filesystem::perms::owner_exec,
                                         std::filesystem::perm_options::add);
        }
    }

    std::optional<TempDir> layout_; // a copy of the build a test alters; outlives server_
    std::unique_ptr<ServerProcess> server_;
    std::string cookie_;
};

// The open descriptors of `pid` that are sockets: a child must hold none of
// the server's (its listener, other clients' connections).
std::vector<std::string> sockets_held_by(pid_t pid) {
    std::vector<std::string> sockets;
    std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fd_dir, error)) {
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.starts_with("socket:")) {
            sockets.push_back(entry.path().filename().string() + " -> " + target);
        }
    }
    return sockets;
}

// Fields 6 (session) and 7 (controlling terminal) of /proc/<pid>/stat.
std::pair<long, long> session_and_terminal(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string state;
    long parent = 0, group = 0, session = 0, terminal = 0;
    rest >> state >> parent >> group >> session >> terminal;
    return {session, terminal};
}

// The children of `parent` that run the executable named `name`.
std::vector<pid_t> children_running(pid_t parent, const std::string& name) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string pid = entry.path().filename().string();
        std::string stat = read_text(entry.path().string() + "/stat");
        if (stat.empty() ||
            !std::all_of(pid.begin(), pid.end(), [](unsigned char c) { return std::isdigit(c); })) {
            continue; // gone, or not a process ("self")
        }
        std::istringstream rest(stat.substr(stat.rfind(')') + 2));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        std::error_code error;
        auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
        if (ppid == parent && !error && exe.filename() == name) {
            found.push_back(std::stoi(pid));
        }
    }
    return found;
}

bool process_gone_within(pid_t pid, std::chrono::milliseconds timeout) {
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.find(") Z") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

TEST_F(RunApiTest, AShellOnItsOwnTerminalOutlivesItsSocketAndEndsWithExit) {
    start();
    json terminal = call("POST", "/api/run/terminals", {{"cols", 80}, {"rows", 24}}, 201);
    ASSERT_TRUE(terminal["id"].is_string()) << terminal;
    std::string target = "/api/run/terminals/" + terminal["id"].get<std::string>() + "/ws";
    pid_t shell = terminal["pid"].get<pid_t>();

    auto first = socket(target);
    ASSERT_EQ(first->status(), 101) << first->refusal_body();
    first->send("echo $((6*7))\n", true);
    EXPECT_TRUE(read_until(*first, output_has("42\r\n")).output.find("42\r\n") !=
                std::string::npos);

    // The shell leads a session whose controlling terminal is its own, and
    // holds no socket of the server's.
    auto [session, tty] = session_and_terminal(shell);
    EXPECT_EQ(session, shell);
    EXPECT_NE(tty, 0);
    EXPECT_EQ(sockets_held_by(shell), std::vector<std::string>());

    first->send(json{{"type", "resize"}, {"cols", 101}, {"rows", 33}}.dump());
    first->send("stty size\n", true);
    EXPECT_NE(read_until(*first, output_has("33 101")).output.find("33 101"), std::string::npos);

    // Closed and reopened: the earlier output comes first, then it goes on.
    first->close();
    first.reset();
    EXPECT_TRUE(call("GET", "/api/run/terminals")["terminals"][0]["connected"] == false);
    auto second = socket(target);
    ASSERT_EQ(second->status(), 101);
    Received replay = read_until(*second, output_has("33 101"));
    EXPECT_LT(replay.output.find("42\r\n"), replay.output.find("33 101")) << replay.output;

    // A third socket takes the terminal over; the second is told why.
    auto third = socket(target);
    ASSERT_EQ(third->status(), 101);
    read_to_close(*second);
    EXPECT_EQ(second->close_code(), 4001);

    third->send("exit\n", true);
    Received end = read_to_close(*third);
    EXPECT_TRUE(end.closed);
    EXPECT_EQ(third->close_code(), 1000);
    ASSERT_FALSE(end.control.empty());
    EXPECT_EQ(end.control.back(), json({{"type", "exit"}, {"code", 0}, {"signal", nullptr}}));
    EXPECT_EQ(call("GET", "/api/run/terminals")["terminals"], json::array());
    auto gone = socket(target);
    EXPECT_EQ(read_to_close(*gone).output, "");
    EXPECT_EQ(gone->close_code(), 4404);
}

TEST_F(RunApiTest, ATerminalReplaysAtItsSizeAndItsFloodPausesWithoutLossOrDeadlock) {
    start();
    json terminal = call("POST", "/api/run/terminals", {{"cols", 44}, {"rows", 12}}, 201);
    std::string target = "/api/run/terminals/" + terminal["id"].get<std::string>() + "/ws";
    auto first = socket(target);
    first->send("echo mark''ed\n", true);
    read_until(*first, output_has("marked\r\n"));
    first->close();

    // The size the kept output was written at comes before it.
    auto second = socket(target);
    ASSERT_EQ(second->status(), 101);
    std::optional<std::string> greeting = second->read();
    ASSERT_TRUE(greeting);
    EXPECT_FALSE(second->last_was_binary());
    EXPECT_EQ(json::parse(*greeting, nullptr, false),
              json({{"type", "size"}, {"cols", 44}, {"rows", 12}}));
    EXPECT_NE(read_until(*second, output_has("marked\r\n")).output.find("marked"),
              std::string::npos);

    // A flood stops reaching a paused socket once what was under way has
    // come, and goes on when resumed.
    second->send("yes\n", true);
    read_until(*second, output_has("y\r\ny\r\ny\r\n"));
    second->send(json{{"type", "pause"}}.dump());
    std::optional<size_t> in_flight = output_until_quiet(*second, 300ms);
    ASSERT_TRUE(in_flight) << "output went on for 10 s after the pause";
    EXPECT_FALSE(second->poll(300ms)) << "more output 300 ms later";
    ASSERT_TRUE(second->timed_out()) << "the paused socket closed";
    second->send(json{{"type", "resume"}}.dump());
    Received resumed =
        read_until(*second, [](const Received& got) { return got.output.size() >= 256 * 1024; });
    EXPECT_GE(resumed.output.size(), 256u * 1024) << "the flood did not resume";

    // Paused again, the terminal still closes at once, with its end.
    second->send(json{{"type", "pause"}}.dump());
    ASSERT_TRUE(output_until_quiet(*second, 300ms));
    auto asked = Clock::now();
    call("DELETE", "/api/run/terminals/" + terminal["id"].get<std::string>());
    Received end = read_to_close(*second);
    EXPECT_LT(Clock::now() - asked, 5s);
    ASSERT_FALSE(end.control.empty()) << "no end message";
    EXPECT_EQ(end.control.back()["type"], "exit");
    EXPECT_EQ(second->close_code(), 1000);
    EXPECT_TRUE(process_gone_within(terminal["pid"].get<pid_t>(), 5s));
}

TEST_F(RunApiTest, ARunStreamsItsOutputTakesInputAndKeepsItForLaterSockets) {
    start();
    write_workspace_file("app/talk.py", "import sys, time\n"
                                        "for n in range(3):\n"
                                        "    print('line', n)\n"
                                        "    time.sleep(0.3)\n"
                                        "print('hello,', input())\n"
                                        "sys.exit(3)\n");
    json run = call("POST", "/api/run/start", {{"path", "app/talk.py"}}, 201);
    std::string id = run["id"];
    auto live = socket("/api/run/runs/" + id + "/ws");
    ASSERT_EQ(live->status(), 101);

    // The first line arrives while the program still runs.
    read_until(*live, output_has("line 0\n"));
    EXPECT_EQ(call("GET", "/api/run/runs/" + id)["running"], true);
    EXPECT_EQ(sockets_held_by(call("GET", "/api/run/runs/" + id)["pid"].get<pid_t>()),
              std::vector<std::string>());
    live->send("Ada\n", true);
    Received rest = read_to_close(*live);
    EXPECT_NE(rest.output.find("hello, Ada\n"), std::string::npos) << rest.output;
    EXPECT_EQ(live->close_code(), 1000);
    ASSERT_EQ(rest.control.size(), 1u);
    EXPECT_EQ(rest.control[0]["code"], 3);
    EXPECT_EQ(rest.control[0]["signal"], nullptr);
    EXPECT_GE(rest.control[0]["duration_ms"].get<long long>(), 600);

    // A socket opened after the end gets everything, the status, a close.
    auto late = socket("/api/run/runs/" + id + "/ws");
    Received kept = read_to_close(*late);
    EXPECT_EQ(kept.output, "line 0\nline 1\nline 2\nhello, Ada\n");
    EXPECT_EQ(kept.control, rest.control);
    EXPECT_EQ(late->close_code(), 1000);

    // Compiled languages: the compiler's complaint is the output of a run
    // that failed; a good program runs with its arguments.
    write_workspace_file("bad.c", "int main( { }\n");
    write_workspace_file("good.cpp", "#include <cstdio>\n"
                                     "int main(int, char** argv) { std::printf(\"got %s\\n\", "
                                     "argv[1]); }\n");
    json bad = call("POST", "/api/run/start", {{"path", "bad.c"}}, 201);
    Received compiled =
        read_to_close(*socket("/api/run/runs/" + bad["id"].get<std::string>() + "/ws"));
    EXPECT_NE(compiled.output.find("error"), std::string::npos) << compiled.output;
    EXPECT_NE(compiled.control.at(0)["code"], 0);
    json good = call("POST", "/api/run/start", {{"path", "good.cpp"}, {"args", {"it"}}}, 201);
    EXPECT_EQ(
        read_to_close(*socket("/api/run/runs/" + good["id"].get<std::string>() + "/ws")).output,
        "got it\n");

    // What cannot run is refused up front.
    write_workspace_file("notes.txt", "hi\n");
    call("POST", "/api/run/start", {{"path", "notes.txt"}}, 400);
    call("POST", "/api/run/start", {{"path", "../etc/passwd"}}, 400);
    call("POST", "/api/run/start", {{"path", "missing.py"}}, 404);
    EXPECT_EQ(call("GET", "/api/run/runs")["runs"].size(), 3u);
}

TEST_F(RunApiTest, StopEndsAProgramThatIgnoresSigtermAndFloodsAreBounded) {
    start();
    write_workspace_file("stubborn.sh", "trap '' TERM\necho ready\nwhile :; do sleep 0.05; done\n");
    std::string id = call("POST", "/api/run/start", {{"path", "stubborn.sh"}}, 201)["id"];
    auto watcher = socket("/api/run/runs/" + id + "/ws");
    read_until(*watcher, output_has("ready"));
    auto stopped_at = Clock::now();
    call("POST", "/api/run/runs/" + id + "/stop");
    Received end = read_to_close(*watcher);
    auto took = Clock::now() - stopped_at;
    ASSERT_EQ(end.control.size(), 1u) << end.output << server_->describe();
    EXPECT_EQ(end.control[0]["signal"], "SIGKILL");
    EXPECT_GE(took, 2500ms) << "SIGTERM was ignored: only SIGKILL after the grace ends it";
    EXPECT_LT(took, 6s);

    // `yes` against a socket that is not read, then against none: the
    // server's memory stays within the kept output.
    write_workspace_file("flood.sh", "exec yes\n");
    [[maybe_unused]] long before_kb = proc_status_number(server_->pid(), "VmRSS");
    std::string flood = call("POST", "/api/run/start", {{"path", "flood.sh"}}, 201)["id"];
    long peak_kb = 0;
    {
        auto unread = socket("/api/run/runs/" + flood + "/ws");
        ASSERT_EQ(unread->status(), 101);
        for (int i = 0; i < 25; ++i) {
            std::this_thread::sleep_for(100ms);
            peak_kb = std::max(peak_kb, proc_status_number(server_->pid(), "VmRSS"));
        }
    }
    for (int i = 0; i < 25; ++i) {
        std::this_thread::sleep_for(100ms);
        peak_kb = std::max(peak_kb, proc_status_number(server_->pid(), "VmRSS"));
    }
    EXPECT_EQ(call("GET", "/api/run/runs/" + flood)["running"], true);
    // AddressSanitizer keeps freed memory aside (up to 256 MB) to catch a
    // use after free, and every read of the flood frees a buffer.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peak_kb - before_kb, 20 * 1024);
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak_kb, 40 * 1024); // and no shadow memory on top
#endif
    // A socket that paused the flood does not keep the stop from ending it.
    auto paused = socket("/api/run/runs/" + flood + "/ws");
    paused->send(json{{"type", "pause"}}.dump());
    ASSERT_TRUE(output_until_quiet(*paused, 300ms)) << "output went on for 10 s after the pause";
    call("POST", "/api/run/runs/" + flood + "/stop");
    Received flood_end = read_to_close(*paused);
    ASSERT_FALSE(flood_end.control.empty()) << "no end message";
    EXPECT_EQ(flood_end.control.back()["signal"], "SIGTERM");
    EXPECT_EQ(paused->close_code(), 1000);
}

TEST_F(RunApiTest, StrangersAreRefusedLimitsHoldAndStoppingTheServerHangsUpShells) {
    // With nothing on PATH, a run cannot find its interpreter.
    start({{"QUILLO_MAX_TERMINALS", "1"}, {"PATH", "/nonexistent"}});
    write_workspace_file("hello.py", "print('hello')\n");
    std::string run = call("POST", "/api/run/start", {{"path", "hello.py"}}, 201)["id"];
    Received missing = read_to_close(*socket("/api/run/runs/" + run + "/ws"));
    EXPECT_EQ(missing.output,
              "Cannot run hello.py: python3 is not installed (it was not found on PATH).\n");
    EXPECT_EQ(missing.control.at(0)["code"], 127);

    // Closing a terminal ends even a shell that ignores the hang-up.
    json ended = call("POST", "/api/run/terminals", nullptr, 201);
    call("POST", "/api/run/terminals", nullptr, 409);
    auto stubborn = socket("/api/run/terminals/" + ended["id"].get<std::string>() + "/ws");
    stubborn->send("trap '' HUP; echo ig''nored\n", true);
    read_until(*stubborn, output_has("ignored\r\n"));
    call("DELETE", "/api/run/terminals/" + ended["id"].get<std::string>());
    EXPECT_TRUE(process_gone_within(ended["pid"].get<pid_t>(), 5s));
    Received last = read_to_close(*stubborn);
    ASSERT_FALSE(last.control.empty());
    EXPECT_EQ(last.control.back()["signal"], "SIGKILL");
    json terminal = call("POST", "/api/run/terminals", nullptr, 201);
    std::string target = "/api/run/terminals/" + terminal["id"].get<std::string>() + "/ws";

    WebSocketClient anonymous(server_->port(), target);
    EXPECT_EQ(anonymous.status(), 401);
    auto foreign = socket(target, {{"Origin", "https://evil.example"}});
    EXPECT_EQ(foreign->status(), 403);
    EXPECT_EQ(socket("/api/run/terminals/0123456789abcdef/ws")->status(), 101);
    call("DELETE", "/api/run/terminals/0123456789abcdef", nullptr, 404);

    auto shell = socket(target);
    ASSERT_EQ(shell->status(), 101);
    shell->send("trap 'exit 9' HUP; echo ar''med\n", true);
    read_until(*shell, output_has("armed\r\n"));
    server_->send_signal(SIGTERM);
    EXPECT_EQ(server_->wait_exit(), 0);
    EXPECT_TRUE(process_gone_within(terminal["pid"].get<pid_t>(), 5s));
}

TEST_F(RunApiTest, RunsAndShellsThatIgnoreTheHangUpEndWhenTheServerIsKilled) {
    start();
    // The script, and the child it leaves in the background, ignore SIGHUP.
    write_workspace_file("stay.sh", "trap '' HUP\n"
                                    "sleep 1000 &\n"
                                    "echo $! > sleeper.pid\n"
                                    "echo $$ > script.pid\n"
                                    "echo ready\n"
                                    "wait\n");
    std::string run = call("POST", "/api/run/start", {{"path", "stay.sh"}}, 201)["id"];
    auto watcher = socket("/api/run/runs/" + run + "/ws");
    read_until(*watcher, output_has("ready\n"));
    pid_t script = std::atoi(read_text(server_->workspace() + "/script.pid").c_str());
    pid_t sleeper = std::atoi(read_text(server_->workspace() + "/sleeper.pid").c_str());

    // A shell that ignores the hang-up of its terminal and never reads it.
    json terminal = call("POST", "/api/run/terminals", nullptr, 201);
    pid_t shell = terminal["pid"].get<pid_t>();
    auto keys = socket("/api/run/terminals/" + terminal["id"].get<std::string>() + "/ws");
    keys->send("trap '' HUP; echo ig''nored; exec sleep 1000\n", true);
    read_until(*keys, output_has("ignored\r\n"));

    for (pid_t pid : {script, sleeper, shell}) {
        ASSERT_GT(pid, 1);
        ASSERT_EQ(::kill(pid, 0), 0) << pid << " is not running";
    }
    // The guard leads a session of its own, which Ctrl+C in the server's
    // terminal does not reach.
    std::vector<pid_t> guards = children_running(server_->pid(), "quillo-run-guard");
    EXPECT_EQ(guards.size(), 1u) << server_->describe();
    for (pid_t guard : guards) {
        EXPECT_EQ(session_and_terminal(guard).first, guard);
    }

    watcher.reset();
    keys.reset();
    server_->send_signal(SIGKILL);
    ASSERT_EQ(server_->wait_exit(), -SIGKILL);
    // SIGHUP at once, SIGKILL 2 s later; the guard then exits too.
    std::vector<pid_t> started = {script, sleeper, shell};
    started.insert(started.end(), guards.begin(), guards.end());
    for (pid_t pid : started) {
        EXPECT_TRUE(process_gone_within(pid, 8s)) << pid << " outlived the killed server";
    }
}

TEST_F(RunApiTest, WithoutTheGuardRunsStillWorkAndOneWarningSaysWhy) {
    layout_.emplace();
    std::string binary = copy_build_layout(layout_->path());
    // As the server names it: below its executable's real path.
    std::string guard =
        (std::filesystem::canonical(layout_->path()) / "routes/quillo-run-guard").string();
    ASSERT_TRUE(std::filesystem::remove(guard));
    start({}, binary);
    write_workspace_file("hi.sh", "echo hi\n");
    for (int i = 0; i < 2; ++i) {
        std::string run = call("POST", "/api/run/start", {{"path", "hi.sh"}}, 201)["id"];
        Received got = read_to_close(*socket("/api/run/runs/" + run + "/ws"));
        EXPECT_EQ(got.output, "hi\n");
        ASSERT_EQ(got.control.size(), 1u);
        EXPECT_EQ(got.control[0]["code"], 0);
    }
    call("POST", "/api/run/terminals", nullptr, 201);
    std::string warning = "cannot start the run guard " + guard + ": ";
    EXPECT_TRUE(server_->wait_for_stderr(warning)) << server_->describe();
    EXPECT_EQ(count_of(server_->stderr_text(), "run guard"), 1u) << server_->describe();
}

} // namespace
} // namespace quillo::integration
