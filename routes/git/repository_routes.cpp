// The routes that read and change a repository on this device: status,
// diffs, staging, commits, branches and history. Each git runs to its end
// within a time limit while the request waits (none of them uses the network).
#include "git_routes.h"
#include "outcome.h"
#include "repo.h"
#include "requests.h"
#include "status.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillo::git {

namespace {

namespace fs = std::filesystem;

constexpr size_t kLargestShownFile = 2 * 1024 * 1024;
constexpr auto kCommitLimit = std::chrono::minutes(2); // hooks may run long

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
    std::string bytes = size.out.substr(0, size.out.find('\n'));
    if (bytes.empty() || std::stoull(bytes) > kLargestShownFile) {
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
        nlohmann::json file = {{"change", change_name(names[i].empty() ? 'M' : names[i][0])}};
        if ((names[i].starts_with('R') || names[i].starts_with('C')) && i + 2 < names.size()) {
            file["from"] = names[++i];
        }
        file["path"] = names[i + 1];
        files.push_back(std::move(file));
    }
    answer["files"] = files;
    return json_response(answer);
}

} // namespace

void add_repository_routes(Blueprint& bp) {
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
}

} // namespace quillo::git
