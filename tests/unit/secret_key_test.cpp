#include "app/secret_key.h"
#include "temp_dir.h"
#include "utils/files.h"

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

using namespace quillo;
using quillo::testing::TempDir;

namespace {

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

TEST(SecretKey, FirstStartCreatesTheDirectoryAndA48DigitKeyOnlyTheOwnerCanRead) {
    TempDir dir;
    std::string path = dir.file("config/nested/secret_key.txt");
    mode_t old_umask = ::umask(0); // the most permissive mask a user can run with
    std::string key = app::load_or_create_secret_key(path);
    ::umask(old_umask);

    EXPECT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{48}")));
    EXPECT_EQ(utils::read_file(path), key) << "no line feed is written";
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(app::load_or_create_secret_key(path), key) << "sessions survive a restart";
}

TEST(SecretKey, StoredKeyIsTrimmedAndUsedWhateverItsForm) {
    TempDir dir;
    dir.write("k1", "abc123\n");
    EXPECT_EQ(app::load_or_create_secret_key(dir.file("k1")), "abc123");
    dir.write("k2", "  not hex at all!  ");
    EXPECT_EQ(app::load_or_create_secret_key(dir.file("k2")), "not hex at all!");
}

TEST(SecretKey, BlankFileGetsAFreshKeyInsteadOfAnEmptyOne) {
    TempDir dir;
    dir.write("k", " \n\t");
    std::string key = app::load_or_create_secret_key(dir.file("k"));
    EXPECT_EQ(key.size(), 48u);
    EXPECT_EQ(utils::read_file(dir.file("k")), key);
}

TEST(SecretKey, UnreadableKeyFileStopsTheStart) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("k")); // a directory in the file's place
    EXPECT_THROW(app::load_or_create_secret_key(dir.file("k")), std::system_error);
}

TEST(SecretKey, TwoKeysDiffer) {
    EXPECT_NE(app::random_hex(24), app::random_hex(24));
}

TEST(AtomicWrite, ReplacesContentAndLeavesNoTemporaryFiles) {
    TempDir dir;
    dir.write("f", "old content that is longer");
    utils::write_file_atomically(dir.file("f"), "new", 0600);
    EXPECT_EQ(utils::read_file(dir.file("f")), "new");
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(AtomicWrite, TemporariesOfAnInterruptedWriteAreRemovedOnceOld) {
    TempDir dir;
    dir.write("pwd.txt.tmp-Ab12Cd", "hunter2");   // abandoned
    dir.write("pwd.txt.tmp-Zz99Yy", "in flight"); // another writer, just now
    dir.write("pwd.txt.backup", "the user's");    // not ours
    dir.write("pwd.txt", "hunter2");
    timespec old[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir.path() + "/pwd.txt.tmp-Ab12Cd").c_str(), old, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir.path() + "/pwd.txt.backup").c_str(), old, 0), 0);
    quillo::utils::remove_abandoned_temporaries(dir.path() + "/pwd.txt");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/pwd.txt.tmp-Ab12Cd"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/pwd.txt.tmp-Zz99Yy"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/pwd.txt.backup"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/pwd.txt"));
}

TEST(AtomicWrite, FailureNamesTheFailedCall) {
    TempDir dir;
    try {
        utils::write_file_atomically(dir.file("missing/dir/f"), "x", 0600);
        FAIL() << "expected an error";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("mkstemp"), std::string::npos);
    }
}

} // namespace
