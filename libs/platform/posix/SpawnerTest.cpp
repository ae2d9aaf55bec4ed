#include "platform/Spawner.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::platform {
namespace {

const std::vector<std::string> kEnv{"PATH=/usr/bin:/bin", "MARK=seen"};

ProgramEnd RunShell(const std::string& line, int out = -1) {
    auto pid = SpawnProgram("/bin/sh", {"sh", "-c", line}, kEnv, out, -1);
    EXPECT_TRUE(pid) << pid.error().Text();
    auto end = WaitProgram(*pid);
    EXPECT_TRUE(end);
    return *end;
}

TEST(SpawnerTest, TheEndIsTheExitCodeOrTheSignal) {
    ProgramEnd end = RunShell("exit 3");
    EXPECT_FALSE(end.signalled);
    EXPECT_EQ(end.number, 3);
    end = RunShell("kill -SEGV $$");
    EXPECT_TRUE(end.signalled);
    EXPECT_EQ(end.number, SIGSEGV);
    end = RunShell("exit 255");
    EXPECT_EQ(end.number, 255);
}

TEST(SpawnerTest, TheChildGetsExactlyTheGivenEnvironmentAndOutput) {
    test::TempDir dir;
    std::string path = dir / "out";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ProgramEnd end = RunShell("env | sort", fd);
    close(fd);
    EXPECT_EQ(end.number, 0);
    // The shell adds PWD (and may add SHLVL); what we gave is there, nothing of ours else.
    std::string text = test::ReadFile(path).value_or("");
    EXPECT_NE(text.find("MARK=seen\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("HOME="), std::string::npos) << text;
}

TEST(SpawnerTest, AProgramThatCannotStartIsAFailure) {
    auto pid = SpawnProgram("/nonexistent/tool", {"tool"}, kEnv);
    // glibc reports the failed exec of the spawned child as the spawn's failure.
    ASSERT_FALSE(pid);
    EXPECT_EQ(pid.error().code, ENOENT);
    EXPECT_FALSE(WaitProgram(999999999));
}

TEST(SpawnerTest, EndLikeGivesOurParentTheChildsStatus) {
    for (ProgramEnd end : {ProgramEnd{false, 0}, ProgramEnd{false, 42}, ProgramEnd{true, SIGSEGV},
                           ProgramEnd{true, SIGTERM}, ProgramEnd{true, SIGINT}}) {
        int pid = test::ForkChild([&] {
            // A process that caught the signal before (as the relay does) still ends by it.
            ForwardEndSignals(0, false);
            EndLike(end);
            return 99;
        });
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (end.signalled) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), end.number);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), end.number);
        }
    }
}

TEST(SpawnerTest, EndSignalsArePassedOnToTheChild) {
    test::TempDir dir;
    std::string marker = dir / "up";
    int pid = test::ForkChild([&] {
        ForwardEndSignals(0, true); // as SIGTERM
        auto child =
            SpawnProgram("/bin/sh", {"sh", "-c", ": > " + marker + "; exec sleep 30"}, kEnv);
        if (!child) {
            return 90;
        }
        ForwardEndSignals(*child, true);
        auto end = WaitProgram(*child);
        // SIGINT came in; the child got SIGTERM.
        return end && end->signalled && end->number == SIGTERM ? 0 : 91;
    });
    ASSERT_TRUE(test::WaitUntil([&] { return access(marker.c_str(), F_OK) == 0; }));
    kill(pid, SIGINT);
    EXPECT_EQ(test::WaitChild(pid, std::chrono::seconds(20)), 0);
}

TEST(SpawnerTest, FilesAreCheckedForExecutionAndSameness) {
    test::TempDir dir;
    test::WriteFile(dir / "plain", "x");
    EXPECT_FALSE(IsExecutableFile(dir / "plain"));
    EXPECT_FALSE(IsExecutableFile(dir.path()));
    EXPECT_FALSE(IsExecutableFile(""));
    EXPECT_TRUE(IsExecutableFile("/bin/sh"));
    ASSERT_EQ(symlink((dir / "plain").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(IsSameFile(dir / "link", dir / "plain"));
    EXPECT_FALSE(IsSameFile(dir / "link", "/bin/sh"));
    EXPECT_FALSE(IsSameFile(dir / "none", dir / "none"));
}

} // namespace
} // namespace qz::platform
