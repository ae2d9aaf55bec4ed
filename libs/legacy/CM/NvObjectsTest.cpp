#include "NvObjects.h"

#include "CmTestSupport.h"
#include "DiagHooks.h"
#include "Exceptions.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"
#include "platform/SharedSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

namespace qz {
namespace {

using test::MessageOf;

using namespace std::chrono_literals;

// Collects what the units write to the diagnostic log.
struct LogCapture {
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static void Add(std::string text) {
        std::lock_guard lock(Lock());
        Lines().push_back(std::move(text));
    }
    static int Count(const std::string& text) {
        std::lock_guard lock(Lock());
        int n = 0;
        for (const auto& line : Lines()) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    static void Install() {
        {
            std::lock_guard lock(Lock());
            Lines().clear();
        }
        diag::LogWaitWarning = [](std::string_view text) { Add(std::string(text)); };
        diag::LogSection = [](std::string_view header, std::string_view text) {
            Add("[" + std::string(header) + "]" + std::string(text));
        };
        diag::LogText = [](std::string_view text) { Add(std::string(text)); };
        diag::CallTrace = [] { return std::string("<trace>"); };
    }
};

class NvObjects : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetObjectDirectory(dir_.path());
        platform::SetObjectPrefix(test::UniqueName("nv"));
        LogCapture::Install();
    }
    void TearDown() override {
        SetWaitWarningSlice(0);
        SetSpinLockWarningPeriod(0);
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }

    test::TempDir dir_;
};

TEST_F(NvObjects, WaitResultsAndTheirErrors) {
    EXPECT_EQ("No objects to wait for specified.",
              MessageOf([] { WaitForObjects({}, false, nullptr, 0, 0); }));
    TWinEvent event(nullptr, "", true, false);
    EXPECT_EQ("Wait operation timed out after 10ms",
              MessageOf([&] { WaitForObject(event.Handle(), 10, 0); }));
    EXPECT_FALSE(WaitForObject(event.Handle(), 10, wfTimeoutResult));
    EXPECT_EQ(-1, WaitForObjects({event.Handle()}, false, nullptr, wfTimeoutResult, 0));
    event.SetEvent();
    TWinEvent other(nullptr, "", false, true);
    EXPECT_EQ(0, WaitForObjects({event.Handle(), other.Handle()}, false, nullptr, 0, INFINITE));
    EXPECT_EQ(0, WaitForObjects({event.Handle(), other.Handle()}, true, nullptr, 0, 0));
    EXPECT_EQ(-1, WaitForObjects({event.Handle(), other.Handle()}, true, nullptr, 4, 0));
    EXPECT_EQ("Wait operation failed: Invalid argument (22)", MessageOf([] {
                  TWinMutex a(nullptr, ""), b(nullptr, "");
                  WaitForObjects({a.Handle(), b.Handle()}, false, nullptr, 0, 0);
              }));
}

TEST_F(NvObjects, InfiniteWaitWarnsEverySliceAndOnceWhenItEnds) {
    SetWaitWarningSlice(30);
    TWinEvent event(nullptr, "", false, false);
    std::thread setter([&] {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (LogCapture::Count("possible deadlock") < 2 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        event.SetEvent();
    });
    EXPECT_TRUE(WaitForObject(event.Handle(), INFINITE, wfDeadlockWarning));
    setter.join();
    EXPECT_GE(LogCapture::Count("Wait State Warning (possible deadlock)"), 2);
    EXPECT_EQ(1, LogCapture::Count("Wait State Ended (deadlock condition avoided)"));

    // Without the flag, or with a finite timeout, nothing is written.
    LogCapture::Install();
    std::thread again([&] {
        std::this_thread::sleep_for(80ms);
        event.SetEvent();
    });
    EXPECT_TRUE(WaitForObject(event.Handle(), 5000, wfDeadlockWarning));
    again.join();
    EXPECT_EQ(0, LogCapture::Count("Wait State"));
}

TEST_F(NvObjects, SetFirstThenWait) {
    TWinEvent request(nullptr, "", false, false);
    TWinEvent reply(nullptr, "", false, false);
    std::thread peer([&] {
        if (request.WaitFor(5000)) {
            reply.SetEvent();
        }
    });
    EXPECT_TRUE(WaitForObject(reply.Handle(), 5000, 0, request.Handle()));
    peer.join();
}

TEST_F(NvObjects, EventsByName) {
    TWinEvent first(NullDaclSecurityAttributes(), MakeGlobalName("Ev"), true, false);
    EXPECT_FALSE(first.AlreadyExisted());
    TWinEvent second(nullptr, "Global\\Ev", false, false);
    EXPECT_TRUE(second.AlreadyExisted());
    TWinEvent opened("Global\\Ev", false);
    EXPECT_FALSE(opened.WaitFor(0));
    second.SetEvent();
    EXPECT_TRUE(first.WaitFor(0)); // manual-reset: stays set for everyone
    EXPECT_TRUE(opened.WaitFor(0));
    first.ResetEvent();
    EXPECT_FALSE(opened.WaitFor(10));

    std::string file;
    test::Unpack(platform::ObjectFileName("Global\\Ev"), file);
    auto perms = std::filesystem::status(dir_ / file).permissions();
    EXPECT_EQ(std::filesystem::perms(0666), perms & std::filesystem::perms::all);

    std::string message = MessageOf([] { TWinEvent missing("Global\\Missing", false); });
    EXPECT_EQ(0u, message.find("Failed to open event 'Global\\Missing': ")) << message;
    TWinMutex mutex(nullptr, "Global\\Mx");
    message = MessageOf([] { TWinEvent wrong(nullptr, "Global\\Mx", false, false); });
    EXPECT_EQ(0u, message.find("Failed to create event object: 'Global\\Mx': ")) << message;
}

TEST_F(NvObjects, KilledMutexOwnerIsReportedAbandoned) {
    TWinMutex mutex(NullDaclSecurityAttributes(), "Global\\Owner");
    TWinEvent held(nullptr, "Global\\Held", false, false);
    EXPECT_EQ(TWinMutex::TState::Free, TWinMutex::Query("Global\\Owner"));
    EXPECT_EQ(TWinMutex::TState::NotFound, TWinMutex::Query("Global\\None"));
    int child = test::ForkChild([] {
        TWinMutex own(nullptr, "Global\\Owner");
        TWinEvent ready("Global\\Held", false);
        own.Acquire(INFINITE, 0);
        ready.SetEvent();
        std::this_thread::sleep_for(60s);
        return 0;
    });
    ASSERT_TRUE(held.WaitFor(10000));
    EXPECT_EQ(TWinMutex::TState::Owned, TWinMutex::Query("Global\\Owner"));
    EXPECT_FALSE(mutex.Acquire(10, wfTimeoutResult));
    test::KillChild(child);
    EXPECT_EQ(TWinMutex::TState::Abandoned, TWinMutex::Query("Global\\Owner"));
    EXPECT_TRUE(mutex.Acquire(5000, wfAbandonedWarning));
    EXPECT_EQ(1, LogCapture::Count("Wait State Warning (wait abandoned)"));
    EXPECT_EQ(0, LogCapture::Count("Abandoned object index"));
    EXPECT_TRUE(mutex.Owned());
    EXPECT_EQ(TWinMutex::TState::OwnedByCaller, TWinMutex::Query("Global\\Owner"));
    mutex.Release();
    EXPECT_FALSE(mutex.Owned());
    EXPECT_EQ(0u, MessageOf([&] { mutex.Release(); }).find("Failed to release mutex object"));
}

TEST_F(NvObjects, FastMutexGuards) {
    TFastMutex lock;
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                std::lock_guard guard(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(40000, counter);
}

TEST_F(NvObjects, ThreadUids) {
    ThreadUid mine = CurrentThreadUid();
    EXPECT_NE(0u, mine);
    EXPECT_EQ(mine, CurrentThreadUid());
    EXPECT_FALSE(IsThreadUidTerminated(mine));
    ThreadUid other = 0;
    std::thread([&] { other = CurrentThreadUid(); }).join();
    EXPECT_NE(mine, other);
    EXPECT_TRUE(IsThreadUidTerminated(other));
    EXPECT_TRUE(IsThreadUidTerminated(0x7FFFFF00)); // its mutex never existed
}

TEST_F(NvObjects, SpinLockLevelsAndErrors) {
    SpinLockRecord record{0, 0};
    EXPECT_EQ(kSpinLocked, SpinLock(record, INFINITE, slAbandonWarning));
    EXPECT_EQ(CurrentThreadUid(), record.owner);
    EXPECT_EQ(kSpinLocked, SpinLock(record, INFINITE, slAbandonWarning));
    EXPECT_EQ(2u, record.level);
    SpinUnlock(record);
    EXPECT_EQ(CurrentThreadUid(), record.owner);
    SpinUnlock(record);
    EXPECT_EQ(0u, record.owner);
    EXPECT_EQ(0u, record.level);
    EXPECT_EQ("Spinlock: Invalid lock level (-1) while unlocking.", MessageOf([&] {
                  record.owner = CurrentThreadUid();
                  SpinUnlock(record);
              }));
    record = {0, 0};

    // Held by another live thread: times out, and a stray unlock leaves the holder's level.
    std::atomic<int> stage{0};
    ThreadUid holderUid = 0;
    std::thread holder([&] {
        holderUid = CurrentThreadUid();
        SpinLock(record, INFINITE, 0);
        stage = 1;
        while (stage != 2) {
            std::this_thread::sleep_for(1ms);
        }
        SpinUnlock(record);
    });
    while (stage != 1) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(kSpinNotTaken, SpinTryLock(record, slCheckOwner));
    EXPECT_EQ(kSpinTimedOut, SpinLock(record, 30, slSleepAndCheck));
    EXPECT_EQ(kSpinTimedOut, SpinLock(record, 30, 0));
    EXPECT_EQ(Format("Spinlock: Failed to unlock, not owned by current thread (current thread is "
                     "%d, locking thread is %d, lock level is 1)",
                     CurrentThreadUid(), holderUid),
              MessageOf([&] { SpinUnlock(record); }));
    EXPECT_EQ(1u, record.level);
    stage = 2;
    holder.join();
    EXPECT_EQ(0u, record.owner);

    record = {kSpinLockCorrupt, 0};
    EXPECT_EQ("Spinlock: Failed to lock, resource marked as corrupt.",
              MessageOf([&] { SpinLock(record, 10, 0); }));
    record = {0, 5};
    EXPECT_EQ("Spinlock: Invalid lock level (5) while locking.",
              MessageOf([&] { SpinTryLock(record, 0); }));
    record = {CurrentThreadUid(), 0};
    EXPECT_EQ("Spinlock: Invalid lock level (0) while re-locking.",
              MessageOf([&] { SpinTryLock(record, 0); }));
    EXPECT_EQ(0, LogCapture::Count("Spinlock -"));
}

TEST_F(NvObjects, SpinLockWarnsOfAPossibleDeadlock) {
    SetSpinLockWarningPeriod(20);
    diag::BuildNumber = [] { return std::string("77"); };
    SpinLockRecord record{0, 0};
    std::atomic<int> stage{0};
    ThreadUid holderUid = 0;
    std::thread holder([&] {
        holderUid = CurrentThreadUid();
        SpinLock(record, INFINITE, 0);
        stage = 1;
        while (stage != 2) {
            std::this_thread::sleep_for(1ms);
        }
        SpinUnlock(record);
    });
    ASSERT_TRUE(test::WaitUntil([&] { return stage == 1; }, 20s));
    // A finite timeout warns only with flag 8.
    EXPECT_EQ(kSpinTimedOut, SpinLock(record, 60, slSleepAndCheck));
    EXPECT_EQ(0, LogCapture::Count("[Spinlock"));
    EXPECT_EQ(kSpinTimedOut, SpinLock(record, 60, slSleepAndCheck | slDeadlockWarning));
    EXPECT_GE(LogCapture::Count("[Spinlock - Possible Deadlock]\r\nPID="), 1);
    std::string expected =
        Format("   Build=77\r\n\r\nLock Level:1\r\nLocking Thread ID:%u\r\nAttempted lock thread "
               "ID:%u\r\nAttempted lock call trace:\r\n<trace>",
               holderUid, CurrentThreadUid());
    EXPECT_GE(LogCapture::Count(expected), 1);
    EXPECT_EQ(1, LogCapture::Count("[Spinlock - Deadlock Avoided]Timed out"));
    // An infinite wait warns and then reports how it ended.
    LogCapture::Install();
    std::thread releaser([&] {
        // Release only once the waiter has warned, however late it got to wait.
        test::WaitUntil([] { return LogCapture::Count("[Spinlock - Possible Deadlock]") >= 1; },
                        20s);
        stage = 2;
    });
    EXPECT_EQ(kSpinLocked, SpinLock(record, INFINITE, 0));
    releaser.join();
    holder.join();
    SpinUnlock(record);
    EXPECT_GE(LogCapture::Count("[Spinlock - Possible Deadlock]"), 1);
    EXPECT_EQ(1, LogCapture::Count("[Spinlock - Deadlock Avoided]Locked"));
    diag::BuildNumber = [] { return std::string(); };
}

TEST_F(NvObjects, KilledSpinLockHolderIsTakenOver) {
    std::unique_ptr<platform::SharedSection> section;
    ASSERT_EQ(0, test::Unpack(platform::SharedSection::Open("Global\\Spin", sizeof(SpinLockRecord),
                                                            true, platform::ObjectAccess::Private),
                              section));
    auto* record = static_cast<SpinLockRecord*>(section->Data());
    TWinEvent locked(nullptr, "Global\\Locked", false, false);
    int holder = test::ForkChild([&] {
        SpinLock(*record, INFINITE, slAbandonWarning);
        SpinLock(*record, INFINITE, slAbandonWarning);
        TWinEvent("Global\\Locked", false).SetEvent();
        std::this_thread::sleep_for(60s);
        return 0;
    });
    ASSERT_TRUE(locked.WaitFor(10000));
    ThreadUid dead = record->owner;
    EXPECT_FALSE(IsThreadUidTerminated(dead));
    test::KillChild(holder);
    EXPECT_TRUE(IsThreadUidTerminated(dead));
    // The next locker, in another process under a deadline, takes it over.
    int locker = test::ForkChild([&] {
        LogCapture::Install();
        int result = SpinLock(*record, INFINITE, slAbandonWarning);
        if (result != kSpinTakenOver || record->owner != CurrentThreadUid() || record->level != 1) {
            return 10 + result;
        }
        if (LogCapture::Count("[Abandoned Spinlock Warning]Current lock call trace:\r\n<trace>") !=
            1) {
            return 20;
        }
        SpinUnlock(*record);
        return record->owner == 0 ? 0 : 30;
    });
    EXPECT_EQ(0, test::WaitChild(locker, 10s));
}

TEST_F(NvObjects, StartUpChecks) {
    EXPECT_NO_THROW(CheckKernelObjectSupport());
    InitializeNamedObjects();
    EXPECT_EQ(0, LogCapture::Count("FATAL ERROR"));
}

} // namespace
} // namespace qz
