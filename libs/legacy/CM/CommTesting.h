#pragma once

// Helpers of the local communication tests: a fixture that keeps the named objects of a test in
// a folder of its own and checks that none is left behind, peers on fresh threads and in forked
// processes, and a raw writer that puts arbitrary bytes into a channel as a hostile peer would.

#include "GrowingSharedStream.h"
#include "LocalComm.h"
#include "NotifyQueue.h"
#include "PacketChannel.h"
#include "ProductInfo.h"
#include "StreamUtils.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"
#include "platform/SharedSection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qz::commtest {

/// Named objects of the test live in a temporary folder under a unique prefix; at the end, after
/// the janitor has run, no object file of the prefix may be left (the machine-wide thread-UID
/// blocks excepted).
class CommTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = test::UniqueName("cm");
        platform::SetObjectDirectory(dir_.path());
        platform::SetObjectPrefix(prefix_);
    }
    void TearDown() override {
        platform::SweepObjectLeftovers();
        EXPECT_EQ(LeftoverObjects(), std::vector<std::string>{});
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }
    /// Object files of the test's prefix other than the thread-UID blocks.
    std::vector<std::string> LeftoverObjects() const {
        std::vector<std::string> left;
        for (const std::string& name : ListFiles()) {
            if (name.rfind(platform::ObjectPrefix() + ".", 0) == 0 &&
                name.find("Tamrel_SessionData_0") == std::string::npos &&
                name.find("Tamrel_SessionThreads") == std::string::npos) {
                left.push_back(name);
            }
        }
        return left;
    }
    std::vector<std::string> ListFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    /// Object files whose name contains the text.
    int CountObjects(const std::string& part) const {
        int n = 0;
        for (const std::string& name : ListFiles()) {
            n += name.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    /// How a program under test is started against this test's objects: in the test's folder,
    /// with the settings store there, the object folder and prefix of the test, and no build
    /// context inherited from whoever runs the tests.
    test::RunOptions ProgramOptions() const {
        test::RunOptions options;
        options.cwd = dir_.path();
        options.env.emplace("TamrelBuildContext", std::nullopt);
        options.env.emplace("qzConsoleParams", std::nullopt);
        options.env.emplace("TamrelRegistryRoot", dir_.path());
        options.env.emplace("TamrelObjectDir", dir_.path());
        options.env.emplace("TamrelObjectPrefix", prefix_);
        return options;
    }

    test::TempDir dir_;
    std::string prefix_;
};

/// Runs body on a new thread that has a notify queue of its own (a thread holds one queue).
template <typename Body>
void OnFreshThread(Body body) {
    std::thread thread([&] {
        TNotifyQueue queue;
        queue.AttachToThread();
        body(queue);
    });
    thread.join();
}

/// Forks a process whose body runs on a thread with a fresh queue; returns its pid.
inline int ForkPeer(const std::function<int(TNotifyQueue& queue)>& body) {
    return test::ForkChild([&] {
        int rc = 98;
        OnFreshThread([&](TNotifyQueue& queue) { rc = body(queue); });
        return rc;
    });
}

/// Appends raw bytes after the pending messages of the channel, exactly as a sender would but
/// without any check, and sets the receiver's wake event.
inline void AppendRaw(const TGuid& channel, int session, const std::string& bytes,
                      bool wake = true) {
    std::unique_ptr<platform::SharedSection> block;
    ASSERT_EQ(test::Unpack(platform::SharedSection::Open(
                               MakeSessionObjectName(channel, session, "Channel_Data", false),
                               sizeof(ChannelControlBlock), false, platform::ObjectAccess::Shared),
                           block),
              0);
    auto& control = *static_cast<ChannelControlBlock*>(block->Data());
    TGrowingSharedStream stream(channel, session, false, 0);
    SpinLock(control.Lock, INFINITE, 0);
    std::int32_t start = std::max(control.PendingEnd, 0);
    stream.SetPosition(start);
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    control.PendingEnd = start + static_cast<std::int32_t>(bytes.size());
    SpinUnlock(control.Lock);
    if (wake) {
        TWinEvent(TNotifyQueue::MakeExternalEventName(control.WakeGuid), false).SetEvent();
    }
}

/// A message: header fields as given, then the packet in header framing. A length of INT32_MIN
/// means the true length.
inline std::string EncodeMessage(const TPacket& packet, std::uint8_t flags, std::int32_t messageId,
                                 const TGuid& replyChannel, std::int32_t length = INT32_MIN,
                                 std::int32_t version = kChannelVersion) {
    TVirtualStream body;
    packet.SaveToStream(body);
    MessageHeader header{};
    header.Version = version;
    header.Flags = flags;
    header.MessageId = messageId;
    header.reserved12 = 0xFFFFFFFF;
    header.ReplyChannel = replyChannel;
    header.SenderSession = SessionGlobal;
    header.Length =
        length == INT32_MIN ? static_cast<std::int32_t>(sizeof header + body.Size()) : length;
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes += body.AsString();
    return bytes;
}

/// Waits (polling) until the predicate holds or the deadline passes; the last result.
inline bool WaitUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// Runs the queue's loop until the predicate holds (looked at every 10 ms and on every pass) or
/// the deadline passes; the last result.
inline bool RunLoopUntil(TNotifyQueue& queue, const std::function<bool()>& predicate,
                         std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    struct Watch {
        TNotifyQueue* queue;
        const std::function<bool()>* predicate;
        std::chrono::steady_clock::time_point end;
        void Check() {
            if ((*predicate)() || std::chrono::steady_clock::now() > end) {
                queue->ShutDownLoop();
            }
        }
    } watch{&queue, &predicate, std::chrono::steady_clock::now() + deadline};
    TMethod check = TMethod::Of<&Watch::Check>(&watch);
    queue.AddTimer(10, check);
    queue.AddExternalNotification(&watch, check);
    queue.Run();
    queue.RemoveTimer(check);
    queue.ClearExternalQueue(&watch);
    queue.ClearQueue(&watch);
    return predicate();
}

/// A stand-in agent service for the console's black-box tests: a forked process serving "Build
/// Service" under ServiceGuid() with the methods setup adds, until Stop(), Kill() or the end of
/// its lifetime. Make it after CommTest::SetUp has chosen the object folder and prefix, and
/// destroy it before CommTest::TearDown (the destructor stops a service still running). The
/// handlers run in the child after setup returned: they capture setup's locals by value.
class StandInAgent {
public:
    using Setup = std::function<void(TLocalCommServer& server)>;

    StandInAgent() : stop_(NullDaclSecurityAttributes(), stopName_, true, false) {}
    ~StandInAgent() {
        if (pid_ > 0) {
            EXPECT_EQ(Stop(), 0);
        }
    }
    StandInAgent(const StandInAgent&) = delete;
    StandInAgent& operator=(const StandInAgent&) = delete;

    /// Forks the service and waits up to 10 s until it serves; false when it did not.
    bool Start(const Setup& setup,
               std::chrono::milliseconds lifetime = std::chrono::milliseconds(120000)) {
        TWinEvent ready(NullDaclSecurityAttributes(), readyName_, true, false);
        pid_ = ForkPeer([&](TNotifyQueue& queue) {
            TLocalCommServer server(ServiceGuid(), SessionGlobal, 0x200000, nullptr, &queue);
            setup(server);
            TWinEvent stop(stopName_, false);
            TWinEvent(readyName_, false).SetEvent();
            RunLoopUntil(
                queue, [&] { return WaitForObject(stop.Handle(), 0, wfTimeoutResult); }, lifetime);
            return 0;
        });
        return ready.WaitFor(10000);
    }

    /// Asks the service to end and waits for it (10 s): its exit code, 0 for a clean end; -1 when
    /// none runs.
    int Stop() {
        if (pid_ <= 0) {
            return -1;
        }
        stop_.SetEvent();
        return test::WaitChild(std::exchange(pid_, 0), std::chrono::milliseconds(10000));
    }

    /// Kills the service at once, as a crash would.
    void Kill() {
        if (pid_ > 0) {
            test::KillChild(std::exchange(pid_, 0));
        }
    }

private:
    std::string readyName_ = "Global\\" + test::UniqueName("ready");
    std::string stopName_ = "Global\\" + test::UniqueName("stop");
    TWinEvent stop_;
    int pid_ = 0;
};

} // namespace qz::commtest
