// HTTPS credentials for git: the tokens the user saved, and the answers to
// git's credential helper protocol (git-credential(1)).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quillo::git {

// `bytes` random bytes as lower-case hexadecimal digits.
std::string random_hex(size_t bytes);

struct Token {
    std::string id;
    std::string host; // as git names it: "github.com", "127.0.0.1:8080"
    std::string name; // the user's label
    std::string username;
    std::string secret;
};

// The saved tokens: one JSON file in the configuration directory, readable
// by the user alone, replaced whole on every change so that a crash never
// leaves half of it.
class TokenStore {
  public:
    explicit TokenStore(std::string file) : file_(std::move(file)) {}

    // Without the secrets.
    nlohmann::json list() const;
    // Replaces a token of the same host and user name; returns its id.
    std::string save(Token token);
    bool remove(const std::string& id);
    // The token for `host` (with `username`, when git knows it already).
    std::optional<Token> find(const std::string& host, const std::string& username) const;

  private:
    std::vector<Token> load() const;
    void store(const std::vector<Token>& tokens) const;

    std::string file_;
    mutable std::mutex mutex_;
};

// git's credential description: "key=value" lines.
using Attributes = std::map<std::string, std::string>;
Attributes parse_attributes(const std::string& text);
std::string format_attributes(const Attributes& attributes);

struct Answer {
    std::string username;
    std::string secret;
    bool save = false;
    std::string name;
};

// What a git the module started (it carries its job's ask key) may ask the
// page: the user's username and token, waited for; and what it reports.
struct JobLink {
    // Blocks until the user answered or the job ended; nothing when declined.
    std::function<std::optional<Answer>(const std::string& ask_key, const Attributes& request)> ask;
    // git used a credential and the server refused it (git "erase"s it).
    std::function<void(const std::string& ask_key, bool was_saved)> refused;
    // git used an answer successfully (git "store"s it): the answer to save,
    // if the user asked to.
    std::function<std::optional<Answer>(const std::string& ask_key)> accepted;
};

// Whether a saved token may go to `host` over `protocol`: over https, and
// over plain http only to this device, never in clear text over a network
// (an http:// address in some repository's config would otherwise collect it).
bool travels_encrypted(const std::string& protocol, const std::string& host);

// Answers the helper's requests: "get" gets a saved token, or asks the
// user when the git is one of the module's jobs; "store" saves what the
// user asked to save once the server accepted it; "erase" tells the job
// that the server refused the credential. A git in a terminal (no ask key)
// gets saved tokens only: when there is none it asks on its terminal.
class CredentialBroker {
  public:
    CredentialBroker(TokenStore& tokens, JobLink jobs) : tokens_(tokens), jobs_(std::move(jobs)) {}

    std::string handle(const std::string& action, const std::string& ask_key,
                       const Attributes& request);

  private:
    TokenStore& tokens_;
    JobLink jobs_;
};

// `text` as one word for a POSIX shell.
std::string shell_quoted(const std::string& text);

// The variables that add `helper_command` to git's credential helpers
// through the environment (GIT_CONFIG_COUNT and its KEY/VALUE pairs), after
// those already in `environment`; none when it is there already.
// Throws std::runtime_error when GIT_CONFIG_COUNT holds no count.
std::vector<std::string> helper_config(const std::vector<std::string>& environment,
                                       const std::string& helper_command);

} // namespace quillo::git
