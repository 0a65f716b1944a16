// The git module: the Source control view's API over the git command line.
// Every git runs through quillo/process.h with a time limit; the network
// operations run as jobs (jobs.h) so that no request waits for a remote.
#include "credential_socket.h"
#include "credentials.h"
#include "git_command.h"
#include "jobs.h"
#include "outcome.h"
#include "repo.h"
#include "status.h"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <quillo/module.h>
#include <quillo/process.h>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace quillo;
using namespace quillo::git;
namespace fs = std::filesystem;

constexpr size_t kLargestShownFile = 2 * 1024 * 1024;
constexpr auto kCommitLimit = std::chrono::minutes(2); // hooks may run long

Jobs& jobs() {
    static Jobs instance;
    return instance;
}

TokenStore& tokens() {
    static TokenStore instance((fs::path(config_dir()) / "git-tokens.json").string());
    return instance;
}

std::unique_ptr<CredentialSocket>& credential_socket() {
    static std::unique_ptr<CredentialSocket> instance;
    return instance;
}

// ---- reading requests ----

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A form-encoded value ("+" is a space, as URLSearchParams writes it).
std::string form_decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string query(const Request& request, std::string_view name) {
    std::string_view rest = request.query_string;
    while (!rest.empty()) {
        std::string_view pair = rest.substr(0, rest.find('&'));
        rest = pair.size() < rest.size() ? rest.substr(pair.size() + 1) : std::string_view();
        std::string_view key = pair.substr(0, pair.find('='));
        if (form_decoded(key) == name) {
            return key.size() < pair.size() ? form_decoded(pair.substr(key.size() + 1)) : "";
        }
    }
    return {};
}

int query_number(const Request& request, std::string_view name, int fallback, int most) {
    std::string text = query(request, name);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 6) {
        return fallback;
    }
    return std::min(std::stoi(text), most);
}

nlohmann::json body_of(const Request& request) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object()) {
        throw GitProblem(400, "body", "Send a JSON object");
    }
    return body;
}

std::string text_field(const nlohmann::json& body, const char* key, bool required = true) {
    auto it = body.find(key);
    if (it == body.end() || !it->is_string() || (required && it->get<std::string>().empty())) {
        if (!required && (it == body.end() || it->is_null())) {
            return {};
        }
        throw GitProblem(400, "body", std::string("Give \"") + key + "\" as text");
    }
    return it->get<std::string>();
}

bool flag(const nlohmann::json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_boolean() && it->get<bool>();
}

std::vector<std::string> checked_paths(const nlohmann::json& body) {
    auto it = body.find("paths");
    if (it == body.end() || !it->is_array() || it->empty()) {
        throw GitProblem(400, "body", "Give \"paths\" (a list) or \"all\": true");
    }
    std::vector<std::string> paths;
    for (const nlohmann::json& path : *it) {
        if (!path.is_string()) {
            throw GitProblem(400, "body", "Each of \"paths\" is a text");
        }
        paths.push_back(checked_path(path.get<std::string>()));
    }
    return paths;
}

template <class Operation> Handler answering(Operation operation) {
    return [operation](Request& request) -> Response {
        try {
            return operation(request);
        } catch (const GitProblem& problem) {
            nlohmann::json body = problem.details;
            body["error"] = problem.what();
            body["reason"] = problem.reason;
            return json_response(body, problem.status);
        }
    };
}

// ---- reading repositories ----

nlohmann::json status_of(const Repo& repo) {
    GitRun run = run_git(repo.root.string(), {"status", "--porcelain=v2", "--branch", "-z"});
    if (run.code != 0) {
        throw GitProblem(409, "failed", last_message_line(run.err));
    }
    nlohmann::json status = to_json(parse_status(run.out));
    status["repo"] = repo.relative;
    std::error_code error;
    status["merging"] = fs::exists(repo.root / ".git" / "MERGE_HEAD", error);
    return status;
}

bool has_commits(const Repo& repo) {
    return run_git(repo.root.string(), {"rev-parse", "--verify", "-q", "HEAD"}).code == 0;
}

bool is_binary(const std::string& text) {
    return text.find('\0', 0) != std::string::npos;
}

struct Side {
    nlohmann::json text; // null when the file is not on this side
    bool binary = false;
    bool too_large = false;
};

// An object ("HEAD:<path>", ":0:<path>") as text, within the size shown.
Side object_side(const Repo& repo, const std::string& object) {
    GitRun size = run_git(repo.root.string(), {"cat-file", "-s", object});
    if (size.code != 0) {
        return {};
    }
    if (std::stoull("0" + size.out.substr(0, size.out.find('\n'))) > kLargestShownFile) {
        return {"", false, true};
    }
    std::string text = git_output(repo.root.string(), {"cat-file", "blob", object});
    return is_binary(text) ? Side{"", true, false} : Side{text, false, false};
}

Side disk_side(const Repo& repo, const std::string& path) {
    fs::path file = inside_workspace(repo.relative.empty() ? path : repo.relative + "/" + path);
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return {};
    }
    if (fs::file_size(file, error) > kLargestShownFile) {
        return {"", false, true};
    }
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    if (is_binary(text)) {
        return {"", true, false};
    }
    // Shown in the page as text: bytes that are not UTF-8 become U+FFFD
    // when the answer is written.
    return {text, false, false};
}

Response diff(Request& request) {
    Repo repo = open_repo(query(request, "repo"));
    std::string path = checked_path(query(request, "path"));
    bool staged = query(request, "staged") == "1";
    Side old_side = object_side(repo, (staged ? "HEAD:" : ":0:") + path);
    Side new_side = staged ? object_side(repo, ":0:" + path) : disk_side(repo, path);
    bool binary = old_side.binary || new_side.binary;
    bool too_large = old_side.too_large || new_side.too_large;
    nlohmann::json none;
    return json_response({{"old", binary || too_large ? none : old_side.text},
                          {"new", binary || too_large ? none : new_side.text},
                          {"binary", binary},
                          {"too_large", too_large}});
}

Response head_version(Request& request) {
    std::string path = query(request, "path");
    std::optional<Repo> repo = repo_containing(path);
    nlohmann::json untracked = {{"tracked", false}, {"text", nullptr}};
    if (!repo) {
        return json_response(untracked);
    }
    std::string in_repo = inside_workspace(path).lexically_relative(repo->root).generic_string();
    if (in_repo.empty() || in_repo.starts_with("..")) {
        return json_response(untracked);
    }
    Side side = object_side(*repo, "HEAD:" + in_repo);
    if (side.text.is_null()) {
        return json_response(untracked);
    }
    return json_response({{"tracked", true},
                          {"text", side.binary || side.too_large ? nlohmann::json() : side.text},
                          {"binary", side.binary},
                          {"too_large", side.too_large}});
}

Response status(Request& request) {
    std::optional<Repo> repo = repo_containing(query(request, "path"));
    return json_response(repo ? status_of(*repo) : nlohmann::json({{"repo", nullptr}}));
}

// ---- changing repositories ----

Response init(Request& request) {
    std::string path = text_field(body_of(request), "path", false);
    fs::path folder = inside_workspace(path);
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        throw GitProblem(404, "path", "There is no folder " + path);
    }
    git_output(folder.string(), {"init", "-q"});
    return json_response(status_of(open_repo(workspace_relative(folder))));
}

Response stage(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::vector<std::string> args = {"add", "-A", "--"};
    if (!flag(body, "all")) {
        std::vector<std::string> paths = checked_paths(body);
        args.insert(args.end(), paths.begin(), paths.end());
    }
    git_output(repo.root.string(), args);
    return json_response(status_of(repo));
}

Response unstage(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::vector<std::string> paths =
        flag(body, "all") ? std::vector<std::string>{"."} : checked_paths(body);
    // Before the first commit there is no HEAD to take the index back to.
    std::vector<std::string> args =
        has_commits(repo) ? std::vector<std::string>{"restore", "--staged", "--"}
                          : std::vector<std::string>{"rm", "--cached", "-r", "-q", "--"};
    args.insert(args.end(), paths.begin(), paths.end());
    git_output(repo.root.string(), args);
    return json_response(status_of(repo));
}

bool has_conflict_markers(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    bool start = false, middle = false;
    while (std::getline(in, line)) {
        start = start || line.starts_with("<<<<<<<");
        middle = middle || (start && line.starts_with("======="));
        if (middle && line.starts_with(">>>>>>>")) {
            return true;
        }
    }
    return false;
}

Response resolve(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::string path = checked_path(text_field(body, "path"));
    fs::path file = inside_workspace(repo.relative.empty() ? path : repo.relative + "/" + path);
    if (!flag(body, "force") && has_conflict_markers(file)) {
        throw GitProblem(409, "markers",
                         path + " still has conflict markers (<<<<<<<, =======, >>>>>>>)");
    }
    git_output(repo.root.string(), {"add", "-A", "--", path});
    return json_response(status_of(repo));
}

// Discarding a change is two steps in the page: the file goes to the Trash
// like any delete, then this brings back the index's version. Refusing
// while the file is there means this route alone can never lose work.
Response restore(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::string path = checked_path(text_field(body, "path"));
    fs::path file = inside_workspace(repo.relative.empty() ? path : repo.relative + "/" + path);
    std::error_code error;
    if (fs::exists(fs::symlink_status(file, error))) {
        throw GitProblem(409, "exists",
                         path + " is still there: move it to the Trash first, so that its "
                                "content is kept");
    }
    git_output(repo.root.string(), {"restore", "--worktree", "--", path});
    return json_response(status_of(repo));
}

Response commit(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::string message = text_field(body, "message", false);
    if (message.find_first_not_of(" \t\r\n") == std::string::npos) {
        throw GitProblem(400, "message", "Write a message that says what the commit changes");
    }
    GitCall call;
    call.input = message;
    call.limit = kCommitLimit;
    GitRun run = run_git(repo.root.string(), {"commit", "-q", "-F", "-"}, call);
    std::string said = run.err + "\n" + run.out;
    if (run.code != 0 && (said.find("Please tell me who you are") != std::string::npos ||
                          said.find("empty ident name") != std::string::npos ||
                          said.find("Author identity unknown") != std::string::npos)) {
        throw GitProblem(409, "identity", "git needs your name and email for commits");
    }
    if (run.code != 0 && (said.find("nothing to commit") != std::string::npos ||
                          said.find("no changes added to commit") != std::string::npos ||
                          said.find("nothing added to commit") != std::string::npos)) {
        throw GitProblem(409, "nothing", "Nothing is staged: stage the changes to commit first");
    }
    if (run.code != 0) {
        throw GitProblem(409, "failed", last_message_line(said));
    }
    std::string hash = git_output(repo.root.string(), {"rev-parse", "--short", "HEAD"});
    return json_response(
        {{"commit", hash.substr(0, hash.find('\n'))}, {"status", status_of(repo)}});
}

std::string global_setting(const std::string& key) {
    GitRun run = run_git(workspace(), {"config", "--global", "--get", key});
    return run.code == 0 ? run.out.substr(0, run.out.find('\n')) : std::string();
}

Response identity(Request& request) {
    if (request.method == "PUT") {
        nlohmann::json body = body_of(request);
        std::string name = text_field(body, "name");
        std::string email = text_field(body, "email");
        if ((name + email).find_first_of("\n\r<>") != std::string::npos) {
            throw GitProblem(400, "body", "A name or email cannot hold line breaks, < or >");
        }
        git_output(workspace(), {"config", "--global", "user.name", name});
        git_output(workspace(), {"config", "--global", "user.email", email});
    }
    return json_response(
        {{"name", global_setting("user.name")}, {"email", global_setting("user.email")}});
}

// ---- branches and history ----

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        end = end == std::string::npos ? text.size() : end;
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

Response branches(Request& request) {
    Repo repo = open_repo(query(request, "repo"));
    std::string refs = git_output(
        repo.root.string(), {"for-each-ref", "--format=%(refname)%1f%(HEAD)%1f%(upstream:short)",
                             "refs/heads", "refs/remotes"});
    nlohmann::json local = nlohmann::json::array(), remote = nlohmann::json::array();
    nlohmann::json current;
    for (const std::string& line : split(refs, '\n')) {
        std::vector<std::string> fields = split(line + "\x1f", '\x1f');
        if (fields.size() < 3) {
            continue;
        }
        const std::string& ref = fields[0];
        if (ref.starts_with("refs/heads/")) {
            std::string name = ref.substr(11);
            bool is_current = fields[1] == "*";
            if (is_current) {
                current = name;
            }
            local.push_back(
                {{"name", name},
                 {"current", is_current},
                 {"upstream", fields[2].empty() ? nlohmann::json() : nlohmann::json(fields[2])}});
        } else if (ref.starts_with("refs/remotes/") && !ref.ends_with("/HEAD")) {
            remote.push_back(ref.substr(13));
        }
    }
    return json_response({{"current", current}, {"branches", local}, {"remote", remote}});
}

std::string checked_branch(const Repo& repo, const std::string& name) {
    if (name.empty() || name.starts_with('-') ||
        run_git(repo.root.string(), {"check-ref-format", "--branch", name}).code != 0) {
        throw GitProblem(400, "name", "\"" + name + "\" cannot be a branch name");
    }
    return name;
}

bool ref_exists(const Repo& repo, const std::string& ref) {
    return run_git(repo.root.string(), {"show-ref", "--verify", "-q", ref}).code == 0;
}

void switch_or_explain(const Repo& repo, const std::vector<std::string>& args) {
    GitRun run = run_git(repo.root.string(), args);
    if (run.code == 0) {
        return;
    }
    std::vector<std::string> files = listed_files(run.err, "would be overwritten by checkout");
    if (!files.empty()) {
        std::string names;
        for (const std::string& file : files) {
            names += (names.empty() ? "" : ", ") + file;
        }
        throw GitProblem(409, "would_overwrite",
                         "Switching would overwrite your changes to " + names +
                             ". Commit them or discard them first.",
                         {{"files", files}});
    }
    throw GitProblem(409, "failed", last_message_line(run.err + "\n" + run.out));
}

Response create_branch(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::string name = checked_branch(repo, text_field(body, "name"));
    if (ref_exists(repo, "refs/heads/" + name)) {
        throw GitProblem(409, "exists", "There is a branch " + name + " already");
    }
    if (flag(body, "switch")) {
        switch_or_explain(repo, {"switch", "-q", "-c", name});
    } else {
        git_output(repo.root.string(), {"branch", name});
    }
    return json_response(status_of(repo));
}

Response switch_branch(Request& request) {
    nlohmann::json body = body_of(request);
    Repo repo = open_repo(text_field(body, "repo", false));
    std::string name = text_field(body, "name");
    if (!name.starts_with('-') && ref_exists(repo, "refs/heads/" + name)) {
        switch_or_explain(repo, {"switch", "-q", name});
    } else if (!name.starts_with('-') && ref_exists(repo, "refs/remotes/" + name)) {
        switch_or_explain(repo, {"switch", "-q", "--track", name});
    } else {
        throw GitProblem(404, "name", "There is no branch " + name);
    }
    return json_response(status_of(repo));
}

nlohmann::json commit_fields(const std::vector<std::string>& fields) {
    return {{"hash", fields[0]},
            {"short", fields[1]},
            {"author", fields[2]},
            {"date", fields[3]},
            {"subject", fields[4]}};
}

const char* const kCommitFormat = "--format=%H%x1f%h%x1f%an%x1f%aI%x1f%s%x1f%b";

Response log(Request& request) {
    Repo repo = open_repo(query(request, "repo"));
    int skip = query_number(request, "skip", 0, 1'000'000);
    int limit = std::max(1, query_number(request, "limit", 30, 100));
    nlohmann::json commits = nlohmann::json::array();
    if (has_commits(repo)) {
        std::string out = git_output(repo.root.string(),
                                     {"log", "-z", kCommitFormat, "--skip=" + std::to_string(skip),
                                      "-n", std::to_string(limit + 1), "HEAD", "--"});
        for (const std::string& record : split(out, '\0')) {
            std::vector<std::string> fields = split(record + "\x1f", '\x1f');
            if (fields.size() >= 5) {
                commits.push_back(commit_fields(fields));
            }
        }
    }
    bool more = commits.size() > static_cast<size_t>(limit);
    if (more) {
        commits.erase(commits.end() - 1);
    }
    return json_response({{"commits", commits}, {"more", more}});
}

std::string change_of(char code) {
    switch (code) {
    case 'A':
        return "added";
    case 'D':
        return "deleted";
    case 'R':
        return "renamed";
    case 'C':
        return "copied";
    case 'T':
        return "typechange";
    default:
        return "modified";
    }
}

Response show(Request& request) {
    Repo repo = open_repo(query(request, "repo"));
    std::string hash = query(request, "hash");
    if (hash.size() < 4 || hash.size() > 64 ||
        hash.find_first_not_of("0123456789abcdef") != std::string::npos) {
        throw GitProblem(400, "hash", "Give a commit's hash");
    }
    GitRun head = run_git(repo.root.string(), {"show", "-s", "-z", kCommitFormat, hash, "--"});
    std::vector<std::string> fields =
        split(head.out.substr(0, head.out.find('\0')) + "\x1f", '\x1f');
    if (head.code != 0 || fields.size() < 6) {
        throw GitProblem(404, "hash", "There is no commit " + hash);
    }
    nlohmann::json answer = commit_fields(fields);
    answer["body"] = fields[5];
    std::vector<std::string> names =
        split(git_output(repo.root.string(), {"diff-tree", "-r", "-z", "--root", "-M",
                                              "--name-status", "--no-commit-id", hash}),
              '\0');
    nlohmann::json files = nlohmann::json::array();
    for (size_t i = 0; i + 1 < names.size(); i += 2) {
        nlohmann::json file = {{"change", change_of(names[i].empty() ? 'M' : names[i][0])}};
        if ((names[i].starts_with('R') || names[i].starts_with('C')) && i + 2 < names.size()) {
            file["from"] = names[++i];
        }
        file["path"] = names[i + 1];
        files.push_back(std::move(file));
    }
    answer["files"] = files;
    return json_response(answer);
}

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

JobSpec remote_job(const Repo& repo, const std::string& kind) {
    std::string remote = remote_of(repo);
    if (remote.empty()) {
        throw GitProblem(409, "no_upstream",
                         "This repository has no remote. Add one in a terminal (git remote add "
                         "origin <address>), then try again.");
    }
    JobSpec spec;
    spec.kind = kind;
    spec.repo = repo.relative;
    spec.cwd = repo.root.string();
    spec.host = remote_host(repo, remote);
    return spec;
}

Response pull(Request& request) {
    Repo repo = open_repo(text_field(body_of(request), "repo", false));
    JobSpec spec = remote_job(repo, "pull");
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
    JobSpec spec = remote_job(repo, "push");
    bool tracks = run_git(repo.root.string(),
                          {"rev-parse", "--abbrev-ref", "--symbolic-full-name", "@{upstream}"})
                      .code == 0;
    if (tracks) {
        spec.args = {"push", "--progress"};
    } else {
        if (run_git(repo.root.string(), {"symbolic-ref", "-q", "HEAD"}).code != 0) {
            throw GitProblem(409, "detached", "No branch is checked out: switch to a branch first");
        }
        spec.args = {"push", "--progress", "--set-upstream", remote_of(repo), "HEAD"};
    }
    return job_started(jobs().start(std::move(spec)));
}

Response fetch(Request& request) {
    Repo repo = open_repo(text_field(body_of(request), "repo", false));
    JobSpec spec = remote_job(repo, "fetch");
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
    std::string id = tokens().save(
        {{}, host, text_field(body, "name", false), username.empty() ? "git" : username, secret});
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

Response module_info(Request&) {
    static const std::string version = [] {
        try {
            GitRun run = run_git(workspace(), {"--version"});
            std::string out = run.out.substr(0, run.out.find('\n'));
            return out.starts_with("git version ") ? out.substr(12) : out;
        } catch (const std::exception&) {
            return std::string();
        }
    }();
    return json_response({{"module", "git"},
                          {"stand_in", false},
                          {"git", version.empty() ? nlohmann::json() : nlohmann::json(version)}});
}

Blueprint& module_bp() {
    static Blueprint bp("git_bp");
    return bp;
}

const bool registered = [] {
    set_workspace(workspace_dir());
    Blueprint& bp = module_bp();
    bp.route("/api/git/module", {"GET"}, module_info);
    bp.route("/api/git/status", {"GET"}, answering(status));
    bp.route("/api/git/diff", {"GET"}, answering(diff));
    bp.route("/api/git/head", {"GET"}, answering(head_version));
    bp.route("/api/git/init", {"POST"}, answering(init));
    bp.route("/api/git/stage", {"POST"}, answering(stage));
    bp.route("/api/git/unstage", {"POST"}, answering(unstage));
    bp.route("/api/git/resolve", {"POST"}, answering(resolve));
    bp.route("/api/git/restore", {"POST"}, answering(restore));
    bp.route("/api/git/commit", {"POST"}, answering(commit));
    bp.route("/api/git/identity", {"GET", "PUT"}, answering(identity));
    bp.route("/api/git/branches", {"GET"}, answering(branches));
    bp.route("/api/git/branch", {"POST"}, answering(create_branch));
    bp.route("/api/git/switch", {"POST"}, answering(switch_branch));
    bp.route("/api/git/log", {"GET"}, answering(log));
    bp.route("/api/git/show", {"GET"}, answering(show));
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
    return true;
}();

// ---- the credential helper ----

// Any address inside this module tells dladdr which file it was loaded from.
const char module_anchor = 0;

// Built and installed next to git.so (CMakeLists.txt).
std::string helper_program() {
    Dl_info info{};
    if (::dladdr(&module_anchor, &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("dladdr cannot tell which file the git module was loaded from");
    }
    fs::path program = fs::absolute(info.dli_fname).parent_path() / "quillo-git-credential";
    if (::access(program.c_str(), X_OK) != 0) {
        throw std::runtime_error(program.string() + " is missing or not executable");
    }
    return program.string();
}

} // namespace

QUILLO_ROUTE_MODULE(module_bp())

// Makes HTTPS credentials work for every git the IDE starts, its terminals'
// included: the helper is added to git's configuration through the
// environment the server's children inherit (GIT_CONFIG_COUNT), after any
// helper the user configured, and nothing is written to a config file.
QUILLO_MODULE_EXPORT void install_git_credential_helper() {
    std::string socket_path =
        (fs::path(config_dir()) / ("git-credential-" + std::to_string(server_port()) + ".sock"))
            .string();
    std::string program = helper_program();
    static CredentialBroker broker(tokens(), jobs().link());
    credential_socket() = std::make_unique<CredentialSocket>(
        socket_path,
        [](const std::string& action, const std::string& key, const std::string& attributes) {
            return broker.handle(action, key, parse_attributes(attributes));
        });
    std::string command = "!" + shell_quoted(program) + " --socket " + shell_quoted(socket_path);
    for (const std::string& entry : helper_config(current_environment(), command)) {
        size_t equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

QUILLO_MODULE_EXPORT void quillo_module_stop() {
    jobs().stop_all();
    credential_socket().reset();
}
