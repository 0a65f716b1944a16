// The files module's operations on a real directory: escapes (also under a
// race), names of every kind, safe saves and the trash.
#include "files_service.h"
#include "temp_dir.h"
#include "text.h"
#include "trash.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

using namespace quillo::files;
using quillo::testing::TempDir;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int status_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const FileError& error) {
        return error.status();
    }
    return 200;
}

std::vector<std::string> names(const std::vector<Entry>& entries) {
    std::vector<std::string> out;
    for (const Entry& entry : entries) {
        out.push_back(entry.name);
    }
    return out;
}

// Both ways of resolving: openat2 and the component walk of older kernels.
class FilesTest : public ::testing::TestWithParam<Resolver> {
  protected:
    FilesTest() {
        dir.write("ws/keep.txt", "inside");
        dir.write("outside/secret.txt", "OUTSIDE");
        workspace_dir = dir.file("ws");
    }
    Workspace workspace() const { return Workspace(workspace_dir, GetParam()); }

    TempDir dir;
    std::string workspace_dir;
};

TEST_P(FilesTest, NoPathLeadsOutsideTheWorkspace) {
    for (const char* bad : {"../outside/secret.txt", "a/../../x", "/etc/passwd", "..", "a/.."}) {
        EXPECT_EQ(status_of([&] { parse_path(bad); }), 400) << bad;
    }
    EXPECT_EQ(status_of([&] { parse_path(std::string("a\0b", 3)); }), 400);
    EXPECT_EQ(parse_path("./a//b/"), (Path{"a", "b"}));

    fs::create_symlink(dir.file("outside"), dir.file("ws/abs"));
    fs::create_symlink("../outside", dir.file("ws/rel"));
    fs::create_symlink("sub/../../outside/secret.txt", dir.file("ws/file_out"));
    fs::create_directory(dir.file("ws/sub"));
    fs::create_symlink("../keep.txt", dir.file("ws/sub/back"));
    fs::create_symlink("sub", dir.file("ws/in"));
    Workspace ws = workspace();
    FilesService files(ws);
    for (const char* link : {"abs/secret.txt", "rel/secret.txt", "file_out"}) {
        EXPECT_EQ(status_of([&] { files.read(parse_path(link)); }), 403) << link;
        EXPECT_EQ(status_of([&] { files.write(parse_path(link), "x", std::nullopt); }), 403)
            << link;
    }
    EXPECT_EQ(status_of([&] { files.list({"rel"}); }), 403);
    EXPECT_EQ(status_of([&] { files.write({"rel", "new.txt"}, "x", std::nullopt); }), 403);
    EXPECT_EQ(slurp(dir.file("outside/secret.txt")), "OUTSIDE");
    EXPECT_FALSE(fs::exists(dir.file("outside/new.txt")));

    // Links that stay inside are followed; one that leads out is listed as
    // a link and nothing more.
    EXPECT_EQ(files.read({"in", "back"}).bytes, "inside");
    files.write({"in", "back"}, "changed", std::nullopt);
    EXPECT_EQ(slurp(dir.file("ws/keep.txt")), "changed");
    EXPECT_TRUE(fs::is_symlink(dir.file("ws/sub/back"))) << "the link itself stays";
    for (const Entry& entry : files.list({})) {
        if (entry.name == "rel") {
            EXPECT_EQ(entry.type, "symlink");
            EXPECT_FALSE(entry.target_type);
        }
        if (entry.name == "in") {
            EXPECT_EQ(entry.target_type, std::optional<std::string>("directory"));
        }
    }
}

// Another thread keeps swapping a directory of the workspace with a link to
// a directory outside while reads, writes and listings go through it.
TEST_P(FilesTest, ALinkSwappedInDuringRequestsNeverLeadsOutside) {
    dir.write("ws/d/secret.txt", "inside");
    fs::create_symlink(dir.file("outside"), dir.file("ws/swap"));
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        std::string d = dir.file("ws/d"), swap = dir.file("ws/swap");
        while (!stop) {
            ::renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
        }
    });
    Workspace ws = workspace();
    FilesService files(ws);
    int served = 0, refused = 0;
    std::vector<std::string> leaks;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        try {
            std::string read = files.read({"d", "secret.txt"}).bytes;
            if (read != "inside") {
                leaks.push_back("read " + read);
            }
            for (const Entry& entry : files.list({"d"})) {
                if (entry.name == "secret.txt" && entry.size != 6) {
                    leaks.push_back("listed the outside directory");
                }
            }
            files.write({"d", "planted.txt"}, "x", std::nullopt);
            ++served;
        } catch (const FileError& error) {
            if (error.status() != 403 && error.status() != 404 && error.status() != 400) {
                leaks.push_back(error.what());
            }
            ++refused;
        }
    }
    stop = true;
    swapper.join();
    EXPECT_TRUE(leaks.empty()) << leaks.front();
    EXPECT_FALSE(fs::exists(dir.file("outside/planted.txt")));
    EXPECT_EQ(slurp(dir.file("outside/secret.txt")), "OUTSIDE");
    EXPECT_GT(served, 0);
    EXPECT_GT(refused, 0);
}

TEST_P(FilesTest, NamesOfEveryKindAreListedInNaturalOrderAndStayAddressable) {
    const std::string raw_name = "caf\xe9.txt"; // Latin-1, not UTF-8
    for (const std::string& name : {std::string("file10.txt"), std::string("file2.txt"),
                                    std::string("My notes 笔记 🚀.md"), raw_name}) {
        dir.write(std::string("ws/").append(name), name);
    }
    fs::create_directory(dir.file("ws/zdir"));
    Workspace ws = workspace();
    FilesService files(ws);
    std::vector<Entry> entries = files.list({});
    EXPECT_EQ(names(entries), (std::vector<std::string>{"zdir", raw_name, "file2.txt", "file10.txt",
                                                        "keep.txt", "My notes 笔记 🚀.md"}));
    EXPECT_TRUE(entries[0].type == "directory" && entries[2].type == "file");
    // Run is offered for a file with an execute bit; a folder's is not one.
    fs::permissions(dir.file("ws/file2.txt"), fs::perms::owner_exec, fs::perm_options::add);
    entries = files.list({});
    EXPECT_TRUE(entries[2].executable);
    EXPECT_FALSE(entries[3].executable || entries[0].executable);
    // A client names the file that is not UTF-8 by its base64url form.
    std::string raw = base64url_encode(join(entries[1].path));
    EXPECT_EQ(files.read(parse_path(*base64url_decode(raw))).bytes, raw_name);
    EXPECT_FALSE(is_valid_utf8(raw_name));
    EXPECT_TRUE(is_valid_utf8("My notes 笔记 🚀.md"));
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80")); // an encoded surrogate
    EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));     // overlong "/"
}

TEST_P(FilesTest, SavesAreAtomicAndNeverOverwriteAChangeMadeElsewhere) {
    Workspace ws = workspace();
    FilesService files(ws);
    const std::string text = "\xef\xbb\xbfline one\r\nline two\r\n"; // BOM and CR LF kept
    Stamp first = files.write({"script.sh"}, text, std::nullopt);
    ::chmod(dir.file("ws/script.sh").c_str(), 0751);
    FileContent loaded = files.read({"script.sh"});
    EXPECT_EQ(loaded.bytes, text);

    Stamp second = files.write({"script.sh"}, "v2", loaded.stamp.etag);
    EXPECT_NE(second.etag, first.etag);
    struct stat st {};
    ::stat(dir.file("ws/script.sh").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0751u) << "the mode is kept";

    // Saved again with the etag of the first load: someone changed it since.
    try {
        files.write({"script.sh"}, "stale", loaded.stamp.etag);
        ADD_FAILURE() << "a stale save went through";
    } catch (const FileError& error) {
        EXPECT_EQ(error.status(), 409);
        EXPECT_EQ(error.extra()["etag"], second.etag);
    }
    EXPECT_EQ(slurp(dir.file("ws/script.sh")), "v2");
    EXPECT_EQ(status_of([&] { files.write({"gone.txt"}, "x", std::string("\"old\"")); }), 409);
    EXPECT_EQ(status_of([&] { files.write({"script.sh"}, "x", std::nullopt, Existing::Keep); }),
              409);

    // A write cut short by a file-size limit leaves the old content whole.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    int status =
        status_of([&] { files.write({"script.sh"}, std::string(4096, 'x'), std::nullopt); });
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    EXPECT_EQ(status, 413);
    EXPECT_EQ(slurp(dir.file("ws/script.sh")), "v2");
    EXPECT_EQ(names(files.list({})), (std::vector<std::string>{"keep.txt", "script.sh"}))
        << "no temporary file is left behind";

    std::string big(kMaxReadBytes + 1, 'a');
    dir.write("ws/big.log", big);
    EXPECT_EQ(status_of([&] { files.read({"big.log"}); }), 413);
}

TEST_P(FilesTest, CopiesAndRenamesNeverReplaceAndADirectoryCannotGoIntoItself) {
    dir.write("ws/src/a/b.txt", "b");
    fs::create_symlink("a/b.txt", dir.file("ws/src/link"));
    Workspace ws = workspace();
    FilesService files(ws);
    files.copy({"src"}, {"copy"});
    EXPECT_EQ(slurp(dir.file("ws/copy/a/b.txt")), "b");
    EXPECT_EQ(fs::read_symlink(dir.file("ws/copy/link")), "a/b.txt");
    EXPECT_EQ(status_of([&] { files.copy({"src"}, {"copy"}); }), 409);
    EXPECT_EQ(status_of([&] { files.rename({"keep.txt"}, {"copy"}); }), 409);
    EXPECT_EQ(status_of([&] { files.copy({"src"}, {"src", "a", "inner"}); }), 400);
    EXPECT_EQ(status_of([&] { files.rename({"src"}, {"src", "a", "inner"}); }), 400);
    files.rename({"copy"}, {"src", "moved"});
    EXPECT_EQ(slurp(dir.file("ws/src/moved/a/b.txt")), "b");
    EXPECT_EQ(status_of([&] { files.rename({}, {"x"}); }), 400);
}

INSTANTIATE_TEST_SUITE_P(Resolvers, FilesTest,
                         ::testing::Values(Resolver::Automatic, Resolver::Walk),
                         [](const auto& info) {
                             return info.param == Resolver::Automatic ? "Openat2" : "Walk";
                         });

// Android kills a process that makes a system call its filter does not
// know, so openat2 is only called where it cannot be Android.
TEST(Openat2Choice, OnlyOnANewEnoughKernelWithoutSignsOfAndroid) {
    EXPECT_TRUE(may_call_openat2({"6.1.0-13-amd64", false}));
    EXPECT_TRUE(may_call_openat2({"5.6.0", false}));
    EXPECT_FALSE(may_call_openat2({"5.4.0-150-generic", false})) << "before openat2";
    EXPECT_FALSE(may_call_openat2({"6.6.127-android15-8-g74246892e200", false}));
    EXPECT_FALSE(may_call_openat2({"5.15.94-perf+", true})) << "Android's variables or files";
    EXPECT_FALSE(may_call_openat2({"", false}));
}

class TrashTest : public ::testing::Test {
  protected:
    TrashTest() { dir.write("ws/project/src/main.py", "print('hi')\n"); }
    Trash trash_with(TrashLimits limits) {
        return Trash(dir.file("config/trash"), limits, [this] { return now; });
    }

    TempDir dir;
    int64_t now = 1'800'000'000;
};

TEST_F(TrashTest, ADeletedDirectoryComesBackWholeUnlessItsNameIsTaken) {
    fs::create_directory(dir.file("config"));
    Workspace ws(dir.file("ws"));
    Trash trash = trash_with({});
    std::string id = trash.put(ws, {"project"});
    EXPECT_FALSE(fs::exists(dir.file("ws/project")));
    std::vector<TrashItem> items = trash.list();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].path, (Path{"project"}));
    EXPECT_EQ(items[0].type, "directory");
    EXPECT_EQ(items[0].size, 12u);

    dir.write("ws/project/other.txt", "new");
    EXPECT_EQ(status_of([&] { trash.restore(ws, id); }), 409);
    EXPECT_EQ(slurp(dir.file("ws/project/other.txt")), "new");
    fs::remove_all(dir.file("ws/project"));
    EXPECT_EQ(trash.restore(ws, id), (Path{"project"}));
    EXPECT_EQ(slurp(dir.file("ws/project/src/main.py")), "print('hi')\n");
    EXPECT_TRUE(trash.list().empty());
    EXPECT_EQ(status_of([&] { trash.restore(ws, id); }), 404);
    EXPECT_EQ(status_of([&] { trash.restore(ws, "../../etc"); }), 404);
}

TEST_F(TrashTest, OldItemsAndThoseOverTheBudgetGoOldestFirstButTheNewestStays) {
    fs::create_directory(dir.file("config"));
    Workspace ws(dir.file("ws"));
    Trash trash = trash_with({30 * 86400, 100});
    for (int i = 0; i < 4; ++i) {
        std::string name = std::string("f").append(std::to_string(i));
        dir.write(std::string("ws/").append(name), std::string(40, 'x'));
        trash.put(ws, {name});
        now += 86400;
    }
    std::vector<TrashItem> items = trash.list();
    ASSERT_EQ(items.size(), 2u) << "80 of 100 bytes fit";
    EXPECT_EQ(items[0].path, (Path{"f2"}));
    EXPECT_EQ(items[1].path, (Path{"f3"}));

    dir.write("ws/huge", std::string(500, 'x'));
    trash.put(ws, {"huge"});
    items = trash.list();
    ASSERT_EQ(items.size(), 1u) << "the newest item stays even when it alone is over";
    EXPECT_EQ(items[0].path, (Path{"huge"}));

    now += 31 * 86400;
    EXPECT_TRUE(trash.list().empty()) << "30 days later it is gone";
}

// The trash on another file system than the workspace: copied, checked,
// then removed. Needs /dev/shm on a device of its own.
TEST_F(TrashTest, AcrossFileSystemsTheOriginalGoesOnlyAfterTheCopy) {
    struct stat shm {
    }, tmp{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second file system to move across";
    }
    std::string config = "/dev/shm/quillo-trash-test-" + std::to_string(::getpid());
    fs::create_directory(config);
    Workspace ws(dir.file("ws"));
    Trash trash(config + "/trash");
    std::string id = trash.put(ws, {"project"});
    EXPECT_FALSE(fs::exists(dir.file("ws/project")));
    EXPECT_EQ(slurp(config + "/trash/" + id + "/data/src/main.py"), "print('hi')\n");
    trash.restore(ws, id);
    EXPECT_EQ(slurp(dir.file("ws/project/src/main.py")), "print('hi')\n");
    fs::remove_all(config);
}

} // namespace
