#include "platform/NativeThread.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// A gate the test opens: the thread's body does not finish before it.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    void Open() {
        {
            std::lock_guard guard(lock);
            open = true;
        }
        changed.notify_all();
    }
    void Pass() {
        std::unique_lock guard(lock);
        changed.wait_for(guard, std::chrono::seconds(20), [&] { return open; });
    }
};

TEST(NativeThread, IdIsTheThreadsOwnEvenWhenAskedAtOnce) {
    for (int round = 0; round < 200; ++round) {
        std::atomic<std::uint32_t> seen{0};
        std::unique_ptr<NativeThread> thread;
        ASSERT_EQ(test::Unpack(NativeThread::Start([&] { seen = CurrentThreadId(); }, 0), thread),
                  0);
        const std::uint32_t id = thread->Id();
        EXPECT_NE(id, 0u);
        EXPECT_NE(id, CurrentThreadId());
        thread->Join();
        EXPECT_EQ(id, seen.load());
    }
}

TEST(NativeThread, PriorityRaisedBeforeOrAfterTheThreadRunsReachesIt) {
    // Whether the request comes before the thread knows its id or after, the thread runs raised
    // as far as the process may (an unprivileged process keeps nice 0; it never gets worse).
    const int base = getpriority(PRIO_PROCESS, 0);
    for (int round = 0; round < 100; ++round) {
        Gate gate;
        std::atomic<int> nice{100};
        std::unique_ptr<NativeThread> thread;
        ASSERT_EQ(test::Unpack(NativeThread::Start(
                                   [&] {
                                       gate.Pass();
                                       nice = getpriority(PRIO_PROCESS, CurrentThreadId());
                                   },
                                   0),
                               thread),
                  0);
        thread->RaisePriority();
        gate.Open();
        thread->Join();
        if (geteuid() == 0) {
            EXPECT_EQ(nice.load(), -2);
        } else {
            EXPECT_LE(nice.load(), base);
        }
    }
}

} // namespace
} // namespace qz::platform
