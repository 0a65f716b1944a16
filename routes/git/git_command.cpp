#include "git_command.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <quillo/process.h>
#include <string_view>

extern char** environ;

namespace quillo::git {

namespace {

// Variables that would point git at another repository or index than the
// one a route names, if the server happened to be started with them.
constexpr std::array<std::string_view, 8> kDropped = {
    "GIT_DIR",
    "GIT_WORK_TREE",
    "GIT_INDEX_FILE",
    "GIT_OBJECT_DIRECTORY",
    "GIT_COMMON_DIR",
    "GIT_NAMESPACE",
    "GIT_ALTERNATE_OBJECT_DIRECTORIES",
    "GIT_PREFIX",
};

std::string_view name_of(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

bool is_replaced(std::string_view name, const EnvList& ours) {
    return std::any_of(ours.begin(), ours.end(),
                       [&](const std::string& entry) { return name_of(entry) == name; });
}

std::string& workspace_root() {
    static std::string root;
    return root;
}

} // namespace

void set_workspace(std::string root) {
    workspace_root() = std::move(root);
}

const std::string& workspace() {
    return workspace_root();
}

EnvList current_environment() {
    EnvList list;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        list.emplace_back(*entry);
    }
    return list;
}

EnvList git_environment(const EnvList& base, const std::string& workspace, const EnvList& extra) {
    EnvList ours = {
        "LC_ALL=C",
        "LANGUAGE=",
        "GIT_TERMINAL_PROMPT=0",
        "SSH_ASKPASS_REQUIRE=never",
        "GIT_LITERAL_PATHSPECS=1",
        "GIT_OPTIONAL_LOCKS=0",
        "GIT_ALLOW_PROTOCOL=file:git:http:https:ssh",
    };
    std::filesystem::path parent = std::filesystem::path(workspace).parent_path();
    if (!parent.empty() && parent != std::filesystem::path(workspace)) {
        ours.push_back("GIT_CEILING_DIRECTORIES=" + parent.string());
    }
    ours.insert(ours.end(), extra.begin(), extra.end());
    EnvList env;
    for (const std::string& entry : base) {
        std::string_view name = name_of(entry);
        bool dropped = std::find(kDropped.begin(), kDropped.end(), name) != kDropped.end();
        if (!dropped && !is_replaced(name, ours)) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), ours.begin(), ours.end());
    return env;
}

GitRun run_git(const std::string& cwd, const std::vector<std::string>& args, const GitCall& call) {
    std::vector<std::string> argv = {"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    process::RunOptions options;
    options.text = process::Scalar(true);
    options.capture_output = true;
    options.stdin_mode = process::Stream::null_device;
    options.input = call.input;
    options.timeout = call.limit;
    options.cwd = cwd;
    options.env = git_environment(current_environment(), workspace(), call.extra_env);
    try {
        process::CompletedProcess done = process::run(argv, options);
        return {done.returncode, std::move(done.stdout_data), std::move(done.stderr_data)};
    } catch (const process::TimeoutExpired&) {
        throw GitProblem(504, "timeout",
                         "git " + (args.empty() ? std::string() : args.front()) +
                             " took longer than " + std::to_string(call.limit.count() / 1000) +
                             " s and was stopped");
    } catch (const process::ProgramNotFound&) {
        throw GitProblem(500, "no_git", "git is not installed: install the package git");
    }
}

std::string git_output(const std::string& cwd, const std::vector<std::string>& args,
                       const GitCall& call) {
    GitRun done = run_git(cwd, args, call);
    if (done.code != 0) {
        throw GitProblem(409, "failed", last_message_line(done.err + "\n" + done.out));
    }
    return std::move(done.out);
}

std::string last_message_line(const std::string& text) {
    size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string::npos) {
        return "git gave no reason";
    }
    size_t start = text.find_last_of("\r\n", end);
    std::string line = text.substr(start == std::string::npos ? 0 : start + 1,
                                   end - (start == std::string::npos ? 0 : start + 1) + 1);
    for (std::string_view prefix : {"fatal: ", "error: "}) {
        if (line.starts_with(prefix)) {
            line.erase(0, prefix.size());
        }
    }
    return line;
}

} // namespace quillo::git
