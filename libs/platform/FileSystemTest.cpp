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
    int error = WritePrivateFile(name, "secret");
    umask(old);
    ASSERT_EQ(error, 0);
    struct stat info {};
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::string back;
    EXPECT_EQ(ReadPrivateFile(name, 100, back), 0);
    EXPECT_EQ(back, "secret");
}

TEST(PrivateFile, APlantedLinkIsReplacedNotWrittenThrough) {
    test::TempDir dir;
    test::WriteFile(dir / "victim.txt", "keep");
    fs::create_symlink(dir / "victim.txt", dir / "cmd.bin");
    ASSERT_EQ(WritePrivateFile(dir / "cmd.bin", "new"), 0);
    EXPECT_EQ(test::ReadFile(dir / "victim.txt").value_or(""), "keep");
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir / "cmd.bin")));
    EXPECT_EQ(test::ReadFile(dir / "cmd.bin").value_or(""), "new");
}

TEST(PrivateFile, AnOldFileIsReplacedWhole) {
    test::TempDir dir;
    test::WriteFile(dir / "cmd.bin", "a much longer old content");
    ASSERT_EQ(WritePrivateFile(dir / "cmd.bin", "short"), 0);
    EXPECT_EQ(test::ReadFile(dir / "cmd.bin").value_or(""), "short");
}

TEST(PrivateFile, AMissingFolderIsAnError) {
    test::TempDir dir;
    EXPECT_EQ(WritePrivateFile(dir / "no/such/cmd.bin", "x"), ENOENT);
}

} // namespace
} // namespace qz::platform
