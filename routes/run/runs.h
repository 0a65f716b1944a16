// Runs of workspace files: their output streamed live and kept for sockets
// that come later.
#pragma once

#include "launch_plan.h"
#include "output_channel.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <quillo/process.h>
#include <quillo/websocket.h>

namespace quillo::run {

struct RunLimits {
    size_t max_running = 8;
    size_t keep_bytes = 1024 * 1024;
    // Finished runs listed, with their output, besides the running ones.
    size_t max_finished = 8;
    // From SIGTERM to SIGKILL when a run is stopped.
    std::chrono::milliseconds stop_grace = std::chrono::seconds(3);
};

class Run : public std::enable_shared_from_this<Run> {
  public:
    // `file` is the absolute path of the workspace file `path`; `build_dir`,
    // when not empty, holds the compiled program and goes when the run ends.
    Run(std::string id, std::string path, std::string file, LaunchPlan plan, std::string build_dir,
        const RunLimits& limits);
    ~Run();

    const std::string& id() const { return id_; }
    nlohmann::json describe() const;
    bool running() const;

    void attach(const std::shared_ptr<WebSocket>& socket) { output_.attach(socket); }
    void detached(const WebSocket* socket) { output_.detach(socket); }
    void pause(const WebSocket* socket) { output_.pause(socket); }
    void resume() { output_.resume(); }
    // Input for the program; dropped while it is being compiled. Input the
    // program does not take ends a pause: it may be waiting for its output
    // to be read first.
    void input(std::string_view bytes);
    // {"type": "eof"} ends the input; anything else is ignored.
    void control(const nlohmann::json& message);
    // SIGTERM to the program's process group, SIGKILL after the grace time;
    // output flows from then on whatever pauses, to its end.
    void stop();
    // For the server's end: what still runs hangs up.
    void hang_up();

    // Runs the plan on a thread of its own; `ended` once it has ended.
    void start(std::function<void(const std::string& id)> ended);

  private:
    void end_input();
    void execute();
    int run_step(const std::vector<std::string>& command, bool takes_input);
    void kill_after_grace();

    std::string id_;
    std::string path_;
    std::string file_;
    LaunchPlan plan_;
    std::string build_dir_;
    RunLimits limits_;
    long long started_epoch_;
    std::chrono::steady_clock::time_point started_;
    OutputChannel output_;
    std::function<void(const std::string&)> ended_;

    mutable std::mutex mutex_;
    std::condition_variable finished_changed_;
    std::optional<process::Popen> child_;
    bool stopping_ = false;
    std::optional<int> returncode_; // once the run has ended
    long long duration_ms_ = 0;
};

class RunRegistry {
  public:
    explicit RunRegistry(RunLimits limits) : limits_(limits) {}

    // Throws HttpError: 400 for a path that is not a runnable workspace file,
    // 404 when it does not exist, 409 when the limit is reached.
    std::shared_ptr<Run> start(const std::string& path, const std::vector<std::string>& args);
    std::shared_ptr<Run> find(const std::string& id) const;
    nlohmann::json list() const;
    void hang_up_all();

  private:
    void ended(const std::string& id);

    RunLimits limits_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Run>> runs_; // oldest first
};

// The absolute path of the workspace file `path` (relative, with no ".."),
// which must exist below the workspace. Throws HttpError 400 or 404.
std::string workspace_file(const std::string& workspace, const std::string& path);

} // namespace quillo::run
