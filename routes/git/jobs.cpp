#include "jobs.h"

#include "git_command.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <quillo/process.h>
#include <unistd.h>

namespace quillo::git {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kKeptOutput = 256 * 1024;
constexpr auto kAnswerLimit = std::chrono::minutes(10);
constexpr auto kKillAfter = std::chrono::seconds(3);
constexpr size_t kKeptJobs = 16;

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

nlohmann::json text_or_null(const std::string& text) {
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

} // namespace

Job::Job(std::string id, std::string ask_key, JobSpec spec)
    : id_(std::move(id)), ask_key_(std::move(ask_key)), spec_(std::move(spec)) {
    thread_ = std::thread([this] { run(); });
}

Job::~Job() {
    cancel();
    thread_.join();
}

void Job::run() {
    int exit_code = -1;
    std::string launch_error;
    bool timed_out = false;
    try {
        process::LaunchOptions options;
        options.stdin_mode = process::Stream::null_device;
        options.stdout_mode = process::Stream::pipe;
        options.stderr_mode = process::Stream::to_stdout;
        options.start_new_session = true; // so Cancel reaches git's helpers too
        options.cwd = spec_.cwd;
        options.env =
            git_environment(current_environment(), workspace(), {"QUILLO_GIT_ASK=" + ask_key_});
        std::vector<std::string> argv = {"git"};
        argv.insert(argv.end(), spec_.args.begin(), spec_.args.end());
        process::Popen child(argv, options);
        Clock::time_point started = Clock::now(), heard = started, stopping{};
        char buffer[16384];
        for (;;) {
            pollfd ready{child.stdout_fd(), POLLIN, 0};
            if (::poll(&ready, 1, 500) > 0) {
                ssize_t got = ::read(child.stdout_fd(), buffer, sizeof buffer);
                if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                    break;
                }
                if (got > 0) {
                    read_output(std::string_view(buffer, static_cast<size_t>(got)));
                    heard = Clock::now();
                }
            }
            Clock::time_point now = Clock::now();
            bool stop;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (state_ == "asking") {
                    heard = now; // the user is typing, not the network stalling
                }
                bool late = now - heard > spec_.silence_limit || now - started > spec_.total_limit;
                timed_out = timed_out || (late && !cancel_);
                stop = cancel_ || late;
            }
            if (stop && stopping == Clock::time_point{}) {
                child.signal_group(SIGTERM); // git clone removes what it made
                stopping = now;
            } else if (stop && now - stopping > kKillAfter) {
                child.signal_group(SIGKILL);
            }
        }
        exit_code = child.wait();
    } catch (const process::ProgramNotFound&) {
        launch_error = "git is not installed: install the package git";
    } catch (const std::exception& error) {
        launch_error = error.what();
    }
    std::vector<std::string> conflicts;
    if (spec_.conflicts_after && launch_error.empty()) {
        try {
            conflicts = spec_.conflicts_after();
        } catch (const std::exception&) {
            // the outcome is then told from git's words alone
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    conflicts_ = std::move(conflicts);
    if (!launch_error.empty()) {
        outcome_ = {"failed", launch_error};
    } else if (cancel_ && !timed_out) {
        outcome_ = {"cancelled", "Cancelled."};
    } else if (timed_out) {
        outcome_ = {"timeout", "git " + spec_.kind +
                                   " made no progress for too long and was stopped. Check the "
                                   "network, then try again."};
    } else if (declined_) {
        outcome_ = {"declined", "No username and token were given for " +
                                    (spec_.host.empty() ? std::string("the server") : spec_.host) +
                                    "."};
    } else {
        outcome_ = describe_outcome({spec_.kind, exit_code, output_ + line_, spec_.host,
                                     token_refused_, saved_token_refused_, conflicts_});
    }
    state_ = outcome_.reason.empty()          ? "done"
             : outcome_.reason == "cancelled" ? "cancelled"
                                              : "failed";
    changed_.notify_all();
}

// git rewrites its progress line with "\r"; only finished lines are kept.
void Job::read_output(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : bytes) {
        if (c == '\n' || c == '\r') {
            if (!line_.empty()) {
                progress_ = line_;
            }
            if (c == '\n') {
                output_ += line_ + "\n";
            }
            line_.clear();
        } else {
            line_ += c;
        }
    }
    if (output_.size() > kKeptOutput) {
        size_t drop = output_.size() - kKeptOutput / 2;
        output_.erase(0, drop);
        output_base_ += drop;
    }
}

nlohmann::json Job::snapshot(size_t since) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t from = std::max(since, output_base_) - output_base_;
    nlohmann::json ask;
    if (state_ == "asking") {
        auto attribute = [&](const char* key) {
            auto it = asked_.find(key);
            return it == asked_.end() ? std::string() : it->second;
        };
        ask = {{"host", attribute("host")},
               {"protocol", attribute("protocol")},
               {"username", attribute("username")},
               {"refused", token_refused_}};
    }
    return {{"id", id_},
            {"kind", spec_.kind},
            {"repo", spec_.repo},
            {"state", state_},
            {"progress", line_.empty() ? progress_ : line_},
            {"output", from < output_.size() ? output_.substr(from) : std::string()},
            {"next", output_base_ + output_.size()},
            {"ask", ask},
            {"reason", text_or_null(outcome_.reason)},
            {"message", text_or_null(outcome_.message)},
            {"conflicts", conflicts_}};
}

bool Job::finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == "done" || state_ == "failed" || state_ == "cancelled";
}

void Job::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
    changed_.notify_all();
}

bool Job::answer(std::optional<Answer> answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != "asking" || answered_) {
        return false;
    }
    answer_ = std::move(answer);
    answered_ = true;
    state_ = "running"; // the next poll must not ask the same question again
    changed_.notify_all();
    return true;
}

std::optional<Answer> Job::ask(const Attributes& request) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cancel_ || state_ != "running") {
        return std::nullopt;
    }
    asked_ = request;
    answered_ = false;
    answer_.reset();
    state_ = "asking";
    changed_.wait_for(lock, kAnswerLimit, [&] { return answered_ || cancel_; });
    state_ = "running"; // also when nobody answered in time
    if (!answer_ || cancel_) {
        declined_ = !cancel_;
        return std::nullopt;
    }
    given_ = answer_;
    return answer_;
}

void Job::refused(bool was_saved) {
    std::lock_guard<std::mutex> lock(mutex_);
    token_refused_ = true;
    saved_token_refused_ = saved_token_refused_ || was_saved;
}

std::optional<Answer> Job::accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return given_;
}

std::shared_ptr<Job> Jobs::start(JobSpec spec) {
    std::lock_guard<std::mutex> lock(mutex_);
    forget_old();
    for (const auto& job : jobs_) {
        if (job->spec().repo == spec.repo && !job->finished()) {
            throw GitProblem(409, "busy",
                             "git " + job->spec().kind + " is still running in " +
                                 (spec.repo.empty() ? std::string("the workspace") : spec.repo),
                             {{"job", job->id()}, {"kind", job->spec().kind}});
        }
    }
    auto job = std::make_shared<Job>(random_hex(8), random_hex(16), std::move(spec));
    jobs_.push_back(job);
    return job;
}

std::shared_ptr<Job> Jobs::first_where(const std::function<bool(const Job&)>& wanted) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it =
        std::find_if(jobs_.begin(), jobs_.end(), [&](const auto& job) { return wanted(*job); });
    return it == jobs_.end() ? nullptr : *it;
}

std::shared_ptr<Job> Jobs::find(const std::string& id) const {
    return first_where([&](const Job& job) { return job.id() == id; });
}

std::shared_ptr<Job> Jobs::by_ask_key(const std::string& key) const {
    return first_where([&](const Job& job) { return job.ask_key() == key; });
}

// Finished jobs stay for the page to read their outcome, the newest few.
void Jobs::forget_old() {
    size_t finished = 0;
    for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
        finished += (*it)->finished() ? 1 : 0;
    }
    for (auto it = jobs_.begin(); it != jobs_.end() && finished > kKeptJobs;) {
        if ((*it)->finished()) {
            it = jobs_.erase(it);
            --finished;
        } else {
            ++it;
        }
    }
}

void Jobs::stop_all() {
    std::vector<std::shared_ptr<Job>> jobs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs.swap(jobs_);
    }
    for (const auto& job : jobs) {
        job->cancel();
    }
    jobs.clear(); // each waits for its thread
}

JobLink Jobs::link() {
    return {
        [this](const std::string& key, const Attributes& request) -> std::optional<Answer> {
            auto job = by_ask_key(key);
            return job ? job->ask(request) : std::nullopt;
        },
        [this](const std::string& key, bool was_saved) {
            if (auto job = by_ask_key(key)) {
                job->refused(was_saved);
            }
        },
        [this](const std::string& key) -> std::optional<Answer> {
            auto job = by_ask_key(key);
            return job ? job->accepted() : std::nullopt;
        },
    };
}

std::string url_host(const std::string& url) {
    size_t scheme_end = url.find("://");
    std::string authority;
    if (scheme_end != std::string::npos) {
        size_t start = scheme_end + 3;
        authority = url.substr(start, url.find('/', start) - start);
    } else {
        size_t colon = url.find(':');
        if (colon == std::string::npos || url.substr(0, colon).find('/') != std::string::npos) {
            return {}; // a local path
        }
        authority = url.substr(0, colon);
    }
    size_t at = authority.rfind('@');
    return at == std::string::npos ? authority : authority.substr(at + 1);
}

void check_remote_url(const std::string& url) {
    auto refuse = [&](const std::string& why) { throw GitProblem(400, "url", why); };
    if (url.empty() || url.starts_with('-') || url.find_first_of("\n\r\t ") != std::string::npos) {
        refuse("Give the repository's address, for example https://host/user/project.git");
    }
    if (url.find("::") != std::string::npos) {
        refuse("That kind of address is not allowed: use https://, ssh://, user@host:path or "
               "file://");
    }
    size_t scheme_end = url.find("://");
    if (scheme_end != std::string::npos) {
        std::string scheme = lower(url.substr(0, scheme_end));
        if (scheme != "https" && scheme != "http" && scheme != "ssh" && scheme != "git" &&
            scheme != "file") {
            refuse("That kind of address is not allowed: use https://, ssh://, user@host:path or "
                   "file://");
        }
        size_t start = scheme_end + 3;
        std::string authority = url.substr(start, url.find('/', start) - start);
        size_t at = authority.rfind('@');
        if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos) {
            refuse("The address holds a password. Remove it, and save the token under Tokens "
                   "instead: git would keep the address, password and all, in the "
                   "repository's settings.");
        }
        if (url_host(url).starts_with('-')) {
            refuse("The address's host cannot start with '-'");
        }
        return;
    }
    std::string host = url_host(url);
    if (host.empty() || host.starts_with('-')) {
        refuse("Give the repository's address, for example https://host/user/project.git or "
               "git@host:user/project.git");
    }
}

} // namespace quillo::git
