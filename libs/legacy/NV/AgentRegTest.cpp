#include "AgentReg.h"

#include "CM/Exceptions.h"
#include "CmTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace qz::nv {
namespace {

using test::MessageOf;

class AgentRegTest : public ::testing::Test {
protected:
    void SetUp() override { SetProductRegistryName("Orvane"); }
    void TearDown() override { SetProductRegistryName("Orvane"); }
    void Store(const std::string& text) { test::WriteFile(dir_ / "HKLM.reg", text); }

    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
};

TEST_F(AgentRegTest, FoldersFromTheMachineKey) {
    Store("[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"/opt/orvane/\"\n");
    TAgentReg reg;
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Tamrel\\Orvane");
    EXPECT_EQ(reg.AgentFolder(), "/opt/orvane");
    EXPECT_EQ(reg.AgentTempFolder(), "/opt/orvane/Temp");

    Store("[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"/a\"\n\"TempDir\"=\"/t/\"\n");
    TAgentReg other(aroAllowReadOnly);
    EXPECT_EQ(other.AgentTempFolder(), "/t");
}

TEST_F(AgentRegTest, MissingFoldersAndUserSettings) {
    Store("[SOFTWARE\\Tamrel\\Orvane]\n");
    TAgentReg reg;
    EXPECT_EQ(MessageOf([&] { reg.AgentFolder(); }),
              "Failed to read Orvane Agent installation folder from registry.");
    EXPECT_EQ(reg.AgentFolder(false), "");
    EXPECT_EQ(MessageOf([&] { reg.AgentTempFolder(); }),
              "Failed to read Orvane Agent temporary directory from registry.");

    TAgentReg user(aroUserSettings);
    EXPECT_EQ(user.RootKey(), RegRoot::CurrentUser);
    EXPECT_NE(test::ReadFile(dir_ / "HKCU.reg").value_or("").find("[SOFTWARE\\Tamrel\\Orvane]"),
              std::string::npos);
    EXPECT_EQ(MessageOf([&] { user.AgentFolder(); }),
              "Cannot get Agent folder from user settings.");
    EXPECT_EQ(MessageOf([&] { user.AgentTempFolder(); }),
              "Cannot get Agent folder from user settings.");
}

TEST_F(AgentRegTest, OpenFailuresNameTheKey) {
    // Read-only opening never creates the key.
    EXPECT_EQ(MessageOf([] { TAgentReg reg(aroAllowReadOnly); }),
              "Failed to access Agent registry settings, while trying to open "
              "\"SOFTWARE\\Tamrel\\Orvane\" key\r\nCannot open registry key: "
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tamrel\\Orvane: No such file or directory");
    EXPECT_FALSE(test::ReadFile(dir_ / "HKLM.reg"));

    SetProductRegistryName("Other");
    TAgentReg created;
    EXPECT_EQ(AgentRegistryKey(), "SOFTWARE\\Tamrel\\Other");
    EXPECT_NE(test::ReadFile(dir_ / "HKLM.reg").value_or("").find("[SOFTWARE\\Tamrel\\Other]"),
              std::string::npos);
    EXPECT_EQ(created.ReadIntegerOrStore("Builder", "TasksmithPriorityClass", 128), 128);
    EXPECT_NE(
        test::ReadFile(dir_ / "HKLM.reg").value_or("").find("\"TasksmithPriorityClass\"=\"128\""),
        std::string::npos);
}

TEST_F(AgentRegTest, ReadOnlyStoreFallsBackToReading) {
    namespace fs = std::filesystem;
    Store("[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"/opt/orvane\"\n");
    fs::permissions(dir_ / "HKLM.reg", fs::perms::owner_read);
    fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
    struct Restore {
        std::string dir;
        ~Restore() { fs::permissions(dir, fs::perms::owner_all); }
    } restore{dir_.path()};
    if (platform::RegistryStore::CanWrite(RegRoot::LocalMachine)) {
        GTEST_SKIP() << "the process may write anything (root)";
    }
    TAgentReg reg(aroAllowReadOnly);
    EXPECT_EQ(reg.Access(), kKeyRead);
    EXPECT_EQ(reg.ReadIntegerOrStore("Builder", "TasksmithPriorityClass", 128), 128);
    EXPECT_EQ(reg.AgentFolder(), "/opt/orvane");
    EXPECT_EQ(*test::ReadFile(dir_ / "HKLM.reg"),
              "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"/opt/orvane\"\n");
    EXPECT_EQ(MessageOf([] { TAgentReg writer; }),
              "Failed to access Agent registry settings, while trying to open "
              "\"SOFTWARE\\Tamrel\\Orvane\" key\r\nCannot open registry key: "
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tamrel\\Orvane: Permission denied");
}

} // namespace
} // namespace qz::nv
