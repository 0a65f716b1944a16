// The git module: the Source control view's API over the git command line.
// Every git runs through quillo/process.h with a time limit; the network
// operations run as jobs (jobs.h) so that no request waits for a remote.
#include "credential_socket.h"
#include "git_command.h"
#include "git_routes.h"

#include <dlfcn.h>
#include <filesystem>
#include <quillo/module.h>

namespace {

using namespace quillo;
using namespace quillo::git;
namespace fs = std::filesystem;

std::unique_ptr<CredentialSocket>& credential_socket() {
    static std::unique_ptr<CredentialSocket> instance;
    return instance;
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
    add_repository_routes(bp);
    add_remote_routes(bp);
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
    std::string command = std::string("!")
                              .append(shell_quoted(program))
                              .append(" --socket ")
                              .append(shell_quoted(socket_path));
    for (const std::string& entry : helper_config(current_environment(), command)) {
        size_t equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

QUILLO_MODULE_EXPORT void quillo_module_stop() {
    jobs().stop_all();
    credential_socket().reset();
}
