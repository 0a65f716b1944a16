#include "app/password_store.h"
#include "temp_dir.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using quillo::app::PasswordState;
using quillo::app::PasswordStore;
using quillo::testing::TempDir;

namespace {

class PasswordStoreTest : public ::testing::Test {
  protected:
    PasswordStoreTest() : store(dir.file("pwd.txt")) {}

    // Replaces the file's content but gives it back its old modification
    // time, as on a file system with coarse time stamps.
    void rewrite_keeping_mtime(const std::string& content) {
        struct stat st {};
        ASSERT_EQ(::stat(store.path().c_str(), &st), 0);
        dir.write("pwd.txt", content);
        timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, store.path().c_str(), times, 0), 0);
    }
    // Gives the file a modification time surely different from the last one.
    void touch_later(int seconds) {
        timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, store.path().c_str(), times, 0), 0);
    }

    TempDir dir;
    PasswordStore store;
};

TEST_F(PasswordStoreTest, FileContentIsTrimmedAndBlankMeansNoPassword) {
    EXPECT_EQ(store.read_password(), std::nullopt) << "no file";
    dir.write("pwd.txt", "  open sesame \r\n");
    EXPECT_EQ(store.read_password(), "open sesame");
    dir.write("pwd.txt", " \t\n");
    touch_later(10);
    EXPECT_EQ(store.read_password(), std::nullopt);
    EXPECT_FALSE(store.password_set());
    dir.write("pwd.txt", "\xef\xbb\xbf"
                         "bom");
    touch_later(20);
    EXPECT_EQ(store.read_password(), "\xef\xbb\xbf"
                                     "bom")
        << "a byte-order mark is kept";
}

// A file that exists but cannot be read or decoded fails closed, and says so
// once for each change of the file; an emptied file is still a reset.
TEST_F(PasswordStoreTest, AnUnreadableFileIsAPasswordNobodyCanGive) {
    std::vector<std::string> warnings;
    PasswordStore watched(store.path(), {}, [&](const std::string& w) { warnings.push_back(w); });
    dir.write("pwd.txt", "ok\xff");
    for (int i = 0; i < 3; ++i) {
        PasswordState state = watched.state(true);
        EXPECT_EQ(state.kind, PasswordState::Kind::Unreadable);
        EXPECT_EQ(state.password, "");
        EXPECT_NE(state.error.find(store.path() + ": 'utf-8' codec can't decode byte 0xff"),
                  std::string::npos)
            << state.error;
    }
    EXPECT_EQ(watched.read_password(), std::nullopt);
    EXPECT_TRUE(watched.password_set()) << "the guard stays closed";
    EXPECT_EQ(warnings.size(), 1u);

    std::filesystem::remove(store.path());
    std::filesystem::create_directory(store.path());
    EXPECT_EQ(watched.state().error, store.path() + ": Is a directory");
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[1], "Cannot read the password file " + store.path() +
                               ": Is a directory; every request is refused until it is fixed "
                               "or removed");

    std::filesystem::remove(store.path());
    dir.write("pwd.txt", "\n");
    EXPECT_EQ(watched.state().kind, PasswordState::Kind::NotSet);
}

TEST_F(PasswordStoreTest, WriteStoresExactlyWhatIsGivenPrivately) {
    mode_t old_mask = ::umask(0);
    store.write_password("p@ss word");
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::stat(store.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "even under a umask of 0";
    std::ifstream in(store.path(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "p@ss word");
    EXPECT_EQ(store.read_password(), "p@ss word");
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path())->path(), store.path())
        << "no temporary file is left behind";
}

TEST_F(PasswordStoreTest, CacheIsTrustedWhileTheModificationTimeIsUnchanged) {
    store.write_password("first");
    rewrite_keeping_mtime("second");
    EXPECT_EQ(store.read_password(), "first") << "same time stamp: the file is not read";
    touch_later(30);
    EXPECT_EQ(store.read_password(), "second") << "a hand edit is seen on the next read";
    std::filesystem::remove(store.path());
    EXPECT_EQ(store.read_password(), std::nullopt) << "a deleted file means no password";
    EXPECT_FALSE(store.password_set());
}

TEST_F(PasswordStoreTest, FailedWriteLeavesTheCacheAndFileAlone) {
    store.write_password("kept");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::owner_exec);
    bool writable = ::access(dir.path().c_str(), W_OK) == 0; // root ignores the mode
    if (!writable) {
        EXPECT_THROW(store.write_password("lost"), std::system_error);
        EXPECT_EQ(store.read_password(), "kept");
    }
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);

    std::filesystem::remove(store.path());
    std::filesystem::create_directory(store.path());
    EXPECT_THROW(store.write_password("lost"), std::system_error) << "a directory in the way";
    EXPECT_EQ(store.read_password(), std::nullopt);
}

TEST_F(PasswordStoreTest, ConcurrentReadersAlwaysSeeAWholePassword) {
    store.write_password("aaaaaaaa");
    std::atomic<bool> stop = false;
    std::atomic<int> bad = 0;
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                std::optional<std::string> value = store.read_password();
                if (value != "aaaaaaaa" && value != "bbbbbbbb") {
                    ++bad;
                }
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        store.write_password(i % 2 ? "aaaaaaaa" : "bbbbbbbb");
    }
    stop = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(bad, 0);
}

} // namespace
