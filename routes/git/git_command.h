// Running the git command line for the IDE: the environment every call gets,
// time limits, and the errors the routes turn into answers.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quillo::git {

// A refusal or failure the page can act on: an HTTP status, a short code the
// page translates, plain words, and any details.
class GitProblem : public std::runtime_error {
  public:
    GitProblem(int status, std::string reason, const std::string& message,
               nlohmann::json details = nlohmann::json::object())
        : std::runtime_error(message), status(status), reason(std::move(reason)),
          details(std::move(details)) {}
    int status;
    std::string reason;
    nlohmann::json details;
};

using EnvList = std::vector<std::string>; // "NAME=value"

// The environment of every git the module runs, built from `base` (the
// server's own): English messages (they are parsed; the page words them
// itself), no prompt on a terminal and no SSH password window (credentials
// come through the credential helper, SSH keys from the user's agent and
// files), no repository found above `workspace`, paths taken literally, only
// the transports a user means (never ext:: or fd::), no optional locks that
// would collide with a git the user runs in a terminal, and none of the
// server's own GIT_DIR-like variables. `extra` ("NAME=value") comes last.
EnvList git_environment(const EnvList& base, const std::string& workspace,
                        const EnvList& extra = {});

// The workspace every call is confined to; set once when the module loads.
void set_workspace(std::string root);
const std::string& workspace();

// The server's environment as a list.
EnvList current_environment();

struct GitRun {
    int code = 0;
    std::string out; // UTF-8: undecodable bytes became U+FFFD
    std::string err;
};

struct GitCall {
    std::optional<std::string> input;
    std::chrono::milliseconds limit{std::chrono::seconds(60)};
    EnvList extra_env;
};

// Runs `git <args>` in `cwd` and waits for it. Throws GitProblem (504) when
// it outlives the call's limit, (500) when git is not installed.
GitRun run_git(const std::string& cwd, const std::vector<std::string>& args,
               const GitCall& call = {});

// The same, but a non-zero exit is a GitProblem 409 with git's own words.
std::string git_output(const std::string& cwd, const std::vector<std::string>& args,
                       const GitCall& call = {});

// git's last non-empty line of `text`, without "fatal: " or "error: ".
std::string last_message_line(const std::string& text);

} // namespace quillo::git
