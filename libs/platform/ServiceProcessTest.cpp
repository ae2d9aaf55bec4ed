#include "platform/ServiceProcess.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <unistd.h>
#include <vector>

namespace qz::platform {
namespace {

using namespace std::chrono_literals;

// A forked holder that keeps its lock until it is killed, and ends by itself after a while so
// that a failed test leaves no process behind.
template <class Hold>
int ForkHolder(Hold hold) {
    return test::ForkChild([hold] {
        if (int rc = hold()) {
            return rc;
        }
        for (int i = 0; i < 60000; ++i) {
            test::SleepMs(1);
        }
        return 0;
    });
}

std::string HolderText(const std::string& path) {
    Result<std::string> text = InstanceLock::ReadHolderState(path);
    return text ? *text : "failed: " + text.error().Text();
}

TEST(InstanceLock, OneHolderAtATimeAndItsStateIsReadable) {
    test::TempDir dir;
    const std::string path = dir / "service.lock";
    EXPECT_EQ(test::FailureCode(InstanceLock::ReadHolderState(path)), ESRCH); // no file yet

    InstanceLock lock;
    EXPECT_FALSE(lock.Held());
    ASSERT_EQ(test::FailureCode(lock.Acquire(path)), 0);
    EXPECT_TRUE(lock.Held());
    EXPECT_EQ(HolderText(path), ""); // held, nothing written yet
    ASSERT_EQ(test::FailureCode(lock.WriteState("1234\nstarting\n")), 0);
    EXPECT_EQ(HolderText(path), "1234\nstarting\n");
    // A shorter state replaces the longer one whole.
    ASSERT_EQ(test::FailureCode(lock.WriteState("7\n")), 0);
    EXPECT_EQ(HolderText(path), "7\n");

    // A second holder fails at once, in this process as in another.
    InstanceLock second;
    EXPECT_EQ(test::FailureCode(second.Acquire(path)), EWOULDBLOCK);
    EXPECT_FALSE(second.Held());
    int other = test::ForkChild([&] {
        InstanceLock third;
        return test::FailureCode(third.Acquire(path)) == EWOULDBLOCK ? 0 : 1;
    });
    EXPECT_EQ(test::WaitChild(other, 20s), 0);

    lock.Release();
    EXPECT_FALSE(lock.Held());
    EXPECT_EQ(test::FailureCode(InstanceLock::ReadHolderState(path)), ESRCH);
    EXPECT_EQ(test::FailureCode(second.Acquire(path)), 0);
    // Acquiring again while holding releases first instead of failing on itself.
    EXPECT_EQ(test::FailureCode(second.Acquire(path)), 0);
    EXPECT_TRUE(second.Held());
}

TEST(InstanceLock, AKilledHolderFreesTheLock) {
    test::TempDir dir;
    const std::string path = dir / "service.lock";
    int holder = ForkHolder([&] {
        static InstanceLock lock; // outlives the lambda: held until the process ends
        if (!lock.Acquire(path) || !lock.WriteState(std::to_string(getpid()) + "\nready\n")) {
            return 1;
        }
        return 0;
    });
    ASSERT_TRUE(
        test::WaitUntil([&] { return HolderText(path).find("ready") != std::string::npos; }, 20s))
        << HolderText(path);
    EXPECT_EQ(HolderText(path), std::to_string(holder) + "\nready\n");
    InstanceLock lock;
    EXPECT_EQ(test::FailureCode(lock.Acquire(path)), EWOULDBLOCK);

    test::KillChild(holder);
    // The kernel dropped the lock with the process; its text stays until the next holder writes.
    EXPECT_EQ(test::FailureCode(InstanceLock::ReadHolderState(path)), ESRCH);
    EXPECT_EQ(test::ReadFile(path).value_or(""), std::to_string(holder) + "\nready\n");
    EXPECT_EQ(test::FailureCode(lock.Acquire(path)), 0);
}

TEST(InstanceLock, UnusableFilesAreClearFailures) {
    test::TempDir dir;
    InstanceLock lock;
    Result<> unheld = lock.WriteState("1\n");
    ASSERT_FALSE(unheld);
    EXPECT_EQ(unheld.error().code, EBADF);
    EXPECT_FALSE(unheld.error().Text().empty());

    Result<> missing = lock.Acquire(dir / "no/such/folder.lock");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().context.find(dir / "no/such/folder.lock"), std::string::npos);
    EXPECT_FALSE(lock.Held());

    // A link is not followed: another user could point it at a file of ours.
    test::WriteFile(dir / "target", "x");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(test::FailureCode(lock.Acquire(dir / "link")), ELOOP);
    EXPECT_EQ(test::FailureCode(InstanceLock::ReadHolderState(dir / "link")), ELOOP);
    EXPECT_EQ(test::ReadFile(dir / "target").value_or(""), "x");

    EXPECT_EQ(test::FailureCode(lock.Acquire(dir.path())), EISDIR);
    EXPECT_FALSE(lock.Held());
    // A folder nobody holds is no holder.
    EXPECT_EQ(test::FailureCode(InstanceLock::ReadHolderState(dir.path())), ESRCH);
}

TEST(InstanceLock, AnyBytesAndAHugeStateAreReadSafely) {
    test::TempDir dir;
    const std::string path = dir / "service.lock";
    InstanceLock lock;
    ASSERT_EQ(test::FailureCode(lock.Acquire(path)), 0);
    std::string hostile("1\0\xff\xfe\n\r\x1b[2J", 11);
    ASSERT_EQ(test::FailureCode(lock.WriteState(hostile)), 0);
    EXPECT_EQ(HolderText(path), hostile);

    // The reader stops after about 4 KiB, whatever the holder wrote.
    std::string huge(1 << 20, 'z');
    ASSERT_EQ(test::FailureCode(lock.WriteState(huge)), 0);
    std::string text = HolderText(path);
    EXPECT_GE(text.size(), 4096u);
    EXPECT_LE(text.size(), 4096u + 256u);
    EXPECT_EQ(text, std::string(text.size(), 'z'));
}

TEST(SupervisedPidFile, HoldsTheLockAndWritesThePidAndState) {
    test::TempDir dir;
    const std::string path = dir / "service.pid";
    SupervisedPidFile file;
    EXPECT_EQ(test::FailureCode(file.WriteState("starting")), EBADF);
    ASSERT_EQ(test::FailureCode(file.Acquire(path)), 0);
    EXPECT_TRUE(file.Held());
    ASSERT_EQ(test::FailureCode(file.WriteState("starting")), 0);

    // Another process is refused while we hold it (the lock belongs to the process: this one
    // could take it again).
    auto otherTakes = [&] {
        int other = test::ForkChild([&] {
            SupervisedPidFile second;
            int code = test::FailureCode(second.Acquire(path));
            return code == 0 ? 0 : code == EWOULDBLOCK ? 1 : 2;
        });
        return test::WaitChild(other, 20s);
    };
    EXPECT_EQ(otherTakes(), 1);
    file.Release();
    EXPECT_FALSE(file.Held());
    EXPECT_EQ(otherTakes(), 0);

    // Read only after the release: closing any descriptor of the file in this process would
    // drop a process-owned lock.
    EXPECT_EQ(test::ReadFile(path).value_or(""), std::to_string(getpid()) + "\nstarting\n");
    ASSERT_EQ(test::FailureCode(file.Acquire(path)), 0);
    ASSERT_EQ(test::FailureCode(file.WriteState("")), 0);
    file.Release();
    EXPECT_EQ(test::ReadFile(path).value_or(""), std::to_string(getpid()) + "\n");

    EXPECT_EQ(test::FailureCode(file.Acquire(dir / "no/such/folder.pid")), ENOENT);
    EXPECT_EQ(test::FailureCode(file.Acquire(dir.path())), EISDIR);
    EXPECT_FALSE(file.Held());
}

TEST(SupervisedPidFile, AKilledHolderFreesTheLock) {
    test::TempDir dir;
    const std::string path = dir / "service.pid";
    int holder = ForkHolder([&] {
        static SupervisedPidFile file;
        return file.Acquire(path) && file.WriteState("ready") ? 0 : 1;
    });
    const std::string expected = std::to_string(holder) + "\nready\n";
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadFile(path) == expected; }, 20s));
    // Asked from a child, so that this process takes no lock it would then have to give back.
    int other = test::ForkChild([&] {
        SupervisedPidFile second;
        return test::FailureCode(second.Acquire(path)) == EWOULDBLOCK ? 0 : 1;
    });
    EXPECT_EQ(test::WaitChild(other, 20s), 0);
    test::KillChild(holder);
    SupervisedPidFile file;
    EXPECT_EQ(test::FailureCode(file.Acquire(path)), 0);
}

TEST(SendStopSignal, StopsTheProcessAndRefusesNonsense) {
    for (int pid : {0, -1, -12345}) {
        Result<> sent = SendStopSignal(pid);
        ASSERT_FALSE(sent) << pid;
        EXPECT_EQ(sent.error().code, EINVAL) << pid;
    }
    int child = ForkHolder([] { return 0; });
    ASSERT_EQ(test::FailureCode(SendStopSignal(child)), 0);
    EXPECT_EQ(test::WaitChild(child, 20s), 128 + SIGTERM);
    // Reaped: the pid names nobody now.
    EXPECT_EQ(test::FailureCode(SendStopSignal(child)), ESRCH);
}

// In a child process: the stop signals stay blocked for good where they are blocked.
TEST(StopSignalWatch, EachStopSignalReachesTheHandlerOnItsThread) {
    int child = test::ForkChild([] {
        if (!BlockStopSignals()) {
            return 1;
        }
        std::atomic<int> count{0};
        std::atomic<int> last{0};
        StopSignalWatch watch;
        watch.Stop(); // nothing to stop yet
        if (!watch.Start([&](int signal) {
                last = signal;
                ++count;
            })) {
            return 2;
        }
        int expectedCount = 0;
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            kill(getpid(), signal);
            ++expectedCount;
            if (!test::WaitUntil([&] { return count == expectedCount; }, 20s) || last != signal) {
                return 10 + expectedCount;
            }
        }
        // Started again, the watch replaces the first one; a handler still running finishes
        // before Stop returns.
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
        if (!watch.Start([&](int) {
                entered = true;
                test::SleepMs(100);
                finished = true;
            })) {
            return 3;
        }
        kill(getpid(), SIGTERM);
        if (!test::WaitUntil([&] { return entered.load(); }, 20s)) {
            return 4;
        }
        watch.Stop();
        if (!finished || count != 3) {
            return 5;
        }
        watch.Stop(); // twice is harmless
        return 0;
    });
    EXPECT_EQ(test::WaitChild(child, 30s), 0);
}

} // namespace
} // namespace qz::platform
