#include "platform/ChildProcess.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace qz::platform {
namespace {

ChildStartOptions Program(std::vector<std::string> arguments) {
    ChildStartOptions options;
    options.arguments = std::move(arguments);
    return options;
}

ChildStartOptions Shell(const std::string& script) {
    return Program({"/bin/sh", "-c", script});
}

TEST(ChildProcess, ExitCodesOfNormalEndsAndSignals) {
    ChildProcess child;
    ASSERT_EQ(child.Start(Shell("exit 42")), 0);
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 42);

    ChildProcess killed;
    ASSERT_EQ(killed.Start(Shell("kill -9 $$")), 0);
    ASSERT_TRUE(killed.Wait(10000));
    EXPECT_EQ(killed.ExitCode(), 128 + SIGKILL);
}

TEST(ChildProcess, RunningChildHasNoExitCodeYet) {
    ChildProcess child;
    ASSERT_EQ(child.Start(Shell("sleep 5")), 0);
    EXPECT_FALSE(child.ExitCode().has_value());
    EXPECT_FALSE(child.Wait(10));
    kill(child.Pid(), SIGTERM);
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 128 + SIGTERM);
}

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(ChildProcess, MovingHandsTheWaitHandleOver) {
    ChildProcess first;
    ASSERT_EQ(first.Start(Shell("exit 3")), 0);
    const int handle = first.WaitHandle();
    ASSERT_GE(handle, 0);
    ChildProcess second(std::move(first));
    EXPECT_EQ(first.WaitHandle(), -1);
    EXPECT_FALSE(first.Started());
    EXPECT_EQ(second.WaitHandle(), handle);
    ChildProcess third;
    third = std::move(second);
    EXPECT_EQ(second.WaitHandle(), -1);
    ASSERT_TRUE(third.Wait(10000));
    EXPECT_EQ(third.ExitCode(), 3);
}

// Fifty children at once, some that fail to start: every descriptor is closed again.
TEST(ChildProcess, ManyChildrenLeaveNoDescriptorBehind) {
    const int before = OpenDescriptorCount();
    {
        std::vector<ChildProcess> children(50);
        for (std::size_t i = 0; i < children.size(); ++i) {
            ASSERT_EQ(children[i].Start(Shell("exit " + std::to_string(i % 7))), 0);
        }
        ChildProcess missing;
        EXPECT_EQ(missing.Start(Program({"/nonexistent/program"})), ENOENT);
        for (std::size_t i = 0; i < children.size(); ++i) {
            ASSERT_TRUE(children[i].Wait(10000));
            EXPECT_EQ(children[i].ExitCode(), static_cast<int>(i % 7));
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(ChildProcess, MissingProgramIsReportedAsTheStartError) {
    ChildProcess child;
    EXPECT_EQ(child.Start(Program({"/nonexistent/program"})), ENOENT);
    EXPECT_FALSE(child.Started());
    EXPECT_EQ(child.Start(Program({})), ENOENT);
}

TEST(ChildProcess, StandardHandlesAndNewSession) {
    qz::test::TempDir dir;
    int out = open((dir / "out.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(out, 0);
    ChildStartOptions options = Shell("cat; echo out; echo err 1>&2; cut -d' ' -f6 /proc/$$/stat");
    options.stdIn = in;
    options.stdOut = out;
    options.stdErr = out;
    options.newSession = true;
    ChildProcess child;
    ASSERT_EQ(child.Start(options), 0);
    ASSERT_TRUE(child.Wait(10000));
    close(out);
    close(in);
    auto text = qz::test::ReadFile(dir / "out.txt");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->substr(0, 8), "out\nerr\n");
    // The child leads its own session.
    EXPECT_EQ(std::stoi(text->substr(8)), child.Pid());
}

TEST(ChildProcess, ChildrenStartWithNoSignalBlocked) {
    // As a service that takes its stop signals on a thread of its own does.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigset_t old;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stops, &old), 0);
    ChildProcess child;
    const int started = child.Start(Shell("sleep 30"));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_EQ(started, 0);
    // The child ends on the terminate signal instead of ignoring it.
    ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
    ASSERT_TRUE(child.Wait(10000)) << "the child inherited the blocked terminate signal";
    EXPECT_EQ(child.ExitCode(), 128 + SIGTERM);
}

TEST(ChildProcess, ChildOutlivesItsObject) {
    int pid = 0;
    {
        ChildProcess child;
        ASSERT_EQ(child.Start(Shell("sleep 5")), 0);
        pid = child.Pid();
    }
    // Still running: not ended, and not a zombie either (kill(pid, 0) would pass on one).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(test::ChildEnded(pid));
    test::KillChild(pid);
}

TEST(ChildProcess, PriorityClassesMapToNiceValues) {
    EXPECT_EQ(NiceValueOfPriorityClass(0x20), 0);
    EXPECT_EQ(NiceValueOfPriorityClass(0x40), 19);
    EXPECT_EQ(NiceValueOfPriorityClass(0x4000), 10);
    EXPECT_EQ(NiceValueOfPriorityClass(0x8000), -5);
    EXPECT_EQ(NiceValueOfPriorityClass(0x80), -10);
    EXPECT_EQ(NiceValueOfPriorityClass(0x100), -20);
    EXPECT_FALSE(NiceValueOfPriorityClass(7).has_value());
}

TEST(KillRemainingChildren, EndsAdoptedOrphansAndChildrenOfOtherThreads) {
    // In a child of the test, which has no other children there.
    test::TempDir dir;
    std::string pidFile = dir / "orphan.pid";
    int code = test::WaitChild(
        test::ForkChild([&] {
            if (BecomeChildSubreaper() != 0) {
                return 10;
            }
            // An orphan: its parent shell ends at once, so it is adopted by us.
            ChildProcess shell;
            ChildStartOptions options;
            options.arguments = {"/bin/sh", "-c", "setsid sleep 300 & echo $! > " + pidFile};
            if (shell.Start(options) != 0 || !shell.Wait(20000)) {
                return 11;
            }
            // A child started by another thread, which has ended since.
            ChildProcess fromThread;
            std::thread([&] {
                ChildStartOptions sleeper;
                sleeper.arguments = {"sleep", "300"};
                (void)fromThread.Start(sleeper);
            }).join();
            if (!fromThread.Started()) {
                return 12;
            }
            std::string text = test::ReadFile(pidFile).value_or("");
            int orphan = std::atoi(text.c_str());
            if (orphan <= 0) {
                return 13;
            }
            if (KillRemainingChildren(5000) < 2) {
                return 14;
            }
            // Both are gone and reaped.
            if (kill(orphan, 0) == 0 || kill(fromThread.Pid(), 0) == 0) {
                return 15;
            }
            return 0;
        }),
        std::chrono::seconds(30));
    EXPECT_EQ(code, 0);
}

} // namespace
} // namespace qz::platform
