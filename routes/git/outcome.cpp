#include "outcome.h"

#include "git_command.h"

#include <sstream>

namespace quillo::git {

namespace {

bool says(const std::string& output, std::initializer_list<const char*> phrases) {
    for (const char* phrase : phrases) {
        if (output.find(phrase) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::string host_words(const OutcomeFacts& facts) {
    return facts.host.empty() ? std::string("the server") : facts.host;
}

Outcome described_failure(const OutcomeFacts& facts) {
    const std::string& out = facts.output;
    if (facts.saved_token_refused) {
        return {"refused_token", "The token saved for " + host_words(facts) +
                                     " was refused. Replace it under Tokens, then try again."};
    }
    if (facts.token_refused ||
        says(out,
             {"Authentication failed", "could not read Username", "could not read Password",
              "terminal prompts disabled", "Invalid username or password",
              "The requested URL returned error: 401", "The requested URL returned error: 403"})) {
        return {"auth", host_words(facts) + " refused the username or token. Check them and "
                                            "that the token may read and write this repository."};
    }
    if (says(out, {"Host key verification failed"})) {
        return {"host_key", "The SSH server's key is not known on this device yet. Connect once "
                            "in a terminal (for example ssh -T git@" +
                                (facts.host.empty() ? std::string("host") : facts.host) +
                                "), check its fingerprint and accept it, then try again."};
    }
    if (says(out, {"Permission denied (publickey"})) {
        return {"auth", host_words(facts) + " refused this device's SSH key. Add the public key "
                                            "(under Tokens and SSH key) to your account there."};
    }
    if (facts.kind == "push" &&
        says(out, {"[rejected]", "non-fast-forward", "fetch first", "failed to push some refs"})) {
        return {"rejected", "The remote has commits that you do not have. Pull first, then push "
                            "again."};
    }
    if (says(out, {"would be overwritten by merge", "would be overwritten by checkout"})) {
        std::vector<std::string> files = listed_files(out, "would be overwritten by");
        return {"would_overwrite", "Pulling would overwrite your uncommitted changes to " +
                                       joined(files) + ". Commit or discard them first."};
    }
    if (says(out, {"There is no tracking information", "has no upstream branch",
                   "No configured push destination", "No remote repository specified"})) {
        return {"no_upstream", "This branch has no remote to " + facts.kind +
                                   " from or to. Add one in a terminal (git remote add origin "
                                   "<address>), then push."};
    }
    if (says(out, {"Repository not found", "does not appear to be a git repository", "not found",
                   "The requested URL returned error: 404"})) {
        return {"not_found", "There is no repository at that address, or you may not read it."};
    }
    if (says(out, {"Could not resolve host", "Connection refused", "Failed to connect",
                   "Network is unreachable", "Connection timed out", "Could not connect",
                   "Connection reset", "unable to access"})) {
        return {"network", "Could not reach " + host_words(facts) +
                               ". Check the address and the network, then try again."};
    }
    return {"failed", "git " + facts.kind + " failed: " + last_message_line(out)};
}

} // namespace

Outcome describe_outcome(const OutcomeFacts& facts) {
    if (!facts.conflicts.empty()) {
        return {"conflict",
                "The " + facts.kind + " merged the remote's changes, and " +
                    std::to_string(facts.conflicts.size()) +
                    (facts.conflicts.size() == 1 ? " file conflicts: " : " files conflict: ") +
                    joined(facts.conflicts) +
                    ". Open each, keep what you want, remove the <<<<<<<, ======= "
                    "and >>>>>>> lines, mark it resolved, then commit."};
    }
    if (facts.exit_code == 0) {
        return {};
    }
    return described_failure(facts);
}

std::vector<std::string> listed_files(const std::string& output, const std::string& after) {
    std::vector<std::string> files;
    size_t at = output.find(after);
    if (at == std::string::npos) {
        return files;
    }
    size_t list_start = output.find('\n', at);
    if (list_start == std::string::npos) {
        return files;
    }
    std::istringstream lines(output.substr(list_start + 1));
    std::string line;
    while (std::getline(lines, line) && line.starts_with('\t')) {
        files.push_back(line.substr(1));
    }
    return files;
}

} // namespace quillo::git
