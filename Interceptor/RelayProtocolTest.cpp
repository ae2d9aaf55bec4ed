#include "RelayProtocol.h"

#include "platform/LocalSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace qz::intercept {
namespace {

using platform::CloseHandle;
using platform::THandle;

/// A connected pair closed at the end of the test.
struct Pair {
    Pair() {
        auto pair = platform::CreateLocalSocketPair();
        EXPECT_TRUE(pair) << pair.error().Text();
        if (pair) {
            a = pair->first;
            b = pair->second;
        }
    }
    ~Pair() {
        CloseA();
        if (b >= 0) {
            CloseHandle(b);
        }
    }
    void CloseA() {
        if (a >= 0) {
            CloseHandle(a);
            a = -1;
        }
    }
    THandle a = -1;
    THandle b = -1;
};

std::string Payload(std::initializer_list<std::string_view> fields) {
    std::string payload;
    for (std::string_view field : fields) {
        payload.append(field);
        payload.push_back('\0');
    }
    return payload;
}

std::string Header(std::size_t size) {
    std::string header;
    for (int shift = 0; shift < 32; shift += 8) {
        header.push_back(static_cast<char>((size >> shift) & 0xff));
    }
    return header;
}

void Send(THandle fd, const std::string& bytes) {
    ASSERT_TRUE(platform::SendAll(fd, bytes.data(), bytes.size()));
}

Message RoundTrip(const Message& message) {
    auto frame = EncodeFrame(FieldsOf(message));
    EXPECT_TRUE(frame);
    auto fields = DecodePayload(std::string_view(*frame).substr(4));
    EXPECT_TRUE(fields);
    auto parsed = ParseFields(*fields);
    EXPECT_TRUE(parsed) << parsed.error().Text();
    return *parsed;
}

TEST(RelayProtocolTest, EveryMessageSurvivesEncodingAndDecoding) {
    RunMessage run{4242, "/home/u/b", "/usr/bin/gcc", {"cc", "-c", "", "a b.c", "\xff\x01"}};
    auto back = std::get<RunMessage>(RoundTrip(run));
    EXPECT_EQ(back.pid, 4242);
    EXPECT_EQ(back.cwd, run.cwd);
    EXPECT_EQ(back.program, run.program);
    EXPECT_EQ(back.argv, run.argv);

    EXPECT_EQ(std::get<LocalMessage>(RoundTrip(LocalMessage{""})).reason, "");
    EXPECT_EQ(std::get<LocalMessage>(RoundTrip(LocalMessage{"no slot"})).reason, "no slot");
    EXPECT_EQ(std::get<SlotMessage>(RoundTrip(SlotMessage{"7"})).step, "7");
    RemoteMessage remote{"9", "qzn1", {"/usr/bin/srun", "--jobid=5", "-w", "qzn1"}};
    auto remoteBack = std::get<RemoteMessage>(RoundTrip(remote));
    EXPECT_EQ(remoteBack.step, "9");
    EXPECT_EQ(remoteBack.node, "qzn1");
    EXPECT_EQ(remoteBack.prefix, remote.prefix);
    auto done = std::get<DoneMessage>(RoundTrip(DoneMessage{"3", true, 11}));
    EXPECT_TRUE(done.signalled);
    EXPECT_EQ(done.number, 11);
    done = std::get<DoneMessage>(RoundTrip(DoneMessage{"3", false, 255}));
    EXPECT_FALSE(done.signalled);
    EXPECT_EQ(done.number, 255);
    auto retry = std::get<RetryMessage>(RoundTrip(RetryMessage{"3", "Node failure"}));
    EXPECT_EQ(retry.reason, "Node failure");
    EXPECT_EQ(std::get<NoteMessage>(RoundTrip(NoteMessage{"x"})).text, "x");
    auto ask = std::get<AskMessage>(RoundTrip(AskMessage{run}));
    EXPECT_EQ(ask.pid, 4242);
    EXPECT_EQ(ask.argv, run.argv);
    EXPECT_TRUE(std::holds_alternative<BusyMessage>(RoundTrip(BusyMessage{})));
    auto started = std::get<StartedMessage>(RoundTrip(StartedMessage{"5", 31337}));
    EXPECT_EQ(started.step, "5");
    EXPECT_EQ(started.pid, 31337);
    auto handoff = std::get<HandoffMessage>(RoundTrip(HandoffMessage{"6", 4242, 1023}));
    EXPECT_EQ(handoff.step, "6");
    EXPECT_EQ(handoff.pid, 4242);
    EXPECT_EQ(handoff.index, 1023);
    auto reaped = std::get<ReapedMessage>(RoundTrip(ReapedMessage{"6", 4242, true, 9}));
    EXPECT_EQ(reaped.pid, 4242);
    EXPECT_TRUE(reaped.signalled);
    EXPECT_EQ(reaped.number, 9);
}

TEST(RelayProtocolTest, TheFrameIsALittleEndianLengthAndNulEndedStrings) {
    auto frame = EncodeFrame({"SLOT", "12"});
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, std::string("\x08\0\0\0SLOT\0"
                                  "12\0",
                                  12));
    EXPECT_EQ(KindOf(SlotMessage{"1"}), "SLOT");
    EXPECT_EQ(KindOf(RunMessage{}), "RUN");
    EXPECT_EQ(KindOf(NoteMessage{}), "NOTE");
}

TEST(RelayProtocolTest, WhatCannotBeSentIsRefusedBeforeSending) {
    EXPECT_EQ(EncodeFrame({}).error().code, EINVAL);
    EXPECT_EQ(EncodeFrame({"NOTE", std::string("a\0b", 3)}).error().code, EINVAL);
    // The payload limit counts the NUL bytes: exactly 4 MiB is fine, one byte more is not.
    std::string fill(kMaxFramePayload - 5 - 1, 'x');
    EXPECT_TRUE(EncodeFrame({"NOTE", fill}));
    EXPECT_EQ(EncodeFrame({"NOTE", fill + "y"}).error().code, EMSGSIZE);
    RunMessage huge{1, "/", "/bin/x", {"x", std::string(kMaxFramePayload, 'a')}};
    Pair pair;
    EXPECT_EQ(WriteMessage(pair.a, huge).error().code, EMSGSIZE);
    // Nothing reached the peer: the next message is the first it reads.
    ASSERT_TRUE(WriteMessage(pair.a, SlotMessage{"1"}));
    auto read = ReadMessage(pair.b);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::get<SlotMessage>(*read).step, "1");
}

TEST(RelayProtocolTest, MalformedMessagesAreRejected) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"HELLO"},
        {"run", "1", "1", "/", "/bin/x", "1", "x"},
        {"RUN", "2", "1", "/", "/bin/x", "1", "x"},
        {"RUN", "1", "0", "/", "/bin/x", "1", "x"},
        {"RUN", "1", "-1", "/", "/bin/x", "1", "x"},
        {"RUN", "1", "+1", "/", "/bin/x", "1", "x"},
        {"RUN", "1", "99999999999", "/", "/bin/x", "1", "x"},
        {"RUN", "1", "1", "rel", "/bin/x", "1", "x"},
        {"RUN", "1", "1", "/", "bin/x", "1", "x"},
        {"RUN", "1", "1", "/", "/bin/x", "2", "x"},
        {"RUN", "1", "1", "/", "/bin/x", "0"},
        {"RUN", "1", "1", "/", "/bin/x", "01", "x"},
        {"RUN", "1", "1", "/", "/bin/x"},
        {"ASK", "1", "1", "/", "bin/x", "1", "x"},
        {"ASK", "1", "1", "/", "/bin/x", "2", "x"},
        {"BUSY", ""},
        {"HANDOFF", "1", "5"},
        {"HANDOFF", "1", "5", "1024"},
        {"HANDOFF", "1", "1", "0"},
        {"HANDOFF", "", "5", "0"},
        {"REAPED", "1", "5", "exit"},
        {"REAPED", "1", "5", "exit", "256"},
        {"REAPED", "1", "5", "signal", "0"},
        {"REAPED", "1", "0", "exit", "0"},
        {"REAPED", "1", "5", "died", "1"},
        {"STARTED", "1"},
        {"STARTED", "", "5"},
        {"STARTED", "1", "1"},
        {"STARTED", "1", "0"},
        {"STARTED", "1", "-5"},
        {"STARTED", "1", "99999999999"},
        {"LOCAL"},
        {"LOCAL", "a", "b"},
        {"SLOT"},
        {"SLOT", ""},
        {"SLOT", "1", "2"},
        {"REMOTE", "1", "n", "0"},
        {"REMOTE", "1", "n", "2", "srun"},
        {"REMOTE", "1", "", "1", "srun"},
        {"REMOTE", "", "n", "1", "srun"},
        {"REMOTE", "1", "n", "x", "srun"},
        {"DONE", "1", "exit"},
        {"DONE", "1", "exit", "256"},
        {"DONE", "1", "exit", " 1"},
        {"DONE", "1", "signal", "0"},
        {"DONE", "1", "signal", "65"},
        {"DONE", "1", "core", "1"},
        {"DONE", "", "exit", "0"},
        {"RETRY", "1"},
        {"RETRY", "", "why"},
        {"NOTE"},
    };
    for (const auto& fields : bad) {
        auto parsed = ParseFields(fields);
        std::string shown;
        for (const auto& field : fields) {
            shown += "[" + field + "]";
        }
        ASSERT_FALSE(parsed) << shown;
        EXPECT_EQ(parsed.error().code, EPROTO) << shown;
    }
    EXPECT_FALSE(DecodePayload(""));
    EXPECT_FALSE(DecodePayload("SLOT"));
    EXPECT_FALSE(DecodePayload(std::string("SLOT\0"
                                           "1",
                                           6)));
    auto fields = DecodePayload(std::string("LOCAL\0\0", 7));
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->size(), 2u);
}

TEST(RelayProtocolTest, AFrameArrivingInPiecesIsReadWhole) {
    Pair pair;
    auto frame = EncodeFrame(FieldsOf(RemoteMessage{"4", "n2", {"srun", "-w", "n2"}}));
    ASSERT_TRUE(frame);
    std::thread writer([&] {
        for (char byte : *frame) {
            platform::SendAll(pair.a, &byte, 1);
            std::this_thread::yield();
        }
    });
    auto read = ReadMessage(pair.b);
    writer.join();
    ASSERT_TRUE(read) << read.error().Text();
    EXPECT_EQ(std::get<RemoteMessage>(*read).prefix.size(), 3u);
}

TEST(RelayProtocolTest, AClosedPeerIsReportedAsClosedWhereverItStops) {
    for (std::size_t keep : {0, 2, 4, 7}) {
        Pair pair;
        std::string frame = Header(8) + Payload({"SLOT", "12"});
        Send(pair.a, frame.substr(0, keep));
        pair.CloseA();
        auto read = ReadMessage(pair.b);
        ASSERT_FALSE(read) << keep;
        EXPECT_EQ(read.error().code, ECONNRESET) << keep;
    }
}

TEST(RelayProtocolTest, HostileFramesAreRejectedWithoutReadingOn) {
    {
        // A length over the limit is refused before any allocation or further read.
        Pair pair;
        Send(pair.a, Header(kMaxFramePayload + 1));
        auto read = ReadMessage(pair.b);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().code, EMSGSIZE);
    }
    {
        Pair pair;
        Send(pair.a, std::string("\xff\xff\xff\xff", 4));
        EXPECT_EQ(ReadMessage(pair.b).error().code, EMSGSIZE);
    }
    for (const std::string& payload :
         {std::string(), std::string("SLOT"), Payload({"SLOT"}), Payload({"EXPLODE", "1"}),
          std::string("\0\0\0\0", 4), Payload({"DONE", "1", "exit", "1000"})}) {
        Pair pair;
        Send(pair.a, Header(payload.size()) + payload);
        auto read = ReadMessage(pair.b);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().code, EPROTO);
    }
}

TEST(RelayProtocolTest, TheLargestFrameIsCarried) {
    Pair pair;
    // Bigger than the socket buffers: the writer blocks until the reader takes it.
    RunMessage run{1, "/", "/bin/x", {"x", std::string(kMaxFramePayload - 40, 'q')}};
    platform::Result<> written;
    std::thread writer([&] { written = WriteMessage(pair.a, run); });
    auto read = ReadMessage(pair.b);
    writer.join();
    ASSERT_TRUE(written) << written.error().Text();
    ASSERT_TRUE(read) << read.error().Text();
    EXPECT_EQ(std::get<RunMessage>(*read).argv[1].size(), kMaxFramePayload - 40);
}

TEST(RelayProtocolTest, WritingToAClosedPeerFailsWithoutASignal) {
    Pair pair;
    CloseHandle(pair.b);
    pair.b = -1;
    auto written = WriteMessage(pair.a, SlotMessage{"1"});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, EPIPE);
}

} // namespace
} // namespace qz::intercept
