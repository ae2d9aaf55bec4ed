#include "platform/ProcessWatch.h"

#include "TestSupport.h"
#include "UniqueFd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qz::platform {
namespace {

// The watch of a process, or the error code of Open (0 on success).
int OpenWatch(int pid, std::unique_ptr<ProcessWatch>& out) {
    auto opened = ProcessWatch::Open(pid);
    if (!opened) {
        return opened.error().code;
    }
    out = std::move(*opened);
    return 0;
}

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
    detail::UniqueFd inputRead(input[0]), inputWrite(input[1]);
    watches.resize(count);
    for (int i = 0; i < count; ++i) {
        pids.push_back(Spawn({"/usr/bin/head", "-c", "1"}, input[0]));
        ASSERT_NE(0, pids.back());
        ASSERT_EQ(0, OpenWatch(pids.back(), watches[i]));
    }
    inputRead.Reset();
    inputWrite.Reset(); // the children see the end of their input and exit
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
            ASSERT_EQ(0, OpenWatch(livePid, watch));
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
            ASSERT_EQ(0, OpenWatch(sleepers[i], live[i]));
        }
        std::this_thread::sleep_for(1ms);
        auto start = Clock::now();
        std::unique_ptr<ProcessWatch> unrelated;
        ASSERT_EQ(0, OpenWatch(livePid, unrelated));
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
    ASSERT_EQ(0, OpenWatch(pid, watch));
    watch.reset(); // before the child ends
    EXPECT_TRUE(ReapedWithin(pid, 10s)) << "the child stayed a zombie";
}

TEST(ProcessWatch, NonChildEndsWithUnreadableCode) {
    // A grandchild is not ours: its end is seen, its code cannot be read.
    int report[2];
    ASSERT_EQ(0, pipe(report));
    detail::UniqueFd reportRead(report[0]), reportWrite(report[1]);
    pid_t middle = test::ForkChild([&] {
        pid_t grandchild = Spawn({"/bin/sleep", "0.3"});
        (void)!write(report[1], &grandchild, sizeof grandchild);
        return 0;
    });
    pid_t grandchild = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof grandchild),
              read(report[0], &grandchild, sizeof grandchild));
    reportRead.Reset();
    reportWrite.Reset();
    ASSERT_EQ(0, test::WaitChild(middle, 10s));
    ASSERT_NE(0, grandchild);
    std::unique_ptr<ProcessWatch> watch;
    ASSERT_EQ(0, OpenWatch(grandchild, watch));
    Waitable* objects[] = {watch.get()};
    EXPECT_EQ(WaitStatus::Signaled, WaitAny(objects, 1, false, 10000).status);
    EXPECT_EQ(-1, watch->ExitCode());
}

// What a watched child reported: its output, its error output, in what order the ends came.
struct Recorded {
    std::mutex mutex;
    std::string output;
    std::string error;
    bool outputEnded = false;
    bool errorEnded = false;
    bool endedBeforeExit = true; // every output had ended when the exit was told
    std::atomic<bool> exited{false};
};

ProcessWatch::Handlers Recorder(Recorded& r) {
    ProcessWatch::Handlers handlers;
    handlers.output = [&r](std::string_view data) {
        std::lock_guard lock(r.mutex);
        data.empty() ? void(r.outputEnded = true) : void(r.output.append(data));
    };
    handlers.error = [&r](std::string_view data) {
        std::lock_guard lock(r.mutex);
        data.empty() ? void(r.errorEnded = true) : void(r.error.append(data));
    };
    handlers.exited = [&r] {
        std::lock_guard lock(r.mutex);
        r.endedBeforeExit = r.outputEnded && r.errorEnded;
        r.exited = true;
    };
    return handlers;
}

ChildStartOptions Piped(const std::string& script, int input = -1) {
    ChildStartOptions options;
    options.arguments = {"/bin/sh", "-c", script};
    options.nullInput = input < 0;
    options.stdIn = input;
    options.pipeOutput = true;
    options.pipeError = true;
    return options;
}

std::unique_ptr<ProcessWatch> WatchPiped(const std::string& script, Recorded& r, int input = -1) {
    ChildProcess child;
    if (!child.Start(Piped(script, input))) {
        return nullptr;
    }
    auto watch = ProcessWatch::Watch(std::move(child), Recorder(r));
    return watch ? std::move(*watch) : nullptr;
}

bool Exited(ProcessWatch& watch, std::uint32_t timeoutMs = 20000) {
    Waitable* objects[] = {&watch};
    return WaitAny(objects, 1, false, timeoutMs).status == WaitStatus::Signaled;
}

TEST(ProcessWatchOfChild, TwoHundredChildrenAtOnceOnTheOneWatcherThread) {
    constexpr int kChildren = 200;
    std::vector<Recorded> recorded(kChildren);
    std::vector<std::unique_ptr<ProcessWatch>> watches;
    // The watcher thread exists once anything was watched.
    {
        Recorded warmUp;
        auto first = WatchPiped("exit 0", warmUp);
        ASSERT_TRUE(first && Exited(*first));
    }
    // Every child waits for the end of this gate's input, so all of them run at once.
    int gate[2];
    ASSERT_EQ(0, pipe2(gate, O_CLOEXEC));
    detail::UniqueFd gateRead(gate[0]);
    detail::UniqueFd gateWrite(gate[1]);
    const int threadsBefore = ThreadCount();
    for (int i = 0; i < kChildren; ++i) {
        watches.push_back(WatchPiped("read -r line; echo out" + std::to_string(i) + "; echo err" +
                                         std::to_string(i) + " >&2; exit " +
                                         std::to_string(i % 251),
                                     recorded[static_cast<std::size_t>(i)], gateRead.Get()));
        ASSERT_TRUE(watches.back()) << i;
    }
    const int threadsWhileRunning = ThreadCount();
    for (const auto& watch : watches) {
        EXPECT_FALSE(watch->HasExited());
    }
    gateWrite.Reset();
    for (int i = 0; i < kChildren; ++i) {
        ASSERT_TRUE(Exited(*watches[static_cast<std::size_t>(i)])) << i;
        Recorded& r = recorded[static_cast<std::size_t>(i)];
        EXPECT_EQ(watches[static_cast<std::size_t>(i)]->ExitCode(), i % 251);
        ASSERT_TRUE(test::WaitUntil([&] { return r.exited.load(); }));
        std::lock_guard lock(r.mutex);
        EXPECT_EQ(r.output, "out" + std::to_string(i) + "\n");
        EXPECT_EQ(r.error, "err" + std::to_string(i) + "\n");
        EXPECT_TRUE(r.endedBeforeExit);
    }
    EXPECT_EQ(threadsWhileRunning, threadsBefore) << "a thread per child or stream";
}

TEST(ProcessWatchOfChild, OutputClosedEarlyEndsBeforeTheChild) {
    Recorded r;
    auto watch = WatchPiped("echo early; exec >&- 2>&-; sleep 0.2; exit 5", r);
    ASSERT_TRUE(watch);
    ASSERT_TRUE(test::WaitUntil([&] {
        std::lock_guard lock(r.mutex);
        return r.outputEnded && r.errorEnded;
    }));
    ASSERT_TRUE(Exited(*watch));
    EXPECT_EQ(watch->ExitCode(), 5);
    ASSERT_TRUE(test::WaitUntil([&] { return r.exited.load(); }));
    std::lock_guard lock(r.mutex);
    EXPECT_EQ(r.output, "early\n");
    EXPECT_TRUE(r.endedBeforeExit);
}

TEST(ProcessWatchOfChild, GrandchildHoldingThePipeDoesNotHoldTheEndBack) {
    test::TempDir dir;
    std::string pidFile = dir / "grandchild";
    Recorded r;
    // The grandchild keeps both pipes open for a minute; the child ends at once.
    auto start = Clock::now();
    auto watch = WatchPiped("sleep 60 & echo $! > '" + pidFile + "'; echo mine; exit 4", r);
    ASSERT_TRUE(watch);
    ASSERT_TRUE(Exited(*watch));
    ASSERT_TRUE(test::WaitUntil([&] { return r.exited.load(); }));
    EXPECT_LT(Clock::now() - start, 30s) << "the end waited for the grandchild";
    EXPECT_EQ(watch->ExitCode(), 4);
    {
        std::lock_guard lock(r.mutex);
        EXPECT_EQ(r.output, "mine\n");
        EXPECT_TRUE(r.outputEnded);
        EXPECT_TRUE(r.endedBeforeExit);
    }
    int grandchild = std::atoi(test::ReadFile(pidFile).value_or("0").c_str());
    ASSERT_GT(grandchild, 1);
    kill(grandchild, SIGKILL);
}

TEST(ProcessWatchOfChild, KillNineIsReportedAsTheSignal) {
    Recorded r;
    auto watch = WatchPiped("echo up; exec sleep 60", r);
    ASSERT_TRUE(watch);
    ASSERT_TRUE(test::WaitUntil([&] {
        std::lock_guard lock(r.mutex);
        return r.output == "up\n";
    }));
    ASSERT_EQ(0, kill(watch->Pid(), SIGKILL));
    ASSERT_TRUE(Exited(*watch));
    EXPECT_EQ(watch->ExitCode(), 128 + SIGKILL);
    ASSERT_TRUE(test::WaitUntil([&] { return r.exited.load(); }));
    std::lock_guard lock(r.mutex);
    EXPECT_TRUE(r.outputEnded && r.errorEnded);
}

TEST(ProcessWatchOfChild, ExitCodesAndSignalsAreExact) {
    struct Case {
        const char* script;
        int code;
    } cases[] = {{"exit 0", 0},
                 {"exit 1", 1},
                 {"exit 255", 255},
                 {"kill -TERM $$", 128 + SIGTERM},
                 {"kill -SEGV $$", 128 + SIGSEGV},
                 {"kill -INT $$", 128 + SIGINT}};
    for (const Case& c : cases) {
        Recorded r;
        auto watch = WatchPiped(c.script, r);
        ASSERT_TRUE(watch) << c.script;
        ASSERT_TRUE(Exited(*watch)) << c.script;
        EXPECT_EQ(watch->ExitCode(), c.code) << c.script;
    }
}

TEST(ProcessWatchOfChild, LotsOfOutputArrivesWhole) {
    Recorded r;
    // 4 MB, more than any pipe holds: the child blocks until the watcher reads.
    auto watch = WatchPiped("head -c 4000000 /dev/zero | tr '\\0' x", r);
    ASSERT_TRUE(watch);
    ASSERT_TRUE(Exited(*watch));
    ASSERT_TRUE(test::WaitUntil([&] { return r.exited.load(); }));
    std::lock_guard lock(r.mutex);
    EXPECT_EQ(r.output.size(), 4000000u);
    EXPECT_EQ(r.output.find_first_not_of('x'), std::string::npos);
}

TEST(ProcessWatchOfChild, DroppedWatchStillReapsAndDrainsItsChild) {
    ChildProcess child;
    // Writes more than a pipe holds after the watch is gone: it must not block or die of SIGPIPE.
    ASSERT_TRUE(child.Start(Piped("sleep 0.2; head -c 1000000 /dev/zero; exit 0")));
    const int pid = child.Pid();
    auto watch = ProcessWatch::Watch(std::move(child));
    ASSERT_TRUE(watch);
    watch->reset();
    EXPECT_TRUE(ReapedWithin(pid, 20s)) << "the child stayed a zombie or blocked";
}

TEST(ProcessWatchOfChild, NotStartedChildIsRefused) {
    auto watch = ProcessWatch::Watch(ChildProcess());
    ASSERT_FALSE(watch);
    EXPECT_EQ(watch.error().code, EINVAL);
}

} // namespace
} // namespace qz::platform
