#include "platform/ProcessWatch.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qz::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Starts a program cheaply (no copy of the test's address space), with its standard input read
// from the descriptor when one is given; 0 on failure.
pid_t Spawn(std::vector<std::string> argv, int input = -1) {
    std::vector<char*> args;
    for (std::string& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) {
        posix_spawn_file_actions_adddup2(&actions, input, 0);
    }
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

// Whether the process is gone for good (reaped), waiting at most the deadline.
bool ReapedWithin(pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

// Starts a batch of watched children that end together, and returns once the watcher has
// reported the first exit: it is then still busy with the others' events.
void StartEndingBatch(std::vector<pid_t>& pids, std::vector<std::unique_ptr<ProcessWatch>>& watches,
                      int count) {
    int input[2];
    ASSERT_EQ(0, pipe2(input, O_CLOEXEC));
    watches.resize(count);
    for (int i = 0; i < count; ++i) {
        pids.push_back(Spawn({"/usr/bin/head", "-c", "1"}, input[0]));
        ASSERT_NE(0, pids.back());
        ASSERT_EQ(0, ProcessWatch::Open(pids.back(), watches[i]));
    }
    close(input[0]);
    close(input[1]); // the children see the end of their input and exit
    auto until = Clock::now() + 5s;
    while (!watches[0]->HasExited() && Clock::now() < until) {
    }
}

constexpr int kBatch = 8;

TEST(ProcessWatch, ReusedDescriptorNeverReportsALiveProcessEnded) {
    // Watches are dropped while the watcher still holds their exit events, and watches of a live
    // process that is not our child take over the freed descriptor numbers at once.
    const int livePid = getppid();
    int falseExits = 0;
    int watched = 0;
    auto deadline = Clock::now() + 20s;
    while (watched < 5000 && Clock::now() < deadline) {
        std::vector<pid_t> pids;
        std::vector<std::unique_ptr<ProcessWatch>> watches;
        StartEndingBatch(pids, watches, kBatch);
        watches.clear();
        std::vector<std::unique_ptr<ProcessWatch>> live(kBatch);
        for (auto& watch : live) {
            ASSERT_EQ(0, ProcessWatch::Open(livePid, watch));
        }
        std::this_thread::sleep_for(1ms);
        for (auto& watch : live) {
            falseExits += watch->HasExited() ? 1 : 0;
        }
        watched += kBatch;
        for (pid_t pid : pids) {
            waitpid(pid, nullptr, 0); // here or by the dropped watch, whichever comes first
        }
    }
    EXPECT_EQ(0, falseExits) << "in " << watched << " watches";
}

TEST(ProcessWatch, LiveChildOnAReusedDescriptorDoesNotStallOtherWatches) {
    const int livePid = getppid();
    int slowOpens = 0;
    auto deadline = Clock::now() + 15s;
    for (int round = 0; round < 100 && Clock::now() < deadline; ++round) {
        std::vector<pid_t> sleepers;
        for (int i = 0; i < kBatch; ++i) {
            sleepers.push_back(Spawn({"/bin/sleep", "30"}));
            ASSERT_NE(0, sleepers.back());
        }
        std::vector<pid_t> pids;
        std::vector<std::unique_ptr<ProcessWatch>> watches;
        StartEndingBatch(pids, watches, kBatch);
        watches.clear();
        std::vector<std::unique_ptr<ProcessWatch>> live(kBatch);
        for (int i = 0; i < kBatch; ++i) {
            ASSERT_EQ(0, ProcessWatch::Open(sleepers[i], live[i]));
        }
        std::this_thread::sleep_for(1ms);
        auto start = Clock::now();
        std::unique_ptr<ProcessWatch> unrelated;
        ASSERT_EQ(0, ProcessWatch::Open(livePid, unrelated));
        slowOpens += Clock::now() - start > 100ms ? 1 : 0;
        for (int i = 0; i < kBatch; ++i) {
            EXPECT_FALSE(live[i]->HasExited());
            kill(sleepers[i], SIGKILL);
            Waitable* objects[] = {live[i].get()};
            EXPECT_EQ(WaitStatus::Signaled, WaitAny(objects, 1, false, 10000).status);
            EXPECT_EQ(128 + SIGKILL, live[i]->ExitCode());
        }
        for (pid_t pid : pids) {
            waitpid(pid, nullptr, 0); // here or by the dropped watch
        }
    }
    EXPECT_EQ(0, slowOpens);
}

TEST(ProcessWatch, DroppedWatchStillReapsItsChild) {
    pid_t pid = Spawn({"/bin/sleep", "0.2"});
    ASSERT_NE(0, pid);
    std::unique_ptr<ProcessWatch> watch;
    ASSERT_EQ(0, ProcessWatch::Open(pid, watch));
    watch.reset(); // before the child ends
    EXPECT_TRUE(ReapedWithin(pid, 10s)) << "the child stayed a zombie";
}

TEST(ProcessWatch, NonChildEndsWithUnreadableCode) {
    // A grandchild is not ours: its end is seen, its code cannot be read.
    int report[2];
    ASSERT_EQ(0, pipe(report));
    pid_t middle = test::ForkChild([&] {
        pid_t grandchild = Spawn({"/bin/sleep", "0.3"});
        (void)!write(report[1], &grandchild, sizeof grandchild);
        return 0;
    });
    pid_t grandchild = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof grandchild),
              read(report[0], &grandchild, sizeof grandchild));
    close(report[0]);
    close(report[1]);
    ASSERT_EQ(0, test::WaitChild(middle, 10s));
    ASSERT_NE(0, grandchild);
    std::unique_ptr<ProcessWatch> watch;
    ASSERT_EQ(0, ProcessWatch::Open(grandchild, watch));
    Waitable* objects[] = {watch.get()};
    EXPECT_EQ(WaitStatus::Signaled, WaitAny(objects, 1, false, 10000).status);
    EXPECT_EQ(-1, watch->ExitCode());
}

} // namespace
} // namespace qz::platform
