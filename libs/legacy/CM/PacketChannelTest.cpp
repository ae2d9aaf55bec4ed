#include "PacketChannel.h"

#include "CommTesting.h"
#include "Exceptions.h"
#include "ServicePackets.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace qz {
namespace {

using commtest::CommTest;
using commtest::OnFreshThread;
using std::chrono::milliseconds;

constexpr std::uint32_t kSection = 0x10000;

// A packet whose class no process registers: TPacket framing with an unknown GUID.
std::string UnknownClassPacket() {
    TVirtualStream body;
    TQueryServiceStatusPacket().SaveToStream(body);
    std::string bytes = body.AsString();
    // The class GUID follows the 4-byte length and the 4-byte version in the packet header;
    // find it by its known text instead of relying on the offset.
    TGuid known = TQueryServiceStatusPacket::StaticClass().ClassGUID();
    std::string needle(reinterpret_cast<const char*>(known.Bytes()), 16);
    std::size_t at = bytes.find(needle);
    EXPECT_NE(at, std::string::npos);
    TGuid unknown = NewGuid();
    bytes.replace(at, 16, reinterpret_cast<const char*>(unknown.Bytes()), 16);
    return bytes;
}

struct Collector {
    std::vector<std::string> classes;
    std::vector<std::int32_t> ids;
    std::vector<std::string> exceptionTexts;
    void operator()(TPacketChannelMessage& message) {
        classes.push_back(message.Packet().ClassName());
        ids.push_back(message.MessageId());
        if (auto* e = dynamic_cast<TCommExceptionPacket*>(&message.Packet())) {
            exceptionTexts.push_back(e->Str(TCommExceptionPacket::ExceptionMessage));
        }
    }
};

class PacketChannelTest : public CommTest {};

TEST_F(PacketChannelTest, ConnectReportsEachReason) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid own = NewGuid();
        TPacketChannelSender missing(queue, own, NewGuid(), SessionGlobal, kSection);
        EXPECT_FALSE(missing.Connect());
        EXPECT_EQ(missing.DisconnectReason(), "Server is not reachable");

        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        receiver.ControlBlock().Version = 2;
        TPacketChannelSender old(queue, own, target, SessionGlobal, kSection);
        EXPECT_FALSE(old.Connect());
        EXPECT_EQ(old.DisconnectReason(), "Unknown protocol version");

        receiver.ControlBlock().Version = kChannelVersion;
        receiver.ControlBlock().Valid = 0;
        TPacketChannelSender invalid(queue, own, target, SessionGlobal, kSection);
        EXPECT_FALSE(invalid.Connect());
        EXPECT_EQ(invalid.DisconnectReason(), "Connection object marked as invalid");

        receiver.ControlBlock().Valid = 1;
        TPacketChannelSender good(queue, own, target, SessionGlobal, kSection);
        ASSERT_TRUE(good.Connect());
        receiver.MarkTerminated();
        TPacketChannelSender late(queue, own, target, SessionGlobal, kSection);
        EXPECT_FALSE(late.Connect());
        EXPECT_EQ(late.DisconnectReason(), "Connection object marked as terminated");
        // A connected sender learns it at its next send, which then returns 0.
        int disconnects = 0;
        good.SetOnDisconnect([&](TPacketChannelSender&) { ++disconnects; });
        EXPECT_EQ(good.Send(0, TPacket(), 0), 0);
        EXPECT_EQ(disconnects, 1);
        EXPECT_EQ(good.DisconnectReason(), "Connection object marked as terminated");
        EXPECT_EQ(DisconnectReasonText(8), "Connection object was released");
        EXPECT_EQ(DisconnectReasonText(9), "Unknown state (9)");
    });
}

TEST_F(PacketChannelTest, MessagesArriveInOrderAndTheBufferShrinksAfterwards) {
    OnFreshThread([this](TNotifyQueue& queue) {
        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        Collector got;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) { got(m); });
        TPacketChannelSender sender(queue, NewGuid(), target, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        TStartJobRequestPacket big;
        big.SetStr(TStartJobRequestPacket::ComponentDisplayName, std::string(kSection * 2, 'x'));
        EXPECT_EQ(sender.Send(0, TQueryServiceStatusPacket(), 0), 1);
        EXPECT_EQ(sender.Send(0, big, 0), 2);
        EXPECT_EQ(sender.Send(77, TPacket(), cfReply), 77);
        EXPECT_EQ(CountObjects("SharedStream_Section_"), 3);
        ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == 3; }));
        EXPECT_EQ(got.ids, (std::vector<std::int32_t>{1, 2, 77}));
        EXPECT_EQ(got.classes[1], "TStartJobRequestPacket");
        EXPECT_EQ(receiver.ControlBlock().PendingEnd, 0);
        // 4000 ms after the last arrival the stream goes back to one section; the sender lets
        // go of its views of the dropped sections at its next send.
        EXPECT_TRUE(commtest::RunLoopUntil(
            queue, [&] { return receiver.Stream().Capacity() == kSection; }, milliseconds(8000)));
        EXPECT_EQ(sender.Send(0, TPacket(), 0), 3);
        ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == 4; }));
        EXPECT_EQ(CountObjects("SharedStream_Section_"), 1);
    });
}

TEST_F(PacketChannelTest, PacketOfAnUnregisteredClassArrivesAsExceptionPacket) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        Collector got;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) { got(m); });
        std::string message = commtest::EncodeMessage(TPacket(), 0, 5, NewGuid());
        std::string body = UnknownClassPacket();
        MessageHeader header;
        std::memcpy(&header, message.data(), sizeof header);
        header.Length = static_cast<std::int32_t>(sizeof header + body.size());
        std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
        commtest::AppendRaw(target, SessionGlobal, bytes + body);
        commtest::AppendRaw(target, SessionGlobal,
                            commtest::EncodeMessage(TQueryServiceStatusPacket(), 0, 6, NewGuid()));
        ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == 2; }));
        EXPECT_EQ(got.classes,
                  (std::vector<std::string>{"TCommExceptionPacket", "TQueryServiceStatusPacket"}));
        ASSERT_EQ(got.exceptionTexts.size(), 1u);
        EXPECT_NE(got.exceptionTexts[0].find("Unregistered packet class: {"), std::string::npos)
            << got.exceptionTexts[0];
    });
}

// Hostile framing: a broken header is skipped up to the next well-formed one; the reader never
// loops, never terminates the channel, and the messages around the damage get through.
TEST_F(PacketChannelTest, BrokenFramingIsSkippedAndTheChannelKeepsWorking) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        Collector got;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) { got(m); });
        TQueryServiceStatusPacket packet;
        TGuid reply = NewGuid();
        std::string good = commtest::EncodeMessage(packet, 0, 1, reply);
        const std::int32_t n = static_cast<std::int32_t>(good.size());
        std::vector<std::string> broken = {
            commtest::EncodeMessage(packet, 0, 2, reply, -100),     // negative length
            commtest::EncodeMessage(packet, 0, 2, reply, 0),        // zero length
            commtest::EncodeMessage(packet, 0, 2, reply, 43),       // shorter than a header
            commtest::EncodeMessage(packet, 0, 2, reply, n + 1000), // beyond the pending data
            commtest::EncodeMessage(packet, 0, 2, reply, n, 4),     // future version
            good.substr(0, 20),                                     // header cut short
            std::string(300, '\xA5'),                               // random bytes
        };
        std::size_t expected = 0;
        for (const std::string& bad : broken) {
            commtest::AppendRaw(target, SessionGlobal, good + bad, false);
            commtest::AppendRaw(target, SessionGlobal, good);
            // The messages before and after the broken one arrive; the broken one is dropped.
            expected += 2;
            ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == expected; }))
                << "after " << got.ids.size();
            EXPECT_EQ(receiver.ControlBlock().Terminated, 0);
            EXPECT_EQ(receiver.ControlBlock().PendingEnd, 0);
            commtest::AppendRaw(target, SessionGlobal, good);
            expected += 1;
            ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == expected; }));
        }
        // A packet that does not fill its message exactly arrives as an exception packet and
        // the message after it is read from the right place.
        std::string padded = commtest::EncodeMessage(packet, 0, 3, reply, n + 8) + "12345678";
        commtest::AppendRaw(target, SessionGlobal, padded + good);
        ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == expected + 2; }));
        EXPECT_EQ(got.classes[expected], "TCommExceptionPacket");
        EXPECT_EQ(got.classes[expected + 1], "TQueryServiceStatusPacket");
        // A pending end beyond the stream is dropped, not allocated.
        receiver.ControlBlock().PendingEnd = 0x7FFFFF00;
        commtest::AppendRaw(target, SessionGlobal, "", true);
        ASSERT_TRUE(
            commtest::RunLoopUntil(queue, [&] { return receiver.ControlBlock().PendingEnd == 0; }));
        for (const std::string& cls : got.classes) {
            EXPECT_TRUE(cls == "TQueryServiceStatusPacket" || cls == "TCommExceptionPacket");
        }
    });
}

TEST_F(PacketChannelTest, SendRefusesToPassTheChannelLimit) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        TPacketChannelSender sender(queue, NewGuid(), target, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        receiver.ControlBlock().PendingEnd = 0x7FFFFFF0;
        EXPECT_EQ(sender.Send(0, TQueryServiceStatusPacket(), 0), 0);
        EXPECT_TRUE(sender.Connected());
        receiver.ControlBlock().PendingEnd = 0;
        EXPECT_GT(sender.Send(0, TQueryServiceStatusPacket(), 0), 0);
    });
}

TEST_F(PacketChannelTest, DuplicateReplyIsDroppedAndOtherMessagesWaitForTheLoop) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid own = NewGuid();
        TGuid peer = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, own);
        TPacketChannelReceiver peerReceiver(queue, SessionGlobal, kSection, peer);
        Collector got;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) { got(m); });
        TPacketChannelSender sender(queue, own, peer, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        std::int32_t id = sender.Send(0, TQueryServiceStatusPacket(), cfRequest);
        ASSERT_EQ(id, 1);
        TQueryServiceStatusReplyPacket answer;
        std::string bytes = commtest::EncodeMessage(TPacket(), 0, 40, peer) +
                            commtest::EncodeMessage(answer, cfReply, id, peer) +
                            commtest::EncodeMessage(TPacket(), cfReply, id, NewGuid()) +
                            commtest::EncodeMessage(answer, cfReply, id, peer) +
                            commtest::EncodeMessage(TPacket(), 0, 41, peer);
        commtest::AppendRaw(own, SessionGlobal, bytes, false);
        auto reply = receiver.WaitForReply(sender, id, 5000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->Packet().ClassName(), "TQueryServiceStatusReplyPacket");
        EXPECT_TRUE(got.ids.empty()) << "nothing is dispatched inside the wait";
        ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == 3; }));
        // The reply from another channel is no match and is delivered; the duplicate is gone.
        EXPECT_EQ(got.ids, (std::vector<std::int32_t>{40, 1, 41}));
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(receiver.PendingMessageCount(), 0u);
    });
}

TEST_F(PacketChannelTest, ReplyTimeOutNamesTheSecondsAndTheEvent) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid own = NewGuid();
        TGuid peer = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, own);
        receiver.SetOnMessage([](TPacketChannelMessage&) {});
        TPacketChannelReceiver silent(queue, SessionGlobal, kSection, peer);
        TPacketChannelSender sender(queue, own, peer, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        receiver.SetDefaultReplyTimeout(2000);
        std::int32_t id = sender.Send(0, TQueryServiceStatusPacket(), cfRequest);
        auto started = std::chrono::steady_clock::now();
        try {
            receiver.WaitForReply(sender, id, 0);
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(),
                      "Timed out waiting for reply from local connection (after 2 "
                      "seconds; Event name: " +
                          TNotifyQueue::MakeExternalEventName(queue.ExternalEventGuid()) + ")");
        }
        auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_GE(waited, milliseconds(1900));
        EXPECT_LT(waited, milliseconds(6000));
    });
}

TEST_F(PacketChannelTest, MessageIdZeroFailsAtOnce) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid own = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, own);
        receiver.SetOnMessage([](TPacketChannelMessage&) {});
        TPacketChannelSender sender(queue, own, NewGuid(), SessionGlobal, kSection);
        EXPECT_FALSE(sender.Connect());
        auto started = std::chrono::steady_clock::now();
        try {
            receiver.WaitForReply(sender, 0, 0);
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Connection terminated while waiting for reply from local "
                                   "connection: Server is not reachable");
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(500));
    });
}

// The peer answers with two one-way messages, the reply and one more, all in one burst; the
// reply is found although it is not the last message, and the others follow in order.
TEST_F(PacketChannelTest, ReplyAmongOtherMessagesFromAnotherProcess) {
    TGuid serverGuid = NewGuid();
    TGuid clientGuid = NewGuid();
    TWinEvent ready(NullDaclSecurityAttributes(), "Global\\" + test::UniqueName("ready"), true,
                    false);
    int child = commtest::ForkPeer([&](TNotifyQueue& queue) {
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, serverGuid);
        std::unique_ptr<TPacketChannelSender> back;
        bool done = false;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) {
            back = std::make_unique<TPacketChannelSender>(queue, serverGuid, m.ReplyChannel(),
                                                          m.SenderSession(), kSection);
            if (!back->Connect()) {
                return;
            }
            back->Send(0, TPacket(), 0);
            back->Send(0, TQueryServiceStatusPacket(), 0);
            back->Send(m.MessageId(), TQueryServiceStatusReplyPacket(), cfReply);
            back->Send(0, TStopJobPacket(), 0);
            done = true;
        });
        ready.SetEvent();
        commtest::RunLoopUntil(
            queue, [&] { return done; }, milliseconds(10000));
        // Stay until the client has read everything.
        std::this_thread::sleep_for(milliseconds(300));
        return done ? 0 : 1;
    });
    ASSERT_TRUE(ready.WaitFor(10000));
    OnFreshThread([&](TNotifyQueue& queue) {
        TPacketChannelReceiver receiver(queue, SessionLocal, kSection, clientGuid);
        Collector got;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) { got(m); });
        TPacketChannelSender sender(queue, clientGuid, serverGuid, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        std::int32_t id = sender.Send(0, TQueryServiceStatusPacket(), cfRequest);
        auto reply = receiver.WaitForReply(sender, id, 10000);
        EXPECT_EQ(reply->Packet().ClassName(), "TQueryServiceStatusReplyPacket");
        EXPECT_EQ(reply->SenderSession(), SessionGlobal);
        ASSERT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == 3; }));
        EXPECT_EQ(got.classes, (std::vector<std::string>{"TPacket", "TQueryServiceStatusPacket",
                                                         "TStopJobPacket"}));
        EXPECT_EQ(got.ids, (std::vector<std::int32_t>{1, 2, 3}));
    });
    EXPECT_EQ(test::WaitChild(child, milliseconds(15000)), 0);
}

// A receiver whose process was killed: the requester notices within the remote-thread check
// instead of waiting out its time-out.
TEST_F(PacketChannelTest, KilledReceiverEndsTheWaitWithReasonFive) {
    TGuid serverGuid = NewGuid();
    TWinEvent ready(NullDaclSecurityAttributes(), "Global\\" + test::UniqueName("ready"), true,
                    false);
    int child = commtest::ForkPeer([&](TNotifyQueue& queue) {
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, serverGuid);
        receiver.SetOnMessage([](TPacketChannelMessage&) {});
        ready.SetEvent();
        commtest::RunLoopUntil(
            queue, [] { return false; }, milliseconds(60000));
        return 0;
    });
    ASSERT_TRUE(ready.WaitFor(10000));
    OnFreshThread([&](TNotifyQueue& queue) {
        TGuid own = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionLocal, kSection, own);
        receiver.SetOnMessage([](TPacketChannelMessage&) {});
        TPacketChannelSender sender(queue, own, serverGuid, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        std::int32_t id = sender.Send(0, TQueryServiceStatusPacket(), cfRequest);
        std::thread killer([&] {
            std::this_thread::sleep_for(milliseconds(200));
            test::KillChild(child);
        });
        auto started = std::chrono::steady_clock::now();
        try {
            receiver.WaitForReply(sender, id, 0);
            ADD_FAILURE() << "a reply came from a killed process";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Connection terminated while waiting for reply from local "
                                   "connection: Connection object remote thread has terminated");
        }
        killer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(9000));
    });
}

// A sender killed while it holds the channel's lock: the next locker takes the lock over from
// the dead thread, and the channel goes on.
TEST_F(PacketChannelTest, SenderKilledInsideItsAppendDoesNotBlockTheChannel) {
    OnFreshThread([](TNotifyQueue& queue) {
        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        Collector got;
        receiver.SetOnMessage([&](TPacketChannelMessage& m) { got(m); });
        TWinEvent locked(NullDaclSecurityAttributes(), "Global\\" + test::UniqueName("locked"),
                         true, false);
        int child = test::ForkChild([&] {
            std::thread holder([&] {
                SpinLock(receiver.ControlBlock().Lock, INFINITE, 0);
                locked.SetEvent();
                std::this_thread::sleep_for(milliseconds(60000));
            });
            holder.join();
            return 0;
        });
        ASSERT_TRUE(locked.WaitFor(10000));
        test::KillChild(child);
        TPacketChannelSender sender(queue, NewGuid(), target, SessionGlobal, kSection);
        ASSERT_TRUE(sender.Connect());
        EXPECT_EQ(sender.Send(0, TQueryServiceStatusPacket(), 0), 1);
        EXPECT_TRUE(commtest::RunLoopUntil(queue, [&] { return got.ids.size() == 1; }));
    });
}

// The names of a channel are fixed or visible, so another user could create them first: an
// object that belongs to somebody else is refused wherever a sender meets it.
TEST_F(PacketChannelTest, ObjectsOfAnotherOwnerAreRefused) {
    auto chown = [this](const std::string& part, const std::string& owner) {
        for (const std::string& name : ListFiles()) {
            if (name.find(part) != std::string::npos) {
                return test::RunProgram({"/bin/chown", owner, dir_ / name}).exitCode == 0;
            }
        }
        return false;
    };
    OnFreshThread([&](TNotifyQueue& queue) {
        TGuid target = NewGuid();
        TPacketChannelReceiver receiver(queue, SessionGlobal, kSection, target);
        if (!chown("Channel_Data", "65534")) {
            GTEST_SKIP() << "changing a file's owner needs root";
        }
        TPacketChannelSender one(queue, NewGuid(), target, SessionGlobal, kSection);
        EXPECT_FALSE(one.Connect());
        EXPECT_EQ(one.DisconnectReason(), "Server is not reachable");
        ASSERT_TRUE(chown("Channel_Data", "0"));

        ASSERT_TRUE(chown("Tamrel_NotifyEvent_", "65534"));
        TPacketChannelSender two(queue, NewGuid(), target, SessionGlobal, kSection);
        EXPECT_FALSE(two.Connect());
        EXPECT_EQ(two.DisconnectReason(), "Connection object event could not be opened");
        ASSERT_TRUE(chown("Tamrel_NotifyEvent_", "0"));

        ASSERT_TRUE(chown("SharedStream_Data", "65534"));
        TPacketChannelSender three(queue, NewGuid(), target, SessionGlobal, kSection);
        EXPECT_THROW(three.Connect(), Exception);
        EXPECT_EQ(three.DisconnectReason(), "Unknown error");
        ASSERT_TRUE(chown("SharedStream_Data", "0"));

        ASSERT_TRUE(chown("SharedStream_Section_0", "65534"));
        TPacketChannelSender four(queue, NewGuid(), target, SessionGlobal, kSection);
        ASSERT_TRUE(four.Connect());
        EXPECT_EQ(four.Send(0, TQueryServiceStatusPacket(), 0), 0);
        ASSERT_TRUE(chown("SharedStream_Section_0", "0"));
    });
}

} // namespace
} // namespace qz
