#include "credentials.h"

#include "git_command.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quillo::git {

namespace {

bool same_host(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

void write_all(int fd, const std::string& text, const std::string& file) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "write " + file);
        }
        done += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
}

} // namespace

std::string random_hex(size_t count) {
    std::vector<unsigned char> bytes(count);
    size_t filled = 0;
    while (filled < count) {
        ssize_t got = ::getrandom(bytes.data() + filled, count - filled, 0);
        if (got < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += got > 0 ? static_cast<size_t>(got) : 0;
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::vector<Token> TokenStore::load() const {
    std::ifstream in(file_);
    if (!in) {
        return {}; // none saved yet
    }
    nlohmann::json saved = nlohmann::json::parse(in, nullptr, false);
    std::vector<Token> tokens;
    if (!saved.is_object() || !saved["tokens"].is_array()) {
        throw GitProblem(500, "tokens", "The saved tokens in " + file_ + " cannot be read");
    }
    for (const nlohmann::json& entry : saved["tokens"]) {
        tokens.push_back({entry.value("id", ""), entry.value("host", ""), entry.value("name", ""),
                          entry.value("username", ""), entry.value("token", "")});
    }
    return tokens;
}

void TokenStore::store(const std::vector<Token>& tokens) const {
    nlohmann::json list = nlohmann::json::array();
    for (const Token& token : tokens) {
        list.push_back({{"id", token.id},
                        {"host", token.host},
                        {"name", token.name},
                        {"username", token.username},
                        {"token", token.secret}});
    }
    std::string text = nlohmann::json({{"tokens", list}}).dump(2) + "\n";
    std::string temporary = file_ + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + temporary);
    }
    try {
        ::fchmod(fd, 0600); // an older file of that name may have had other bits
        write_all(fd, text, temporary);
        if (::fsync(fd) != 0) {
            throw std::system_error(errno, std::generic_category(), "fsync " + temporary);
        }
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), file_.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "rename " + temporary);
    }
}

nlohmann::json TokenStore::list() const {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json list = nlohmann::json::array();
    for (const Token& token : load()) {
        list.push_back({{"id", token.id},
                        {"host", token.host},
                        {"name", token.name},
                        {"username", token.username}});
    }
    return list;
}

std::string TokenStore::save(Token token) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Token> tokens = load();
    std::erase_if(tokens, [&](const Token& old) {
        return same_host(old.host, token.host) && old.username == token.username;
    });
    token.id = random_hex(8);
    tokens.insert(tokens.begin(), token); // the newest is found first
    store(tokens);
    return token.id;
}

bool TokenStore::remove(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Token> tokens = load();
    if (std::erase_if(tokens, [&](const Token& token) { return token.id == id; }) == 0) {
        return false;
    }
    store(tokens);
    return true;
}

std::optional<Token> TokenStore::find(const std::string& host, const std::string& username) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Token& token : load()) {
        if (same_host(token.host, host) && (username.empty() || token.username == username)) {
            return token;
        }
    }
    return std::nullopt;
}

Attributes parse_attributes(const std::string& text) {
    Attributes attributes;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line) && !line.empty()) {
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            attributes[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return attributes;
}

std::string format_attributes(const Attributes& attributes) {
    std::string text;
    for (const auto& [key, value] : attributes) {
        // A line break inside a value would let it add attributes of its own.
        if (value.find_first_of("\n\r", 0) == std::string::npos && !value.empty()) {
            text += key + "=" + value + "\n";
        }
    }
    return text;
}

bool travels_encrypted(const std::string& protocol, const std::string& host) {
    if (protocol == "https") {
        return true;
    }
    // Plain http only to this device: a test server, or a tunnel's end.
    std::string name =
        host.starts_with('[') ? host.substr(0, host.find(']') + 1) : host.substr(0, host.find(':'));
    bool loopback_v4 =
        name.starts_with("127.") && name.find_first_not_of("0123456789.") == std::string::npos;
    return protocol == "http" && (name == "localhost" || name == "[::1]" || loopback_v4);
}

std::string CredentialBroker::handle(const std::string& action, const std::string& ask_key,
                                     const Attributes& request) {
    auto attribute = [&](const char* key) {
        auto it = request.find(key);
        return it == request.end() ? std::string() : it->second;
    };
    std::string host = attribute("host");
    if (host.empty()) {
        return {};
    }
    if (action == "get") {
        std::optional<Token> saved = tokens_.find(host, attribute("username"));
        if (saved && travels_encrypted(attribute("protocol"), host)) {
            return format_attributes({{"username", saved->username}, {"password", saved->secret}});
        }
        if (ask_key.empty()) {
            return {};
        }
        if (std::optional<Answer> answer = jobs_.ask(ask_key, request)) {
            return format_attributes(
                {{"username", answer->username}, {"password", answer->secret}});
        }
        return format_attributes({{"quit", "1"}}); // declined: git asks no other helper
    }
    if (ask_key.empty()) {
        return {};
    }
    if (action == "erase") {
        std::optional<Token> saved = tokens_.find(host, attribute("username"));
        jobs_.refused(ask_key, saved && saved->secret == attribute("password"));
    } else if (action == "store") {
        std::optional<Answer> answer = jobs_.accepted(ask_key);
        if (answer && answer->save && answer->secret == attribute("password")) {
            tokens_.save({{},
                          host,
                          answer->name.empty() ? host : answer->name,
                          answer->username,
                          answer->secret});
        }
    }
    return {};
}

std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::vector<std::string> helper_config(const std::vector<std::string>& environment,
                                       const std::string& helper_command) {
    int count = 0;
    for (const std::string& entry : environment) {
        if (entry.starts_with("GIT_CONFIG_COUNT=")) {
            std::string value = entry.substr(17);
            if (value.empty() || value.size() > 4 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                throw std::runtime_error("GIT_CONFIG_COUNT is not a count: " + value);
            }
            count = std::stoi(value);
        }
    }
    for (int i = 0; i < count; ++i) {
        std::string value_entry = "GIT_CONFIG_VALUE_" + std::to_string(i) + "=" + helper_command;
        if (std::find(environment.begin(), environment.end(), value_entry) != environment.end()) {
            return {}; // installed already
        }
    }
    std::string index = std::to_string(count);
    return {"GIT_CONFIG_KEY_" + index + "=credential.helper",
            "GIT_CONFIG_VALUE_" + index + "=" + helper_command,
            "GIT_CONFIG_COUNT=" + std::to_string(count + 1)};
}

} // namespace quillo::git
