#include "platform/TaskControl.h"

#include "TestSupport.h"
#include "platform/posix/UniqueFd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::platform {
namespace {

namespace fs = std::filesystem;

void MakeProgram(const std::string& path, fs::perms perms) {
    test::WriteFile(path, "#!/bin/sh\nexit 0\n");
    fs::permissions(path, perms);
}

TEST(FindProgramInPath, TakesTheFirstRunnableFileOfTheGivenPath) {
    test::TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "c/tool"); // a folder of the name is no program
    MakeProgram(dir / "a/tool", fs::perms::owner_read | fs::perms::owner_write); // not runnable
    MakeProgram(dir / "b/tool", fs::perms::owner_all);
    std::string path = dir / "c" + ":" + dir / "a" + ":" + dir / "b";
    EXPECT_EQ(FindProgramInPath("tool", path), dir / "b/tool");
    EXPECT_EQ(FindProgramInPath("tool", dir / "a"), "");
    EXPECT_EQ(FindProgramInPath("missing", path), "");
    EXPECT_EQ(FindProgramInPath("", path), "");
    EXPECT_EQ(FindProgramInPath("", ""), "");
    // A name with a slash is not looked up.
    EXPECT_EQ(FindProgramInPath("./x/tool", path), "./x/tool");
}

TEST(FindProgramInPath, AnEmptyEntryIsTheCurrentFolder) {
    test::TempDir dir;
    MakeProgram(dir / "here", fs::perms::owner_all);
    std::string old = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent::/also-not"), "./here");
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent:"), "./here");
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent"), "");
    fs::current_path(old);
    // Relative entries count from the folder the program runs in.
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent:.", dir.path()), dir / "./here");
    EXPECT_EQ(FindProgramInPath("here", "", dir.path()), dir / "./here");
}

TEST(WatchTerminateSignal, TheSignalOnlySetsTheFlagAndInterruptsAWait) {
    // In a child, so that this test process keeps its own handling.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!WatchTerminateSignal() || TerminateSignalReceived()) {
            _exit(10);
        }
        kill(getpid(), SIGTERM);
        if (!TerminateSignalReceived()) {
            _exit(11);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // A wait in progress returns early.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    detail::UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        readyRead.Reset();
        WatchTerminateSignal();
        (void)!write(ready[1], "x", 1);
        pollfd none{-1, 0, 0};
        int rc = poll(&none, 1, 30000);
        _exit(rc < 0 && errno == EINTR && TerminateSignalReceived() ? 0 : 12);
    }
    readyWrite.Reset();
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    readyRead.Reset();
    // The signal may come before the child is inside poll: send it until the child ends.
    bool ended = false;
    for (int i = 0; i < 600 && !ended; ++i) {
        kill(pid, SIGTERM);
        usleep(50000);
        ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the child did not end on the terminate signal";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace qz::platform
