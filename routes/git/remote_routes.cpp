// The routes that reach other machines (clone, pull, push, fetch: jobs that
// the page polls), the credentials they use, and the device's SSH key.
#include "git_routes.h"
#include "repo.h"
#include "requests.h"
#include "status.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <quillo/process.h>
#include <quillo/services.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::git {

Jobs& jobs() {
    static Jobs instance;
    return instance;
}

TokenStore& tokens() {
    static TokenStore instance((std::filesystem::path(config_dir()) / "git-tokens.json").string());
    return instance;
}

namespace {

namespace fs = std::filesystem;

// ---- network operations ----

std::string remote_host(const Repo& repo, const std::string& remote) {
    GitRun url = run_git(repo.root.string(), {"remote", "get-url", "--", remote});
    return url.code == 0 ? url_host(url.out.substr(0, url.out.find('\n'))) : std::string();
}

// The remote that pull, push and fetch talk to: the branch's, else origin,
// else the only one; empty when the repository has none.
std::string remote_of(const Repo& repo) {
    GitRun branch = run_git(repo.root.string(), {"symbolic-ref", "--short", "-q", "HEAD"});
    if (branch.code == 0) {
        GitRun configured =
            run_git(repo.root.string(),
                    {"config", "--get",
                     "branch." + branch.out.substr(0, branch.out.find('\n')) + ".remote"});
        if (configured.code == 0) {
            return configured.out.substr(0, configured.out.find('\n'));
        }
    }
    std::vector<std::string> remotes = split(git_output(repo.root.string(), {"remote"}), '\n');
    if (std::find(remotes.begin(), remotes.end(), "origin") != remotes.end()) {
        return "origin";
    }
    return remotes.empty() ? std::string() : remotes.front();
}

Response job_started(const std::shared_ptr<Job>& job) {
    return json_response({{"job", job->id()}}, 202);
}

Response clone(Request& request) {
    nlohmann::json body = body_of(request);
    std::string url = text_field(body, "url");
    check_remote_url(url);
    std::string dir = text_field(body, "dir");
    fs::path target = inside_workspace(dir);
    std::error_code error;
    if (fs::exists(fs::symlink_status(target, error)) || target == inside_workspace("")) {
        throw GitProblem(409, "exists", dir + " exists already: choose a new folder's name");
    }
    if (!fs::is_directory(target.parent_path(), error)) {
        throw GitProblem(404, "path",
                         "There is no folder " + workspace_relative(target.parent_path()) +
                             " to clone into");
    }
    JobSpec spec;
    spec.kind = "clone";
    spec.repo = workspace_relative(target);
    spec.cwd = target.parent_path().string();
    spec.args = {"clone", "--progress", "--", url, target.string()};
    spec.host = url_host(url);
    return job_started(jobs().start(std::move(spec)));
}

// The remote a job talks to (remote_of), refused when there is none.
std::string required_remote(const Repo& repo) {
    std::string remote = remote_of(repo);
    if (remote.empty()) {
        throw GitProblem(409, "no_upstream",
                         "This repository has no remote. Add one in a terminal (git remote add "
                         "origin <address>), then try again.");
    }
    return remote;
}

JobSpec remote_job(const Repo& repo, const std::string& kind, const std::string& remote) {
    JobSpec spec;
    spec.kind = kind;
    spec.repo = repo.relative;
    spec.cwd = repo.root.string();
    spec.host = remote_host(repo, remote);
    return spec;
}

Response pull(Request& request) {
    Repo repo = open_repo(text_field(body_of(request), "repo", false));
    JobSpec spec = remote_job(repo, "pull", required_remote(repo));
    spec.args = {"pull", "--progress"};
    // Without a choice of the user's, a pull that cannot fast-forward merges
    // (newer gits otherwise stop and ask).
    if (run_git(repo.root.string(), {"config", "--get", "pull.rebase"}).code != 0) {
        spec.args.push_back("--no-rebase");
    }
    spec.conflicts_after = [repo] {
        GitRun run = run_git(repo.root.string(), {"status", "--porcelain=v2", "-z"});
        return conflicted_paths(parse_status(run.out));
    };
    return job_started(jobs().start(std::move(spec)));
}

Response push(Request& request) {
    Repo repo = open_repo(text_field(body_of(request), "repo", false));
    std::string remote = required_remote(repo);
    JobSpec spec = remote_job(repo, "push", remote);
    bool tracks = run_git(repo.root.string(),
                          {"rev-parse", "--abbrev-ref", "--symbolic-full-name", "@{upstream}"})
                      .code == 0;
    if (tracks) {
        spec.args = {"push", "--progress"};
    } else {
        if (run_git(repo.root.string(), {"symbolic-ref", "-q", "HEAD"}).code != 0) {
            throw GitProblem(409, "detached", "No branch is checked out: switch to a branch first");
        }
        spec.args = {"push", "--progress", "--set-upstream", remote, "HEAD"};
    }
    return job_started(jobs().start(std::move(spec)));
}

Response fetch(Request& request) {
    Repo repo = open_repo(text_field(body_of(request), "repo", false));
    JobSpec spec = remote_job(repo, "fetch", required_remote(repo));
    spec.args = {"fetch", "--progress"};
    return job_started(jobs().start(std::move(spec)));
}

std::shared_ptr<Job> job_of(const Request& request) {
    auto it = request.view_args.find("id");
    std::shared_ptr<Job> job = it == request.view_args.end() ? nullptr : jobs().find(it->second);
    if (!job) {
        throw GitProblem(404, "job", "There is no such git job (it may have ended long ago)");
    }
    return job;
}

Response job_state(Request& request) {
    std::string since = query(request, "since");
    size_t offset = since.empty() || since.find_first_not_of("0123456789") != std::string::npos ||
                            since.size() > 18
                        ? 0
                        : std::stoull(since);
    return json_response(job_of(request)->snapshot(offset));
}

Response job_answer(Request& request) {
    nlohmann::json body = body_of(request);
    std::shared_ptr<Job> job = job_of(request);
    std::optional<Answer> answer;
    if (!flag(body, "decline")) {
        answer = Answer{text_field(body, "username"), text_field(body, "token"), flag(body, "save"),
                        text_field(body, "name", false)};
    }
    if (!job->answer(std::move(answer))) {
        throw GitProblem(409, "not_asking", "That git job is not waiting for credentials");
    }
    return json_response(nlohmann::json::object());
}

Response job_cancel(Request& request) {
    job_of(request)->cancel();
    return json_response(nlohmann::json::object());
}

// ---- credentials ----

Response token_list(Request&) {
    return json_response({{"tokens", tokens().list()}});
}

Response token_save(Request& request) {
    nlohmann::json body = body_of(request);
    std::string host = text_field(body, "host");
    std::string secret = text_field(body, "token");
    std::string username = text_field(body, "username", false);
    if (host.find_first_of("/ \t\r\n@") != std::string::npos ||
        (secret + username).find_first_of("\r\n") != std::string::npos) {
        throw GitProblem(400, "body",
                         "Give the host alone (like github.com), and a token and "
                         "user name without line breaks");
    }
    std::string name = text_field(body, "name", false);
    std::string id = tokens().save(
        {{}, host, name.empty() ? host : name, username.empty() ? "git" : username, secret});
    return json_response({{"id", id}});
}

Response token_remove(Request& request) {
    if (!tokens().remove(request.view_args["id"])) {
        throw GitProblem(404, "token", "There is no such saved token");
    }
    return json_response(nlohmann::json::object());
}

fs::path ssh_directory() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        throw GitProblem(500, "home", "HOME is not set, so there is no ~/.ssh");
    }
    return fs::path(home) / ".ssh";
}

nlohmann::json public_key() {
    for (const char* name : {"id_ed25519.pub", "id_ecdsa.pub", "id_rsa.pub"}) {
        fs::path file = ssh_directory() / name;
        std::ifstream in(file);
        std::string key;
        if (in && std::getline(in, key) && !key.empty()) {
            return {{"public_key", key}, {"path", file.string()}};
        }
    }
    return {{"public_key", nullptr}, {"path", nullptr}};
}

Response ssh_key(Request& request) {
    if (request.method == "POST") {
        if (!public_key()["public_key"].is_null() || fs::exists(ssh_directory() / "id_ed25519")) {
            throw GitProblem(409, "exists", "There is an SSH key already");
        }
        fs::create_directories(ssh_directory());
        ::chmod(ssh_directory().c_str(), 0700);
        process::RunOptions options;
        options.capture_output = true;
        options.text = process::Scalar(true);
        options.timeout = std::chrono::seconds(30);
        char host[256] = "device";
        ::gethostname(host, sizeof host - 1);
        try {
            process::CompletedProcess made = process::run(
                {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", std::string("quillo@") + host,
                 "-f", (ssh_directory() / "id_ed25519").string()},
                options);
            if (made.returncode != 0) {
                throw GitProblem(500, "failed",
                                 "ssh-keygen failed: " + last_message_line(made.stderr_data));
            }
        } catch (const process::ProgramNotFound&) {
            throw GitProblem(500, "no_ssh",
                             "ssh-keygen is not installed: install the package openssh-client");
        }
    }
    return json_response(public_key());
}

} // namespace

void add_remote_routes(Blueprint& bp) {
    bp.route("/api/git/clone", {"POST"}, answering(clone));
    bp.route("/api/git/pull", {"POST"}, answering(pull));
    bp.route("/api/git/push", {"POST"}, answering(push));
    bp.route("/api/git/fetch", {"POST"}, answering(fetch));
    bp.route("/api/git/jobs/<id>", {"GET"}, answering(job_state));
    bp.route("/api/git/jobs/<id>/answer", {"POST"}, answering(job_answer));
    bp.route("/api/git/jobs/<id>/cancel", {"POST"}, answering(job_cancel));
    bp.route("/api/git/tokens", {"GET"}, answering(token_list));
    bp.route("/api/git/tokens", {"POST"}, answering(token_save));
    bp.route("/api/git/tokens/<id>", {"DELETE"}, answering(token_remove));
    bp.route("/api/git/ssh-key", {"GET", "POST"}, answering(ssh_key));
}

} // namespace quillo::git
