#include "status.h"

#include <charconv>
#include <stdexcept>

namespace quillo::git {

std::string change_name(char code) {
    switch (code) {
    case 'M':
        return "modified";
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

namespace {

// The text after the first `fields` space-separated fields of a record.
std::string_view after_fields(std::string_view record, int fields) {
    size_t at = 0;
    for (int i = 0; i < fields; ++i) {
        at = record.find(' ', at);
        if (at == std::string_view::npos) {
            throw std::runtime_error("git status gave a record that cannot be read: " +
                                     std::string(record.substr(0, 80)));
        }
        ++at;
    }
    return record.substr(at);
}

int count_of(std::string_view text) {
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

void read_header(std::string_view line, Status& status) {
    auto value = [&](std::string_view key) -> std::optional<std::string_view> {
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ' ') {
            return line.substr(key.size() + 1);
        }
        return std::nullopt;
    };
    if (auto oid = value("# branch.oid")) {
        if (*oid != "(initial)") {
            status.head = std::string(oid->substr(0, 7));
        }
    } else if (auto head = value("# branch.head")) {
        if (*head != "(detached)") {
            status.branch = std::string(*head);
        }
    } else if (auto upstream = value("# branch.upstream")) {
        status.upstream = std::string(*upstream);
    } else if (auto ab = value("# branch.ab")) { // "+1 -2"
        size_t space = ab->find(' ');
        if (space != std::string_view::npos && ab->size() > space + 2) {
            status.ahead = count_of(ab->substr(1, space - 1));
            status.behind = count_of(ab->substr(space + 2));
        }
    }
}

// An ordinary or renamed entry: its index side is staged, its work tree
// side changed; either may be "." (unchanged).
void add_entry(Status& status, std::string_view xy, std::string path, std::string from) {
    if (xy.size() != 2) {
        throw std::runtime_error("git status gave a change code that cannot be read");
    }
    if (xy[0] != '.') {
        status.files.push_back({path, "staged", change_name(xy[0]), from});
    }
    if (xy[1] != '.') {
        status.files.push_back({std::move(path), "changed", change_name(xy[1]), {}});
    }
}

} // namespace

Status parse_status(std::string_view porcelain) {
    Status status;
    while (!porcelain.empty()) {
        size_t end = porcelain.find('\0');
        std::string_view record = porcelain.substr(0, end);
        porcelain = end == std::string_view::npos ? std::string_view() : porcelain.substr(end + 1);
        if (record.empty()) {
            continue;
        }
        switch (record[0]) {
        case '#':
            read_header(record, status);
            break;
        case '1': // 1 XY sub mH mI mW hH hI path
            add_entry(status, record.substr(2, 2), std::string(after_fields(record, 8)), {});
            break;
        case '2': { // 2 XY sub mH mI mW hH hI Xscore path, then the old path
            size_t next = porcelain.find('\0');
            std::string from(porcelain.substr(0, next));
            porcelain =
                next == std::string_view::npos ? std::string_view() : porcelain.substr(next + 1);
            add_entry(status, record.substr(2, 2), std::string(after_fields(record, 9)), from);
            break;
        }
        case 'u': // u XY sub m1 m2 m3 mW h1 h2 h3 path
            status.files.push_back(
                {std::string(after_fields(record, 10)), "conflicted", "conflict", {}});
            break;
        case '?':
            status.files.push_back(
                {std::string(after_fields(record, 1)), "untracked", "untracked", {}});
            break;
        default: // "!": ignored files, not asked for
            break;
        }
    }
    return status;
}

nlohmann::json to_json(const Status& status) {
    auto optional = [](const std::optional<std::string>& value) {
        return value ? nlohmann::json(*value) : nlohmann::json();
    };
    nlohmann::json files = nlohmann::json::array();
    for (const FileChange& file : status.files) {
        nlohmann::json entry = {
            {"path", file.path}, {"group", file.group}, {"change", file.change}};
        if (!file.from.empty()) {
            entry["from"] = file.from;
        }
        files.push_back(std::move(entry));
    }
    return {{"branch", optional(status.branch)},
            {"head", optional(status.head)},
            {"upstream", optional(status.upstream)},
            {"ahead", status.ahead},
            {"behind", status.behind},
            {"files", std::move(files)}};
}

std::vector<std::string> conflicted_paths(const Status& status) {
    std::vector<std::string> paths;
    for (const FileChange& file : status.files) {
        if (file.group == "conflicted") {
            paths.push_back(file.path);
        }
    }
    return paths;
}

} // namespace quillo::git
