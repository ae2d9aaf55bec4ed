#include "platform/FileSystem.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace qz::platform {
namespace {

namespace fs = std::filesystem;

TEST(PrivateFile, ModeIsExactlyOwnerReadWriteWhateverTheUmask) {
    test::TempDir dir;
    std::string name = dir / "private.bin";
    const mode_t old = umask(0277); // would leave 0400 without the explicit mode
    Result<> written = WritePrivateFile(name, "secret");
    umask(old);
    ASSERT_TRUE(written) << written.error().Text();
    struct stat info {};
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    Result<std::string> back = ReadPrivateFile(name, 100);
    ASSERT_TRUE(back) << back.error().Text();
    EXPECT_EQ(*back, "secret");
}

TEST(FolderWithMode, GetsExactlyTheBitsWhateverTheUmask) {
    test::TempDir dir;
    const mode_t old = umask(0077); // would leave 0700 without the explicit mode
    const Result<> shared = MakeFolder(dir / "shared", 03775);
    const Result<> closed = MakeFolder(dir / "closed", 0700);
    umask(old);
    ASSERT_TRUE(shared);
    ASSERT_TRUE(closed);
    struct stat info {};
    ASSERT_EQ(stat((dir / "shared").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    // Our own group: the setgid bit stays.
    EXPECT_EQ(info.st_mode & 07777, 03775u);
    ASSERT_EQ(stat((dir / "closed").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
}

TEST(FolderWithMode, AnExistingNameIsLeftAlone) {
    test::TempDir dir;
    test::WriteFile(dir / "file", "keep");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    EXPECT_EQ(MakeFolder(dir / "file", 0777).error().code, EEXIST);
    EXPECT_EQ(MakeFolder(dir / "folder", 0777).error().code, EEXIST);
    struct stat info {};
    ASSERT_EQ(stat((dir / "folder").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(test::ReadFile(dir / "file").value_or(""), "keep");
    EXPECT_EQ(MakeFolder(dir / "missing/child", 0755).error().code, ENOENT);
}

TEST(PrivateFile, APlantedLinkIsReplacedNotWrittenThrough) {
    test::TempDir dir;
    test::WriteFile(dir / "victim.txt", "keep");
    fs::create_symlink(dir / "victim.txt", dir / "cmd.bin");
    ASSERT_TRUE(WritePrivateFile(dir / "cmd.bin", "new"));
    EXPECT_EQ(test::ReadFile(dir / "victim.txt").value_or(""), "keep");
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir / "cmd.bin")));
    EXPECT_EQ(test::ReadFile(dir / "cmd.bin").value_or(""), "new");
}

TEST(PrivateFile, AnOldFileIsReplacedWhole) {
    test::TempDir dir;
    test::WriteFile(dir / "cmd.bin", "a much longer old content");
    ASSERT_TRUE(WritePrivateFile(dir / "cmd.bin", "short"));
    EXPECT_EQ(test::ReadFile(dir / "cmd.bin").value_or(""), "short");
}

TEST(PrivateFile, AMissingFolderIsAnError) {
    test::TempDir dir;
    Result<> written = WritePrivateFile(dir / "no/such/cmd.bin", "x");
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, ENOENT);
}

} // namespace
} // namespace qz::platform
