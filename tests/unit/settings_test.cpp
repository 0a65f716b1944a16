#include "temp_dir.h"
#include "utils/utils.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>

using namespace quillo::utils;
using quillo::testing::TempDir;

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    Settings load() {
        SettingsSources sources;
        sources.getenv = [this](const char* name) -> std::optional<std::string> {
            auto it = env.find(name);
            if (it == env.end() || it->second.empty()) {
                return std::nullopt;
            }
            return it->second;
        };
        sources.executable_dir = "/opt/quillo";
        sources.home_dir = home.path();
        return load_settings(sources);
    }
    void write_config(const std::string& text) { home.write(".quillo/config.json", text); }

    TempDir home;
    std::map<std::string, std::string> env;
};

TEST_F(SettingsTest, DefaultsLiveInTheHomeDirectoryAndListenOnLoopbackOnly) {
    Settings s = load();
    EXPECT_EQ(s.PORT, 12345);
    EXPECT_EQ(s.HOST, "127.0.0.1,::1");
    EXPECT_EQ(s.CONFIG_DIR, home.path() + "/.quillo");
    EXPECT_EQ(s.WORKSPACE, home.path() + "/quillo_workspace");
    EXPECT_EQ(s.SERVER_DIR, "/opt/quillo");
    EXPECT_EQ(s.CHAT_HISTORY_FILE, s.CONFIG_DIR + "/chat_history.json");
}

TEST_F(SettingsTest, EnvironmentOverridesTheConfigFile) {
    write_config(R"({"port": 8000, "host": "0.0.0.0", "workspace": "~/code"})");
    Settings from_file = load();
    EXPECT_EQ(from_file.PORT, 8000);
    EXPECT_EQ(from_file.HOST, "0.0.0.0");
    EXPECT_EQ(from_file.WORKSPACE, home.path() + "/code");

    env = {{"QUILLO_PORT", "9000"}, {"QUILLO_HOST", "::1"}, {"QUILLO_WORKSPACE", "/srv/ws"}};
    Settings from_env = load();
    EXPECT_EQ(from_env.PORT, 9000);
    EXPECT_EQ(from_env.HOST, "::1");
    EXPECT_EQ(from_env.WORKSPACE, "/srv/ws");
}

TEST_F(SettingsTest, EmptyVariablesCountAsUnset) {
    env = {{"QUILLO_PORT", ""}, {"QUILLO_HOST", ""}};
    EXPECT_EQ(load().PORT, 12345);
    EXPECT_EQ(load().HOST, "127.0.0.1,::1");
}

TEST_F(SettingsTest, PortThatIsNotAPortNumberIsAClearError) {
    for (const char* bad : {"abc", "0", "65536", "80x", "-1", " 80"}) {
        env["QUILLO_PORT"] = bad;
        try {
            load();
            ADD_FAILURE() << bad << " was accepted";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find("QUILLO_PORT"), std::string::npos);
        }
    }
    env["QUILLO_PORT"] = "65535";
    EXPECT_EQ(load().PORT, 65535);
}

TEST_F(SettingsTest, AllowedHostsComeFromTheConfigFileOrTheEnvironment) {
    EXPECT_TRUE(load().ALLOWED_HOSTS.empty());
    write_config(R"({"allowed_hosts": ["IDE.Example.", " box.lan "]})");
    EXPECT_EQ(load().ALLOWED_HOSTS, (std::vector<std::string>{"ide.example", "box.lan"}));
    write_config(R"({"allowed_hosts": "a.example,,b.example"})");
    EXPECT_EQ(load().ALLOWED_HOSTS, (std::vector<std::string>{"a.example", "b.example"}));
    env["QUILLO_ALLOWED_HOSTS"] = "Phone.Local";
    EXPECT_EQ(load().ALLOWED_HOSTS, std::vector<std::string>{"phone.local"});

    env.clear();
    write_config(R"({"allowed_hosts": ["ok", 5]})");
    EXPECT_THROW(load(), ConfigError);
}

TEST_F(SettingsTest, ConnectionCapMustBeAPositiveNumber) {
    EXPECT_EQ(load().MAX_CONNECTIONS, 1024);
    write_config(R"({"max_connections": 64})");
    EXPECT_EQ(load().MAX_CONNECTIONS, 64);
    env["QUILLO_MAX_CONNECTIONS"] = "8";
    EXPECT_EQ(load().MAX_CONNECTIONS, 8);
    for (const char* bad : {"0", "-3", "many"}) {
        env["QUILLO_MAX_CONNECTIONS"] = bad;
        EXPECT_THROW(load(), ConfigError) << bad;
    }
}

TEST_F(SettingsTest, BrokenConfigFileIsAnErrorNotASilentDefault) {
    write_config("{ port: 1 ");
    EXPECT_THROW(load(), ConfigError);
    write_config("[1, 2]");
    EXPECT_THROW(load(), ConfigError);
    write_config(R"({"port": "99999"})");
    EXPECT_THROW(load(), ConfigError);
    write_config(R"({"workspace": ["a"]})");
    EXPECT_THROW(load(), ConfigError);
}

TEST_F(SettingsTest, ConfigDirectoryComesFromTheEnvironmentAndHoldsTheConfigFile) {
    TempDir other;
    other.write("config.json", R"({"port": "4242"})");
    env["QUILLO_CONFIG_DIR"] = other.path();
    Settings s = load();
    EXPECT_EQ(s.CONFIG_DIR, other.path());
    EXPECT_EQ(s.PORT, 4242);
}

TEST(ListenAddresses, CommaSeparatedHostsWithColonsAreIPv6) {
    std::vector<ListenAddress> list = parse_listen_addresses(" 127.0.0.1 , ::1,[fe80::1],,");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].host, "127.0.0.1");
    EXPECT_EQ(list[0].family, AF_INET);
    EXPECT_EQ(list[1].host, "::1");
    EXPECT_EQ(list[1].family, AF_INET6);
    EXPECT_EQ(list[2].host, "fe80::1");
    EXPECT_TRUE(parse_listen_addresses(",").empty());
}

TEST(DisplayAddresses, WildcardsExpandToLoopbackAndInterfacesOfTheirFamily) {
    std::vector<InterfaceAddress> interfaces{{"127.0.0.1", AF_INET, true},
                                             {"192.168.1.20", AF_INET, false},
                                             {"::1", AF_INET6, true},
                                             {"2001:db8::5", AF_INET6, false}};
    auto display = display_addresses_for({{"0.0.0.0", AF_INET}, {"::1", AF_INET6}}, interfaces);
    ASSERT_EQ(display.size(), 3u);
    EXPECT_EQ(display[0].host, "127.0.0.1");
    EXPECT_EQ(display[0].label, "local");
    EXPECT_EQ(display[1].host, "192.168.1.20");
    EXPECT_EQ(display[1].label, "network");
    EXPECT_EQ(display[2].host, "::1");

    auto v6 = display_addresses_for({{"::", AF_INET6}}, interfaces);
    ASSERT_EQ(v6.size(), 2u);
    EXPECT_EQ(v6[1].host, "2001:db8::5");
    EXPECT_EQ(v6[1].family, AF_INET6);
}

TEST(ShlexQuote, QuotesOnlyWhatTheShellWouldSplitOrExpand) {
    EXPECT_EQ(shlex_quote(""), "''");
    EXPECT_EQ(shlex_quote("plain/path-1.txt"), "plain/path-1.txt");
    EXPECT_EQ(shlex_quote("two words"), "'two words'");
    EXPECT_EQ(shlex_quote("it's"), "'it'\"'\"'s'");
    EXPECT_EQ(shlex_quote("$HOME"), "'$HOME'");
}

TEST(LogWrite, AppendsTimeStampedLinesToTheConfigurationDirectory) {
    TempDir dir;
    Settings s;
    s.CONFIG_DIR = dir.path();
    configure(s);
    log_write("[SERVER] first");
    log_write("");
    log_write("[SERVER] third");
    std::ifstream in(dir.file("quillo.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].size() > 16 && lines[0].substr(lines[0].size() - 15) == " [SERVER] first");
    EXPECT_EQ(lines[1].back(), ' ') << "an empty message is still a line";
    EXPECT_EQ(lines[0].find('\n'), std::string::npos);
}

TEST(LogWrite, MissingDirectoryIsSilentlySkipped) {
    Settings s;
    s.CONFIG_DIR = "/proc/no-such-dir/quillo";
    configure(s);
    EXPECT_NO_THROW(log_write("lost"));
}

} // namespace
