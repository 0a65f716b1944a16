// The settings and helpers that the server shares with the rest of the IDE.
// They are read once at start-up; configure() must run before the first use.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::utils {

// A setting that cannot be used as given; the message names the setting.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Settings {
    std::string SERVER_DIR;        // the installation; its static/ is the front end
    std::string WORKSPACE;         // the user's projects
    int PORT = 12345;              // the TCP port of every listener
    std::string HOST;              // comma-separated listen addresses
    std::string CONFIG_DIR;        // password, session secret and logs
    std::string CHAT_HISTORY_FILE; // used by the chat module
    // Host names a browser may use besides IP literals and "localhost",
    // lower case; "*" allows any name.
    std::vector<std::string> ALLOWED_HOSTS;
    int MAX_CONNECTIONS = 1024; // connections served at once; more wait to be accepted
};

inline constexpr int kDefaultPort = 12345;
inline constexpr const char* kDefaultHost = "127.0.0.1,::1";

// The value of an environment variable; nothing when it is absent or empty
// (an empty variable counts as unset everywhere in Quillo).
std::optional<std::string> environment_variable(const char* name);

// Where settings come from: environment lookups (empty counts as unset) and
// the directory of the executable. Passed in so tests need no real process.
struct SettingsSources {
    std::function<std::optional<std::string>(const char*)> getenv;
    std::string executable_dir;
    std::string home_dir;
};

// Reads the environment and the optional config.json of the configuration
// directory ("port", "host", "workspace", "allowed_hosts",
// "max_connections"); the environment wins.
// Throws ConfigError for an unusable value or a config.json that is not JSON.
Settings load_settings(const SettingsSources& sources);

// The sources of the running process.
SettingsSources process_sources();

// Makes `settings` the process's settings.
void configure(Settings settings);
const Settings& settings();

// True for 127.0.0.0/8, ::1 and IPv4 loopback mapped into IPv6, as text.
bool is_loopback_address(std::string_view address);
// The same, or "localhost".
bool is_loopback_host(std::string_view host);

struct ListenAddress {
    std::string host;
    int family; // AF_INET6 for IPv6, anything else counts as IPv4
};

struct DisplayAddress {
    std::string host;
    int family;
    std::string label;
};

// The hosts of a HOST text, in order; a host with ":" is IPv6.
std::vector<ListenAddress> parse_listen_addresses(std::string_view host_text);
std::vector<ListenAddress> get_listen_addresses();

// Where a user can reach the listeners. A wildcard (0.0.0.0 or ::) stands
// for loopback plus the machine's interface addresses of that family.
struct InterfaceAddress {
    std::string host;
    int family;
    bool loopback;
};
std::vector<DisplayAddress> display_addresses_for(const std::vector<ListenAddress>& listen,
                                                  const std::vector<InterfaceAddress>& interfaces);
std::vector<DisplayAddress> get_display_addresses();

// Appends "<time stamp> <message>" to quillo.log in the configuration
// directory. Safe from any thread; rotated by size; never writes to standard
// output or standard error (which at run time are streams that call it).
void log_write(std::string_view message);

// The parsed config.json of the configuration directory, or an empty object.
nlohmann::json load_config();

// Quotes a text for a POSIX shell.
std::string shlex_quote(std::string_view text);

} // namespace quillo::utils
