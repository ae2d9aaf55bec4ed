#include "LocalComm.h"

#include "CommTesting.h"
#include "Exceptions.h"
#include "ServicePackets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace qz {
namespace {

using commtest::CommTest;
using commtest::OnFreshThread;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSection = 0x10000;

struct Recorder {
    std::vector<int>* log;
    int id;
    void Call() { log->push_back(id); }
};

// A small service: answers the status query, refuses the start-job request with the method
// map's unknown-method reply, raises for a stop request, leaves the enable post unanswered
// (it is one-way) and counts it, and answers a clear-cache request without a reply of its own.
struct TestService {
    explicit TestService(const TGuid& guid, TNotifyQueue& queue)
        : server(guid, SessionGlobal, kSection, nullptr, &queue) {
        server.MethodMap().Add(TQueryServiceStatusPacket::StaticClass(),
                               [this](TCommExecuteContext& context) {
                                   TQueryServiceStatusReplyPacket reply;
                                   reply.SetBool(TQueryServiceStatusReplyPacket::StandAlone, true);
                                   reply.SetInt(TQueryServiceStatusReplyPacket::CpuCount, posts);
                                   context.SendReply(reply);
                               });
        server.MethodMap().Add(TStopJobPacket::StaticClass(),
                               [](TCommExecuteContext&) { Raise("boom"); });
        server.MethodMap().Add(TEnableAgentPacket::StaticClass(),
                               [this](TCommExecuteContext&) { ++posts; });
        server.MethodMap().Add(TClearFileCachePacket::StaticClass(), [](TCommExecuteContext&) {});
        server.SetOnClientConnect([this](TLocalCommConnection&) { ++connects; });
        server.SetOnClientDisconnect([this](TLocalCommConnection&) {
            if (++disconnects == 1) {
                disconnectedAt = Clock::now();
            }
        });
    }
    TLocalCommServer server;
    int posts = 0;
    int connects = 0;
    int disconnects = 0;
    Clock::time_point disconnectedAt;
};

// Runs a TestService in a forked process until told to stop (by the named event) or 60 s.
int ForkService(const TGuid& guid, const std::string& readyName, const std::string& stopName) {
    return commtest::ForkPeer([=](TNotifyQueue& queue) {
        TestService service(guid, queue);
        TWinEvent stop(NullDaclSecurityAttributes(), stopName, true, false);
        TWinEvent(NullDaclSecurityAttributes(), readyName, true, false).SetEvent();
        commtest::RunLoopUntil(
            queue, [&] { return WaitForObject(stop.Handle(), 0, wfTimeoutResult); },
            milliseconds(60000));
        return 0;
    });
}

class LocalCommTest : public CommTest {
protected:
    std::string readyName_ = "Global\\" + test::UniqueName("ready");
    std::string stopName_ = "Global\\" + test::UniqueName("stop");
};

TEST_F(LocalCommTest, MissingServiceTerminatesThePipeAndRunsEveryTerminateHandlerOnce) {
    OnFreshThread([](TNotifyQueue& queue) {
        TLocalCommPipe pipe(NewGuid(), 0x200000, kBuildServiceName, SessionGlobal, &queue);
        EXPECT_EQ(pipe.State(), psTerminated);
        std::vector<int> log;
        Recorder first{&log, 1}, second{&log, 2};
        pipe.OnTerminate().push_back(TMethod::Of<&Recorder::Call>(&first));
        pipe.OnTerminate().push_back(TMethod::Of<&Recorder::Call>(&second));
        try {
            pipe.CheckConnected();
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Failed to connect to Build Service (on local machine): Server "
                                   "is not reachable");
        }
        EXPECT_TRUE(log.empty()) << "handlers never run inside the call that found the change";
        commtest::RunLoopUntil(queue, [&] { return log.size() >= 2; });
        std::this_thread::sleep_for(milliseconds(20));
        commtest::RunLoopUntil(
            queue, [] { return false; }, milliseconds(50));
        EXPECT_EQ(log, (std::vector<int>{1, 2}));
        try {
            pipe.Request(TQueryServiceStatusPacket());
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Connection terminated while waiting for reply from local "
                                   "connection: Server is not reachable");
        }
        EXPECT_THROW(pipe.Terminate(), Exception);
    });
}

TEST_F(LocalCommTest, RequestsRepliesAndExceptionRepliesWithAServiceProcess) {
    TGuid guid = NewGuid();
    TWinEvent stop(NullDaclSecurityAttributes(), stopName_, true, false);
    TWinEvent ready(NullDaclSecurityAttributes(), readyName_, true, false);
    int child = ForkService(guid, readyName_, stopName_);
    ASSERT_TRUE(ready.WaitFor(10000));
    OnFreshThread([&](TNotifyQueue& queue) {
        TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal, &queue);
        ASSERT_EQ(pipe.State(), psConnected);
        pipe.CheckConnected();
        auto reply = pipe.Request(std::make_unique<TQueryServiceStatusPacket>());
        auto& status = TPacket::CastPacket<TQueryServiceStatusReplyPacket>(*reply);
        EXPECT_TRUE(status.Bool(TQueryServiceStatusReplyPacket::StandAlone));

        try {
            pipe.Request(TStartJobRequestPacket());
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(),
                      Format("Failed to complete request: TStartJobRequestPacket\r\nUnknown method "
                             "ID: %d (TStartJobRequestPacket)",
                             PacketClassIndex(TStartJobRequestPacket::StaticClass())));
        }
        try {
            pipe.Request(TStopJobPacket(NewGuid()));
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Failed to complete request: TStopJobPacket\r\nboom");
        }
        // A handler that sends nothing answers with an empty packet.
        EXPECT_EQ(pipe.Request(TClearFileCachePacket())->ClassName(), "TPacket");
        // One-way messages are handled in order before the next request.
        EXPECT_GT(pipe.Post(TEnableAgentPacket(true)), 0);
        EXPECT_GT(pipe.Post(TEnableAgentPacket(false)), 0);
        reply = pipe.Request(TQueryServiceStatusPacket());
        EXPECT_EQ(reply->Int(TQueryServiceStatusReplyPacket::CpuCount), 2);
        EXPECT_EQ(pipe.State(), psConnected);
    });
    stop.SetEvent();
    EXPECT_EQ(test::WaitChild(child, milliseconds(10000)), 0);
}

TEST_F(LocalCommTest, ServiceSeesADestroyedPipeAtOnceAndAPostBeforeExitIsStillHandled) {
    TGuid guid = NewGuid();
    std::promise<void> ready;
    std::atomic<bool> done{false};
    int posts = 0, connects = 0, disconnects = 0;
    Clock::time_point disconnectedAt;
    std::thread serviceThread([&] {
        OnFreshThread([&](TNotifyQueue& queue) {
            TestService service(guid, queue);
            ready.set_value();
            commtest::RunLoopUntil(
                queue,
                [&] {
                    return (service.posts >= 1 && service.disconnects >= 1 &&
                            service.disconnects == service.connects) ||
                           done;
                },
                milliseconds(20000));
            // Let a late notification of the second client arrive.
            commtest::RunLoopUntil(
                queue, [] { return false; }, milliseconds(300));
            posts = service.posts;
            connects = service.connects;
            disconnects = service.disconnects;
            disconnectedAt = service.disconnectedAt;
        });
    });
    ready.get_future().wait();
    Clock::time_point destroyedAt;
    OnFreshThread([&](TNotifyQueue& queue) {
        {
            TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal, &queue);
            pipe.Request(TQueryServiceStatusPacket());
            destroyedAt = Clock::now();
        }
        std::this_thread::sleep_for(milliseconds(1500));
        // A post followed by the end of the pipe at once: the message is in the stream when the
        // service finds the reply channel already marked terminated.
        TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal, &queue);
        EXPECT_GT(pipe.Post(TEnableAgentPacket(true)), 0);
    });
    serviceThread.join();
    EXPECT_EQ(posts, 1);
    // Whether the service still sees the second client connect before its end depends on
    // scheduling; every connect it saw must be matched by one disconnect.
    EXPECT_GE(connects, 1);
    EXPECT_LE(connects, 2);
    EXPECT_EQ(disconnects, connects);
    // "At once" means well before the periodic liveness checks (2 s and 4 s) could notice; a
    // loaded machine needs the margin.
    EXPECT_LT(disconnectedAt - destroyedAt, milliseconds(1900));
}

// What a second implementation of the client relies on: the reply names the service's channel
// and the global namespace, and carries the request's id.
TEST_F(LocalCommTest, ServiceRepliesCarryItsChannelAndSessionMinusTwo) {
    TGuid guid = NewGuid();
    std::promise<void> ready;
    std::atomic<bool> done{false};
    std::thread serviceThread([&] {
        OnFreshThread([&](TNotifyQueue& queue) {
            TestService service(guid, queue);
            ready.set_value();
            commtest::RunLoopUntil(
                queue, [&] { return done.load(); }, milliseconds(20000));
        });
    });
    ready.get_future().wait();
    OnFreshThread([&](TNotifyQueue& queue) {
        TGuid own = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionLocal, kSection, own);
        receiver.SetOnMessage([](TPacketChannelMessage&) {});
        TPacketChannelSender sender(queue, own, guid, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        sender.Send(0, TPacket(), cfRequest);
        std::int32_t id = sender.Send(0, TQueryServiceStatusPacket(), cfRequest);
        auto reply = receiver.WaitForReply(sender, id, 10000);
        EXPECT_EQ(reply->Header().Version, kChannelVersion);
        EXPECT_EQ(reply->Flags(), cfReply);
        EXPECT_EQ(reply->MessageId(), 2);
        EXPECT_EQ(reply->ReplyChannel(), guid);
        EXPECT_EQ(reply->SenderSession(), -2);
        EXPECT_EQ(reply->Header().reserved12, 0xFFFFFFFFu);
        EXPECT_EQ(reply->Packet().ClassName(), "TQueryServiceStatusReplyPacket");
    });
    done = true;
    serviceThread.join();
}

TEST_F(LocalCommTest, KilledServiceTerminatesAnIdlePipeWithinTheLivenessPeriod) {
    TGuid guid = NewGuid();
    TWinEvent ready(NullDaclSecurityAttributes(), readyName_, true, false);
    int child = ForkService(guid, readyName_, stopName_);
    ASSERT_TRUE(ready.WaitFor(10000));
    OnFreshThread([&](TNotifyQueue& queue) {
        TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal, &queue);
        pipe.Request(TQueryServiceStatusPacket());
        std::vector<int> log;
        Recorder handler{&log, 1};
        pipe.OnTerminate().push_back(TMethod::Of<&Recorder::Call>(&handler));
        test::KillChild(child);
        auto killedAt = Clock::now();
        EXPECT_TRUE(commtest::RunLoopUntil(
            queue, [&] { return !log.empty(); }, milliseconds(10000)));
        EXPECT_LT(Clock::now() - killedAt, milliseconds(5000));
        EXPECT_EQ(pipe.State(), psTerminated);
        EXPECT_EQ(pipe.Sender().DisconnectReason(),
                  "Connection object remote thread has terminated");
    });
}

TEST_F(LocalCommTest, KilledClientIsReportedToTheService) {
    TGuid guid = NewGuid();
    OnFreshThread([&](TNotifyQueue& queue) {
        TestService service(guid, queue);
        TWinEvent asked(NullDaclSecurityAttributes(), readyName_, true, false);
        int child = commtest::ForkPeer([&](TNotifyQueue& clientQueue) {
            TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal, &clientQueue);
            pipe.Post(TEnableAgentPacket(true));
            asked.SetEvent();
            std::this_thread::sleep_for(milliseconds(60000));
            return 0;
        });
        ASSERT_TRUE(commtest::RunLoopUntil(
            queue, [&] { return service.connects == 1; }, milliseconds(10000)));
        test::KillChild(child);
        auto killedAt = Clock::now();
        EXPECT_TRUE(commtest::RunLoopUntil(
            queue, [&] { return service.disconnects == 1; }, milliseconds(10000)));
        EXPECT_LT(Clock::now() - killedAt, milliseconds(5000));
        EXPECT_EQ(service.server.ConnectionCount(), 0u);
    });
}

TEST_F(LocalCommTest, UnexpectedReplyTerminatesThePipe) {
    TGuid guid = NewGuid();
    OnFreshThread([&](TNotifyQueue& queue) {
        TestService service(guid, queue);
        TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal, &queue);
        ASSERT_EQ(pipe.State(), psConnected);
        commtest::AppendRaw(pipe.Receiver().ChannelGuid(), SessionLocal,
                            commtest::EncodeMessage(TPacket(), cfReply, 999, guid));
        EXPECT_TRUE(commtest::RunLoopUntil(queue, [&] { return pipe.State() == psTerminated; }));
    });
}

// Many clients in several processes at once, and a hostile writer in the service's channel
// among them: every request is answered, and the service keeps its books straight.
TEST_F(LocalCommTest, SixtyFourClientsFromEightProcessesAndAHostileWriter) {
    TGuid guid = NewGuid();
    constexpr int kProcesses = 8;
    constexpr int kThreads = 8;
    constexpr int kRequests = 60;
    // Every process is forked from this single-threaded test process before it starts threads
    // of its own: a fork beside running threads could copy a lock in its held state.
    std::string counts = dir_ / "counts";
    TWinEvent stop(NullDaclSecurityAttributes(), stopName_, true, false);
    TWinEvent ready(NullDaclSecurityAttributes(), readyName_, true, false);
    int service = commtest::ForkPeer([&](TNotifyQueue& queue) {
        TestService service(guid, queue);
        ready.SetEvent();
        commtest::RunLoopUntil(
            queue, [&] { return WaitForObject(stop.Handle(), 0, wfTimeoutResult); },
            milliseconds(120000));
        commtest::RunLoopUntil(
            queue, [&] { return service.server.ConnectionCount() == 0; }, milliseconds(10000));
        test::WriteFile(counts, Format("%d %d %d", service.connects, service.disconnects,
                                       service.server.ConnectionCount()));
        return 0;
    });
    ASSERT_TRUE(ready.WaitFor(10000));
    int hostile = commtest::ForkPeer([&](TNotifyQueue&) {
        std::string junk(500, '\0');
        for (int round = 0; round < 200; ++round) {
            for (std::size_t i = 0; i < junk.size(); ++i) {
                junk[i] =
                    static_cast<char>((i * 7919 + static_cast<std::size_t>(round) * 31) & 0xFF);
            }
            std::string forged = commtest::EncodeMessage(TQueryServiceStatusPacket(), cfRequest, 1,
                                                         NewGuid(), round % 2 ? -7 : 1 << 30);
            commtest::AppendRaw(guid, SessionGlobal, round % 3 ? junk : forged);
            std::this_thread::sleep_for(milliseconds(5));
        }
        return 0;
    });
    std::vector<int> codes = test::ForkChildren(
        kProcesses,
        [&](int) {
            std::atomic<int> failures{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&] {
                    OnFreshThread([&](TNotifyQueue& queue) {
                        try {
                            TLocalCommPipe pipe(guid, 0x200000, kBuildServiceName, SessionGlobal,
                                                &queue);
                            for (int i = 0; i < kRequests; ++i) {
                                auto reply = pipe.Request(TQueryServiceStatusPacket());
                                if (reply->ClassName() != "TQueryServiceStatusReplyPacket") {
                                    ++failures;
                                }
                            }
                        } catch (const Exception&) {
                            ++failures;
                        }
                    });
                });
            }
            for (auto& thread : threads) {
                thread.join();
            }
            return failures.load();
        },
        milliseconds(90000));
    EXPECT_EQ(codes, std::vector<int>(kProcesses, 0));
    EXPECT_EQ(test::WaitChild(hostile, milliseconds(30000)), 0);
    stop.SetEvent();
    EXPECT_EQ(test::WaitChild(service, milliseconds(30000)), 0);
    EXPECT_EQ(test::ReadFile(counts).value_or(""),
              Format("%d %d 0", kProcesses * kThreads, kProcesses * kThreads));
}

} // namespace
} // namespace qz
