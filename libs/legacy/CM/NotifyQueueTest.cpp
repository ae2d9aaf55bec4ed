#include "NotifyQueue.h"

#include "DiagLog.h"
#include "EnvUtils.h"
#include "Exceptions.h"
#include "NotifyTestSupport.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace qz {
namespace {

using test::OnFreshThread;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A thread holds at most one queue, so every test runs its queue on a thread of its own.
struct Recorder {
    std::vector<int>* log;
    int id;
    void Call() { log->push_back(id); }
};

struct Stopper {
    TNotifyQueue* queue;
    void Call() { queue->StopLoop(); }
};

// Named objects of the tests live in a temporary folder under a prefix of their own.
class NotifyQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetObjectDirectory(dir_.path());
        platform::SetObjectPrefix(test::UniqueName("nq"));
    }
    void TearDown() override {
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }
    test::TempDir dir_;
};

TEST_F(NotifyQueueTest, PostFromAnotherThreadWakesTheWaitingLoop) {
    OnFreshThread([](TNotifyQueue& queue) {
        struct Target {
            TNotifyQueue* queue;
            Clock::time_point delivered;
            void Call() {
                delivered = Clock::now();
                queue->StopLoop();
            }
        } target{&queue, {}};
        // The first pass of the loop tells the poster that the loop runs; it then sleeps in its
        // one-second wait (no timers), so only the post can wake it early.
        std::promise<void> running;
        struct FirstPass {
            std::promise<void>* running;
            bool told = false;
            void Call() {
                if (!told) {
                    told = true;
                    running->set_value();
                }
            }
        } firstPass{&running};
        queue.AddExternalNotification(&firstPass, TMethod::Of<&FirstPass::Call>(&firstPass));
        Clock::time_point posted;
        std::thread poster([&] {
            running.get_future().wait();
            std::this_thread::sleep_for(milliseconds(20));
            posted = Clock::now();
            queue.Post(&target, npNormal, TMethod::Of<&Target::Call>(&target));
        });
        queue.Run();
        poster.join();
        EXPECT_LT(target.delivered - posted, milliseconds(700)); // the idle loop polls every 1000
    });
}

TEST_F(NotifyQueueTest, PrioritiesAcrossPasses) {
    OnFreshThread([](TNotifyQueue& queue) {
        std::vector<int> log;
        Recorder low{&log, 0}, normal{&log, 1}, high{&log, 2}, lateLow{&log, 10},
            lateHigh{&log, 20};
        struct PostsDuringLow {
            TNotifyQueue* queue;
            std::vector<int>* log;
            Recorder* lateHigh;
            Recorder* lateLow;
            Clock::time_point at;
            void Call() {
                log->push_back(5);
                at = Clock::now();
                queue->Post(lateLow, npLow, TMethod::Of<&Recorder::Call>(lateLow));
                queue->Post(lateHigh, npHigh, TMethod::Of<&Recorder::Call>(lateHigh));
            }
        } poster{&queue, &log, &lateHigh, &lateLow, {}};
        Stopper stopper{&queue};
        queue.Post(&low, npLow, TMethod::Of<&Recorder::Call>(&low));
        queue.Post(&normal, npNormal, TMethod::Of<&Recorder::Call>(&normal));
        queue.Post(&poster, npLow, TMethod::Of<&PostsDuringLow::Call>(&poster));
        queue.Post(&high, npHigh, TMethod::Of<&Recorder::Call>(&high));
        queue.Post(&low, npLow, TMethod::Of<&Recorder::Call>(&low));
        // The late posts wait for the next pass, which starts at once, high priority first.
        struct StopAfter {
            TNotifyQueue* queue;
            Stopper* stopper;
            void Call() { queue->Post(stopper, npLow, TMethod::Of<&Stopper::Call>(stopper)); }
        } stopAfter{&queue, &stopper};
        queue.Post(&stopAfter, npLow, TMethod::Of<&StopAfter::Call>(&stopAfter));
        queue.Run();
        EXPECT_EQ(log, (std::vector<int>{2, 1, 0, 5, 0, 20, 10}));
    });
}

TEST_F(NotifyQueueTest, PostListDeliversEachMethodAtNormalPriority) {
    OnFreshThread([](TNotifyQueue& queue) {
        std::vector<int> log;
        Recorder a{&log, 1}, b{&log, 2}, low{&log, 0};
        Stopper stopper{&queue};
        queue.Post(&low, npLow, TMethod::Of<&Recorder::Call>(&low));
        std::thread([&] {
            queue.PostList({TMethod::Of<&Recorder::Call>(&a), TMethod::Of<&Recorder::Call>(&b),
                            TMethod::Of<&Stopper::Call>(&stopper)});
        }).join();
        queue.Run();
        // The stopper ends the loop before the low-priority entry; ClearQueue by receiver works
        // for list posts too.
        EXPECT_EQ(log, (std::vector<int>{1, 2}));
        queue.ClearQueue(&low);
    });
}

TEST_F(NotifyQueueTest, DestroyedReceiverIsNeverCalled) {
    OnFreshThread([](TNotifyQueue& queue) {
        struct Receiver {
            TNotifyQueue* queue;
            int* calls;
            ~Receiver() { queue->ClearQueue(this); }
            void Call() { ++*calls; }
        };
        int calls = 0;
        // One receiver goes while its entry waits in the primary queue, the other while its
        // entry is already in the working queue behind the handler that destroys it.
        auto early = std::make_unique<Receiver>(Receiver{&queue, &calls});
        auto late = std::make_unique<Receiver>(Receiver{&queue, &calls});
        struct Destroyer {
            std::unique_ptr<Receiver>* victim;
            void Call() { victim->reset(); }
        } destroyer{&late};
        queue.Post(&destroyer, npNormal, TMethod::Of<&Destroyer::Call>(&destroyer));
        queue.Post(late.get(), npNormal, TMethod::Of<&Receiver::Call>(late.get()));
        queue.Post(early.get(), npNormal, TMethod::Of<&Receiver::Call>(early.get()));
        early.reset();
        Stopper stopper{&queue};
        queue.Post(&stopper, npLow, TMethod::Of<&Stopper::Call>(&stopper));
        queue.Run();
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(late, nullptr);
    });
}

TEST_F(NotifyQueueTest, OverrunningTimerFiresOnceAndKeepsItsPhase) {
    OnFreshThread([](TNotifyQueue& queue) {
        struct Slow {
            TNotifyQueue* queue;
            std::vector<std::uint32_t> calls;
            void Call() {
                calls.push_back(GetTickCount());
                if (calls.size() == 1) {
                    std::this_thread::sleep_for(milliseconds(500)); // two and a half periods
                } else {
                    queue->StopLoop();
                }
            }
        } slow{&queue, {}};
        std::uint32_t added = GetTickCount();
        queue.AddTimer(200, TMethod::Of<&Slow::Call>(&slow));
        queue.Run();
        ASSERT_EQ(slow.calls.size(), 2u);
        // Due at 200, busy until about 700: the missed ticks at 400 and 600 are dropped and the
        // next one comes at 800, not at 900 (a period after the handler). A loaded machine may
        // make it up to 100 ms late, or push it a whole period later, but never off the phase.
        std::uint32_t second = slow.calls[1] - added;
        EXPECT_GE(second, 799u);
        EXPECT_LT(second % 200, 100u);
        EXPECT_GE(slow.calls[1] - slow.calls[0], 510u);
    });
}

TEST_F(NotifyQueueTest, TimerRemovedOrResetByItsOwnHandler) {
    OnFreshThread([](TNotifyQueue& queue) {
        struct Once {
            TNotifyQueue* queue;
            int calls = 0;
            void Call() {
                ++calls;
                queue->RemoveTimer(TMethod::Of<&Once::Call>(this));
            }
        } once{&queue};
        struct Resetting {
            TNotifyQueue* queue;
            std::vector<std::uint32_t> calls;
            void Call() {
                calls.push_back(GetTickCount());
                if (calls.size() == 1) {
                    std::this_thread::sleep_for(milliseconds(50));
                    queue->ResetTimer(TMethod::Of<&Resetting::Call>(this));
                } else {
                    queue->StopLoop();
                }
            }
        } resetting{&queue, {}};
        queue.AddTimer(20, TMethod::Of<&Once::Call>(&once));
        std::uint32_t added = GetTickCount();
        queue.AddTimer(100, TMethod::Of<&Resetting::Call>(&resetting));
        queue.Run();
        EXPECT_EQ(once.calls, 1);
        ASSERT_EQ(resetting.calls.size(), 2u);
        // Reset at about 150 means the next tick at about 250, not at 200 as the phase would.
        EXPECT_GE(resetting.calls[1] - added, 245u);
        // The reset slot still bounds the loop's wait: no second-long poll in between.
        EXPECT_LT(resetting.calls[1] - added, 600u);
    });
}

TEST_F(NotifyQueueTest, ClocksTickOnlyWhileEnabledAndStopWhenDestroyed) {
    OnFreshThread([](TNotifyQueue& queue) {
        int ticks = 0;
        int disabledTicks = 0;
        auto disabled = TClock::CreateClock(10, false, [&](TClock&) { ++disabledTicks; });
        std::unique_ptr<TClock> clock;
        clock = TClock::CreateClock(10, true, [&](TClock&) {
            if (++ticks == 3) {
                disabled->Reset();
                clock.reset(); // the slot is freed from inside its own tick
            }
        });
        auto stop = TClock::CreateClock(150, true, [&](TClock&) { queue.StopLoop(); });
        queue.Run();
        EXPECT_EQ(ticks, 3);
        EXPECT_GT(disabledTicks, 0); // Reset of a disabled clock enables it
    });
}

TEST_F(NotifyQueueTest, StopBeforeRunReturnsAtOnceButShutDownDoesNot) {
    OnFreshThread([](TNotifyQueue& queue) {
        std::vector<int> log;
        Recorder recorder{&log, 1};
        queue.Post(&recorder, npNormal, TMethod::Of<&Recorder::Call>(&recorder));
        queue.StopLoop();
        queue.Run();
        EXPECT_TRUE(log.empty());
        queue.ClearQueue(&recorder);
    });
    OnFreshThread([](TNotifyQueue& queue) {
        std::vector<int> log;
        Recorder recorder{&log, 1};
        Stopper stopper{&queue};
        queue.ShutDownLoop();
        queue.Post(&recorder, npNormal, TMethod::Of<&Recorder::Call>(&recorder));
        queue.Post(&stopper, npNormal, TMethod::Of<&Stopper::Call>(&stopper));
        queue.Run();
        EXPECT_EQ(log, std::vector<int>{1});
    });
}

TEST_F(NotifyQueueTest, MainThreadOperationsRefuseOtherThreads) {
    OnFreshThread([](TNotifyQueue& queue) {
        std::string message;
        std::thread([&] {
            try {
                queue.AddTimer(10, TMethod());
            } catch (const Exception& e) {
                message = e.Message();
            }
        }).join();
        EXPECT_EQ(message, "Notify queue operation can be performed from main thread only: "
                           "Add timer");
    });
    TNotifyQueue detached;
    try {
        detached.Run();
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Notify queue operation cannot be performed before a thread is "
                               "attached: Start loop");
    }
}

TEST_F(NotifyQueueTest, AnotherProcessSettingTheExternalEventWakesTheLoop) {
    OnFreshThread([this](TNotifyQueue& queue) {
        std::string name = TNotifyQueue::MakeExternalEventName(queue.ExternalEventGuid());
        EXPECT_EQ(name.rfind("Global\\Tamrel_NotifyEvent_{", 0), 0u);
        std::string stamp = dir_ / "set_at";
        struct Handler {
            TNotifyQueue* queue;
            std::promise<void>* running;
            int calls = 0;
            Clock::time_point at;
            void Call() {
                if (++calls == 1) {
                    running->set_value();
                } else {
                    at = Clock::now();
                    queue->StopLoop();
                }
            }
        };
        std::promise<void> running;
        Handler handler{&queue, &running, 0, {}};
        queue.AddExternalNotification(&handler, TMethod::Of<&Handler::Call>(&handler));
        std::vector<int> codes;
        std::thread starter([&] {
            running.get_future().wait();
            // The child gets its own copies: a thread it starts (the allocator probe) may reuse
            // the stack of the queue's thread, where name and stamp live in this process.
            codes = test::ForkChildren(1, [name, stamp](int) {
                std::this_thread::sleep_for(milliseconds(20));
                TWinEvent event(name, false);
                auto now = Clock::now().time_since_epoch().count();
                test::WriteFile(stamp, std::to_string(now));
                event.SetEvent();
                return 0;
            });
        });
        queue.Run();
        starter.join();
        ASSERT_EQ(codes, std::vector<int>{0});
        Clock::time_point setAt{Clock::duration(std::stoll(test::ReadFile(stamp).value()))};
        EXPECT_EQ(handler.calls, 2);
        EXPECT_LT(handler.at - setAt, milliseconds(700)); // the idle loop polls every 1000
    });
}

TEST_F(NotifyQueueTest, WaitForExternalEventSetsFirstAndSkipsTheNextSleep) {
    OnFreshThread([](TNotifyQueue& queue) {
        TWinEvent request(nullptr, "", false, false);
        std::string name = TNotifyQueue::MakeExternalEventName(queue.ExternalEventGuid());
        std::thread peer([&] {
            request.WaitFor(INFINITE);
            TWinEvent(name, false).SetEvent();
        });
        bool answered = false;
        bool again = true;
        struct Asker {
            TNotifyQueue* queue;
            TWinEvent* request;
            bool* answered;
            bool* again;
            int passes = 0;
            Clock::time_point askedAt;
            void Call() {
                if (++passes == 1) {
                    *answered = queue->WaitForExternalEvent(10000, request->Handle());
                    *again = queue->WaitForExternalEvent(10, nullptr);
                    askedAt = Clock::now();
                } else {
                    queue->StopLoop();
                }
            }
        } asker{&queue, &request, &answered, &again, 0, {}};
        queue.AddExternalNotification(&asker, TMethod::Of<&Asker::Call>(&asker));
        queue.Run();
        peer.join();
        EXPECT_TRUE(answered);
        EXPECT_FALSE(again);
        // The external wait made the loop go on without its one-second sleep.
        EXPECT_LT(Clock::now() - asker.askedAt, milliseconds(700));
    });
}

TEST_F(NotifyQueueTest, FailedDeliveriesAreReportedAndUndeliveredOnesListedAtShutDown) {
    DiagLogReset();
    std::string logFile = dir_ / "Logs/queue.log";
    DiagLogSettings settings;
    settings.level = 1;
    DiagLogSetUp(logFile, settings);
    OnFreshThread([](TNotifyQueue& queue) {
        struct Failing {
            void Call() { Raise("boom"); }
        } failing;
        std::vector<int> log;
        Recorder after{&log, 1}, pending{&log, 2};
        Stopper stopper{&queue};
        queue.Post(&failing, npNormal, TMethod::Of<&Failing::Call>(&failing));
        queue.Post(&after, npNormal, TMethod::Of<&Recorder::Call>(&after));
        queue.Post(&stopper, npNormal, TMethod::Of<&Stopper::Call>(&stopper));
        queue.Run();
        EXPECT_EQ(log, std::vector<int>{1});
        queue.Post(&pending, npHigh, TMethod::Of<&Recorder::Call>(&pending));
        queue.Post(&pending, npHigh, TMethod::Of<&Recorder::Call>(&pending));
    });
    std::string text = test::ReadFile(logFile).value_or("");
    DiagLogReset();
    EXPECT_NE(text.find("Failed to notify object at 0x"), std::string::npos);
    EXPECT_NE(text.find(", class is qz::(anonymous namespace)::"), std::string::npos);
    EXPECT_NE(text.find("\r\nboom"), std::string::npos);
    EXPECT_NE(text.find("Notify Queue Warning"), std::string::npos);
    EXPECT_NE(
        text.find("Shutting down with 2 undelivered notifications in Primary Queue (High).\r\n"
                  "  qz::(anonymous namespace)::Recorder\r\n"
                  "  qz::(anonymous namespace)::Recorder\r\n  "),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("Recorder::Call\r\n"), std::string::npos);
}

} // namespace
} // namespace qz
