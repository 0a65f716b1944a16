#include "runs.h"

#include "children.h"
#include "run_guard.h"
#include "socket_protocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <quillo/http.h>
#include <quillo/services.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quillo::run {

namespace {

using Clock = std::chrono::steady_clock;

long long epoch_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Waits for the child to end without collecting it, so that its process
// group can still be signalled until the collection under the lock.
void wait_for_exit(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
}

// A directory of its own for a compiled program, below TMPDIR or /tmp.
std::string make_build_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillo-run-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    return pattern;
}

bool is_parent_reference(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

std::string workspace_file(const std::string& workspace, const std::string& path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos ||
        is_parent_reference(path)) {
        throw BadRequest("The path must name a file inside the workspace");
    }
    // Not a barrier against the user, who has a shell: it keeps a run to
    // what the file list shows.
    std::error_code error;
    std::filesystem::path top = std::filesystem::canonical(workspace, error);
    std::filesystem::path file = std::filesystem::canonical(top / path, error);
    if (error) {
        throw NotFound("No such file: " + path);
    }
    auto [top_end, file_at] = std::mismatch(top.begin(), top.end(), file.begin(), file.end());
    if (top_end != top.end()) {
        throw BadRequest("The path must name a file inside the workspace");
    }
    if (!std::filesystem::is_regular_file(file, error)) {
        throw BadRequest(path + " is not a file");
    }
    return file.string();
}

Run::Run(std::string id, std::string path, std::string file, LaunchPlan plan, std::string build_dir,
         const RunLimits& limits)
    : id_(std::move(id)), path_(std::move(path)), file_(std::move(file)), plan_(std::move(plan)),
      build_dir_(std::move(build_dir)), limits_(limits), started_epoch_(epoch_seconds()),
      started_(Clock::now()), output_(limits.keep_bytes) {}

Run::~Run() = default;

nlohmann::json Run::describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json run = {{"id", id_},
                          {"path", path_},
                          {"command", plan_.command},
                          {"running", !returncode_},
                          {"started", started_epoch_},
                          {"code", nullptr},
                          {"signal", nullptr},
                          {"duration_ms", nullptr},
                          {"pid", nullptr}};
    if (child_ && !returncode_) {
        run["pid"] = child_->pid();
    }
    if (returncode_) {
        if (*returncode_ < 0) {
            run["signal"] = signal_name(-*returncode_);
        } else {
            run["code"] = *returncode_;
        }
        run["duration_ms"] = duration_ms_;
    }
    return run;
}

bool Run::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !returncode_;
}

void Run::input(std::string_view bytes) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!child_ || child_->stdin_fd() < 0 || returncode_) {
            return;
        }
        // A copy of our end: the run may end, and its pipes close, while
        // this waits for the program to read.
        fd = ::fcntl(child_->stdin_fd(), F_DUPFD_CLOEXEC, 0);
    }
    if (fd < 0) {
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    write_all(fd, bytes, [this] {
        output_.resume();
        return running();
    });
    ::close(fd);
}

void Run::control(const nlohmann::json& message) {
    if (message_type(message) == protocol::kEofType) {
        end_input();
    }
}

void Run::end_input() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (child_) {
        child_->close_stdin();
    }
}

void Run::stop() {
    output_.end_pauses();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (returncode_ || stopping_) {
            return;
        }
        stopping_ = true;
        if (child_) {
            child_->signal_group(SIGTERM);
        }
    }
    std::thread([self = shared_from_this()] { self->kill_after_grace(); }).detach();
}

void Run::kill_after_grace() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!finished_changed_.wait_for(lock, limits_.stop_grace,
                                    [this] { return returncode_.has_value(); }) &&
        child_) {
        child_->signal_group(SIGKILL);
    }
}

void Run::hang_up() {
    output_.end_pauses();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (child_ && !returncode_) {
        child_->signal_group(SIGHUP);
    }
}

void Run::start(std::function<void(const std::string& id)> ended) {
    ended_ = std::move(ended);
    std::thread([self = shared_from_this()] { self->execute(); }).detach();
}

void Run::execute() {
    int returncode = 0;
    if (!plan_.compile.empty()) {
        returncode = run_step(plan_.compile, false);
    }
    if (returncode == 0) {
        returncode = run_step(plan_.command, true);
    }
    if (!build_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(build_dir_, ignored);
    }
    long long duration =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    {
        // Ended before anyone is told, so that the list agrees with the
        // end message.
        std::lock_guard<std::mutex> lock(mutex_);
        returncode_ = returncode;
        duration_ms_ = duration;
    }
    finished_changed_.notify_all();
    // The last message after the last output, from this same thread.
    output_.finish(exit_message(returncode, duration));
    ended_(id_);
}

int Run::run_step(const std::vector<std::string>& command, bool takes_input) {
    process::LaunchOptions options;
    options.stdin_mode = takes_input ? process::Stream::pipe : process::Stream::null_device;
    options.stdout_mode = process::Stream::pipe;
    options.stderr_mode = process::Stream::to_stdout; // in the order it was written
    options.cwd = std::filesystem::path(file_).parent_path().string();
    options.start_new_session = true; // a process group to stop
    int fd;
    pid_t pid;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return -SIGTERM;
        }
        child_.emplace(command, options);
        fd = child_->stdout_fd();
        pid = child_->pid();
    } catch (const process::ProgramNotFound&) {
        output_.publish(missing_program_message(command.front(), file_));
        return 127;
    } catch (const process::SubprocessError& error) {
        output_.publish(std::string("Cannot run ") + command.front() + ": " + error.what() + "\n");
        return 126;
    }
    // Ended with the server even when it is killed, as its group is a
    // session of its own that no hang-up reaches.
    run_guard().watch(pid);
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output_.publish(std::string_view(buffer, static_cast<size_t>(n)));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    wait_for_exit(pid);
    run_guard().unwatch(pid);
    std::lock_guard<std::mutex> lock(mutex_);
    return child_->wait();
}

std::shared_ptr<Run> RunRegistry::start(const std::string& path,
                                        const std::vector<std::string>& args) {
    std::string file = workspace_file(workspace_dir(), path);
    bool executable = ::access(file.c_str(), X_OK) == 0;
    LaunchPlan plan;
    try {
        plan = plan_launch(file, args, executable, "");
    } catch (const NotRunnable& error) {
        throw BadRequest(error.what());
    }
    std::shared_ptr<Run> run;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t running = std::count_if(runs_.begin(), runs_.end(),
                                       [](const auto& run) { return run->running(); });
        if (running >= limits_.max_running) {
            throw HttpError(409, "Conflict",
                            "At most " + std::to_string(limits_.max_running) +
                                " programs can run at once; stop one first");
        }
        std::string build_dir;
        if (!plan.compile.empty()) {
            build_dir = make_build_dir();
            plan = plan_launch(file, args, executable, build_dir);
        }
        run = std::make_shared<Run>(random_id(), path, file, std::move(plan), build_dir, limits_);
        runs_.push_back(run);
    }
    run->start([this](const std::string& id) { ended(id); });
    return run;
}

std::shared_ptr<Run> RunRegistry::find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& run : runs_) {
        if (run->id() == id) {
            return run;
        }
    }
    return nullptr;
}

nlohmann::json RunRegistry::list() const {
    nlohmann::json list = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto run = runs_.rbegin(); run != runs_.rend(); ++run) {
        list.push_back((*run)->describe());
    }
    return list;
}

void RunRegistry::hang_up_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& run : runs_) {
        run->hang_up();
    }
}

// The oldest finished runs go once there are more than the limit.
void RunRegistry::ended(const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t finished =
        std::count_if(runs_.begin(), runs_.end(), [](const auto& run) { return !run->running(); });
    for (auto run = runs_.begin(); run != runs_.end() && finished > limits_.max_finished;) {
        if (!(*run)->running()) {
            run = runs_.erase(run);
            --finished;
        } else {
            ++run;
        }
    }
}

} // namespace quillo::run
