// A repository's state as the Source control view shows it, read from
// `git status --porcelain=v2 --branch -z`.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::git {

struct FileChange {
    std::string path;   // relative to the repository's root
    std::string group;  // "staged", "changed", "untracked" or "conflicted"
    std::string change; // "modified", "added", "deleted", "renamed", ...
    std::string from;   // the old path of a rename or copy
};

struct Status {
    std::optional<std::string> branch;   // none when HEAD is detached
    std::optional<std::string> head;     // none before the first commit
    std::optional<std::string> upstream; // none when the branch tracks nothing
    int ahead = 0;
    int behind = 0;
    std::vector<FileChange> files;
};

// Parses git's machine-readable status. Throws std::runtime_error on a
// record it cannot read (a git too old for version 2 of the format).
Status parse_status(std::string_view porcelain);

nlohmann::json to_json(const Status& status);

// The word for one of git's change letters (M, A, D, R, C, T).
std::string change_name(char code);

// The repository-relative paths that are in conflict.
std::vector<std::string> conflicted_paths(const Status& status);

} // namespace quillo::git
