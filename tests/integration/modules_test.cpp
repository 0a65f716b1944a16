// The route modules next to the executable: optional ones may be missing,
// required ones may not, and stale cache directories are cleared at start.
#include "server_process.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;
using nlohmann::json;

// Each test runs its own copy of the build, which it may alter.
class ModulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_ = fs::canonical(scratch_.path()).string() + "/install";
        binary_ = copy_build_layout(install_);
    }

    std::string routes() const { return install_ + "/routes"; }

    TempDir scratch_;
    std::string install_;
    std::string binary_;
};

std::vector<std::string> lines_starting_with(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : split_lines(text)) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

class OptionalModuleTest : public ModulesTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(OptionalModuleTest, MissingModuleOnlyCostsItsRoutes) {
    const std::string& name = GetParam();
    const std::string file = routes() + "/" + name + ".so";
    ASSERT_TRUE(fs::remove(file));
    ServerProcess server({.binary = binary_});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    EXPECT_EQ(lines_starting_with(server.stdout_text(), "[WARN] Failed to load "),
              std::vector<std::string>{"[WARN] Failed to load " + name + " module: " + file +
                                       ": cannot open shared object file: No such file or "
                                       "directory"})
        << server.describe();

    http::Client client = http_client(server.host(), server.port());
    http::Result res = client.Get("/api/health");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    // The module's route falls through to the front end's catch-all.
    res = client.Get("/api/" + name + "/module");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(json::parse(res->body, nullptr, false), json::object({{"error", "Not found"}}));
    res = client.Get("/api/files/module");
    ASSERT_TRUE(res) << http::to_string(res.error());
    EXPECT_EQ(res->status, 200);
}

std::string module_name(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}

INSTANTIATE_TEST_SUITE_P(ModulesTest, OptionalModuleTest, ::testing::Values("update", "qarn"),
                         module_name);

class RequiredModuleTest : public ModulesTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RequiredModuleTest, MissingModuleStopsTheStart) {
    const std::string& name = GetParam();
    ASSERT_TRUE(fs::remove(routes() + "/" + name + ".so"));
    ServerProcess server({.binary = binary_});
    ASSERT_EQ(server.wait_exit(), 1) << server.describe();

    EXPECT_NE(server.stderr_text().find("[ERROR] Failed to load route module " + name + ": " +
                                        routes() + "/" + name + ".so: "),
              std::string::npos)
        << server.describe();
    EXPECT_EQ(server.stdout_text().find("[OK] Listening"), std::string::npos) << server.describe();
}

INSTANTIATE_TEST_SUITE_P(ModulesTest, RequiredModuleTest,
                         ::testing::Values("files", "run", "git", "chat", "venv", "server_mgmt",
                                           "browser", "notebook", "debug"),
                         module_name);

TEST_F(ModulesTest, SharedObjectThatIsNoRouteModuleIsRefused) {
    const std::string file = routes() + "/update.so";
    fs::copy_file(install_ + "/qarn_service.so", file, fs::copy_options::overwrite_existing);
    ServerProcess server({.binary = binary_});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    EXPECT_EQ(lines_starting_with(server.stdout_text(), "[WARN] Failed to load "),
              std::vector<std::string>{"[WARN] Failed to load update module: " + file +
                                       ": not a Quillo route module (no quillo_module_bp)"})
        << server.describe();
}

TEST_F(ModulesTest, ModulesStartChildrenThroughTheServersProcessApi) {
    fs::copy_file(std::string(QUILLO_FIXTURES_DIR) + "/run_child/run.so", routes() + "/run.so",
                  fs::copy_options::overwrite_existing);
    ServerProcess server({.binary = binary_});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    http::Result res = http_client(server.host(), server.port()).Get("/api/run/child");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(json::parse(res->body), (json{{"output", "ok \uFFFD"}}));
}

TEST_F(ModulesTest, StaleCacheDirectoriesAreRemovedAtStart) {
    write_text(routes() + "/somepkg/__pycache__/x.pyc", "stale");
    write_text(routes() + "/somepkg/keep.txt", "kept");
    write_text(install_ + "/__pycache__/y.pyc", "stale");
    write_text(routes() + "/__pycache__/z.pyc", "not a package cache");
    ServerProcess server({.binary = binary_});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();

    EXPECT_FALSE(fs::exists(routes() + "/somepkg/__pycache__"));
    EXPECT_FALSE(fs::exists(install_ + "/__pycache__"));
    EXPECT_EQ(read_text(routes() + "/somepkg/keep.txt"), "kept");
    EXPECT_EQ(read_text(routes() + "/__pycache__/z.pyc"), "not a package cache");
}

} // namespace
