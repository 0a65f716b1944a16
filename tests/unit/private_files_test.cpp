// The configuration directory's private files and directories: made the
// owner's alone under a umask of 0 (the most permissive one a user can run
// with), while what exists already keeps its mode.
#include "output/rotating_file_sink.h"
#include "temp_dir.h"
#include "utils/files.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace quillo;
using quillo::testing::TempDir;

namespace {

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The umask of a test, put back when it ends.
class UmaskZero {
  public:
    UmaskZero() : old_(::umask(0)) {}
    ~UmaskZero() { ::umask(old_); }
    UmaskZero(const UmaskZero&) = delete;
    UmaskZero& operator=(const UmaskZero&) = delete;

  private:
    mode_t old_;
};

TEST(PrivateFiles, NewOnesAreTheOwnersAloneAndExistingOnesKeepTheirMode) {
    TempDir dir;
    UmaskZero mask;

    EXPECT_TRUE(utils::create_private_directories(dir.file("a/b/")));
    EXPECT_EQ(mode_of(dir.file("a")), 0700u);
    EXPECT_EQ(mode_of(dir.file("a/b")), 0700u);
    ASSERT_EQ(::chmod(dir.file("a/b").c_str(), 0775), 0);
    EXPECT_FALSE(utils::create_private_directories(dir.file("a/b")));
    EXPECT_EQ(mode_of(dir.file("a/b")), 0775u);

    {
        utils::UniqueFd fd = utils::open_private_file(dir.file("a/new"), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd.get(), "x", 1), 1);
    }
    EXPECT_EQ(mode_of(dir.file("a/new")), 0600u);
    ASSERT_EQ(::chmod(dir.file("a/new").c_str(), 0640), 0);
    {
        utils::UniqueFd fd = utils::open_private_file(dir.file("a/new"), O_WRONLY | O_APPEND);
        ASSERT_EQ(::write(fd.get(), "y", 1), 1);
        EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    }
    EXPECT_EQ(mode_of(dir.file("a/new")), 0640u);
    EXPECT_EQ(utils::read_file(dir.file("a/new")), "xy") << "appended, not replaced";

    // A file where a directory should be: the error names the call and the path.
    try {
        utils::create_private_directories(dir.file("a/new/c"));
        FAIL() << "expected an error";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("mkdir " + dir.file("a/new/c")), std::string::npos)
            << e.what();
    }
}

// The log's files are begun by spdlog, the first one and one after each
// rotation; none of them may take the umask's mode.
TEST(PrivateFiles, LogFilesBegunAfterARotationArePrivateToo) {
    TempDir dir;
    UmaskZero mask;
    {
        output::RotatingFileSink log(dir.file("server.log"), 100);
        for (int i = 0; i < 3; ++i) {
            log.write(std::string(60, 'x') + "\n");
        }
    }
    EXPECT_EQ(mode_of(dir.file("server.log")), 0600u);
    EXPECT_EQ(mode_of(dir.file("server.1.log")), 0600u);
}

} // namespace
