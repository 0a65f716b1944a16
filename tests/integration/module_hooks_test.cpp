// What the server asks of particular modules at start-up: the chat module's
// task resumption, the git module's credential helper, and the module API
// version. Each test swaps a misbehaving module into a copy of the build.
#include "server_process.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <quillo/module.h>

namespace {

using namespace quillo::integration;
namespace fs = std::filesystem;

class ModuleHooksTest : public ::testing::Test {
  protected:
    // A copy of the build whose routes/<module>.so is the fixture `variant`.
    std::string build_with(const std::string& variant, const std::string& module) {
        std::string install = fs::canonical(scratch_.path()).string() + "/install";
        std::string binary = copy_build_layout(install);
        fs::copy_file(std::string(QUILLO_FIXTURES_DIR) + "/" + variant + "/" + module + ".so",
                      install + "/routes/" + module + ".so", fs::copy_options::overwrite_existing);
        return binary;
    }

    // What a start printed up to its first listener: the set-up's lines
    // come first, before the banner.
    std::string setup_output(const std::string& binary = "") {
        ServerProcess server({.binary = binary});
        EXPECT_TRUE(server.wait_until_listening()) << server.describe();
        return server.stdout_text();
    }

    TempDir scratch_;
};

TEST_F(ModuleHooksTest, ResumedTaskIsAnnouncedBeforeTheServerStarts) {
    std::string out = setup_output(build_with("chat_resumes", "chat"));
    EXPECT_EQ(out.rfind("[STARTUP] Auto-resumed unfinished AI task after restart\n\n    ╔", 0), 0u)
        << out;
}

TEST_F(ModuleHooksTest, FailingOrMissingResumeIsReportedAndTheStartGoesOn) {
    std::string out = setup_output(build_with("chat_resume_fails", "chat"));
    EXPECT_EQ(
        out.rfind("[STARTUP] Task resume check failed (non-fatal): task store is locked\n", 0), 0u)
        << out;

    std::string missing = setup_output(build_with("chat_without_resume", "chat"));
    EXPECT_EQ(missing.rfind("[STARTUP] Task resume check failed (non-fatal): ", 0), 0u) << missing;
    EXPECT_NE(missing.find("resume_pending_task_on_startup"), std::string::npos) << missing;
}

TEST_F(ModuleHooksTest, StandInsPrintNothingDuringSetUp) {
    std::string out = setup_output();
    EXPECT_EQ(out.rfind("\n    ╔", 0), 0u) << out;
}

TEST_F(ModuleHooksTest, FailingGitCredentialHelperIsOnlyAWarning) {
    ServerProcess server({.binary = build_with("git_helper_fails", "git")});
    ASSERT_TRUE(server.wait_until_listening()) << server.describe();
    std::string out = server.stdout_text();
    EXPECT_EQ(out.rfind("[startup] warning: git credential helper install failed: git is not "
                        "installed\n",
                        0),
              0u)
        << out;
    http::Client client = http_client(server.host(), server.port());
    http::Result res = client.Get("/api/health");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(ModuleHooksTest, ModuleBuiltForAnotherApiVersionIsRefused) {
    ServerProcess server({.binary = build_with("files_newer_api", "files")});
    ASSERT_EQ(server.wait_exit(), 1) << server.describe();
    EXPECT_NE(server.stderr_text().find("[ERROR] Failed to load route module files: "),
              std::string::npos)
        << server.describe();
    std::string mismatch = "built for route module API " +
                           std::to_string(quillo::kModuleApiVersion + 1) + ", this server needs " +
                           std::to_string(quillo::kModuleApiVersion);
    EXPECT_NE(server.stderr_text().find(mismatch), std::string::npos) << server.describe();
}

} // namespace
