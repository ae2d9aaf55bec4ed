#include "RelayRun.h"

#include "TestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/ProcessAncestry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::intercept {
namespace {

using ::testing::ElementsAre;

void MakeExecutable(const std::string& path) {
    test::WriteFile(path, "#!/bin/sh\n");
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

TEST(RelayRunTest, TheToolsEnvironmentLosesEverythingOfTheInterception) {
    std::vector<std::string> entries{
        "HOME=/h",
        "QZ_INTERCEPT_SOCKET=/t/s",
        "QZ_INTERCEPT_MASQ=/t/masq",
        "PATH=/t/masq/:/usr/bin::/t/masq:/bin",
        "LD_PRELOAD=/opt/libqzintercept.so /x/libother.so:/y/libqzintercept.so",
        "QZ_INTERCEPT_TOOLS=gcc",
        "QZ_OTHER=kept",
    };
    EXPECT_THAT(ToolEnvironment(entries),
                ElementsAre("HOME=/h", "PATH=/usr/bin::/bin", "LD_PRELOAD=/x/libother.so",
                            "QZ_OTHER=kept"));
    // Only our library: the variable goes; no masquerade folder: PATH stays as it is.
    EXPECT_THAT(ToolEnvironment({"LD_PRELOAD=/a/libqzintercept.so", "PATH=/t/masq:/bin"}),
                ElementsAre("PATH=/t/masq:/bin"));
    EXPECT_THAT(ToolEnvironment({"LD_PRELOAD=libqzintercept.so.old"}),
                ElementsAre("LD_PRELOAD=libqzintercept.so.old"));
    EXPECT_THAT(ToolEnvironment({"PATH=", "QZ_INTERCEPT_MASQ=/m"}), ElementsAre("PATH="));
}

TEST(RelayRunTest, EntryValuesAreFoundByTheirWholeName) {
    std::vector<std::string> entries{"PATHX=1", "PATH=/bin", "EMPTY="};
    EXPECT_EQ(EntryValue(entries, "PATH"), "/bin");
    EXPECT_EQ(EntryValue(entries, "PAT"), std::nullopt);
    EXPECT_EQ(EntryValue(entries, "EMPTY"), "");
}

TEST(RelayRunTest, RequestsOfBothWaysOfStarting) {
    test::TempDir dir;
    ASSERT_EQ(mkdir((dir / "masq").c_str(), 0755), 0);
    MakeExecutable(dir / "tool");
    MakeExecutable(dir / "qzrelay");
    ASSERT_EQ(symlink((dir / "qzrelay").c_str(), (dir / "masq/tool").c_str()), 0);
    std::vector<std::string> env{"PATH=" + dir / "masq" + ":" + dir.path(),
                                 "QZ_INTERCEPT_MASQ=" + dir / "masq"};
    std::string self = dir / "qzrelay";

    auto direct = RequestOf({"qzrelay", "/usr/bin/cc", "cc", "-c", "a.c"}, env, "/w", self);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->program, "/usr/bin/cc");
    EXPECT_THAT(direct->argv, ElementsAre("cc", "-c", "a.c"));
    EXPECT_FALSE(direct->throughLink);

    auto relative = RequestOf({"/x/qzrelay", "./gen", "./gen"}, env, "/w", self);
    ASSERT_TRUE(relative);
    EXPECT_EQ(relative->program, "/w/gen");
    auto fromRoot = RequestOf({"qzrelay", "gen", "gen"}, env, "/", self);
    EXPECT_EQ(fromRoot->program, "/gen");

    auto masq = RequestOf({"tool", "-v"}, env, "/w", self);
    ASSERT_TRUE(masq);
    EXPECT_EQ(masq->program, dir / "tool");
    EXPECT_THAT(masq->argv, ElementsAre("tool", "-v"));
    EXPECT_TRUE(masq->throughLink);

    // The masquerade link named by its path: the tool behind it.
    auto byLink = RequestOf({"qzrelay", dir / "masq/tool", "tool"}, env, "/w", self);
    ASSERT_TRUE(byLink);
    EXPECT_EQ(byLink->program, dir / "tool");
    // The library relayed it, and has judged its starter already.
    EXPECT_FALSE(byLink->throughLink);

    EXPECT_FALSE(RequestOf({}, env, "/w", self));
    EXPECT_FALSE(RequestOf({"qzrelay"}, env, "/w", self));
    EXPECT_FALSE(RequestOf({"qzrelay", "/bin/x"}, env, "/w", self));
    EXPECT_FALSE(RequestOf({"qzrelay", "", "x"}, env, "/w", self));
    EXPECT_FALSE(RequestOf({"nowhere-to-be-found", "-v"}, env, "/w", self));
}

TEST(RelayRunTest, NameListsMatchWholeNamesAndCutShortNames) {
    EXPECT_TRUE(InNameList("make,ninja", "make"));
    EXPECT_TRUE(InNameList("make,ninja", "ninja"));
    EXPECT_FALSE(InNameList("make,ninja", "mak"));
    EXPECT_FALSE(InNameList("make,ninja", "makefile"));
    EXPECT_FALSE(InNameList("make,,ninja", ""));
    EXPECT_FALSE(InNameList("", "make"));
    // The system keeps 15 bytes of a process's name.
    EXPECT_TRUE(InNameList("make,my-long-build-tool", "my-long-build-t"));
    EXPECT_FALSE(InNameList("make,my-long-build-tool", "my-long-build"));
    EXPECT_TRUE(IsShellName("sh"));
    EXPECT_TRUE(IsShellName("bash"));
    EXPECT_FALSE(IsShellName("make"));
}

TEST(RelayRunTest, AStarterIsExaminedByItsNameOrThatAboveItsShells) {
    // This test's process, its name, and shells started by it that start a shell in turn.
    const std::string self = platform::ProcessShortName(0);
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(StartsExamined("", static_cast<int>(getpid())));
    EXPECT_TRUE(StartsExamined("make," + self, static_cast<int>(getpid())));
    EXPECT_FALSE(StartsExamined("make,ninja", static_cast<int>(getpid())));
    EXPECT_FALSE(StartsExamined("make", 0x7ffffff0)); // gone: not examined

    test::TempDir dir;
    const std::string pidFile = dir / "inner";
    platform::ChildStartOptions options;
    options.arguments = {"/bin/sh", "-c",
                         "/bin/sh -c 'echo $$ > " + pidFile + "; exec sleep 30' ; :"};
    platform::ChildProcess outer;
    ASSERT_TRUE(outer.Start(options));
    ASSERT_TRUE(test::WaitUntil([&] {
        return std::atoi(test::ReadFile(pidFile).value_or("0").c_str()) > 0 &&
               platform::ProcessShortName(std::atoi(test::ReadFile(pidFile)->c_str())) == "sleep";
    }));
    const int sleeper = std::atoi(test::ReadFile(pidFile)->c_str());
    // sleep is no shell: only its own name counts. Its shell parent counts as this process.
    EXPECT_FALSE(StartsExamined(self, sleeper));
    EXPECT_TRUE(StartsExamined("sleep", sleeper));
    EXPECT_TRUE(StartsExamined(self, platform::ParentProcessId(sleeper)));
    EXPECT_TRUE(StartsExamined(self, outer.Pid()));
    EXPECT_FALSE(StartsExamined("make", outer.Pid()));
    kill(sleeper, SIGKILL);
    ASSERT_TRUE(outer.Wait(20000));
}

} // namespace
} // namespace qz::intercept
