#include "platform/TaskControl.h"

#include "platform/posix/UniqueFd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::platform {
namespace {

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
