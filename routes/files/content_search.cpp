#include "content_search.h"

#include "text.h"
#include "tree.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace quillo::files {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

void lower_ascii_in_place(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

bool skipped_folder(const std::string& name) {
    return name == ".git" || name == "node_modules";
}

// The names of an open folder in natural order, so that results come in
// the order the file tree shows them.
std::vector<std::string> sorted_names(DIR* stream) {
    std::vector<std::string> names;
    while (std::optional<std::string> name = next_name(stream)) {
        names.push_back(std::move(*name));
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return natural_less(a, b); });
    return names;
}

// The file's bytes when it is a regular file within `max_bytes`; nothing
// otherwise (also when it cannot be read: the search goes on without it).
std::optional<std::string> read_regular_file(int folder, const std::string& name,
                                             uint64_t max_bytes) {
    // O_NONBLOCK: an entry swapped for a FIFO since it was examined must not
    // hold the search.
    Fd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > max_bytes) {
        return std::nullopt;
    }
    // One byte more than its size, to notice a file that grew meanwhile.
    std::string content(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t length = 0;
    try {
        while (size_t n =
                   read_some(fd.get(), content.data() + length, content.size() - length, name)) {
            length += n;
            if (length == content.size()) {
                return std::nullopt; // it is being written: left for the next search
            }
        }
    } catch (const FileError&) {
        return std::nullopt;
    }
    content.resize(length);
    return content;
}

bool looks_like_text(const std::string& content, size_t probe_bytes) {
    size_t probe = std::min(content.size(), probe_bytes);
    return std::memchr(content.data(), '\0', probe) == nullptr && is_valid_utf8(content);
}

} // namespace

size_t utf16_length(std::string_view utf8) {
    size_t units = 0;
    for (char c : utf8) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            units += byte >= 0xF0 ? 2 : 1; // four-byte sequences are surrogate pairs
        }
    }
    return units;
}

std::string_view cut_utf8(std::string_view text, size_t max_bytes) {
    if (text.size() <= max_bytes) {
        return text;
    }
    size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

struct ContentSearch::Walk {
    const MatchSink& sink;
    const StopCheck& cancelled;
    std::chrono::steady_clock::time_point deadline;
    ContentSearchSummary summary;
};

ContentSearch::ContentSearch(const Workspace& workspace, const Path& folder, std::string query,
                             bool match_case, ContentSearchLimits limits)
    : folder_(folder), needle_(std::move(query)), match_case_(match_case), limits_(limits) {
    if (needle_.empty()) {
        throw FileError(400, "\"q\" must name the text to look for");
    }
    if (needle_.size() > limits_.max_query_bytes) {
        throw FileError(400, "\"q\" is longer than " + std::to_string(limits_.max_query_bytes) +
                                 " bytes");
    }
    if (!match_case_) {
        lower_ascii_in_place(needle_);
    }
    try {
        root_ = workspace.open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } catch (const FileError& error) {
        throw FileError(400,
                        "\"path\" must be a folder of the workspace: " + std::string(error.what()));
    }
}

ContentSearchSummary ContentSearch::run(const MatchSink& sink, const StopCheck& cancelled) {
    Walk walk{sink, cancelled, std::chrono::steady_clock::now() + limits_.budget, {}};
    search_folder(walk, std::move(root_), folder_, 0);
    return walk.summary;
}

bool ContentSearch::should_stop(Walk& walk) const {
    if (walk.cancelled()) {
        return true;
    }
    bool at_limit = walk.summary.matches >= limits_.max_matches ||
                    walk.summary.files >= limits_.max_files ||
                    std::chrono::steady_clock::now() > walk.deadline;
    if (at_limit) {
        walk.summary.truncated = true;
    }
    return at_limit;
}

// False once the search must stop.
bool ContentSearch::search_folder(Walk& walk, Fd folder, const Path& path, size_t depth) {
    std::unique_ptr<DIR, DirCloser> stream(::fdopendir(folder.get()));
    if (!stream) {
        return true; // unreadable: searched as empty
    }
    folder.release();
    int dir = ::dirfd(stream.get());
    for (const std::string& name : sorted_names(stream.get())) {
        if (should_stop(walk)) {
            return false;
        }
        Path child = path;
        child.push_back(name);
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone meanwhile
        }
        if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limits_.max_file_bytes) {
            if (!search_file(walk, dir, name, child)) {
                return false;
            }
        } else if (S_ISDIR(st.st_mode) && !skipped_folder(name)) {
            if (depth + 1 > limits_.max_depth) {
                walk.summary.truncated = true;
                continue;
            }
            Fd inner(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inner.get() >= 0 && !search_folder(walk, std::move(inner), child, depth + 1)) {
                return false;
            }
        }
    }
    return true;
}

bool ContentSearch::search_file(Walk& walk, int folder, const std::string& name, const Path& path) {
    std::optional<std::string> content = read_regular_file(folder, name, limits_.max_file_bytes);
    if (!content || !looks_like_text(*content, limits_.binary_probe_bytes)) {
        return true;
    }
    ++walk.summary.files;
    size_t wanted =
        std::min(limits_.max_matches_per_file, limits_.max_matches - walk.summary.matches);
    // One more than wanted tells whether a limit cut this file's matches.
    std::vector<ContentMatch> matches = matches_in(*content, path, wanted + 1);
    if (matches.size() > wanted) {
        walk.summary.truncated = true;
        matches.resize(wanted);
    }
    if (matches.empty()) {
        return true;
    }
    walk.summary.matches += matches.size();
    return walk.sink(matches);
}

std::vector<ContentMatch> ContentSearch::matches_in(const std::string& content, const Path& path,
                                                    size_t wanted) const {
    std::string folded;
    if (!match_case_) {
        folded = content;
        lower_ascii_in_place(folded); // the same length, so offsets agree
    }
    const std::string& haystack = match_case_ ? content : folded;
    std::vector<ContentMatch> matches;
    size_t line = 1, line_start = 0, scanned = 0;
    size_t at = haystack.find(needle_);
    while (at != std::string::npos && matches.size() < wanted) {
        for (; scanned < at; ++scanned) {
            if (content[scanned] == '\n') {
                ++line;
                line_start = scanned + 1;
            }
        }
        size_t line_end = std::min(content.find('\n', at), content.size());
        std::string_view text(content.data() + line_start, line_end - line_start);
        if (text.ends_with('\r')) {
            text.remove_suffix(1);
        }
        std::string_view before(content.data() + line_start, at - line_start);
        matches.push_back(ContentMatch{path, line, utf16_length(before) + 1,
                                       std::string(cut_utf8(text, limits_.max_line_bytes))});
        at = haystack.find(needle_, at + needle_.size());
    }
    return matches;
}

} // namespace quillo::files
