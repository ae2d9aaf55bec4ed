#include "Threads.h"

#include "DiagHooks.h"
#include "Exceptions.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"
#include "platform/ProcessWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace qz {
namespace {

using namespace std::chrono_literals;

std::mutex g_logLock;
std::string g_log;

class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetObjectDirectory(dir_.path());
        platform::SetObjectPrefix(test::UniqueName("th"));
        g_log.clear();
        diag::LogSection = [](std::string_view header, std::string_view text) {
            std::lock_guard lock(g_logLock);
            g_log += "[" + std::string(header) + "]" + std::string(text) + "\n";
        };
    }
    void TearDown() override {
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }
    static std::string Log() {
        std::lock_guard lock(g_logLock);
        return g_log;
    }
    test::TempDir dir_;
};

// Counts until asked to stop; its members are used by Execute, so it stops in its destructor.
class Counter : public TSafeThread {
public:
    explicit Counter(bool suspended, bool raise = false)
        : TSafeThread(suspended, false), raise_(raise) {}
    ~Counter() override { StopThread(); }
    std::atomic<int> loops{0};
    std::atomic<bool> afterExecute{false};

protected:
    void Execute() override {
        if (raise_) {
            throw Exception("broken worker");
        }
        while (!Terminated()) {
            ++loops;
            std::this_thread::sleep_for(1ms);
        }
        SetReturnValue(42);
    }
    void AfterExecute() override { afterExecute = Finished(); }

private:
    bool raise_;
};

TEST_F(Threads, SafeThreadRunsUntilTerminated) {
    auto thread = CreateThread<Counter>(false);
    while (thread->loops == 0) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(thread->Finished());
    EXPECT_NE(0u, thread->ThreadID());
    thread->Terminate();
    EXPECT_EQ(42u, thread->WaitFor());
    EXPECT_TRUE(thread->Finished());
    EXPECT_TRUE(thread->afterExecute);
    EXPECT_EQ(42u, thread->WaitFor()); // again: at once

    // Destroying a running thread terminates and joins it.
    auto running = CreateThread<Counter>(false);
    while (running->loops == 0) {
        std::this_thread::sleep_for(1ms);
    }
    running.reset();
}

TEST_F(Threads, SuspendedThreadWaitsForResume) {
    auto thread = CreateThread<Counter>(true);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(0, thread->loops);
    EXPECT_TRUE(thread->Suspended());
    thread->Resume();
    EXPECT_FALSE(thread->Suspended());
    while (thread->loops == 0) {
        std::this_thread::sleep_for(1ms);
    }
    // A thread that never ran goes away cleanly.
    auto never = CreateThread<Counter>(true);
    never.reset();
}

TEST_F(Threads, EscapingExceptionIsLoggedAndSetsTheErrorCode) {
    auto thread = CreateThread<Counter>(false, true);
    EXPECT_EQ(kThreadErrorExitCode, thread->WaitFor());
    EXPECT_TRUE(thread->Finished());
    EXPECT_EQ("[Thread Error]broken worker\n", Log());
}

TEST_F(Threads, MethodThreadCallsWithSenderAndSwallowsErrors) {
    std::unique_ptr<TMethodThread> thread;
    std::atomic<TMethodThread*> sender{nullptr};
    StartMethodThread(thread, false, [&](TMethodThread* self) {
        sender = self;
        throw std::runtime_error("ignored");
    });
    EXPECT_EQ(0u, thread->WaitFor());
    EXPECT_EQ(thread.get(), sender.load());
    EXPECT_EQ("", Log());
}

class Waiter : public TWaitObjectThread {
public:
    Waiter(const std::vector<THandle>& handles, std::uint8_t flags)
        : TWaitObjectThread(handles, flags) {}
    ~Waiter() override { StopWaiting(); }

    std::mutex lock;
    std::vector<int> seen;
    std::atomic<int> count{0};

protected:
    void Signaled(int index) override {
        std::lock_guard guard(lock);
        seen.push_back(index);
        ++count;
    }
};

TEST_F(Threads, WaitObjectThreadReportsSignalsUntilStopped) {
    TWinEvent a(nullptr, "Global\\A", false, false);
    TWinEvent b(nullptr, "", false, false);
    auto waiter = CreateThread<Waiter>(std::vector<THandle>{a.Handle(), b.Handle()}, wfKeepWaiting);
    b.SetEvent();
    while (waiter->count < 1) {
        std::this_thread::sleep_for(1ms);
    }
    TWinEvent("Global\\A", false).SetEvent();
    while (waiter->count < 2) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(waiter->Finished());
    waiter.reset(); // the stop event ends it
    // Without wfKeepWaiting it ends after the first signal; a process exit counts as one.
    int child = test::ForkChild([] { return 3; });
    auto opened = platform::ProcessWatch::Open(child);
    ASSERT_TRUE(opened);
    std::unique_ptr<platform::ProcessWatch> process = std::move(*opened);
    auto once = CreateThread<Waiter>(std::vector<THandle>{a.Handle(), process.get()}, 0);
    once->WaitFor();
    EXPECT_EQ(std::vector<int>{1}, once->seen);
    EXPECT_EQ(3, process->ExitCode());
}

TEST_F(Threads, TerminateThreadNowEndsABlockedThread) {
    TWinEvent never(nullptr, "", false, false);
    std::unique_ptr<TMethodThread> thread;
    StartMethodThread(thread, false,
                      [&](TMethodThread*) { WaitForObject(never.Handle(), INFINITE, 0); });
    std::this_thread::sleep_for(20ms);
    thread->TerminateThreadNow(5);
    EXPECT_TRUE(thread->Finished());
    EXPECT_EQ(5u, thread->WaitFor());
}

TEST_F(Threads, ExitProcessNowUsesTheExitCode) {
    int child = test::ForkChild([]() -> int {
        SetProcessExitCode(17);
        ExitProcessNow();
    });
    EXPECT_EQ(17, test::WaitChild(child, 10s));
}

} // namespace
} // namespace qz
