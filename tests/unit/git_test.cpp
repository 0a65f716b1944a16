// The git module's parts that need no git: reading git's status, telling
// what a failed operation means, the credential helper's answers and its
// installation, and the addresses git is never given.
#include "credentials.h"
#include "git_command.h"
#include "jobs.h"
#include "outcome.h"
#include "status.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace quillo::git {
namespace {

using quillo::testing::TempDir;

// git's records, each ended by a NUL as -z writes them.
std::string records(std::initializer_list<std::string_view> lines) {
    std::string text;
    for (std::string_view line : lines) {
        text.append(line).push_back('\0');
    }
    return text;
}

OutcomeFacts facts(std::string kind, int exit_code, std::string output) {
    OutcomeFacts facts;
    facts.kind = std::move(kind);
    facts.exit_code = exit_code;
    facts.output = std::move(output);
    return facts;
}

TEST(GitStatusTest, EveryKindOfRecordLandsInItsGroup) {
    Status status = parse_status(records({
        "# branch.oid 1234567890abcdef",
        "# branch.head main",
        "# branch.upstream origin/main",
        "# branch.ab +2 -1",
        "1 MM N... 100644 100644 100644 aaa bbb with space.txt",
        "2 R. N... 100644 100644 100644 aaa aaa R100 new name.txt",
        "old name.txt",
        "u UU N... 100644 100644 100644 100644 a b c both.txt",
        "? folder/",
    }));
    EXPECT_EQ(status.branch, "main");
    EXPECT_EQ(status.head, "1234567");
    EXPECT_EQ(status.upstream, "origin/main");
    EXPECT_EQ(status.ahead, 2);
    EXPECT_EQ(status.behind, 1);
    nlohmann::json files = to_json(status)["files"];
    EXPECT_EQ(files, nlohmann::json::parse(R"([
        {"path": "with space.txt", "group": "staged", "change": "modified"},
        {"path": "with space.txt", "group": "changed", "change": "modified"},
        {"path": "new name.txt", "group": "staged", "change": "renamed", "from": "old name.txt"},
        {"path": "both.txt", "group": "conflicted", "change": "conflict"},
        {"path": "folder/", "group": "untracked", "change": "untracked"}])"));
    EXPECT_EQ(conflicted_paths(status), std::vector<std::string>{"both.txt"});

    Status fresh =
        parse_status(std::string("# branch.oid (initial)\0# branch.head (detached)\0", 48));
    EXPECT_FALSE(fresh.head);
    EXPECT_FALSE(fresh.branch);
}

TEST(GitOutcomeTest, EachFailureIsToldInWordsThatSayWhatToDo) {
    auto reason = [](const OutcomeFacts& told) { return describe_outcome(told).reason; };
    EXPECT_EQ(reason(facts("push", 1, " ! [rejected]        main -> main (fetch first)\n")),
              "rejected");
    OutcomeFacts conflict = facts("pull", 1, "CONFLICT (content)");
    conflict.conflicts = {"a.txt"};
    EXPECT_EQ(reason(conflict), "conflict");
    // A refused saved token says so, whatever else git printed.
    OutcomeFacts refused = facts("push", 128, "fatal: Authentication failed");
    refused.token_refused = true;
    EXPECT_EQ(reason(refused), "auth");
    refused.saved_token_refused = true;
    EXPECT_EQ(reason(refused), "refused_token");
    EXPECT_EQ(reason(facts("fetch", 128, "Host key verification failed.\n")), "host_key");
    EXPECT_EQ(reason(facts("clone", 0, "done.")), "");

    Outcome overwrite = describe_outcome(facts(
        "pull", 1,
        "error: Your local changes to the following files would be overwritten by merge:\n"
        "\ta.txt\n\tdir/b.txt\nPlease commit your changes or stash them before you merge.\n"));
    EXPECT_EQ(overwrite.reason, "would_overwrite");
    EXPECT_NE(overwrite.message.find("a.txt, dir/b.txt"), std::string::npos) << overwrite.message;
}

TEST(GitCredentialTest, TheHelperGetsSavedTokensAndStoresOnlyWhatTheUserAskedToSave) {
    TempDir dir;
    TokenStore store(dir.file("tokens.json"));
    std::optional<Answer> given = Answer{"ada", "typed", true, "work"};
    bool refused_saved = false;
    CredentialBroker broker(store, {[&](const std::string&, const Attributes&) { return given; },
                                    [&](const std::string&, bool saved) { refused_saved = saved; },
                                    [&](const std::string&) { return given; }});
    Attributes request = {{"protocol", "https"}, {"host", "Git.Example:8443"}};

    // A terminal's git (no ask key) is never asked for in the page.
    EXPECT_EQ(broker.handle("get", "", request), "");
    EXPECT_EQ(broker.handle("get", "job", request), "password=typed\nusername=ada\n");
    // git stores only what worked; only what the user asked to save is saved.
    broker.handle("store", "job", {{"host", "git.example:8443"}, {"password", "other"}});
    EXPECT_EQ(store.list().size(), 0u);
    broker.handle("store", "job", {{"host", "git.example:8443"}, {"password", "typed"}});
    ASSERT_EQ(store.list().size(), 1u);
    EXPECT_EQ(store.list()[0].dump().find("typed"), std::string::npos);
    struct stat file {};
    ASSERT_EQ(::stat(dir.file("tokens.json").c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);

    EXPECT_EQ(broker.handle("get", "", request), "password=typed\nusername=ada\n");
    // Never in clear text over a network.
    EXPECT_EQ(broker.handle("get", "", {{"protocol", "http"}, {"host", "git.example:8443"}}), "");
    EXPECT_TRUE(travels_encrypted("http", "127.0.0.1:8080"));
    EXPECT_TRUE(travels_encrypted("http", "[::1]:8080"));
    EXPECT_FALSE(travels_encrypted("http", "127.0.0.1.evil.example"));
    broker.handle("erase", "job", {{"host", "git.example:8443"}, {"password", "typed"}});
    EXPECT_TRUE(refused_saved);
    EXPECT_EQ(store.list().size(), 1u); // kept for the user to replace

    // A value with a line break could add attributes of its own.
    EXPECT_EQ(format_attributes({{"password", "x\nhost=evil"}, {"username", "u"}}), "username=u\n");
}

TEST(GitCredentialTest, TheHelperIsAddedAfterTheUsersOwnThroughTheEnvironment) {
    std::vector<std::string> mine = {"PATH=/bin", "GIT_CONFIG_COUNT=1",
                                     "GIT_CONFIG_KEY_0=credential.helper",
                                     "GIT_CONFIG_VALUE_0=store"};
    std::vector<std::string> added = helper_config(mine, "!'/q/helper' --socket '/s'");
    EXPECT_EQ(added, (std::vector<std::string>{"GIT_CONFIG_KEY_1=credential.helper",
                                               "GIT_CONFIG_VALUE_1=!'/q/helper' --socket '/s'",
                                               "GIT_CONFIG_COUNT=2"}));
    mine.insert(mine.end(), added.begin(), added.end());
    EXPECT_TRUE(helper_config(mine, "!'/q/helper' --socket '/s'").empty());
    EXPECT_THROW(helper_config({"GIT_CONFIG_COUNT=x"}, "h"), std::runtime_error);
    EXPECT_EQ(shell_quoted("it's"), "'it'\\''s'");
}

TEST(GitRemoteTest, OnlyAddressesOfKnownTransportsWithoutPasswordsAreTakenIn) {
    for (const char* url : {"https://github.com/u/p.git", "ssh://git@host:22/p", "git@host:u/p.git",
                            "file:///srv/p.git", "http://127.0.0.1:8080/p.git"}) {
        EXPECT_NO_THROW(check_remote_url(url)) << url;
    }
    for (const char* url :
         {"ext::sh -c id", "fd::3", "-oProxyCommand=x:y", "ftp://h/p", "https://u:pw@host/p",
          "ssh://-oProxyCommand=x/p", "/local/path", "https://host/p\n"}) {
        EXPECT_THROW(check_remote_url(url), GitProblem) << url;
    }
    EXPECT_EQ(url_host("https://ada@host:8443/p.git"), "host:8443");
    EXPECT_EQ(url_host("git@host:u/p.git"), "host");
    EXPECT_EQ(url_host("file:///srv/p.git"), "");

    EnvList env = git_environment({"GIT_DIR=/elsewhere", "HOME=/h", "LC_ALL=fr_FR"}, "/w/ws");
    EXPECT_EQ(std::count(env.begin(), env.end(), "GIT_DIR=/elsewhere"), 0);
    EXPECT_EQ(std::count(env.begin(), env.end(), "LC_ALL=C"), 1);
    EXPECT_EQ(std::count(env.begin(), env.end(), "GIT_CEILING_DIRECTORIES=/w"), 1);
}

} // namespace
} // namespace quillo::git
