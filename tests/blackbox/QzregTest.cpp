#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using qz::test::RunProgram;

class QzregTest : public ::testing::Test {
protected:
    qz::test::RunResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), QZ_QZREG_PATH);
        qz::test::RunOptions options;
        options.env["TamrelRegistryRoot"] = dir_.path();
        return RunProgram(args, options);
    }

    qz::test::TempDir dir_;
};

TEST_F(QzregTest, SetGetListDelete) {
    EXPECT_EQ(
        Run({"set", "HKLM", "SOFTWARE\\Tamrel\\Orvane\\Builder", "Folder", "/opt/orvane"}).exitCode,
        0);
    EXPECT_EQ(
        Run({"set", "HKLM", "SOFTWARE\\Tamrel\\Orvane\\Log", "Level", "0x10", "dword"}).exitCode,
        0);
    auto get = Run({"get", "hklm", "software\\tamrel\\orvane\\builder", "FOLDER"});
    EXPECT_EQ(get.exitCode, 0);
    EXPECT_EQ(get.out, "/opt/orvane\n");
    EXPECT_EQ(Run({"get", "HKLM", "SOFTWARE\\Tamrel\\Orvane\\Log", "Level"}).out, "16\n");
    auto list = Run({"list", "HKLM", "SOFTWARE\\Tamrel\\Orvane"});
    EXPECT_EQ(list.out, "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n[SOFTWARE\\Tamrel\\Orvane\\Log]\n");
    EXPECT_EQ(Run({"get", "HKLM", "SOFTWARE\\Nope", "x"}).exitCode, 1);
    EXPECT_EQ(Run({"delete", "HKLM", "SOFTWARE\\Tamrel\\Orvane\\Log"}).exitCode, 0);
    EXPECT_EQ(Run({"get", "HKLM", "SOFTWARE\\Tamrel\\Orvane\\Log", "Level"}).exitCode, 1);
    EXPECT_EQ(Run({"set", "HKLM", "K", "n", "12x", "dword"}).exitCode, 2);
    EXPECT_EQ(Run({"frob"}).exitCode, 2);
}

TEST_F(QzregTest, DamagedStoreIsReportedWithFileAndLine) {
    qz::test::WriteFile(dir_ / "HKLM.reg", "[A]\n\"x\"=dword:1\n");
    auto result = Run({"get", "HKLM", "A", "x"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.err.find(dir_ / "HKLM.reg" + ", line 2: "), std::string::npos) << result.err;
}

} // namespace
