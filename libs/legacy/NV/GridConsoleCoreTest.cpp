#include "GridConsoleCore.h"

#include "CM/EnvUtils.h"
#include "TestSupport.h"
#include "platform/ProcessInfo.h"

#include <gtest/gtest.h>

namespace qz::nv {
namespace {

class ParseCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override { UnsetEnv("qzConsoleParams"); }
    void TearDown() override {
        UnsetEnv("qzConsoleParams");
        platform::SetProcessArguments(std::vector<std::string>{});
    }

    std::unique_ptr<TGridConsole> Parse(std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/qzConsole");
        platform::SetProcessArguments(args);
        auto console = std::make_unique<TGridConsole>("Orvane Console", CustomToolsMode);
        optionFileRead_ = console->ParseCommandLine();
        return console;
    }

    static std::vector<std::string> Options(TGridConsole& console) {
        std::vector<std::string> result;
        for (int i = 0; i < console.Options().Count(); ++i) {
            result.push_back(console.Options().At(i));
        }
        return result;
    }

    bool optionFileRead_ = false;
    qz::test::TempDir dir_;
};

TEST_F(ParseCommandLineTest, SwitchesLoseTheirPrefixAndPositionalsCount) {
    auto console = Parse({"/NOLOGO", "-out=x.txt", "first.xml", "/", "second.xml"});
    EXPECT_EQ(Options(*console), (std::vector<std::string>{"NOLOGO", "out=x.txt", ""}));
    EXPECT_EQ(console->TokenCount(), 5);
    EXPECT_EQ(console->PositionalCount(), 2);
    EXPECT_EQ(console->PrimaryFilename(), "second.xml");
    EXPECT_EQ(console->Title(), "Orvane Console 10.24.2 (build 14861)");
}

TEST_F(ParseCommandLineTest, AbsolutePathsAreJobFilesNotSwitches) {
    auto console = Parse({"/home/me/job.xml", "/LOG=/tmp/x.log", "/a/b=c"});
    EXPECT_EQ(Options(*console), (std::vector<std::string>{"LOG=/tmp/x.log"}));
    EXPECT_EQ(console->PositionalCount(), 2);
    EXPECT_EQ(console->PrimaryFilename(), "/a/b=c");
}

TEST_F(ParseCommandLineTest, EnvironmentWordsFollowTheCommandLine) {
    SetEnv("qzConsoleParams", "/SHOWTIME /TITLE=\"a b\"");
    auto console = Parse({"/NOLOGO"});
    EXPECT_EQ(Options(*console), (std::vector<std::string>{"NOLOGO", "SHOWTIME", "TITLE=\"a b\""}));
    EXPECT_EQ(console->TokenCount(), 3);
}

TEST_F(ParseCommandLineTest, TestSwitchSetsTestMode) {
    EXPECT_TRUE(Parse({"/TEST=gtest"})->ModeFlags() & TestMode);
    EXPECT_FALSE(Parse({"-test=gtest"})->ModeFlags() & TestMode);
    EXPECT_FALSE(Parse({"/test"})->ModeFlags() & TestMode);
}

TEST_F(ParseCommandLineTest, OptionFilesAppendTheirTokensAndDoNotNest) {
    qz::test::WriteFile(dir_ / "a.rsp", "/SHOWTIME job.xml\r\n@" + (dir_ / "b.rsp") + "\n");
    qz::test::WriteFile(dir_ / "b.rsp", "/BEEP\n");
    auto console = Parse({"@" + (dir_ / "a.rsp"), "/NOLOGO"});
    EXPECT_TRUE(optionFileRead_);
    // The nested "@" token is neither read nor a positional argument.
    EXPECT_EQ(Options(*console), (std::vector<std::string>{"NOLOGO", "SHOWTIME"}));
    EXPECT_EQ(console->PositionalCount(), 2);
    EXPECT_EQ(console->PrimaryFilename(), "@" + (dir_ / "b.rsp"));
    EXPECT_EQ(console->TokenCount(), 2);
}

TEST_F(ParseCommandLineTest, MissingOptionFileRaises) {
    EXPECT_THROW(Parse({"@" + (dir_ / "missing.rsp")}), Exception);
}

TEST(ExitCode, BaseIsAddedToNonZeroCodesOnly) {
    SetExitCodeBase(100);
    SetExitCode(0);
    EXPECT_EQ(ProcessExitCode(), 0);
    SetExitCode(4);
    EXPECT_EQ(ProcessExitCode(), 104);
    SetExitCodeBase(0);
    SetExitCode(0);
}

} // namespace
} // namespace qz::nv
