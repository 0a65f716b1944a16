#include "utils/files.h"
#include "utils/text.h"
#include "utils/utils.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::utils {

namespace {

// Settings are replaced once at start-up, before any other thread exists;
// later readers only read.
Settings& current() {
    static Settings* instance = new Settings(); // never destroyed: threads may outlive main
    return *instance;
}

std::string expand_home(const std::string& path, const std::string& home) {
    if (path == "~") {
        return home;
    }
    if (path.rfind("~/", 0) == 0) {
        return home + path.substr(1);
    }
    return path;
}

int parse_port(const std::string& text, const std::string& origin) {
    int port = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || port < 1 ||
        port > 65535) {
        throw ConfigError(origin + " must be a port number from 1 to 65535, not '" + text + "'");
    }
    return port;
}

nlohmann::json read_config_file(const std::string& config_dir) {
    std::string path = config_dir + "/config.json";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return nlohmann::json::object();
    }
    std::string text;
    try {
        text = read_file(path);
    } catch (const std::system_error& e) {
        throw ConfigError(path + " cannot be read: " + e.what());
    }
    nlohmann::json config = nlohmann::json::parse(text, nullptr, false);
    if (config.is_discarded() || !config.is_object()) {
        throw ConfigError(path + " is not a valid JSON object; fix or remove it");
    }
    return config;
}

std::optional<std::string> config_text(const nlohmann::json& config, const char* key,
                                       const std::string& config_dir) {
    if (!config.contains(key)) {
        return std::nullopt;
    }
    const nlohmann::json& value = config.at(key);
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_number_integer()) {
        return value.dump();
    }
    throw ConfigError(config_dir + "/config.json: \"" + key + "\" must be text");
}

int parse_max_connections(const std::string& text, const std::string& origin) {
    int count = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || count < 1) {
        throw ConfigError(origin + " must be a whole number of at least 1, not '" + text + "'");
    }
    return count;
}

// "a.example, B.example." -> {"a.example", "b.example"}: names compare
// without case and without the final dot of a fully qualified name.
std::vector<std::string> parse_host_list(std::string_view text) {
    std::vector<std::string> hosts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find(',', start), text.size());
        std::string name = ascii_lower(strip_unicode_whitespace(text.substr(start, end - start)));
        if (name.size() > 1 && name.back() == '.') {
            name.pop_back();
        }
        if (!name.empty()) {
            hosts.push_back(std::move(name));
        }
        start = end + 1;
    }
    return hosts;
}

std::vector<std::string> config_host_list(const nlohmann::json& config,
                                          const std::string& config_dir) {
    if (!config.contains("allowed_hosts")) {
        return {};
    }
    const nlohmann::json& value = config.at("allowed_hosts");
    if (value.is_string()) {
        return parse_host_list(value.get<std::string>());
    }
    std::string joined;
    bool all_text = value.is_array();
    for (const nlohmann::json& item : value.is_array() ? value : nlohmann::json::array()) {
        all_text = all_text && item.is_string();
        joined += (all_text ? item.get<std::string>() : std::string()) + ",";
    }
    if (!all_text) {
        throw ConfigError(config_dir +
                          "/config.json: \"allowed_hosts\" must be text or a list of texts");
    }
    return parse_host_list(joined);
}

} // namespace

std::optional<std::string> environment_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

SettingsSources process_sources() {
    SettingsSources sources;
    sources.getenv = environment_variable;
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    sources.executable_dir =
        ec ? std::filesystem::current_path().string() : exe.parent_path().string();
    if (std::optional<std::string> home = sources.getenv("HOME")) {
        sources.home_dir = *home;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        sources.home_dir = pw->pw_dir;
    } else {
        sources.home_dir = "/";
    }
    return sources;
}

Settings load_settings(const SettingsSources& sources) {
    auto env = [&](const char* name) { return sources.getenv(name); };
    const std::string& home = sources.home_dir;
    Settings s;
    s.CONFIG_DIR = expand_home(env("QUILLO_CONFIG_DIR").value_or(home + "/.quillo"), home);
    nlohmann::json config = read_config_file(s.CONFIG_DIR);

    if (std::optional<std::string> port = env("QUILLO_PORT")) {
        s.PORT = parse_port(*port, "QUILLO_PORT");
    } else if (std::optional<std::string> port = config_text(config, "port", s.CONFIG_DIR)) {
        s.PORT = parse_port(*port, s.CONFIG_DIR + "/config.json: \"port\"");
    }
    s.HOST = env("QUILLO_HOST")
                 .value_or(config_text(config, "host", s.CONFIG_DIR).value_or(kDefaultHost));
    std::string workspace = env("QUILLO_WORKSPACE")
                                .value_or(config_text(config, "workspace", s.CONFIG_DIR)
                                              .value_or(home + "/quillo_workspace"));
    s.WORKSPACE = expand_home(workspace, home);
    s.SERVER_DIR = expand_home(env("QUILLO_SERVER_DIR").value_or(sources.executable_dir), home);
    s.CHAT_HISTORY_FILE = s.CONFIG_DIR + "/chat_history.json";
    if (std::optional<std::string> hosts = env("QUILLO_ALLOWED_HOSTS")) {
        s.ALLOWED_HOSTS = parse_host_list(*hosts);
    } else {
        s.ALLOWED_HOSTS = config_host_list(config, s.CONFIG_DIR);
    }
    if (std::optional<std::string> count = env("QUILLO_MAX_CONNECTIONS")) {
        s.MAX_CONNECTIONS = parse_max_connections(*count, "QUILLO_MAX_CONNECTIONS");
    } else if (std::optional<std::string> count =
                   config_text(config, "max_connections", s.CONFIG_DIR)) {
        s.MAX_CONNECTIONS =
            parse_max_connections(*count, s.CONFIG_DIR + "/config.json: \"max_connections\"");
    }
    return s;
}

void configure(Settings settings) {
    current() = std::move(settings);
}

const Settings& settings() {
    return current();
}

nlohmann::json load_config() {
    return read_config_file(settings().CONFIG_DIR);
}

std::string shlex_quote(std::string_view text) {
    if (text.empty()) {
        return "''";
    }
    auto safe = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("@%+=:,./-_").find(c) != std::string_view::npos;
    };
    bool all_safe = true;
    for (char c : text) {
        all_safe = all_safe && safe(c);
    }
    if (all_safe) {
        return std::string(text);
    }
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
    }
    return out + "'";
}

} // namespace quillo::utils
