// What a finished network operation (clone, pull, push, fetch) tells the
// user: a short code the page translates, and plain words in English.
#pragma once

#include <string>
#include <vector>

namespace quillo::git {

struct Outcome {
    std::string reason; // "" when it went well
    std::string message;
};

struct OutcomeFacts {
    std::string kind; // "clone", "pull", "push" or "fetch"
    int exit_code = 0;
    std::string output;               // git's messages, in English
    std::string host;                 // the remote's host, when known
    bool token_refused = false;       // git erased a credential it was given
    bool saved_token_refused = false; // ... one the user had saved
    std::vector<std::string> conflicts;
};

Outcome describe_outcome(const OutcomeFacts& facts);

// The file names git lists under a message, one per tab-indented line (what
// a checkout or merge would overwrite).
std::vector<std::string> listed_files(const std::string& output, const std::string& after);

} // namespace quillo::git
