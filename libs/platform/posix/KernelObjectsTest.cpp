#include "ObjectFile.h"
#include "TestSupport.h"
#include "UniqueFd.h"
#include "platform/Console.h"
#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/NamedObjects.h"
#include "platform/NativeThread.h"
#include "platform/ProcessWatch.h"
#include "platform/SharedSection.h"
#include "platform/ThreadToken.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

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
using test::ForkChild;
using test::KillChild;
using test::WaitChild;

class KernelObjects : public ::testing::Test {
protected:
    void SetUp() override {
        SetObjectDirectory(dir_.path());
        SetObjectPrefix(test::UniqueName("ko"));
    }
    void TearDown() override {
        SetObjectDirectory("");
        SetObjectPrefix("");
    }

    // Object files of this test left in the folder (the thread-token objects excepted).
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            std::string name = entry.path().filename();
            if (name.find("Tamrel_Session") == std::string::npos) {
                names.push_back(name);
            }
        }
        return names;
    }

    std::unique_ptr<Event> MakeEvent(const std::string& name, bool manual, bool set = false) {
        std::unique_ptr<Event> event;
        EXPECT_EQ(0, test::Unpack(Event::Create(name, manual, set, ObjectAccess::Private), event));
        return event;
    }

    static WaitResult Wait1(Waitable& object, std::uint32_t timeout) {
        Waitable* objects[] = {&object};
        return WaitAny(objects, 1, false, timeout);
    }

    test::TempDir dir_;
};

TEST_F(KernelObjects, NamesMapNamespacesToFiles) {
    SetObjectPrefix("p");
    std::string file;
    ASSERT_EQ(0, test::Unpack(ObjectFileName("Global\\Tamrel_{AB-12}_X"), file));
    EXPECT_EQ("p.g.Tamrel_{AB-12}_X", file);
    ASSERT_EQ(0, test::Unpack(ObjectFileName("\\BaseNamedObjects\\Global\\A"), file));
    EXPECT_EQ("p.g.A", file);
    ASSERT_EQ(0, test::Unpack(ObjectFileName("Session\\7\\A b/c"), file));
    EXPECT_EQ("p.s7.A%20b%2Fc", file);
    ASSERT_EQ(0, test::Unpack(ObjectFileName("\\Sessions\\7\\BaseNamedObjects\\A b/c"), file));
    EXPECT_EQ("p.s7.A%20b%2Fc", file);
    std::string local = CurrentSessionNumber() < 0
                            ? std::string("p.g.A")
                            : "p.s" + std::to_string(CurrentSessionNumber()) + ".A";
    ASSERT_EQ(0, test::Unpack(ObjectFileName("Local\\A"), file));
    EXPECT_EQ(local, file);
    ASSERT_EQ(0, test::Unpack(ObjectFileName("A"), file));
    EXPECT_EQ(local, file);
    EXPECT_EQ(EINVAL, test::Unpack(ObjectFileName(""), file));
    EXPECT_EQ(EINVAL, test::Unpack(ObjectFileName("Global\\"), file));
    EXPECT_EQ(EINVAL, test::Unpack(ObjectFileName("Session\\x\\A"), file));
    EXPECT_EQ(ENAMETOOLONG, test::Unpack(ObjectFileName("Global\\" + std::string(300, 'a')), file));
    SetObjectPrefix("a.b");
    ASSERT_EQ(0, test::Unpack(ObjectFileName("Global\\A"), file));
    EXPECT_EQ("a%2Eb.g.A", file); // the prefix can never fake a namespace
}

TEST_F(KernelObjects, ProbeFindsFutexWaitv) {
    EXPECT_EQ("", ProbeKernelObjectSupport());
}

TEST_F(KernelObjects, SectionsAreSharedAndKeepTheirSize) {
    std::string name = "Global\\Sec";
    std::unique_ptr<SharedSection> a, b, tooSmall;
    ASSERT_EQ(ENOENT,
              test::Unpack(SharedSection::Open(name, 100, false, ObjectAccess::Private), a));
    ASSERT_EQ(0, test::Unpack(SharedSection::Open(name, 100, true, ObjectAccess::Private), a));
    EXPECT_FALSE(a->AlreadyExisted());
    ASSERT_EQ(0, test::Unpack(SharedSection::Open(name, 50, true, ObjectAccess::Private), b));
    EXPECT_TRUE(b->AlreadyExisted());
    EXPECT_EQ(100u, b->Size());
    static_cast<char*>(a->Data())[99] = 'x';
    EXPECT_EQ('x', static_cast<char*>(b->Data())[99]);
    EXPECT_EQ(0, static_cast<char*>(b->Data())[0]);
    EXPECT_EQ(EPROTOTYPE,
              test::Unpack(SharedSection::Open(name, 200, true, ObjectAccess::Private), tooSmall));
}

TEST_F(KernelObjects, AccessModeOfPrivateAndSharedObjects) {
    std::unique_ptr<SharedSection> mine, shared;
    ASSERT_EQ(
        0, test::Unpack(SharedSection::Open("Global\\Mine", 8, true, ObjectAccess::Private), mine));
    ASSERT_EQ(
        0, test::Unpack(SharedSection::Open("Global\\All", 8, true, ObjectAccess::Shared), shared));
    std::string mineFile, sharedFile;
    test::Unpack(ObjectFileName("Global\\Mine"), mineFile);
    test::Unpack(ObjectFileName("Global\\All"), sharedFile);
    struct stat st {};
    ASSERT_EQ(0, stat((dir_ / mineFile).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat((dir_ / sharedFile).c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
}

TEST_F(KernelObjects, WrongKindIsRefused) {
    std::unique_ptr<Mutex> mutex;
    ASSERT_EQ(0, test::Unpack(Mutex::Create("Global\\M", ObjectAccess::Private), mutex));
    std::unique_ptr<Event> event;
    EXPECT_EQ(EPROTOTYPE,
              test::Unpack(Event::Create("Global\\M", false, false, ObjectAccess::Private), event));
    EXPECT_EQ(EPROTOTYPE, test::Unpack(Event::Open("Global\\M"), event));
    EXPECT_EQ(ENOENT, test::Unpack(Event::Open("Global\\Nothing"), event));
}

TEST_F(KernelObjects, LastCloserRemovesTheNameAndJanitorRemovesCrashLeftovers) {
    {
        std::unique_ptr<Event> a = MakeEvent("Global\\E", false);
        std::unique_ptr<Event> b;
        ASSERT_EQ(0, test::Unpack(Event::Open("Global\\E"), b));
        a.reset();
        EXPECT_EQ(1u, Leftovers().size()); // b still holds it
        EXPECT_EQ(0, SweepObjectLeftovers());
    }
    EXPECT_TRUE(Leftovers().empty());

    // A crashed holder leaves its file; the janitor removes it once nobody holds it.
    std::unique_ptr<Event> ready = MakeEvent("Global\\Ready", true);
    int child = ForkChild([] {
        std::unique_ptr<Event> held, ready;
        test::Unpack(Event::Create("Global\\Crash", false, false, ObjectAccess::Private), held);
        test::Unpack(Event::Open("Global\\Ready"), ready);
        ready->Set();
        pause();
        return 0;
    });
    ASSERT_EQ(WaitStatus::Signaled, Wait1(*ready, 10000).status);
    EXPECT_EQ(0, SweepObjectLeftovers()); // the child is alive and holds it
    KillChild(child);
    ready.reset();
    EXPECT_EQ(1u, Leftovers().size());
    EXPECT_EQ(1, SweepObjectLeftovers());
    EXPECT_TRUE(Leftovers().empty());

    // A temporary file of a creator that died before publishing goes after a minute.
    std::string stale = dir_ / (ObjectPrefix() + ".tmp.1.2.3");
    test::WriteFile(stale, "x");
    EXPECT_EQ(0, SweepObjectLeftovers());
    timespec old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, stale.c_str(), old, 0));
    EXPECT_EQ(1, SweepObjectLeftovers());
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(KernelObjects, AHeldMutexClosedLastGivesUpItsNameAndStaysAbandonedForTheOtherHandles) {
    // Closed alone while held: the mapping stays for the kernel's robust list, the name goes.
    std::unique_ptr<Mutex> alone;
    ASSERT_EQ(0, test::Unpack(Mutex::Create("Global\\Alone", ObjectAccess::Private, true), alone));
    alone.reset();
    EXPECT_TRUE(Leftovers().empty());

    // Closed while another handle is open: the name stays for that handle, which sees the mutex
    // abandoned once the owner thread has ended and removes the name when it closes.
    std::unique_ptr<Mutex> other;
    std::thread([&] {
        std::unique_ptr<Mutex> owner;
        ASSERT_EQ(
            0, test::Unpack(Mutex::Create("Global\\Shared", ObjectAccess::Private, true), owner));
        ASSERT_EQ(0, test::Unpack(Mutex::Open("Global\\Shared"), other));
        owner.reset();
    }).join();
    EXPECT_EQ(1u, Leftovers().size());
    EXPECT_EQ(MutexState::Abandoned, other->State());
    EXPECT_EQ(WaitStatus::Abandoned, Wait1(*other, 1000).status);
    EXPECT_EQ(0, test::FailureCode(other->Release()));
    other.reset();
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(KernelObjects, AnExitWithoutDestructorsGivesUpTheNamesNobodyElseHolds) {
    std::unique_ptr<Event> parentsOwn = MakeEvent("Global\\ParentsOwn", true);
    std::unique_ptr<Event> done = MakeEvent("Global\\Done", true);
    int child = ForkChild([]() -> int {
        // Inherited handles (ParentsOwn, Done) share the parent's lock: they stay untouched.
        std::unique_ptr<Event> alone, shared, doneHere;
        std::unique_ptr<Mutex> held;
        test::Unpack(Event::Create("Global\\Alone", true, false, ObjectAccess::Private), alone);
        test::Unpack(Event::Create("Global\\Shared", true, false, ObjectAccess::Private), shared);
        test::Unpack(Mutex::Create("Global\\Held", ObjectAccess::Private, true), held);
        test::Unpack(Event::Open("Global\\Done"), doneHere);
        doneHere->Set();
        // Wait until the parent has opened Shared, then end without any destructor.
        std::unique_ptr<Event> go;
        while (test::Unpack(Event::Open("Global\\Go"), go) != 0) {
            std::this_thread::sleep_for(5ms);
        }
        Waitable* objects[] = {go.get()};
        WaitAny(objects, 1, false, 10000);
        ExitProcessNow(0);
    });
    ASSERT_EQ(WaitStatus::Signaled, Wait1(*done, 10000).status);
    std::unique_ptr<Event> shared;
    ASSERT_EQ(0, test::Unpack(Event::Open("Global\\Shared"), shared));
    std::unique_ptr<Event> go = MakeEvent("Global\\Go", true, true);
    ASSERT_EQ(0, WaitChild(child, 10s));
    go.reset();
    std::vector<std::string> left = Leftovers();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{ObjectPrefix() + ".g.Done",
                                              ObjectPrefix() + ".g.ParentsOwn",
                                              ObjectPrefix() + ".g.Shared"}));
    shared.reset();
    parentsOwn.reset();
    done.reset();
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(KernelObjects, CreationRaceHasExactlyOneCreator) {
    constexpr int kProcesses = 6;
    constexpr int kRounds = 40;
    std::unique_ptr<SharedSection> counts;
    ASSERT_EQ(0, test::Unpack(SharedSection::Open("Global\\Counts", 4 * (kRounds + 1), true,
                                                  ObjectAccess::Private),
                              counts));
    auto* words = static_cast<std::uint32_t*>(counts->Data());
    std::unique_ptr<Event> go = MakeEvent("Global\\Go", true);
    std::vector<int> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(ForkChild([&] {
            std::unique_ptr<Event> start;
            std::vector<std::unique_ptr<Event>> events;
            test::Unpack(Event::Open("Global\\Go"), start);
            Waitable* objects[] = {start.get()};
            WaitAny(objects, 1, false, 10000);
            for (int r = 0; r < kRounds; ++r) {
                std::unique_ptr<Event> event;
                if (test::Unpack(Event::Create("Global\\Race" + std::to_string(r), true, true,
                                               ObjectAccess::Private),
                                 event) != 0) {
                    return 2;
                }
                if (!event->IsSet() || !event->IsManualReset()) {
                    return 3; // an opener saw a half-built object
                }
                if (!event->AlreadyExisted()) {
                    std::atomic_ref(words[r]).fetch_add(1);
                }
                events.push_back(std::move(event)); // held until all rounds are done
            }
            std::atomic_ref(words[kRounds]).fetch_add(1);
            bool all = test::WaitUntil(
                [&] { return std::atomic_ref(words[kRounds]).load() >= kProcesses; }, 30s);
            return all ? 0 : 4;
        }));
    }
    go->Set();
    for (int child : children) {
        EXPECT_EQ(0, WaitChild(child, 30s));
    }
    for (int r = 0; r < kRounds; ++r) {
        EXPECT_EQ(1u, words[r]) << "round " << r;
    }
    counts.reset();
    go.reset();
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(KernelObjects, AutoResetEventWakesOneWaiterPerSet) {
    std::unique_ptr<Event> event = MakeEvent("Global\\Auto", false);
    std::unique_ptr<SharedSection> woken;
    ASSERT_EQ(0, test::Unpack(SharedSection::Open("Global\\Woken", 8, true, ObjectAccess::Private),
                              woken));
    auto* count = static_cast<std::uint32_t*>(woken->Data());
    std::vector<int> children;
    for (int i = 0; i < 2; ++i) {
        children.push_back(ForkChild([&] {
            std::unique_ptr<Event> own;
            test::Unpack(Event::Open("Global\\Auto"), own);
            std::atomic_ref(count[1]).fetch_add(1);
            if (Wait1(*own, 20000).status != WaitStatus::Signaled) {
                return 1;
            }
            std::atomic_ref(count[0]).fetch_add(1);
            return 0;
        }));
    }
    ASSERT_TRUE(test::WaitUntil([&] { return std::atomic_ref(count[1]).load() >= 2; }, 20s));
    std::this_thread::sleep_for(50ms); // let both go to sleep
    event->Set();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::atomic_ref(count[0]).load() < 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(1u, std::atomic_ref(count[0]).load());
    EXPECT_FALSE(event->IsSet()); // taken by the one waiter
    event->Set();
    for (int child : children) {
        EXPECT_EQ(0, WaitChild(child, 10s));
    }
    EXPECT_EQ(2u, count[0]);
}

TEST_F(KernelObjects, ManualResetEventWakesAllWaiters) {
    std::unique_ptr<Event> event = MakeEvent("Global\\Manual", true);
    std::vector<int> children;
    for (int i = 0; i < 3; ++i) {
        children.push_back(ForkChild([] {
            std::unique_ptr<Event> own;
            test::Unpack(Event::Open("Global\\Manual"), own);
            return Wait1(*own, 20000).status == WaitStatus::Signaled ? 0 : 1;
        }));
    }
    std::this_thread::sleep_for(50ms);
    event->Set();
    for (int child : children) {
        EXPECT_EQ(0, WaitChild(child, 10s));
    }
    EXPECT_TRUE(event->IsSet());
    event->Reset();
    EXPECT_EQ(WaitStatus::TimedOut, Wait1(*event, 0).status);
}

TEST_F(KernelObjects, WaitAnyReturnsTheLowestSignalledIndexAndTimesOut) {
    std::unique_ptr<Event> shared = MakeEvent("Global\\A", false);
    std::unique_ptr<Event> local = MakeEvent("", true);
    std::unique_ptr<Event> third = MakeEvent("Global\\C", false);
    Waitable* objects[] = {shared.get(), local.get(), third.get()};
    third->Set();
    local->Set();
    EXPECT_EQ(1, WaitAny(objects, 3, false, 0).index);
    local->Reset();
    EXPECT_EQ(2, WaitAny(objects, 3, false, 0).index);
    EXPECT_FALSE(third->IsSet()); // auto-reset: taken
    shared->Set();
    third->Set();
    EXPECT_EQ(0, WaitAny(objects, 3, false, 0).index);
    EXPECT_EQ(2, WaitAny(objects, 3, false, 0).index);

    auto start = std::chrono::steady_clock::now();
    WaitResult result = WaitAny(objects, 3, false, 60);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(WaitStatus::TimedOut, result.status);
    EXPECT_GE(took, 59ms);
    EXPECT_LT(took, 2s);

    // Woken from another process while asleep on a private and a shared word.
    int child = ForkChild([] {
        std::this_thread::sleep_for(30ms);
        std::unique_ptr<Event> c;
        test::Unpack(Event::Open("Global\\C"), c);
        c->Set();
        return 0;
    });
    result = WaitAny(objects, 3, false, 10000);
    EXPECT_EQ(WaitStatus::Signaled, result.status);
    EXPECT_EQ(2, result.index);
    EXPECT_EQ(0, WaitChild(child, 10s));

    EXPECT_EQ(WaitStatus::Failed, WaitAny(objects, 0, false, 0).status);
}

TEST_F(KernelObjects, WaitAllTakesEverythingAtOnce) {
    std::unique_ptr<Event> a = MakeEvent("", false);
    std::unique_ptr<Event> b = MakeEvent("", false);
    Waitable* objects[] = {a.get(), b.get()};
    a->Set();
    EXPECT_EQ(WaitStatus::TimedOut, WaitAny(objects, 2, true, 20).status);
    EXPECT_TRUE(a->IsSet()); // not consumed by the failed wait-all
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        b->Set();
    });
    EXPECT_EQ(WaitStatus::Signaled, WaitAny(objects, 2, true, 10000).status);
    setter.join();
    EXPECT_FALSE(a->IsSet());
    EXPECT_FALSE(b->IsSet());
}

TEST_F(KernelObjects, ProcessWatchJoinsTheWaitAndReadsTheExitCode) {
    std::unique_ptr<Event> stop = MakeEvent("", false);
    int child = ForkChild([] {
        std::this_thread::sleep_for(30ms);
        return 7;
    });
    std::unique_ptr<ProcessWatch> watch;
    ASSERT_EQ(0, OpenWatch(child, watch));
    Waitable* objects[] = {stop.get(), watch.get()};
    WaitResult result = WaitAny(objects, 2, false, 10000);
    EXPECT_EQ(WaitStatus::Signaled, result.status);
    EXPECT_EQ(1, result.index);
    EXPECT_EQ(7, watch->ExitCode());
    EXPECT_EQ(1, WaitAny(objects, 2, false, 0).index); // stays signalled

    int killed = ForkChild([] {
        pause();
        return 0;
    });
    std::unique_ptr<ProcessWatch> second;
    ASSERT_EQ(0, OpenWatch(killed, second));
    EXPECT_EQ(WaitStatus::TimedOut, Wait1(*second, 20).status);
    kill(killed, SIGKILL);
    EXPECT_EQ(WaitStatus::Signaled, Wait1(*second, 10000).status);
    EXPECT_EQ(128 + SIGKILL, second->ExitCode());
    std::unique_ptr<ProcessWatch> gone;
    EXPECT_EQ(ESRCH, OpenWatch(killed, gone));
}

TEST_F(KernelObjects, SignalAndWaitPingPongBetweenProcesses) {
    std::unique_ptr<Event> ping = MakeEvent("Global\\Ping", false);
    std::unique_ptr<Event> pong = MakeEvent("Global\\Pong", false);
    constexpr int kRounds = 5000;
    int child = ForkChild([] {
        std::unique_ptr<Event> ping, pong;
        test::Unpack(Event::Open("Global\\Ping"), ping);
        test::Unpack(Event::Open("Global\\Pong"), pong);
        if (Wait1(*ping, 10000).status != WaitStatus::Signaled) {
            return 1;
        }
        for (int i = 1; i < kRounds; ++i) {
            if (SignalAndWait(*pong, *ping, 10000).status != WaitStatus::Signaled) {
                return 2;
            }
        }
        pong->Set();
        return 0;
    });
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(WaitStatus::Signaled, SignalAndWait(*ping, *pong, 10000).status) << i;
    }
    EXPECT_EQ(0, WaitChild(child, 20s));
}

TEST_F(KernelObjects, KilledMutexHolderIsSeenAbandoned) {
    std::unique_ptr<Mutex> mutex;
    ASSERT_EQ(0, test::Unpack(Mutex::Create("Global\\Owner", ObjectAccess::Private), mutex));
    std::unique_ptr<Event> held = MakeEvent("Global\\Held", false);
    MutexState state{};
    ASSERT_EQ(0, test::Unpack(Mutex::Query("Global\\Owner"), state));
    EXPECT_EQ(MutexState::Free, state);

    int holder = ForkChild([] {
        std::unique_ptr<Mutex> own;
        std::unique_ptr<Event> held;
        test::Unpack(Mutex::Open("Global\\Owner"), own);
        test::Unpack(Event::Open("Global\\Held"), held);
        own->Acquire(kWaitInfinite);
        own->Acquire(kWaitInfinite); // recursion level 2
        held->Set();
        pause();
        return 0;
    });
    ASSERT_EQ(WaitStatus::Signaled, Wait1(*held, 10000).status);
    ASSERT_EQ(0, test::Unpack(Mutex::Query("Global\\Owner"), state));
    EXPECT_EQ(MutexState::Owned, state);
    EXPECT_EQ(WaitStatus::TimedOut, mutex->Acquire(20).status);

    // A waiter blocked in another process sees the abandonment.
    int waiter = ForkChild([] {
        std::unique_ptr<Mutex> own;
        test::Unpack(Mutex::Open("Global\\Owner"), own);
        WaitResult result = own->Acquire(20000);
        if (result.status != WaitStatus::Abandoned) {
            return 1;
        }
        return own->State() == MutexState::OwnedByCaller ? 0 : 2;
    });
    std::this_thread::sleep_for(50ms);
    KillChild(holder);
    EXPECT_EQ(0, WaitChild(waiter, 10s));

    // The waiter ended in turn while holding it: the query sees that without acquiring.
    ASSERT_EQ(0, test::Unpack(Mutex::Query("Global\\Owner"), state));
    EXPECT_EQ(MutexState::Abandoned, state);
    ASSERT_EQ(0, test::Unpack(Mutex::Query("Global\\Owner"), state));
    EXPECT_EQ(MutexState::Abandoned, state);
    EXPECT_EQ(WaitStatus::Abandoned, mutex->Acquire(1000).status);
    EXPECT_EQ(MutexState::OwnedByCaller, mutex->State());
    EXPECT_EQ(0, test::FailureCode(mutex->Release()));
    EXPECT_EQ(MutexState::Free, mutex->State());
    EXPECT_EQ(EPERM, test::FailureCode(mutex->Release()));
    EXPECT_EQ(WaitStatus::Signaled, mutex->Acquire(0).status); // usable again
    EXPECT_EQ(0, test::FailureCode(mutex->Release()));
}

TEST_F(KernelObjects, MutexOfAnEndedThreadIsAbandoned) {
    std::unique_ptr<Mutex> mutex;
    ASSERT_EQ(0, test::Unpack(Mutex::Create("", ObjectAccess::Private), mutex));
    std::thread([&] { mutex->Acquire(kWaitInfinite); }).join();
    EXPECT_EQ(MutexState::Abandoned, mutex->State());
    EXPECT_EQ(WaitStatus::Abandoned, Wait1(*mutex, 1000).status);
    EXPECT_EQ(0, test::FailureCode(mutex->Release()));
}

TEST_F(KernelObjects, ThreadTokensTellLiveFromEnded) {
    Result<std::uint32_t> token = CurrentThreadToken();
    ASSERT_TRUE(token);
    const std::uint32_t mine = *token;
    EXPECT_NE(0u, mine);
    std::uint32_t again = CurrentThreadToken().value_or(0);
    EXPECT_EQ(mine, again);
    Result<bool> mineEnded = IsThreadTokenEnded(mine);
    ASSERT_TRUE(mineEnded);
    bool ended = *mineEnded;
    EXPECT_FALSE(ended);

    std::uint32_t other = 0;
    std::atomic<bool> release{false};
    std::thread worker([&] {
        std::uint32_t uid = CurrentThreadToken().value_or(0);
        std::atomic_ref(other).store(uid == 0 ? 0xFFFFFFFF : uid); // 0xFFFFFFFF: it failed
        test::WaitUntil([&] { return release.load(); }, 30s);
    });
    bool started = test::WaitUntil([&] { return std::atomic_ref(other).load() != 0; }, 20s);
    if (!started || other == 0xFFFFFFFF) {
        release = true;
        worker.join();
        FAIL() << "the worker got no token";
    }
    EXPECT_NE(mine, other);
    ended = IsThreadTokenEnded(other).value_or(false);
    EXPECT_FALSE(ended);
    release = true;
    worker.join();
    ended = IsThreadTokenEnded(other).value_or(false);
    EXPECT_TRUE(ended);
    ended = IsThreadTokenEnded(0x7FFFFFF0).value_or(false); // never handed out
    EXPECT_TRUE(ended);

    // A killed process's thread is seen ended.
    std::unique_ptr<SharedSection> box;
    ASSERT_EQ(
        0, test::Unpack(SharedSection::Open("Global\\Box", 8, true, ObjectAccess::Private), box));
    auto* uid = static_cast<std::uint32_t*>(box->Data());
    int child = ForkChild([&] {
        std::uint32_t own = CurrentThreadToken().value_or(0);
        if (own == mine) {
            return 1; // must not inherit the parent's token
        }
        if (own == 0) {
            return 2;
        }
        std::atomic_ref(*uid).store(own);
        pause();
        return 0;
    });
    // A child that fails early ends instead of publishing its UID: stop waiting then.
    test::WaitUntil([&] { return std::atomic_ref(*uid).load() != 0 || test::ChildEnded(child); },
                    20s);
    if (std::atomic_ref(*uid).load() == 0) {
        FAIL() << "the child published no UID; it ended with " << WaitChild(child, 1s);
    }
    ended = IsThreadTokenEnded(*uid).value_or(false);
    EXPECT_FALSE(ended);
    KillChild(child);
    ended = IsThreadTokenEnded(*uid).value_or(false);
    EXPECT_TRUE(ended);
}

TEST_F(KernelObjects, FullThreadTableReportsTheAllocationFailure) {
    int child = ForkChild([] {
        std::unique_ptr<Event> release;
        test::Unpack(Event::Create("", true, false, ObjectAccess::Private), release);
        std::atomic<int> done{0};
        std::atomic<int> failures{0};
        std::atomic<int> lastFailure{0};
        std::vector<std::unique_ptr<NativeThread>> threads;
        int rc = 0;
        for (int i = 0; i < 4200 && failures == 0; ++i) {
            std::unique_ptr<NativeThread> thread;
            rc = test::Unpack(NativeThread::Start(
                                  [&] {
                                      Result<std::uint32_t> uid = CurrentThreadToken();
                                      if (!uid) {
                                          lastFailure = static_cast<int>(uid.error().kind);
                                          ++failures;
                                      }
                                      ++done;
                                      Waitable* objects[] = {release.get()};
                                      WaitAny(objects, 1, false, kWaitInfinite);
                                  },
                                  128 * 1024),
                              thread);
            if (rc != 0) {
                break;
            }
            threads.push_back(std::move(thread));
            if (!test::WaitUntil([&] { return done >= static_cast<int>(threads.size()); }, 30s)) {
                release->Set();
                return 4;
            }
        }
        release->Set();
        threads.clear();
        if (rc != 0) {
            return 2; // the machine would not give us enough threads
        }
        if (failures != 1 || lastFailure != static_cast<int>(FailureKind::Exhausted)) {
            return 1;
        }
        // Once the threads have ended, tokens are available again.
        return CurrentThreadToken() ? 0 : 3;
    });
    int rc = WaitChild(child, 60s);
    if (rc == 2) {
        GTEST_SKIP() << "not enough threads available";
    }
    EXPECT_EQ(0, rc);
}

TEST_F(KernelObjects, LiveThreadsAreNeverReportedEndedUnderChurn) {
    // Threads of this process hold tokens while child processes allocate and drop thousands of
    // tokens and are killed at random moments, so that slots are reclaimed all the time.
    constexpr int kLive = 4;
    std::vector<std::uint32_t> live(kLive, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> holders;
    for (int i = 0; i < kLive; ++i) {
        holders.emplace_back([&, i] {
            std::uint32_t uid = CurrentThreadToken().value_or(0);
            std::atomic_ref(live[i]).store(uid);
            while (!stop) {
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (auto& uid : live) {
        if (!test::WaitUntil([&] { return std::atomic_ref(uid).load() != 0; }, 20s)) {
            stop = true;
            for (auto& holder : holders) {
                holder.join();
            }
            FAIL() << "a holder thread got no token";
        }
    }
    std::atomic<int> falseDead{0};
    std::atomic<bool> stopChecking{false};
    std::thread checker([&] {
        while (!stopChecking) {
            for (std::uint32_t uid : live) {
                Result<bool> ended = IsThreadTokenEnded(uid);
                if (!ended || *ended) {
                    ++falseDead;
                }
            }
        }
    });
    std::mt19937 random(12345);
    auto end = std::chrono::steady_clock::now() + 3s;
    int killed = 0;
    while (std::chrono::steady_clock::now() < end) {
        int child = ForkChild([] {
            for (int round = 0; round < 1000; ++round) {
                std::thread([] { (void)CurrentThreadToken(); }).join();
            }
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        if (!test::ChildEnded(child)) {
            ++killed;
        }
        KillChild(child);
    }
    stopChecking = true; // before the holders may end
    checker.join();
    stop = true;
    for (auto& holder : holders) {
        holder.join();
    }
    EXPECT_EQ(0, falseDead.load());
    EXPECT_GT(killed, 0);
    for (std::uint32_t uid : live) {
        EXPECT_TRUE(IsThreadTokenEnded(uid).value_or(false)); // their threads have ended now
    }
}

// --- Damage, lost wake-ups and late users -------------------------------------------------

// A second mapping of an object file, as another process (or user) would have it.
class RawView {
public:
    RawView(const std::string& path, std::size_t size) : size_(size) {
        detail::UniqueFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (fd) {
            void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
            data_ = view == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(view);
        }
    }
    ~RawView() {
        if (data_) {
            munmap(data_, size_);
        }
    }
    std::uint8_t* data() const { return data_; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_;
};

// The address of this process's shared mapping of the given size whose file name contains the
// text (the name it was created under, when this process created it); null when none.
void* MappingOf(const std::string& text, std::size_t size) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::size_t dash = line.find('-');
        std::uintptr_t start = std::stoull(line.substr(0, dash), nullptr, 16);
        std::uintptr_t end = std::stoull(line.substr(dash + 1), nullptr, 16);
        if (end - start == size && line.find(" rw-s ") != std::string::npos &&
            line.find(text) != std::string::npos) {
            return reinterpret_cast<void*>(start);
        }
    }
    return nullptr;
}

int MappingsOf(const std::string& text) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int count = 0;
    while (std::getline(maps, line)) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// The system call the thread of the process is blocked in (from /proc), or -1.
long BlockedSyscall(pid_t tid, pid_t pid = getpid()) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                       "/syscall");
    long number = -1;
    file >> number;
    return number;
}

TEST_F(KernelObjects, DamagedStateWordFailsTheWaitInsteadOfSpinning) {
    for (bool manual : {false, true}) {
        std::string name = manual ? "Global\\DamagedManual" : "Global\\DamagedAuto";
        std::unique_ptr<Event> event = MakeEvent(name, manual);
        std::string file;
        ASSERT_EQ(0, test::Unpack(ObjectFileName(name), file));
        RawView view(dir_ / file, 64);
        auto* words = reinterpret_cast<std::uint32_t*>(view.data());
        ASSERT_NE(nullptr, words);
        std::atomic_ref(words[2]).store(2); // what another user could write into a 0666 event

        double cpuBefore = ThreadCpuMs();
        auto start = std::chrono::steady_clock::now();
        WaitResult result = Wait1(*event, 500);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(WaitStatus::Failed, result.status);
        EXPECT_EQ(EUCLEAN, result.error);
        EXPECT_LT(took, 600ms);
        EXPECT_LT(ThreadCpuMs() - cpuBefore, 50.0); // 10% of the wait's time limit

        std::unique_ptr<Event> second = MakeEvent("", false);
        Waitable* both[] = {second.get(), event.get()};
        EXPECT_EQ(WaitStatus::Failed, WaitAny(both, 2, true, 100).status);

        event->Set(); // repairs it
        EXPECT_EQ(WaitStatus::Signaled, Wait1(*event, 0).status);
    }
}

TEST_F(KernelObjects, ManualResetSetThenResetReleasesEverySleeper) {
    constexpr int kWaiters = 200;
    std::unique_ptr<Event> event = MakeEvent("Global\\SetReset", true);
    std::vector<pid_t> tids(kWaiters, 0);
    std::atomic<int> signalled{0};
    std::atomic<int> other{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            std::atomic_ref(tids[i]).store(gettid());
            WaitResult result = Wait1(*event, 10000);
            (result.status == WaitStatus::Signaled ? signalled : other)++;
        });
    }
    // Set and Reset only once every waiter sleeps in the kernel.
    bool asleep = test::WaitUntil(
        [&] {
            for (pid_t& tid : tids) {
                pid_t t = std::atomic_ref(tid).load();
                if (t == 0 || BlockedSyscall(t) != SYS_futex_waitv) {
                    return false;
                }
            }
            return true;
        },
        20s);
    event->Set();
    event->Reset();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    ASSERT_TRUE(asleep);
    EXPECT_EQ(kWaiters, signalled.load());
    EXPECT_EQ(0, other.load());
    EXPECT_EQ(WaitStatus::TimedOut, Wait1(*event, 0).status); // the Reset stands
}

TEST_F(KernelObjects, SetterKilledBetweenStoreAndWakeReleasesTheWaiterWithinASlice) {
    for (bool manual : {false, true}) {
        std::string name = manual ? "Global\\KilledSetterM" : "Global\\KilledSetterA";
        std::unique_ptr<Event> event = MakeEvent(name, manual);
        pid_t self = gettid();
        pid_t parent = getpid();
        int child = ForkChild([&] {
            std::unique_ptr<Event> own;
            if (test::Unpack(Event::Open(name), own) != 0) {
                return 1;
            }
            if (!test::WaitUntil([&] { return BlockedSyscall(self, parent) == SYS_futex_waitv; },
                                 20s)) {
                return 2;
            }
            detail::SetTestKillPoint("event-set-before-wake");
            own->Set();
            return 3; // not reached: the kill point ends the process
        });
        auto start = std::chrono::steady_clock::now();
        WaitResult result = Wait1(*event, 10000);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(128 + SIGKILL, WaitChild(child, 10s));
        EXPECT_EQ(WaitStatus::Signaled, result.status) << (manual ? "manual" : "auto");
        EXPECT_LT(took, 3s); // one 1 s slice, with room for a loaded machine
    }
}

TEST_F(KernelObjects, KilledWaiterLeavesTheOtherWaitersUnaffected) {
    for (bool manual : {false, true}) {
        std::string name = manual ? "Global\\KilledWaiterM" : "Global\\KilledWaiterA";
        std::unique_ptr<Event> event = MakeEvent(name, manual);
        auto waiter = [&] {
            std::unique_ptr<Event> own;
            test::Unpack(Event::Open(name), own);
            return Wait1(*own, 20000).status == WaitStatus::Signaled ? 0 : 1;
        };
        int doomed = ForkChild(waiter);
        int survivor = ForkChild(waiter);
        std::this_thread::sleep_for(50ms);
        KillChild(doomed);
        event->Set();
        EXPECT_EQ(0, WaitChild(survivor, 10s));
        EXPECT_EQ(manual, event->IsSet()); // an auto-reset event was taken by the survivor
    }
}

TEST_F(KernelObjects, QueryFromTheOwnerKeepsNoMapping) {
    std::unique_ptr<Mutex> mutex;
    ASSERT_EQ(0, test::Unpack(Mutex::Create("Global\\Queried", ObjectAccess::Private), mutex));
    ASSERT_EQ(WaitStatus::Signaled, mutex->Acquire(0).status);
    std::string file;
    ASSERT_EQ(0, test::Unpack(ObjectFileName("Global\\Queried"), file));
    int before = MappingsOf(file);
    for (int i = 0; i < 50; ++i) {
        MutexState state{};
        ASSERT_EQ(0, test::Unpack(Mutex::Query("Global\\Queried"), state));
        EXPECT_EQ(MutexState::OwnedByCaller, state);
    }
    EXPECT_EQ(before, MappingsOf(file));
    EXPECT_EQ(0, test::FailureCode(mutex->Release()));
}

TEST_F(KernelObjects, DamagedMutexTypeIsRefused) {
    std::unique_ptr<Mutex> mutex;
    ASSERT_EQ(0, test::Unpack(Mutex::Create("Global\\Retyped", ObjectAccess::Private), mutex));
    std::string file;
    ASSERT_EQ(0, test::Unpack(ObjectFileName("Global\\Retyped"), file));
    RawView view(dir_ / file, 128);
    std::uint8_t* block = view.data();
    ASSERT_NE(nullptr, block);
    auto* lock = reinterpret_cast<pthread_mutex_t*>(block + 64);
    int kind = lock->__data.__kind;
    lock->__data.__kind = 0; // a plain mutex: no longer robust
    EXPECT_EQ(EUCLEAN, mutex->Acquire(0).error);
    std::unique_ptr<Mutex> second;
    EXPECT_EQ(EUCLEAN, test::Unpack(Mutex::Open("Global\\Retyped"), second));
    lock->__data.__kind = kind;
    EXPECT_EQ(WaitStatus::Signaled, mutex->Acquire(0).status);
    EXPECT_EQ(0, test::FailureCode(mutex->Release()));
}

TEST_F(KernelObjects, SectionDoesNotOpenAnEventOrMutexFile) {
    std::unique_ptr<Event> event = MakeEvent("Global\\NotASection", false);
    std::unique_ptr<Mutex> mutex;
    ASSERT_EQ(
        0, test::Unpack(Mutex::Create("Global\\NotASectionEither", ObjectAccess::Private), mutex));
    std::unique_ptr<SharedSection> section;
    EXPECT_EQ(EPROTOTYPE, test::Unpack(SharedSection::Open("Global\\NotASection", 16, false,
                                                           ObjectAccess::Private),
                                       section));
    EXPECT_EQ(EPROTOTYPE, test::Unpack(SharedSection::Open("Global\\NotASectionEither", 16, true,
                                                           ObjectAccess::Private),
                                       section));
}

// Runs at thread exit after the token's holder, because it was made before the token.
struct LateUser {
    std::uint32_t oldUid = 0;
    std::uint32_t* lateUid = nullptr;
    bool* oldEndedSeen = nullptr;

    ~LateUser() {
        if (lateUid) {
            *lateUid = CurrentThreadToken().value_or(0);
            *oldEndedSeen = IsThreadTokenEnded(oldUid).value_or(false);
        }
    }
};
thread_local LateUser t_lateUser;

TEST_F(KernelObjects, ThreadLocalDestructorAfterTheTokenIsReleasedGetsNoStaleUid) {
    std::uint32_t first = 0;
    std::uint32_t late = 0;
    bool oldEnded = false;
    std::thread([&] {
        t_lateUser.lateUid = &late; // constructed first, so destroyed after the holder
        t_lateUser.oldEndedSeen = &oldEnded;
        Result<std::uint32_t> token = CurrentThreadToken();
        ASSERT_TRUE(token);
        first = *token;
        t_lateUser.oldUid = first;
    }).join();
    EXPECT_NE(0u, first);
    EXPECT_NE(first, late) << "a destructor kept the UID of a released token";
    EXPECT_TRUE(oldEnded);
    if (late != 0) {
        Result<bool> ended = IsThreadTokenEnded(late);
        ASSERT_TRUE(ended);
        EXPECT_TRUE(*ended); // its thread is gone
    }
}

TEST_F(KernelObjects, PoisonedSlotIsSkippedByLaterThreads) {
    // The next allocation probes from the slot after the last UID handed out.
    std::uint32_t last = 0;
    std::thread([&] { last = CurrentThreadToken().value_or(0); }).join();
    ASSERT_NE(0u, last);
    constexpr std::size_t kTableBytes = 64 + 4096 * 64;
    constexpr std::size_t kTablePages = (kTableBytes + 4095) / 4096 * 4096;
    auto* table = static_cast<std::uint8_t*>(MappingOf("Tamrel_SessionThreads", kTablePages));
    if (!table) {
        table = static_cast<std::uint8_t*>(MappingOf(".tmp.", kTablePages)); // created here
    }
    ASSERT_NE(nullptr, table);
    // Poison those slots: owner died, then unlocked without being made consistent (what a
    // careless or hostile user of the 0666 table can do).
    int poisoned = 0;
    for (std::uint32_t i = 1; i <= 3; ++i) {
        auto* token = reinterpret_cast<pthread_mutex_t*>(table + 64 + ((last + i) % 4096) * 64 + 8);
        if (pthread_mutex_trylock(token) != 0) {
            continue; // held by a live thread
        }
        pthread_mutex_unlock(token);
        std::thread([&] { pthread_mutex_lock(token); }).join(); // ends holding it
        ASSERT_EQ(EOWNERDEAD, pthread_mutex_lock(token));
        pthread_mutex_unlock(token); // now ENOTRECOVERABLE for good
        ASSERT_EQ(ENOTRECOVERABLE, pthread_mutex_trylock(token));
        ++poisoned;
    }
    ASSERT_GT(poisoned, 0);
    std::uint32_t uid = 0;
    int rc = -1;
    std::thread([&] {
        Result<std::uint32_t> token = CurrentThreadToken();
        rc = token ? 0 : token.error().code;
        uid = token.value_or(0);
    }).join();
    EXPECT_EQ(0, rc);
    EXPECT_NE(0u, uid);
}

} // namespace
} // namespace qz::platform
