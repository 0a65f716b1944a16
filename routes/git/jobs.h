// Network operations (clone, pull, push, fetch) as jobs: git runs in the
// background with its progress kept for the page to poll, a time limit and
// a Cancel, and a way to ask the user for credentials while it waits.
// No request handler ever waits for the network.
#pragma once

#include "credentials.h"
#include "outcome.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillo::git {

struct JobSpec {
    std::string kind;              // "clone", "pull", "push" or "fetch"
    std::string repo;              // workspace-relative: the repository, or the clone's folder
    std::string cwd;               // where git runs
    std::vector<std::string> args; // after "git"
    std::string host;              // the remote's host, for messages
    // Ends the job when git prints nothing for this long (a stalled
    // network) or runs longer than `total_limit`.
    std::chrono::milliseconds silence_limit{std::chrono::minutes(5)};
    std::chrono::milliseconds total_limit{std::chrono::hours(1)};
    // Run on the job's thread once git has ended: the paths in conflict.
    std::function<std::vector<std::string>()> conflicts_after;
};

class Job {
  public:
    Job(std::string id, std::string ask_key, JobSpec spec);
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    const std::string& id() const { return id_; }
    const std::string& ask_key() const { return ask_key_; }
    const JobSpec& spec() const { return spec_; }

    // The job as the page polls it, with the output from byte `since` on.
    nlohmann::json snapshot(size_t since) const;
    bool finished() const;
    void cancel();
    // The page's answer to an `asking` job; false when it was not asking.
    bool answer(std::optional<Answer> answer);

    // From the credential helper (see JobLink).
    std::optional<Answer> ask(const Attributes& request);
    void refused(bool was_saved);
    std::optional<Answer> accepted() const;

  private:
    void run();
    void read_output(std::string_view bytes);
    void finish(int exit_code);

    const std::string id_;
    const std::string ask_key_;
    const JobSpec spec_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string state_ = "running"; // asking, done, failed, cancelled
    std::string output_;            // complete lines only
    size_t output_base_ = 0;        // the offset of output_'s first byte
    std::string line_;              // the line git is still writing
    std::string progress_;
    Outcome outcome_;
    std::vector<std::string> conflicts_;
    bool cancel_ = false;
    bool declined_ = false;
    bool token_refused_ = false;
    bool saved_token_refused_ = false;
    Attributes asked_;
    std::optional<Answer> answer_;
    bool answered_ = false;
    std::optional<Answer> given_;
    std::thread thread_;
};

class Jobs {
  public:
    // Throws GitProblem 409 (reason "busy") when the repository has a job
    // that is still running.
    std::shared_ptr<Job> start(JobSpec spec);
    std::shared_ptr<Job> find(const std::string& id) const;
    // Cancels every job and waits for their threads.
    void stop_all();
    // What the credential broker reaches the jobs through.
    JobLink link();

  private:
    std::shared_ptr<Job> first_where(const std::function<bool(const Job&)>& wanted) const;
    std::shared_ptr<Job> by_ask_key(const std::string& key) const;
    void forget_old();

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Job>> jobs_;
};

// The host of a remote's address ("https://host:8443/x.git",
// "git@host:x.git", "ssh://git@host/x"), empty when there is none.
std::string url_host(const std::string& url);

// Refuses an address that git should not be given: an unknown transport
// (ext:: runs commands), an option in disguise, a password inside it.
void check_remote_url(const std::string& url);

} // namespace quillo::git
