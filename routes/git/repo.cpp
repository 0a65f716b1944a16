#include "repo.h"

#include "git_command.h"

#include <system_error>

namespace quillo::git {

namespace fs = std::filesystem;

namespace {

fs::path canonical_workspace() {
    std::error_code error;
    fs::path root = fs::weakly_canonical(workspace(), error);
    if (error) {
        throw GitProblem(500, "workspace",
                         "The workspace " + workspace() + " cannot be read: " + error.message());
    }
    return root;
}

bool is_within(const fs::path& root, const fs::path& path) {
    auto [root_end, ignored] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return root_end == root.end();
}

std::optional<fs::path> toplevel(const fs::path& directory) {
    GitRun found = run_git(directory.string(), {"rev-parse", "--show-toplevel"});
    if (found.code != 0) {
        return std::nullopt;
    }
    std::string top = found.out.substr(0, found.out.find('\n'));
    std::error_code error;
    fs::path canonical = fs::weakly_canonical(top, error);
    return error ? std::nullopt : std::optional<fs::path>(canonical);
}

} // namespace

fs::path inside_workspace(const std::string& path) {
    if (path.find('\0') != std::string::npos || fs::path(path).is_absolute()) {
        throw GitProblem(400, "path", "Give a path inside the workspace: " + path);
    }
    fs::path root = canonical_workspace();
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(root / path, error);
    if (error || !is_within(root, resolved)) {
        throw GitProblem(403, "outside", "The path leaves the workspace: " + path);
    }
    return resolved;
}

std::string workspace_relative(const fs::path& absolute) {
    fs::path relative = absolute.lexically_relative(canonical_workspace());
    std::string text = relative.generic_string();
    return text == "." ? std::string() : text;
}

std::optional<Repo> repo_containing(const std::string& path) {
    fs::path place = inside_workspace(path);
    std::error_code error;
    while (!fs::is_directory(place, error) && place.has_parent_path() &&
           place != place.parent_path()) {
        place = place.parent_path(); // a file, or a path that no longer exists
    }
    std::optional<fs::path> top = toplevel(place);
    if (!top || !is_within(canonical_workspace(), *top)) {
        return std::nullopt;
    }
    return Repo{*top, workspace_relative(*top)};
}

Repo open_repo(const std::string& root) {
    fs::path place = inside_workspace(root);
    std::error_code error;
    std::optional<fs::path> top =
        fs::is_directory(place, error) ? toplevel(place) : std::optional<fs::path>();
    if (!top || *top != place) {
        throw GitProblem(404, "no_repo",
                         "There is no repository at " +
                             (root.empty() ? std::string("the workspace") : root));
    }
    return Repo{*top, workspace_relative(*top)};
}

std::string checked_path(const std::string& path) {
    fs::path parsed(path);
    bool bad = path.empty() || path.find('\0') != std::string::npos || parsed.is_absolute();
    for (const fs::path& part : parsed) {
        bad = bad || part == ".." || part == ".";
    }
    if (bad) {
        throw GitProblem(400, "path", "Give a path inside the repository: " + path);
    }
    return parsed.lexically_normal().generic_string();
}

} // namespace quillo::git
