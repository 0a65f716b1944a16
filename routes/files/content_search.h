// Search in the content of the workspace's text files: a walk below one
// folder that hands each file's matches on as soon as that file is read, so
// that nothing but the current file is ever held, and that stops at its
// limits or when the one it reports to no longer wants more.
#pragma once

#include "workspace.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillo::files {

struct ContentSearchLimits {
    size_t max_query_bytes = 200;
    uint64_t max_file_bytes = 1024 * 1024;
    size_t binary_probe_bytes = 8192; // a NUL byte in here marks a binary file
    size_t max_matches_per_file = 20;
    size_t max_matches = 1000;
    size_t max_files = 20000;
    std::chrono::milliseconds budget{10000};
    size_t max_line_bytes = 300; // of the line text a match reports
    size_t max_depth = 64;       // folders below the searched one
};

struct ContentMatch {
    Path path;
    size_t line = 0;   // 1-based
    size_t column = 0; // 1-based, in UTF-16 code units, as browser editors count
    std::string text;  // the line without its break, cut on a character boundary
};

struct ContentSearchSummary {
    size_t files = 0; // text files whose content was searched
    size_t matches = 0;
    bool truncated = false; // a limit cut the search short
};

// Takes the matches of one file; answers false to stop the search (the
// client went away).
using MatchSink = std::function<bool(const std::vector<ContentMatch>&)>;
// Asked between files: true stops the search.
using StopCheck = std::function<bool()>;

class ContentSearch {
  public:
    // Checks the query and opens `folder` (links inside the workspace are
    // followed to reach it); throws FileError 400 when the query is empty or
    // too long, or the folder is not one of the workspace's.
    ContentSearch(const Workspace& workspace, const Path& folder, std::string query,
                  bool match_case, ContentSearchLimits limits = {});

    // Walks the folder without following any link, skipping folders named
    // .git and node_modules, files over the size limit, binary files and
    // files that are not UTF-8. Runs once.
    ContentSearchSummary run(const MatchSink& sink, const StopCheck& cancelled);

  private:
    struct Walk;
    bool search_folder(Walk& walk, Fd folder, const Path& path, size_t depth);
    bool search_file(Walk& walk, int folder, const std::string& name, const Path& path);
    bool should_stop(Walk& walk) const;
    std::vector<ContentMatch> matches_in(const std::string& content, const Path& path,
                                         size_t wanted) const;

    Fd root_;
    Path folder_;
    std::string needle_; // lower-cased unless the case must match
    bool match_case_;
    ContentSearchLimits limits_;
};

// The length of UTF-8 text in UTF-16 code units.
size_t utf16_length(std::string_view utf8);

// `text` cut to at most `max_bytes` without splitting a UTF-8 sequence.
std::string_view cut_utf8(std::string_view text, size_t max_bytes);

} // namespace quillo::files
