// The configuration directory's permissions under the most permissive umask
// a user can start the server with: what the server creates there is the
// owner's alone, while the workspace keeps following the umask; an existing
// directory that others can write keeps its mode and gets a warning.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Every entry below `dir` whose mode is not 0700 (a directory) or 0600
// (anything else), as "path 0644". A trashed entry is the user's file and
// keeps its mode, so `<id>/data` is not looked into.
std::vector<std::string> entries_not_private(const std::string& dir) {
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
        if (it->path().filename() == "data" &&
            it->path().parent_path().parent_path().filename() == "trash") {
            it.disable_recursion_pending();
            continue;
        }
        mode_t expected = it->is_directory() && !it->is_symlink() ? 0700 : 0600;
        mode_t mode = mode_of(it->path().string());
        if (mode != expected) {
            char octal[8];
            std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
            found.push_back(it->path().string() + " " + octal);
        }
    }
    return found;
}

class ConfigDirTest : public ::testing::Test {
  protected:
    // A server with its configuration in `config_dir`, started under a
    // umask of 0.
    std::unique_ptr<ServerProcess> start(const std::string& config_dir) {
        mode_t old_mask = ::umask(0);
        auto server = std::make_unique<ServerProcess>(
            ServerOptions{.env = {{"QUILLO_CONFIG_DIR", config_dir}}, .home = home_.path()});
        ::umask(old_mask);
        EXPECT_TRUE(server->wait_until_listening()) << server->describe();
        return server;
    }
    void stop(ServerProcess& server) {
        server.send_signal(SIGTERM);
        EXPECT_EQ(server.wait_exit(), 0) << server.describe();
    }

    TempDir home_;
};

TEST_F(ConfigDirTest, UnderUmaskZeroWhatTheServerCreatesThereIsTheOwnersAlone) {
    // Its parent is missing too: directories made on the way are private.
    std::string config_dir = home_.path() + "/my config/quillo";
    std::unique_ptr<ServerProcess> server = start(config_dir);
    http::Client client = http_client(server->host(), server->port());
    http::Result setup = client.Post("/api/auth/setup", R"({"password":"pw"})", "application/json");
    ASSERT_TRUE(setup && setup->status == 200) << server->describe();
    std::string cookie = setup->get_header_value("Set-Cookie");
    http::Headers session{{"Cookie", cookie.substr(0, cookie.find(';'))}};
    // One file goes to the trash, one stays in the workspace.
    for (std::string name : {"gone.txt", "kept.txt"}) {
        http::Result created =
            client.Post("/api/files/create", session, R"({"type":"file","path":")" + name + "\"}",
                        "application/json");
        ASSERT_TRUE(created && created->status == 200) << (created ? created->body : name);
    }
    http::Request remove;
    remove.method = "DELETE";
    remove.path = "/api/files/delete?path=gone.txt";
    remove.headers = session;
    http::Result deleted = client.send(remove);
    ASSERT_TRUE(deleted && deleted->status == 200) << (deleted ? deleted->body : "");
    stop(*server);

    EXPECT_EQ(mode_of(home_.path() + "/my config"), 0700u);
    EXPECT_EQ(mode_of(config_dir), 0700u);
    for (const char* name : {"pwd.txt", "secret_key.txt", "server.log", "quillo.log", "trash"}) {
        EXPECT_TRUE(fs::exists(config_dir + "/" + name)) << name;
    }
    EXPECT_EQ(entries_not_private(config_dir), std::vector<std::string>{});
    EXPECT_EQ(mode_of(server->workspace()), 0777u);
    EXPECT_EQ(mode_of(server->workspace() + "/kept.txt"), 0666u);
    EXPECT_EQ(server->stdout_text().find("[WARN]"), std::string::npos) << server->describe();

    // An existing directory is the user's choice: it keeps its mode, but
    // others being able to write it is worth a warning.
    ASSERT_EQ(::chmod(config_dir.c_str(), 0777), 0);
    server = start(config_dir);
    stop(*server);
    EXPECT_EQ(mode_of(config_dir), 0777u);
    std::string warning = "  [WARN] Other users can write the configuration directory " +
                          config_dir + " (mode 0777) and replace pwd.txt in it; run: chmod go-w '" +
                          config_dir + "'\n";
    EXPECT_EQ(count_of(server->stdout_text(), warning), 1u) << server->describe();
}

} // namespace
