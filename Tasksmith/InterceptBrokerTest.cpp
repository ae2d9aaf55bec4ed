#include "InterceptBroker.h"

#include "RelayProtocol.h"
#include "TestSupport.h"
#include "platform/File.h"
#include "platform/LocalSocket.h"
#include "platform/Pipe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::tasksmith {
namespace {

using namespace std::chrono_literals;
using intercept::Message;

constexpr const char* kProfile = R"(<InterceptProfile version="1">
  <Tool program="cc" remote="true"><Count arg="-c"/><Local arg="--version"/></Tool>
  <Tool program="gen" remote="false"/>
</InterceptProfile>)";

// A stand-in relay: one connection to the broker, speaking the frames a relay speaks.
class Relay {
public:
    explicit Relay(const std::string& socket) {
        auto connected = platform::ConnectLocalSocket(socket);
        EXPECT_TRUE(connected.has_value());
        fd_ = connected.value_or(platform::kInvalidHandle);
    }
    ~Relay() { Close(); }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    void Close() {
        if (fd_ != platform::kInvalidHandle) {
            platform::CloseHandle(fd_);
            fd_ = platform::kInvalidHandle;
        }
    }

    void Send(const Message& message) {
        ASSERT_TRUE(intercept::WriteMessage(fd_, message).has_value());
    }
    void SendBytes(const std::string& bytes) {
        ASSERT_TRUE(platform::SendAll(fd_, bytes.data(), bytes.size()).has_value());
    }
    void Run(const std::vector<std::string>& argv, const std::string& cwd = "/work/b") {
        Send(intercept::RunMessage{static_cast<int>(getpid()), cwd, "/usr/bin/" + argv[0], argv});
    }
    void Ask(const std::vector<std::string>& argv, const std::string& cwd = "/work/b") {
        Send(intercept::AskMessage{{static_cast<int>(getpid()), cwd, "/usr/bin/" + argv[0], argv}});
    }
    void Done(const std::string& step, int code = 0) {
        Send(intercept::DoneMessage{step, false, code});
    }

    /// Whether an answer (or the end of the connection) is there within the time.
    bool Ready(int ms) {
        auto ready = platform::WaitReadable({fd_}, ms);
        return ready && (*ready)[0];
    }
    /// The broker's answer; fails the test when none comes within 10 s.
    Message Answer() {
        EXPECT_TRUE(Ready(10000)) << "no answer from the broker";
        auto message = intercept::ReadMessage(fd_);
        EXPECT_TRUE(message.has_value()) << (message ? "" : message.error().Text());
        return message.value_or(Message{intercept::NoteMessage{"none"}});
    }
    /// True when the broker closed the connection without a message.
    bool ClosedByBroker() {
        if (!Ready(10000)) {
            return false;
        }
        char byte = 0;
        auto got = platform::ReceiveExact(fd_, &byte, 1);
        // A close with something unread on the broker's side reads as a reset.
        return got ? *got == 0 : got.error().code == ECONNRESET;
    }

private:
    platform::THandle fd_ = platform::kInvalidHandle;
};

// The bytes of a RUN frame for "cc -c <source>", for relays that send them piecemeal.
std::string RunFrame(const std::string& source) {
    return intercept::EncodeFrame(intercept::FieldsOf(intercept::RunMessage{
                                      1, "/work/b", "/usr/bin/cc", {"cc", "-c", source}}))
        .value();
}

std::string StepOf(const Message& message) {
    if (const auto* slot = std::get_if<intercept::SlotMessage>(&message)) {
        return slot->step;
    }
    if (const auto* remote = std::get_if<intercept::RemoteMessage>(&message)) {
        return remote->step;
    }
    ADD_FAILURE() << "not a slot: " << intercept::KindOf(message);
    return {};
}

// A tool: a child of this test that ends (with 0) when the returned pipe end is closed.
std::pair<pid_t, platform::THandle> StartTool() {
    auto pipe = platform::CreatePipe();
    if (!pipe) {
        return {-1, platform::kInvalidHandle};
    }
    pid_t tool = fork();
    if (tool == 0) {
        platform::CloseHandle(pipe->write);
        char byte;
        _exit(read(pipe->read, &byte, 1) == 0 ? 0 : 1);
    }
    platform::CloseHandle(pipe->read);
    return {tool, pipe->write};
}

class InterceptBrokerTest : public ::testing::Test {
protected:
    void Start(int localSlots, std::vector<std::string> nodes = {}, int waitLimitMs = 0,
               int runLimitMs = 0, int maxConnections = 0, int reapGraceMs = 0) {
        BrokerSettings settings;
        settings.folder = dir_.path();
        settings.profile = ParseInterceptProfile(kProfile, "test.xml");
        settings.localSlots = localSlots;
        settings.remoteNodes = std::move(nodes);
        settings.remotePrefix = [](int slot, const std::string& cwd, const std::string& name) {
            return std::vector<std::string>{"srun", "--slot=" + std::to_string(slot),
                                            "--chdir=" + cwd, "--job-name=" + name};
        };
        settings.sharedRoot = "/work";
        settings.waitLimitMs = waitLimitMs;
        settings.runLimitMs = runLimitMs;
        settings.maxConnections = maxConnections;
        settings.reapGraceMs = reapGraceMs;
        broker_ = std::make_unique<InterceptBroker>(std::move(settings));
        ASSERT_EQ(broker_->Start(), "");
    }

    std::unique_ptr<Relay> NewRelay() { return std::make_unique<Relay>(broker_->SocketPath()); }

    std::vector<BrokerEvent> Events() {
        std::vector<BrokerEvent> taken = broker_->TakeEvents();
        events_.insert(events_.end(), taken.begin(), taken.end());
        return events_;
    }
    BrokerEvent LastEnded() {
        Events();
        auto it = std::find_if(events_.rbegin(), events_.rend(), [](const BrokerEvent& e) {
            return e.kind == BrokerEvent::Kind::Ended;
        });
        return it == events_.rend() ? BrokerEvent{} : *it;
    }
    int CountOf(BrokerEvent::Kind kind) {
        Events();
        return static_cast<int>(std::count_if(
            events_.begin(), events_.end(), [&](const BrokerEvent& e) { return e.kind == kind; }));
    }

    test::TempDir dir_;
    std::unique_ptr<InterceptBroker> broker_;
    std::vector<BrokerEvent> events_;
};

TEST_F(InterceptBrokerTest, ToolsNotNamedAndProbesRunHereUncounted) {
    Start(1);
    auto other = NewRelay();
    other->Run({"ld", "-o", "app"});
    Message answer = other->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::LocalMessage>(answer));
    EXPECT_EQ(std::get<intercept::LocalMessage>(answer).reason, "");
    auto probe = NewRelay();
    probe->Run({"cc", "--version"});
    EXPECT_TRUE(std::holds_alternative<intercept::LocalMessage>(probe->Answer()));
    auto link = NewRelay();
    link->Run({"cc", "a.o", "-o", "app"});
    EXPECT_TRUE(std::holds_alternative<intercept::LocalMessage>(link->Answer()));
    EXPECT_EQ(CountOf(BrokerEvent::Kind::Began), 0);
    EXPECT_EQ(CountOf(BrokerEvent::Kind::Line), 0) << "a plain local run says nothing";
    EXPECT_EQ(broker_->CurrentCounts().mostRunning, 0);
}

TEST_F(InterceptBrokerTest, CountedRunsWaitForASlotInArrivalOrderAndAreRecordedAsSteps) {
    Start(2);
    std::vector<std::unique_ptr<Relay>> relays;
    for (int i = 0; i < 5; ++i) {
        relays.push_back(NewRelay());
        relays.back()->Run(
            {"cc", "-c", "f" + std::to_string(i) + ".c", "-o", "f" + std::to_string(i) + ".o"});
        // Arrival order is the order the broker read them in.
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                auto counts = broker_->CurrentCounts();
                return counts.running + counts.waiting == i + 1;
            },
            10s));
    }
    std::string first = StepOf(relays[0]->Answer());
    std::string second = StepOf(relays[1]->Answer());
    EXPECT_FALSE(relays[2]->Ready(200)) << "no third slot";
    EXPECT_EQ(broker_->CurrentCounts().waiting, 3);
    relays[1]->Done(second);
    std::string third = StepOf(relays[2]->Answer());
    EXPECT_FALSE(relays[3]->Ready(100));
    EXPECT_FALSE(relays[4]->Ready(0));
    relays[0]->Done(first, 3);
    StepOf(relays[3]->Answer());
    EXPECT_FALSE(relays[4]->Ready(100));
    EXPECT_EQ(broker_->CurrentCounts().mostRunning, 2);

    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 2; }, 10s));
    std::vector<BrokerEvent> events = Events();
    const BrokerEvent& began = events.front();
    EXPECT_EQ(began.kind, BrokerEvent::Kind::Began);
    EXPECT_EQ(began.caption, "cc f0.o");
    EXPECT_EQ(began.commandLine, "cc -c f0.c -o f0.o");
    EXPECT_EQ(began.program, "/usr/bin/cc");
    EXPECT_EQ(began.folder, "/work/b");
    EXPECT_FALSE(began.remote);
    auto ended = std::find_if(events.begin(), events.end(), [](const BrokerEvent& e) {
        return e.kind == BrokerEvent::Kind::Ended && e.exitCode == 3;
    });
    ASSERT_NE(ended, events.end());
    EXPECT_EQ(ended->slot, began.slot);
    EXPECT_FALSE(ended->lost);
}

// The build tool asks before it spawns a tool: it gets a local slot that is free at once, or
// BUSY (it then starts a relay, which waits); it is never kept waiting.
TEST_F(InterceptBrokerTest, AnAskTakesAFreeLocalSlotAtOnceOrIsToldBusy) {
    Start(2, {"n1"});
    auto unnamed = NewRelay();
    unnamed->Ask({"ld", "-o", "app"});
    Message answer = unnamed->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::LocalMessage>(answer));
    EXPECT_EQ(std::get<intercept::LocalMessage>(answer).reason, "");

    auto first = NewRelay();
    first->Ask({"cc", "-c", "a.c", "-o", "a.o"});
    std::string step = StepOf(first->Answer());
    auto second = NewRelay();
    second->Ask({"cc", "-c", "b.c", "-o", "b.o"});
    StepOf(second->Answer());
    // Both local slots taken: the remote slot is the relays' to take.
    auto third = NewRelay();
    third->Ask({"cc", "-c", "c.c", "-o", "c.o"});
    EXPECT_TRUE(std::holds_alternative<intercept::BusyMessage>(third->Answer()));
    EXPECT_TRUE(third->ClosedByBroker());
    EXPECT_EQ(broker_->CurrentCounts().running, 2);
}

// A relay that waits comes before a later ask.
TEST_F(InterceptBrokerTest, ARelayThatWaitsComesBeforeALaterAsk) {
    Start(1);
    auto holder = NewRelay();
    holder->Run({"gen"});
    std::string held = StepOf(holder->Answer());
    auto waiter = NewRelay();
    waiter->Run({"gen", "w"});
    ASSERT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().waiting == 1; }, 10s));
    auto late = NewRelay();
    late->Ask({"gen", "late"});
    EXPECT_TRUE(std::holds_alternative<intercept::BusyMessage>(late->Answer()));
    holder->Done(held);
    StepOf(waiter->Answer());
}

// A tool the build tool started itself: its step ends, and its slot is freed, when the build tool
// has waited for it and reported its end (a slot is a lane of the monitor); one never waited for
// ends lost a little after the tool, and so does one whose build tool goes away.
TEST_F(InterceptBrokerTest, ADirectRunEndsWithTheCodeItsBuildToolReportsOrLostWithoutOne) {
    Start(1, {}, 0, 0, 0, 300);
    auto spawner = NewRelay();
    spawner->Ask({"gen", "one"});
    std::string step = StepOf(spawner->Answer());
    auto [tool, toolEnd] = StartTool();
    ASSERT_GT(tool, 0);
    spawner->Send(intercept::StartedMessage{step, tool});
    auto waiter = NewRelay();
    waiter->Run({"gen", "two"});
    EXPECT_FALSE(waiter->Ready(100)) << "the slot is the running tool's";
    platform::CloseHandle(toolEnd);
    int status = 0;
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    EXPECT_FALSE(waiter->Ready(100)) << "ended, but its end is not reported yet";
    spawner->Send(intercept::DoneMessage{step, true, 9});
    EXPECT_TRUE(spawner->ClosedByBroker());
    std::string next = StepOf(waiter->Answer());
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 1; }, 10s));
    auto ended = std::find_if(events_.begin(), events_.end(), [](const BrokerEvent& e) {
        return e.kind == BrokerEvent::Kind::Ended;
    });
    EXPECT_EQ(ended->exitCode, 128 + 9);
    EXPECT_FALSE(ended->lost);
    EXPECT_EQ(ended->slot, 0);
    waiter->Done(next);

    // STARTED for a process that is gone, and no DONE: lost once the grace has passed.
    auto unreaped = NewRelay();
    unreaped->Ask({"gen", "three"});
    unreaped->Send(intercept::StartedMessage{StepOf(unreaped->Answer()), tool});
    EXPECT_TRUE(unreaped->ClosedByBroker());
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 3; }, 10s));
    EXPECT_TRUE(Events().back().lost);

    // The build tool goes while its tool runs: lost, the slot free.
    auto gone = NewRelay();
    gone->Ask({"gen", "four"});
    gone->Send(intercept::StartedMessage{StepOf(gone->Answer()), static_cast<int>(getpid())});
    gone->Close();
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 4; }, 10s));
    EXPECT_TRUE(Events().back().lost);
    // The counts follow the event a moment later.
    EXPECT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().running == 0; }, 10s));

    // STARTED out of turn (for a relay's run) is malformed.
    auto relay = NewRelay();
    relay->Run({"gen", "five"});
    relay->Send(intercept::StartedMessage{StepOf(relay->Answer()), static_cast<int>(getpid())});
    EXPECT_TRUE(relay->ClosedByBroker());
}

// A process that execs a tool in a slot hands the run off: the run outlives the asking
// connection and ends with the REAPED its parent sends on a connection of its own (or DONE on the
// first one when the exec failed, or lost when nobody reports it), and its table entry is freed.
TEST_F(InterceptBrokerTest, AHandedOffRunEndsWithItsParentsReportAndFreesItsEntry) {
    Start(1, {}, 0, 0, 0, 300);
    const std::string table = dir_ / std::string(intercept::kExecRunsName);
    ASSERT_EQ(test::ReadFile(table).value_or("").size(), intercept::kExecRuns * 8);
    auto execer = NewRelay();
    execer->Ask({"gen", "one"});
    std::string step = StepOf(execer->Answer());
    auto [tool, toolEnd] = StartTool();
    ASSERT_GT(tool, 0);
    // The entry as the library writes it: pid, step.
    const std::int32_t entry[2] = {tool, std::stoi(step)};
    {
        std::string bytes = test::ReadFile(table).value();
        std::memcpy(bytes.data() + 5 * 8, entry, 8);
        test::WriteFile(table, bytes); // a new file: the broker's view is of the old one
    }
    execer->Send(intercept::HandoffMessage{step, tool, 5});
    execer->Close(); // the exec closes it
    auto waiter = NewRelay();
    waiter->Run({"gen", "two"});
    EXPECT_FALSE(waiter->Ready(150)) << "the slot is the handed-off run's";
    EXPECT_EQ(CountOf(BrokerEvent::Kind::Ended), 0);
    auto stranger = NewRelay();
    stranger->Send(intercept::ReapedMessage{step, tool + 1, false, 0});
    EXPECT_TRUE(stranger->ClosedByBroker());
    EXPECT_FALSE(waiter->Ready(50)) << "another pid ends nothing";
    platform::CloseHandle(toolEnd);
    int status = 0;
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    auto reaper = NewRelay();
    reaper->Send(intercept::ReapedMessage{step, tool, false, 3});
    EXPECT_TRUE(reaper->ClosedByBroker());
    std::string next = StepOf(waiter->Answer());
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 1; }, 10s));
    EXPECT_EQ(LastEnded().exitCode, 3);
    EXPECT_FALSE(LastEnded().lost);
    waiter->Done(next);

    // The exec failed: DONE on the asking connection ends the run.
    auto failed = NewRelay();
    failed->Ask({"gen", "three"});
    std::string third = StepOf(failed->Answer());
    failed->Send(intercept::HandoffMessage{third, static_cast<int>(getpid()), 6});
    failed->Send(intercept::DoneMessage{third, false, 126});
    EXPECT_TRUE(failed->ClosedByBroker());
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 3; }, 10s));
    EXPECT_EQ(LastEnded().exitCode, 126);

    // The report read before the HANDOFF (they come on two connections): kept for it.
    auto quick = NewRelay();
    quick->Ask({"gen", "quick"});
    std::string quickStep = StepOf(quick->Answer());
    auto quickReaper = NewRelay();
    quickReaper->Send(intercept::ReapedMessage{quickStep, tool, true, 11});
    EXPECT_TRUE(quickReaper->ClosedByBroker());
    quick->Send(intercept::HandoffMessage{quickStep, tool, 8});
    quick->Close();
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 4; }, 10s));
    EXPECT_EQ(LastEnded().exitCode, 128 + 11);
    EXPECT_FALSE(LastEnded().lost);

    // Nobody reports a run whose process is gone: lost after the grace, the slot free.
    auto orphan = NewRelay();
    orphan->Ask({"gen", "four"});
    orphan->Send(intercept::HandoffMessage{StepOf(orphan->Answer()), tool, 7});
    orphan->Close();
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 5; }, 10s));
    EXPECT_TRUE(LastEnded().lost);
    // The counts follow the event a moment later.
    EXPECT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().running == 0; }, 10s));

    // A relay's run cannot be handed off.
    auto relay = NewRelay();
    relay->Run({"gen", "five"});
    relay->Send(intercept::HandoffMessage{StepOf(relay->Answer()), static_cast<int>(getpid()), 1});
    EXPECT_TRUE(relay->ClosedByBroker());
}

// The broker frees the table entry of a run it ends itself (its parent never took it).
TEST_F(InterceptBrokerTest, ARunEndedLostFreesItsTableEntry) {
    Start(1, {}, 0, 0, 0, 100);
    const std::string table = dir_ / std::string(intercept::kExecRunsName);
    platform::FileOpenRequest request;
    request.access = platform::FileAccess::ReadWrite;
    platform::File file;
    ASSERT_TRUE(file.Open(table, request));
    auto execer = NewRelay();
    execer->Ask({"gen", "one"});
    std::string step = StepOf(execer->Answer());
    auto [gone, goneEnd] = StartTool(); // a process that has ended and been reaped
    ASSERT_GT(gone, 0);
    platform::CloseHandle(goneEnd);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::int32_t entry[2] = {gone, std::stoi(step)};
    std::size_t done = 0;
    ASSERT_TRUE(file.WriteAt(9 * 8, entry, sizeof entry, done));
    execer->Send(intercept::HandoffMessage{step, gone, 9});
    execer->Close();
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 1; }, 10s));
    std::int32_t after[2] = {1, 1};
    ASSERT_TRUE(file.ReadAt(9 * 8, after, sizeof after, done));
    EXPECT_EQ(after[0], 0);
}

TEST_F(InterceptBrokerTest, ARelayThatDiesFreesItsSlotAndItsStepIsLost) {
    Start(1);
    auto holder = NewRelay();
    holder->Run({"gen"});
    StepOf(holder->Answer());
    auto waiter = NewRelay();
    waiter->Run({"gen", "x"});
    EXPECT_FALSE(waiter->Ready(150));
    holder->Close();
    StepOf(waiter->Answer());
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == 1; }, 10s));
    auto lost = std::find_if(events_.begin(), events_.end(), [](const BrokerEvent& e) {
        return e.kind == BrokerEvent::Kind::Ended;
    });
    EXPECT_TRUE(lost->lost);
    EXPECT_NE(lost->exitCode, 0);
}

TEST_F(InterceptBrokerTest, MalformedFramesCloseOnlyTheirConnection) {
    Start(1);
    const std::vector<std::string> hostile = {
        std::string("\xff\xff\xff\xff", 4) + "x", // over the limit
        std::string("\x00\x00\x00\x00", 4),       // empty payload
        std::string("\x03\x00\x00\x00RUN", 7),    // not NUL-ended
        std::string("\x04\x00\x00\x00XYZ\0", 8),  // unknown kind
        std::string("\x06\x00\x00\x00RUN\0"
                    "2\0",
                    10), // too few fields
        std::string("\x05\x00\x00\x00"
                    "DONE\0",
                    9), // an end before any run
    };
    for (const std::string& bytes : hostile) {
        auto relay = NewRelay();
        relay->SendBytes(bytes);
        EXPECT_TRUE(relay->ClosedByBroker()) << bytes.size();
    }
    // A RUN with a wrong argument count, and a second RUN on a served connection.
    auto relay = NewRelay();
    relay->Send(intercept::RunMessage{1, "/work", "/usr/bin/gen", {"gen"}});
    StepOf(relay->Answer());
    relay->Send(intercept::RunMessage{1, "/work", "/usr/bin/gen", {"gen"}});
    EXPECT_TRUE(relay->ClosedByBroker());
    // A DONE for another step.
    auto wrong = NewRelay();
    wrong->Run({"gen"});
    std::string step = StepOf(wrong->Answer());
    wrong->Done(step + "0");
    EXPECT_TRUE(wrong->ClosedByBroker());
    EXPECT_GE(broker_->CurrentCounts().refused, 8);
    // Half a frame, then the end: the broker frees the connection.
    auto half = NewRelay();
    half->SendBytes(std::string("\x40\x00\x00\x00RUN\0", 8));
    half->Close();
    ASSERT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().connections == 0; }, 10s));
    auto fine = NewRelay();
    fine->Run({"gen"});
    StepOf(fine->Answer());
}

TEST_F(InterceptBrokerTest, ARunThatWaitsPastItsLimitRunsHereWithOneLine) {
    Start(1, {}, 300);
    auto holder = NewRelay();
    holder->Run({"gen"});
    StepOf(holder->Answer());
    auto waiter = NewRelay();
    waiter->Run({"cc", "-c", "slow.c"});
    Message answer = waiter->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::LocalMessage>(answer));
    EXPECT_THAT(std::get<intercept::LocalMessage>(answer).reason, ::testing::HasSubstr("no slot"));
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Line) == 1; }, 10s));
    auto line = std::find_if(events_.begin(), events_.end(), [](const BrokerEvent& e) {
        return e.kind == BrokerEvent::Kind::Line;
    });
    EXPECT_THAT(line->text, ::testing::HasSubstr("cc slow.c: no slot within"));
    EXPECT_THAT(line->text, ::testing::HasSubstr("running it on this machine"));
}

TEST_F(InterceptBrokerTest, RemoteSlotsTakeRemoteCapableRunsInSharedFolders) {
    Start(1, {"n1", "n2"});
    auto local = NewRelay();
    local->Run({"cc", "-c", "a.c"});
    EXPECT_TRUE(std::holds_alternative<intercept::SlotMessage>(local->Answer()));
    auto remote = NewRelay();
    remote->Run({"cc", "-c", "b.c"}, "/work/b/sub");
    Message answer = remote->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::RemoteMessage>(answer));
    const auto& placed = std::get<intercept::RemoteMessage>(answer);
    EXPECT_EQ(placed.node, "n1");
    EXPECT_EQ(placed.prefix, (std::vector<std::string>{"srun", "--slot=0", "--chdir=/work/b/sub",
                                                       "--job-name=qz-" + placed.step}));
    // Not remote-capable, or outside the shared folder: they wait for the local slot, and a
    // remote-capable run behind them takes the free remote slot.
    auto generator = NewRelay();
    generator->Run({"gen"});
    auto outside = NewRelay();
    outside->Run({"cc", "-c", "t.c"}, "/tmp/probe");
    ASSERT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().waiting == 2; }, 10s));
    auto behind = NewRelay();
    behind->Run({"cc", "-c", "c.c"});
    Message second = behind->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::RemoteMessage>(second));
    EXPECT_EQ(std::get<intercept::RemoteMessage>(second).node, "n2");
    EXPECT_FALSE(generator->Ready(100));
    EXPECT_FALSE(outside->Ready(0));
    local->Done(StepOf(intercept::SlotMessage{"1"}));
    EXPECT_TRUE(std::holds_alternative<intercept::SlotMessage>(generator->Answer()));
    EXPECT_FALSE(outside->Ready(100));
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Began) == 4; }, 10s));
    EXPECT_EQ(std::count_if(events_.begin(), events_.end(),
                            [](const BrokerEvent& e) {
                                return e.kind == BrokerEvent::Kind::Began && e.remote;
                            }),
              2);
}

TEST_F(InterceptBrokerTest, ARetryFreesTheRemoteSlotAndTheNodeTakesNoMoreRuns) {
    Start(1, {"n1", "n2", "n1"});
    auto local = NewRelay();
    local->Run({"cc", "-c", "a.c"});
    StepOf(local->Answer());
    auto onN1 = NewRelay();
    onN1->Run({"cc", "-c", "b.c"});
    Message answer = onN1->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::RemoteMessage>(answer));
    ASSERT_EQ(std::get<intercept::RemoteMessage>(answer).node, "n1");
    const std::string step = StepOf(answer);
    onN1->Send(intercept::RetryMessage{step, "srun: error: Unable to create step"});
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Line) == 1; }, 10s));
    auto line = std::find_if(events_.begin(), events_.end(), [](const BrokerEvent& e) {
        return e.kind == BrokerEvent::Kind::Line;
    });
    EXPECT_THAT(line->text, ::testing::HasSubstr("cc b.c: could not run on n1"));
    EXPECT_THAT(line->text, ::testing::HasSubstr("n1 takes no further runs"));
    // The local run after the retry ends with DONE as usual.
    onN1->Done(step, 0);
    EXPECT_TRUE(onN1->ClosedByBroker());
    std::vector<std::unique_ptr<Relay>> more;
    for (int i = 0; i < 3; ++i) {
        more.push_back(NewRelay());
        more.back()->Run({"cc", "-c", "m" + std::to_string(i) + ".c"});
    }
    Message next = more[0]->Answer();
    ASSERT_TRUE(std::holds_alternative<intercept::RemoteMessage>(next));
    EXPECT_EQ(std::get<intercept::RemoteMessage>(next).node, "n2");
    EXPECT_FALSE(more[1]->Ready(150)) << "both slots of n1 are out";
    EXPECT_EQ(broker_->CurrentCounts().running, 2);
}

TEST_F(InterceptBrokerTest, SixtyFourRelaysOnTwoLocalAndEightRemoteSlotsRunAtMostTenAtOnce) {
    Start(2, {"n1", "n2", "n1", "n2", "n1", "n2", "n1", "n2"});
    constexpr int kRelays = 64;
    std::vector<std::unique_ptr<Relay>> relays;
    for (int i = 0; i < kRelays; ++i) {
        relays.push_back(NewRelay());
        relays.back()->Run({"cc", "-c", "f" + std::to_string(i) + ".c"});
    }
    // Every relay has asked: ten run, the rest wait.
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            auto counts = broker_->CurrentCounts();
            return counts.running == 10 && counts.waiting == kRelays - 10;
        },
        10s))
        << broker_->CurrentCounts().running << " running";
    int finished = 0;
    std::vector<bool> done(kRelays, false);
    while (finished < kRelays) {
        bool progress = false;
        for (int i = 0; i < kRelays; ++i) {
            if (!done[static_cast<std::size_t>(i)] &&
                relays[static_cast<std::size_t>(i)]->Ready(0)) {
                Relay& relay = *relays[static_cast<std::size_t>(i)];
                relay.Done(StepOf(relay.Answer()));
                done[static_cast<std::size_t>(i)] = true;
                ++finished;
                progress = true;
            }
        }
        if (!progress) {
            ASSERT_TRUE(test::WaitUntil(
                [&] {
                    for (int i = 0; i < kRelays; ++i) {
                        if (!done[static_cast<std::size_t>(i)] &&
                            relays[static_cast<std::size_t>(i)]->Ready(0)) {
                            return true;
                        }
                    }
                    return false;
                },
                10s))
                << finished << " of " << kRelays;
        }
    }
    ASSERT_TRUE(test::WaitUntil([&] { return CountOf(BrokerEvent::Kind::Ended) == kRelays; }, 10s));
    EXPECT_EQ(broker_->CurrentCounts().mostRunning, 10);
    EXPECT_EQ(CountOf(BrokerEvent::Kind::Began), kRelays);
}

TEST_F(InterceptBrokerTest, StoppingClosesWaitingRelaysAndTheStepsInSlotsEndLost) {
    Start(1);
    auto holder = NewRelay();
    holder->Run({"gen"});
    StepOf(holder->Answer());
    auto waiter = NewRelay();
    waiter->Run({"gen"});
    ASSERT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().waiting == 1; }, 10s));
    broker_->Stop();
    EXPECT_TRUE(waiter->ClosedByBroker());
    EXPECT_TRUE(holder->ClosedByBroker());
    EXPECT_EQ(CountOf(BrokerEvent::Kind::Ended), 1);
    broker_->Stop();
}

TEST_F(InterceptBrokerTest, AnotherUsersConnectionIsRefused) {
    Start(1);
    // Open the way for the other user, so that only the broker's own check stands.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(broker_->SocketPath().c_str(), 0777), 0);
    const std::string socket = broker_->SocketPath();
    int result = test::RunAsNobody([&] {
        auto connected = platform::ConnectLocalSocket(socket);
        if (!connected) {
            return 10;
        }
        if (!intercept::WriteMessage(*connected,
                                     intercept::RunMessage{1, "/work", "/usr/bin/gen", {"gen"}})) {
            return 0; // refused already
        }
        auto answer = intercept::ReadMessage(*connected);
        return answer ? 11 : 0;
    });
    if (result == -2) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(broker_->CurrentCounts().refused, 1);
    EXPECT_EQ(CountOf(BrokerEvent::Kind::Began), 0);
}

TEST_F(InterceptBrokerTest, ConnectionsThatNeverSendTheirRunAreDroppedAndDoNotTurnRelaysAway) {
    Start(1, {}, 0, 300, 8);
    // Eight idle connections fill what the broker serves at once, and one sends a frame that
    // never ends.
    std::vector<std::unique_ptr<Relay>> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(NewRelay());
    }
    idle[0]->SendBytes(std::string("\x00\x00\x40\x00", 4) + std::string(1000, 'a'));
    ASSERT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().connections == 8; }, 10s));
    // The relay beyond waits to be accepted instead of being sent away to run uncounted.
    auto relay = NewRelay();
    relay->Run({"cc", "-c", "a.c"});
    EXPECT_TRUE(std::holds_alternative<intercept::SlotMessage>(relay->Answer()));
    for (auto& connection : idle) {
        EXPECT_TRUE(connection->ClosedByBroker());
    }
    EXPECT_GE(broker_->CurrentCounts().refused, 8);
}

TEST_F(InterceptBrokerTest, RelaysBeyondTheMostConnectionsWaitForASlotAndAreNotSentAway) {
    Start(1, {}, 0, 0, 2);
    auto first = NewRelay();
    first->Run({"cc", "-c", "a.c"});
    const std::string step = StepOf(first->Answer());
    auto second = NewRelay();
    second->Run({"cc", "-c", "b.c"});
    ASSERT_TRUE(test::WaitUntil([&] { return broker_->CurrentCounts().waiting == 1; }, 10s));
    auto third = NewRelay();
    third->Run({"cc", "-c", "c.c"});
    EXPECT_FALSE(third->Ready(200)) << "neither answered nor closed: it waits";
    first->Done(step);
    second->Done(StepOf(second->Answer()));
    EXPECT_TRUE(std::holds_alternative<intercept::SlotMessage>(third->Answer()));
    EXPECT_EQ(broker_->CurrentCounts().mostRunning, 1);
}

TEST_F(InterceptBrokerTest, RelaysKilledAtEveryStepOfTheExchangeLeaveNoSlotTaken) {
    Start(3);
    const std::string run = RunFrame("x.c");
    for (int round = 0; round < 300; ++round) {
        auto relay = NewRelay();
        switch (round % 6) {
        case 0: // before RUN
            break;
        case 1: // inside RUN
            relay->SendBytes(run.substr(0, static_cast<std::size_t>(round) % run.size()));
            break;
        case 2: // waiting for its slot
            relay->SendBytes(run);
            break;
        default: { // in its slot: running, after a note, after its end
            relay->SendBytes(run);
            const std::string step = StepOf(relay->Answer());
            if (round % 6 == 4) {
                relay->Send(intercept::NoteMessage{"mid-output"});
            } else if (round % 6 == 5) {
                relay->Done(step);
            }
        }
        }
        relay->Close();
    }
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            auto counts = broker_->CurrentCounts();
            return counts.connections == 0 && counts.running == 0 && counts.waiting == 0;
        },
        10s));
    // All three slots are free again, and there are no more.
    std::vector<std::unique_ptr<Relay>> relays;
    for (int i = 0; i < 3; ++i) {
        relays.push_back(NewRelay());
        relays.back()->Run({"cc", "-c", "y.c"});
        StepOf(relays.back()->Answer());
    }
    auto fourth = NewRelay();
    fourth->Run({"cc", "-c", "z.c"});
    EXPECT_FALSE(fourth->Ready(200));
}

TEST_F(InterceptBrokerTest, ARunSentByteByByteDoesNotHoldUpOtherRelays) {
    Start(1);
    const std::string run = RunFrame("slow.c");
    auto slow = NewRelay();
    for (std::size_t i = 0; i + 1 < run.size(); ++i) {
        slow->SendBytes(run.substr(i, 1));
        auto other = NewRelay();
        other->Run({"cc", "-c", "o.c"});
        other->Done(StepOf(other->Answer()));
    }
    slow->SendBytes(run.substr(run.size() - 1));
    StepOf(slow->Answer());
}

TEST_F(InterceptBrokerTest, OutOfDescriptorsTheBrokerKeepsServingOnceIdleConnectionsAreDropped) {
    // The broker runs in a child process with few descriptors; this process connects.
    const std::string socket = dir_.path() + "/broker.sock";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{48, 48};
        setrlimit(RLIMIT_NOFILE, &limit);
        BrokerSettings settings;
        settings.folder = dir_.path();
        settings.profile = ParseInterceptProfile(kProfile, "test.xml");
        settings.runLimitMs = 300;
        InterceptBroker broker(std::move(settings));
        if (!broker.Start().empty()) {
            _exit(3);
        }
        for (int i = 0; i < 300; ++i) {
            test::SleepMs(100); // ends when this process kills it, or after 30 s
        }
        _exit(0);
    }
    ASSERT_TRUE(test::WaitUntil([&] { return access(socket.c_str(), F_OK) == 0; }, 10s));
    test::SleepMs(100);
    // More idle connections than the broker has descriptors for.
    std::vector<std::unique_ptr<Relay>> idle;
    for (int i = 0; i < 80; ++i) {
        idle.push_back(std::make_unique<Relay>(socket));
    }
    auto relay = std::make_unique<Relay>(socket);
    relay->Run({"cc", "-c", "a.c"});
    EXPECT_TRUE(std::holds_alternative<intercept::SlotMessage>(relay->Answer()));
    kill(child, SIGKILL);
    EXPECT_TRUE(test::WaitChild(child, 10s) != 3);
}

} // namespace
} // namespace qz::tasksmith
