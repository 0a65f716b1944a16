// Repositories inside the workspace, and the paths routes name in them.
// Every path a client sends is checked here before git sees it: no route
// reaches a file or repository outside the workspace.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillo::git {

struct Repo {
    std::filesystem::path root; // absolute, without links
    std::string relative;       // workspace-relative, "" for the workspace itself
};

// The workspace-relative `path` resolved (links followed), as long as it
// stays inside the workspace; GitProblem 403 otherwise. `path` need not exist.
std::filesystem::path inside_workspace(const std::string& path);

// The workspace-relative form of an absolute path inside the workspace.
std::string workspace_relative(const std::filesystem::path& absolute);

// The repository holding the workspace path (a file or a folder), when
// there is one whose root is inside the workspace.
std::optional<Repo> repo_containing(const std::string& path);

// The repository whose root is the workspace-relative `root`; GitProblem
// 404 (reason "no_repo") when that is not a repository's root.
Repo open_repo(const std::string& root);

// A repository-relative path as a client names it, checked: relative, no
// "." or ".." parts, no NUL. Throws GitProblem 400 (reason "path").
std::string checked_path(const std::string& path);

} // namespace quillo::git
