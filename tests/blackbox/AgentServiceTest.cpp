// The agent service as consoles meet it: the real qzagentd on the "Build Service" channel,
// reached through real comm pipes from this process and from forked client processes, with its
// named objects, settings and instance file in the test's own folder.

#include "CM/Exceptions.h"
#include "CM/LocalComm.h"
#include "CM/ProductInfo.h"
#include "CM/ServicePackets.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"
#include "platform/RegistryStore.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceProcess.h"
#include "platform/SharedSection.h"
#include "platform/SystemInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace qz {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSectionSize = 0x200000;

class AgentServiceBlackBox : public ::testing::Test {
protected:
    // One object folder and prefix for the whole suite: this process opens the machine-wide
    // thread identities once, and its pipes must find the agents' identities in the same table.
    static void SetUpTestSuite() {
        folder_ = new test::TempDir;
        prefix_ = new std::string(test::UniqueName("agent"));
    }
    static void TearDownTestSuite() {
        delete folder_;
        delete prefix_;
        folder_ = nullptr;
        prefix_ = nullptr;
    }

    void SetUp() override {
        RegisterAllPacketClasses();
        platform::SetObjectDirectory(folder_->path());
        platform::SetObjectPrefix(*prefix_);
        options_.env["TamrelObjectDir"] = folder_->path();
        options_.env["TamrelObjectPrefix"] = *prefix_;
        options_.env["TamrelRegistryRoot"] = dir_.path();
        options_.env["TamrelLogInstance"] = "blackbox";
        Settings("");
    }

    void TearDown() override {
        if (agent_ > 0) {
            test::StopChild(agent_);
            EXPECT_EQ(test::WaitChild(agent_, 15s), 0) << "the agent did not stop cleanly";
        }
        // Nothing the agent made outlives it, whatever its clients did.
        auto leftovers = [&] {
            std::vector<std::string> names;
            std::string own = GuidToText(GetNotifyQueue().ExternalEventGuid());
            for (const auto& entry : std::filesystem::directory_iterator(folder_->path())) {
                std::string name = entry.path().filename();
                if (name.rfind(platform::ObjectPrefix() + ".", 0) == 0 &&
                    name.find("Tamrel_SessionData_0") == std::string::npos &&
                    name.find("Tamrel_SessionThreads") == std::string::npos &&
                    name.find(own) == std::string::npos) {
                    names.push_back(name);
                }
            }
            return names;
        };
        std::string service = GuidToText(ServiceGuid());
        for (const std::string& name : agentKilled_ ? std::vector<std::string>{} : leftovers()) {
            EXPECT_EQ(name.find(service), std::string::npos) << name;
            EXPECT_EQ(name.find("Orvane_Build_"), std::string::npos) << name;
        }
        // Killed clients leave files nobody holds; the janitor of the next start removes them.
        platform::SweepObjectLeftovers();
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }

    /// The machine key's "Builder" section: the agent folder in the test folder, plus lines.
    void Settings(const std::string& lines) {
        test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                                               dir_.path() + "/agent\"\n" + lines);
    }

    static std::string LockPath() {
        return folder_->path() + "/qzagentd-" + platform::ObjectPrefix() + ".lock";
    }

    /// Starts qzagentd --foreground and waits until it serves.
    void StartAgent() {
        agent_ = test::StartProgram({QZ_AGENT_PATH, "--foreground"}, options_);
        ASSERT_GT(agent_, 0);
        auto deadline = Clock::now() + 15s;
        while (Clock::now() < deadline) {
            auto state = platform::InstanceLock::ReadHolderState(LockPath());
            if (state && state->find("ready") != std::string::npos) {
                return;
            }
            ASSERT_FALSE(test::ChildEnded(agent_)) << "the agent ended while starting";
            std::this_thread::sleep_for(10ms);
        }
        FAIL() << "the agent did not become ready";
    }

    static std::unique_ptr<TLocalCommPipe> Connect() {
        auto pipe = std::make_unique<TLocalCommPipe>(ServiceGuid(), kSectionSize, kBuildServiceName,
                                                     SessionGlobal);
        pipe->CheckConnected();
        return pipe;
    }

    static int StartJob(TCommPipe& pipe, TGuid* id = nullptr) {
        auto reply = pipe.Request(TStartJobRequestPacket(kConsoleComponentVersion,
                                                         kConsoleComponentVersionText, -1, "test"));
        auto& typed = TPacket::CastPacket<TStartJobRequestReplyPacket>(*reply);
        if (id) {
            *id = typed.Guid(TStartJobRequestReplyPacket::JobID);
        }
        return static_cast<int>(typed.Int(TStartJobRequestReplyPacket::Result));
    }

    static std::vector<TGuid> ListBuilds(TCommPipe& pipe) {
        auto reply = pipe.Request(TRequestBuildStatusPacket());
        const TCustomPacketList& builds =
            TPacket::CastPacket<TRequestBuildStatusReplayPacket>(*reply).List(
                TRequestBuildStatusReplayPacket::Builds);
        std::vector<TGuid> ids;
        for (int i = 0; i < builds.Count(); ++i) {
            ids.push_back(builds[i].Guid(TBuildStatusPacket::BuildID));
        }
        return ids;
    }

    /// Asks for a slot every 200 ms until one is granted; the time it took, or nothing.
    static std::optional<Clock::duration> WaitForSlot(TCommPipe& pipe, Clock::duration limit) {
        auto start = Clock::now();
        while (Clock::now() - start < limit) {
            if (StartJob(pipe) == 0) {
                return Clock::now() - start;
            }
            std::this_thread::sleep_for(200ms);
        }
        return std::nullopt;
    }

    static test::TempDir* folder_;
    static std::string* prefix_;
    test::TempDir dir_;
    test::RunOptions options_;
    int agent_ = -1;
    bool agentKilled_ = false;
};

test::TempDir* AgentServiceBlackBox::folder_ = nullptr;
std::string* AgentServiceBlackBox::prefix_ = nullptr;

TEST_F(AgentServiceBlackBox, StatusReplyFromTheGlobalNamespace) {
    StartAgent();
    // A raw channel pair, to see the reply's header as well.
    TNotifyQueue& queue = GetNotifyQueue();
    TPacketChannelReceiver receiver(queue, SessionLocal, kSectionSize, NewGuid());
    receiver.SetOnMessage([](TPacketChannelMessage&) {});
    TPacketChannelSender sender(queue, receiver.ChannelGuid(), ServiceGuid(), SessionGlobal,
                                kSectionSize);
    ASSERT_TRUE(sender.Connect());
    std::int32_t id = sender.Send(0, TQueryServiceStatusPacket(), cfRequest);
    ASSERT_NE(id, 0);
    auto message = receiver.WaitForReply(sender, id, 10000);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->SenderSession(), SessionGlobal);
    EXPECT_EQ(message->Flags(), cfReply);
    auto& status = TPacket::CastPacket<TQueryServiceStatusReplyPacket>(message->Packet());
    EXPECT_TRUE(status.Bool(TQueryServiceStatusReplyPacket::StandAlone));
    std::string host = platform::HostName().value_or("");
    EXPECT_EQ(status.Nested(TQueryServiceStatusReplyPacket::StaticPacket).Str(TStaticPacket::Host),
              host);

    // One-way messages get no answer and every request exactly one, even one the agent refuses.
    std::vector<std::int32_t> arrived;
    receiver.SetOnMessage([&](TPacketChannelMessage& m) { arrived.push_back(m.MessageId()); });
    ASSERT_NE(sender.Send(0, TQueryServiceStatusPacket(), 0), 0);
    ASSERT_NE(sender.Send(0, TStartJobRequestPacket(1, "1", -1, "one-way"), 0), 0);
    ASSERT_NE(sender.Send(0, TStaticPacket(), 0), 0); // no handler: ends this client's link
    std::int32_t refused = sender.Send(0, TStaticPacket(), cfRequest);
    auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline) {
        queue.WaitForExternalEvent(100);
        receiver.ReadMessages();
        receiver.DispatchMessages();
    }
    EXPECT_EQ(arrived, std::vector<std::int32_t>{refused});
}

TEST_F(AgentServiceBlackBox, SecondInstanceIsRefusedAndStopsAreClean) {
    StartAgent();
    test::RunResult second = test::RunProgram({QZ_AGENT_PATH, "--foreground"}, options_);
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_THAT(second.err, HasSubstr("the agent service is already running (pid " +
                                      std::to_string(agent_) + ")"));
    test::RunResult status = test::RunProgram({QZ_AGENT_PATH, "--status"}, options_);
    EXPECT_EQ(status.exitCode, 0);

    auto pipe = Connect();
    test::StopChild(agent_, true); // SIGINT
    EXPECT_EQ(test::WaitChild(agent_, 15s), 0);
    agent_ = -1;
    // The pipe learns of the end without any request of its own.
    auto deadline = Clock::now() + 5s;
    while (pipe->State() != psTerminated && Clock::now() < deadline) {
        GetNotifyQueue().WaitForExternalEvent(100);
        pipe->Poll();
    }
    EXPECT_EQ(pipe->State(), psTerminated);
    pipe.reset();
    EXPECT_EQ(test::RunProgram({QZ_AGENT_PATH, "--status"}, options_).exitCode, 4);

    // --background and --stop for scripts.
    test::RunResult started = test::RunProgram({QZ_AGENT_PATH, "--background"}, options_);
    EXPECT_EQ(started.exitCode, 0) << started.err;
    EXPECT_THAT(started.out, HasSubstr("The agent service is running (pid "));
    EXPECT_EQ(StartJob(*Connect()), 0);
    test::RunResult stopped = test::RunProgram({QZ_AGENT_PATH, "--stop"}, options_);
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_EQ(test::RunProgram({QZ_AGENT_PATH, "--stop"}, options_).exitCode, 4);
}

TEST_F(AgentServiceBlackBox, ConsoleStatusAndAKilledAgentWhileTheConsoleWaits) {
    // Every slot is refused (too few processors), so the console's build waits for one.
    Settings("\"MinCoresPerBuild\"=\"100000\"\n");
    StartAgent();
    test::RunOptions options = options_;
    options.cwd = dir_.path();
    options.env["TamrelBuildContext"] = std::nullopt;
    options.env["qzConsoleParams"] = std::nullopt;
    test::RunResult status = test::RunProgram({QZ_CONSOLE_PATH, "/QUERYAGENTSTATUS"}, options);
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_THAT(status.out, HasSubstr("Agent Services Status: OK\r\n"
                                      "Connectivity to Coordinator: not connected\r\n"));

    test::RunResult waiting;
    std::thread console([&] {
        waiting =
            test::RunProgram({QZ_CONSOLE_PATH, "/COMMAND=true", "/EXITCODEBASE=100"}, options);
    });
    // The console waits once its receiving channel exists and the agent has answered it.
    auto deadline = Clock::now() + 20s;
    auto consoleChannels = [&] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder_->path())) {
            std::string name = entry.path().filename();
            count += name.find("_Channel_Data") != std::string::npos &&
                     name.find(GuidToText(ServiceGuid())) == std::string::npos;
        }
        return count;
    };
    while (consoleChannels() == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(500ms);
    test::KillChild(agent_);
    agent_ = -1;
    agentKilled_ = true;
    auto killedAt = Clock::now();
    console.join();
    EXPECT_LT(Clock::now() - killedAt, 5s);
    EXPECT_EQ(waiting.exitCode, 103) << waiting.out;
    EXPECT_THAT(waiting.out, ::testing::EndsWith("\r\nConnection to build service terminated\r\n"));
}

TEST_F(AgentServiceBlackBox, AUserTheAgentDoesNotAnswerIsToldAtOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the console as uid 65534";
    }
    // Every user may make its objects in the folder, read the settings and write its output.
    ASSERT_EQ(::chmod(folder_->path().c_str(), 01777), 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    const std::string out = dir_ / "console.out";
    auto consoleAsNobody = [&] {
        test::WriteFile(out, "");
        EXPECT_EQ(::chmod(out.c_str(), 0666), 0);
        std::vector<std::string> env{"PATH=/usr/bin:/bin", "TamrelObjectDir=" + folder_->path(),
                                     "TamrelObjectPrefix=" + *prefix_,
                                     "TamrelRegistryRoot=" + dir_.path()};
        // Prepared before the fork: the child only opens, duplicates and executes.
        std::vector<char*> envp;
        for (std::string& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        std::string program = QZ_CONSOLE_PATH;
        std::string query = "/QUERYAGENTSTATUS";
        std::string nologo = "/NOLOGO";
        char* argv[] = {program.data(), query.data(), nologo.data(), nullptr};
        auto started = Clock::now();
        int code = test::RunAsNobody(
            [&] {
                int fd = ::open(out.c_str(), O_WRONLY | O_TRUNC);
                if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) {
                    return 97;
                }
                ::execve(argv[0], argv, envp.data());
                return 96;
            },
            60s);
        return std::make_pair(code, Clock::now() - started);
    };

    // Root's agent without "TamrelObjectOwners" answers root only, and says so.
    options_.env["TamrelObjectOwners"] = std::nullopt;
    StartAgent();
    std::string state;
    ASSERT_EQ(test::Unpack(platform::InstanceLock::ReadHolderState(LockPath()), state), 0);
    EXPECT_THAT(state, HasSubstr("\nready\nanswers 0\n"));
    auto [code, took] = consoleAsNobody();
    std::string text = test::ReadFile(out).value_or("");
    EXPECT_EQ(code, 3) << text;
    // Not the reply timeout of 600 s (the bound is the test's own deadline, not a speed claim).
    EXPECT_LT(took, 60s);
    EXPECT_THAT(text, HasSubstr("Fatal Error: The agent service does not answer the requests of "
                                "this user (user id 65534)"));
    EXPECT_THAT(text, HasSubstr("TamrelObjectOwners"));

    // Listed, the user is answered.
    test::StopChild(agent_);
    ASSERT_EQ(test::WaitChild(agent_, 15s), 0);
    options_.env["TamrelObjectOwners"] = "1000,65534";
    StartAgent();
    ASSERT_EQ(test::Unpack(platform::InstanceLock::ReadHolderState(LockPath()), state), 0);
    EXPECT_THAT(state, HasSubstr("answers 0,1000,65534\n"));
    std::tie(code, took) = consoleAsNobody();
    text = test::ReadFile(out).value_or("");
    EXPECT_EQ(code, 0) << text;
    EXPECT_THAT(text, HasSubstr("Agent Services Status: OK\r\n"));

    // The consoles of the other user, answered or not, leave none of their objects behind,
    // though they end without destructors (the sweep of this root process would leave them).
    test::StopChild(agent_);
    ASSERT_EQ(test::WaitChild(agent_, 15s), 0);
    agent_ = -1;
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder_->path())) {
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && info.st_uid == 65534 &&
            entry.path().filename().string().find("Tamrel_Session") == std::string::npos) {
            left.push_back(entry.path().filename());
            std::filesystem::remove(entry.path());
        }
    }
    EXPECT_THAT(left, ::testing::IsEmpty());
}

TEST_F(AgentServiceBlackBox, BadCommandLine) {
    test::RunResult r = test::RunProgram({QZ_AGENT_PATH, "--frobnicate"}, options_);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr("unknown option '--frobnicate'"));
    EXPECT_THAT(r.err, HasSubstr("Usage: qzagentd"));
}

/// A forked build-system process: owns the build mutex, reports stop requests, runs until killed.
int BuildSystem(const TGuid& id) {
    TWinMutex mutex(NullDaclSecurityAttributes(), "Global\\TamrelBuildMutex_" + GuidToText(id));
    mutex.Acquire(INFINITE, 0);
    TWinEvent stop("Global\\Orvane_Build_" + GuidToText(id) + "_StopEvent", false);
    TWinEvent("Global\\bs_running", false).SetEvent();
    stop.WaitFor(INFINITE);
    TWinEvent("Global\\bs_stopped", false).SetEvent();
    for (;;) {
        std::this_thread::sleep_for(1s);
    }
}

TEST_F(AgentServiceBlackBox, KilledBuildSystemFreesItsSlotWithinFifteenSeconds) {
    Settings("\"MaxConcurrentBuilds\"=\"1\"\n");
    StartAgent();
    TWinEvent running(NullDaclSecurityAttributes(), "Global\\bs_running", true, false);
    TWinEvent stopped(NullDaclSecurityAttributes(), "Global\\bs_stopped", true, false);
    auto console = Connect();
    TGuid id{};
    ASSERT_EQ(StartJob(*console, &id), 0);
    int buildSystem = test::ForkChild([&] { return BuildSystem(id); });
    ASSERT_TRUE(running.WaitFor(10000));

    auto other = Connect();
    EXPECT_EQ(StartJob(*other), 1);
    EXPECT_EQ(ListBuilds(*other), std::vector<TGuid>{id});
    // A bare stop names the one running build; the build system sees its stop event.
    auto reply = other->Request(TStopJobPacket(TGuid{}));
    ASSERT_EQ(&reply->Class(), &TStopJobPacket::StaticClass());
    EXPECT_EQ(reply->Guid(TStopJobPacket::JobID), id);
    EXPECT_TRUE(stopped.WaitFor(5000));

    test::KillChild(buildSystem);
    auto took = WaitForSlot(*other, 15s);
    ASSERT_TRUE(took) << "the slot of the killed build system stayed taken";
}

TEST_F(AgentServiceBlackBox, KilledConsoleFreesItsSlotWithinFifteenSeconds) {
    Settings("\"MaxConcurrentBuilds\"=\"1\"\n");
    StartAgent();
    TWinEvent granted(NullDaclSecurityAttributes(), "Global\\granted", true, false);
    // The console is forked before this process opens any pipe, so that it gets a notify event
    // of its own.
    int console = test::ForkChild([&] {
        auto pipe = Connect();
        if (StartJob(*pipe) != 0) {
            return 1;
        }
        granted.SetEvent();
        for (;;) {
            std::this_thread::sleep_for(1s);
        }
    });
    ASSERT_TRUE(granted.WaitFor(10000));
    test::KillChild(console);
    auto pipe = Connect();
    auto took = WaitForSlot(*pipe, 15s);
    ASSERT_TRUE(took) << "the slot of the killed console stayed taken";
}

TEST_F(AgentServiceBlackBox, PostFollowedByAnImmediateExitIsStillHandled) {
    StartAgent();
    int client = test::ForkChild([] {
        auto pipe = Connect();
        return pipe->Post(TEnableAgentPacket(false)) != 0 ? 0 : 1;
    });
    ASSERT_EQ(test::WaitChild(client, 10s), 0);
    auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        if (test::ReadFile(dir_ / "HKLM.reg").value_or("").find("\"Enabled\"=\"0\"") !=
            std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the agent did not handle the message of a client that had ended";
}

/// Writes raw bytes into the service channel as a hostile local user could, and wakes it.
class RawWriter {
public:
    RawWriter() {
        std::string name =
            MakeSessionObjectName(ServiceGuid(), SessionGlobal, "Channel_Data", false);
        EXPECT_EQ(test::Unpack(platform::SharedSection::Open(name, sizeof(ChannelControlBlock),
                                                             false, platform::ObjectAccess::Shared),
                               section_),
                  0);
        control_ = static_cast<ChannelControlBlock*>(section_->Data());
        stream_ = std::make_unique<TGrowingSharedStream>(ServiceGuid(), SessionGlobal, false,
                                                         kSectionSize);
        wake_ = std::make_unique<TWinEvent>(TNotifyQueue::MakeExternalEventName(control_->WakeGuid),
                                            false);
    }

    /// Appends bytes; pendingEnd (when given) replaces the true end.
    void Write(const std::string& bytes, std::optional<std::int32_t> pendingEnd = {}) {
        ASSERT_NE(SpinLock(control_->Lock, 5000, 0), kSpinTimedOut);
        std::int32_t start = control_->PendingEnd;
        stream_->SetPosition(start);
        stream_->Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        control_->PendingEnd = pendingEnd.value_or(start + static_cast<std::int32_t>(bytes.size()));
        SpinUnlock(control_->Lock);
        wake_->SetEvent();
        // Nothing else is written meanwhile: a message behind broken framing would be lost.
        auto deadline = Clock::now() + 10s;
        while (control_->PendingEnd != 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(control_->PendingEnd, 0) << "the agent did not drain its channel";
    }

    static std::string Header(std::int32_t length, std::uint8_t flags, const TGuid& replyChannel,
                              std::int32_t id = 1) {
        MessageHeader header{};
        header.Version = kChannelVersion;
        header.Flags = flags;
        header.MessageId = id;
        header.reserved12 = 0xFFFFFFFF;
        header.ReplyChannel = replyChannel;
        header.SenderSession = SessionGlobal;
        header.Length = length;
        return std::string(reinterpret_cast<const char*>(&header), sizeof header);
    }

    static std::string Encoded(const TPacket& packet) {
        TVirtualStream stream;
        packet.SaveToStream(stream);
        std::string bytes(static_cast<std::size_t>(stream.Size()), '\0');
        stream.SetPosition(0);
        stream.Read(bytes.data(), stream.Size());
        return bytes;
    }

private:
    std::unique_ptr<platform::SharedSection> section_;
    ChannelControlBlock* control_ = nullptr;
    std::unique_ptr<TGrowingSharedStream> stream_;
    std::unique_ptr<TWinEvent> wake_;
};

TEST_F(AgentServiceBlackBox, GarbageInTheChannelHurtsNobodyElse) {
    StartAgent();
    auto bystander = Connect();
    ASSERT_EQ(StartJob(*bystander), 0);
    RawWriter raw;
    std::mt19937 random(12345);
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        // The agent is still there for clients old and new.
        EXPECT_NO_THROW(bystander->Request(TQueryServiceStatusPacket()));
        EXPECT_NO_THROW(Connect()->Request(TQueryServiceStatusPacket()));
    };

    std::string noise(4096, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    raw.Write(noise);
    check("random bytes");

    std::string status = RawWriter::Encoded(TQueryServiceStatusPacket());
    TGuid nobody = NewGuid();
    raw.Write(RawWriter::Header(20, cfRequest, nobody) + status);
    check("a length below the header's");
    raw.Write(RawWriter::Header(-1000, cfRequest, nobody) + status);
    check("a negative length");
    raw.Write(RawWriter::Header(1 << 30, cfRequest, nobody) + status);
    check("a length beyond the stream");
    std::string whole =
        RawWriter::Header(44 + static_cast<std::int32_t>(status.size()), cfRequest, nobody) +
        status;
    raw.Write(whole.substr(0, whole.size() - 3));
    check("a message cut short");
    raw.Write(whole, 0x7FFFFFF0);
    check("a pending end far beyond the stream");

    // A damaged request from a real client is answered with an exception reply.
    TNotifyQueue& queue = GetNotifyQueue();
    TPacketChannelReceiver receiver(queue, SessionLocal, kSectionSize, NewGuid());
    receiver.SetOnMessage([](TPacketChannelMessage&) {});
    TPacketChannelSender sender(queue, receiver.ChannelGuid(), ServiceGuid(), SessionGlobal,
                                kSectionSize);
    ASSERT_TRUE(sender.Connect());
    std::string body = status;
    body[20] ^= 0x55; // inside the class GUID: an unknown class
    raw.Write(RawWriter::Header(44 + static_cast<std::int32_t>(body.size()), cfRequest,
                                receiver.ChannelGuid(), 7) +
              body);
    auto deadline = Clock::now() + 10s;
    std::unique_ptr<TPacketChannelMessage> answer;
    while (!answer && Clock::now() < deadline) {
        queue.WaitForExternalEvent(100);
        receiver.ReadMessages();
        // The scan of WaitForReply needs a sender of ours; look at the list directly instead.
        receiver.SetOnMessage([&](TPacketChannelMessage& message) {
            if (message.MessageId() == 7) {
                answer = std::make_unique<TPacketChannelMessage>(message.Header(),
                                                                 message.Packet().Clone());
            }
        });
        receiver.DispatchMessages();
    }
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->Flags(), cfReply | cfExceptionReply);
    auto& failure = TPacket::CastPacket<TCommExceptionPacket>(answer->Packet());
    EXPECT_THAT(failure.Str(TCommExceptionPacket::ExceptionMessage),
                HasSubstr("Failed to load packet"));
    check("a packet of an unknown class");
    EXPECT_EQ(ListBuilds(*bystander).size(), 1u);
}

TEST_F(AgentServiceBlackBox, SixtyFourClientsInEightProcesses) {
    Settings("\"MaxConcurrentBuilds\"=\"16\"\n");
    StartAgent();
    constexpr int kProcesses = 8;
    constexpr int kPipes = 8;
    constexpr int kRounds = 10;
    // The clients keep their pipes (and so their slots) until this process has looked at the
    // table.
    TWinEvent listed(NullDaclSecurityAttributes(), "Global\\hammer_listed", true, false);
    std::vector<std::unique_ptr<TWinEvent>> done;
    for (int i = 0; i < kProcesses; ++i) {
        done.push_back(std::make_unique<TWinEvent>(
            NullDaclSecurityAttributes(), "Global\\hammer_done_" + std::to_string(i), true, false));
    }
    // Each process ends with the number of slots it was granted, or 200+ on a failure.
    std::vector<int> pids;
    for (int process = 0; process < kProcesses; ++process) {
        pids.push_back(test::ForkChild([&, process] {
            std::vector<std::unique_ptr<TLocalCommPipe>> pipes;
            for (int i = 0; i < kPipes; ++i) {
                pipes.push_back(Connect());
            }
            int granted = 0;
            for (int round = 0; round < kRounds; ++round) {
                for (auto& pipe : pipes) {
                    try {
                        auto status = pipe->Request(TQueryServiceStatusPacket());
                        TPacket::CastPacket<TQueryServiceStatusReplyPacket>(*status);
                        granted += StartJob(*pipe) == 0 ? 1 : 0;
                        ListBuilds(*pipe);
                        auto stop = pipe->Request(TStopJobPacket(NewGuid()));
                        if (&stop->Class() != &TPacket::StaticClass()) {
                            return 201;
                        }
                    } catch (const Exception&) {
                        return 200;
                    }
                }
            }
            done[static_cast<std::size_t>(process)]->SetEvent();
            listed.WaitFor(120000);
            return granted;
        }));
    }
    for (auto& event : done) {
        EXPECT_TRUE(event->WaitFor(150000)) << "a client process did not finish its requests";
    }
    auto pipe = Connect();
    std::vector<TGuid> builds = ListBuilds(*pipe);
    EXPECT_EQ(StartJob(*pipe), 1);
    listed.SetEvent();
    int total = 0;
    for (int pid : pids) {
        int code = test::WaitChild(pid, 30s);
        EXPECT_GE(code, 0);
        EXPECT_LT(code, 200);
        total += code;
    }
    EXPECT_EQ(total, 16);
    EXPECT_EQ(static_cast<int>(builds.size()), total);
    EXPECT_EQ(std::set<TGuid>(builds.begin(), builds.end()).size(), builds.size());
}

// The console's management commands and the cache clean against the real agent, with the
// build cache service under the machine's own supervision.
TEST_F(AgentServiceBlackBox, ManagementCommandsAndTheCacheCleanWithTheRealAgent) {
    const char* cacheService = "Orvane BuildCache";
    std::string pidFile = dir_ / "buildcache.pid";
    std::filesystem::create_directories(dir_ / "agent/resources");
    std::filesystem::create_directories(dir_ / "cache/FileCache/ab");
    test::WriteFile(dir_ / "cache/FileCache/ab/entry", "1");
    test::WriteFile(dir_ / "agent/resources/buildcache_service_config.json",
                    R"({"fileSystem":{"cacheDirectoryLocation":")" + (dir_ / "cache") + R"("}})");
    test::ScopedEnv registry("TamrelRegistryRoot", dir_.path());
    test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus"));
    options_.env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + (dir_ / "no-bus");
    options_.env["PROGRAMDATA"] = dir_.path();
    auto registered = platform::RegistryStore::Update(
        platform::RegistryRoot::LocalMachine, [&](platform::RegistryDocument& document) {
            std::string key = platform::SupervisedServiceKey(cacheService);
            document.SetValue(key, {"PidFile", platform::RegistryValueType::String, pidFile});
            document.SetValue(key,
                              {"Start", platform::RegistryValueType::String,
                               std::string("'") + QZ_FAKE_SERVICE_PATH + "' '" + pidFile + "'"});
            return platform::Result<>{};
        });
    ASSERT_TRUE(registered) << registered.error().Text();
    auto cacheState = [&](platform::ServiceState wanted) {
        auto deadline = Clock::now() + 10s;
        while (platform::QueryServiceState(cacheService) != wanted && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return platform::QueryServiceState(cacheService);
    };
    ASSERT_TRUE(platform::StartService(cacheService).has_value());
    ASSERT_EQ(cacheState(platform::ServiceState::Running), platform::ServiceState::Running);
    std::string firstInstance = test::ReadFile(pidFile).value_or("");

    StartAgent();
    test::RunOptions options = options_;
    options.cwd = dir_.path();
    options.env["TamrelBuildContext"] = std::nullopt;
    options.env["qzConsoleParams"] = std::nullopt;
    auto console = [&](const std::string& command) {
        return test::RunProgram({QZ_CONSOLE_PATH, command, "/NOLOGO"}, options);
    };

    auto first = Connect();
    auto second = Connect();
    TGuid firstId{}, secondId{};
    ASSERT_EQ(StartJob(*first, &firstId), 0);
    ASSERT_EQ(StartJob(*second, &secondId), 0);
    test::RunResult list = console("/LIST");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_THAT(list.out, HasSubstr("1: " + GuidToText(firstId) + " ("));
    EXPECT_THAT(list.out, HasSubstr("2: " + GuidToText(secondId) + " ("));

    test::RunResult ambiguous = console("/STOP");
    EXPECT_EQ(ambiguous.out, "Invalid build ID or multiple builds running.\r\n");
    EXPECT_EQ(ambiguous.exitCode, 3);
    test::RunResult stopAll = console("/STOPALL");
    EXPECT_EQ(stopAll.out, "Build Stop request sent successfully.\r\n"
                           "Build Stop request sent successfully.\r\n");
    EXPECT_EQ(stopAll.exitCode, 2);

    test::RunResult clean = console("/CLEARBUILDCACHE");
    EXPECT_EQ(clean.out, "Build cache cleaned.\r\n");
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "cache/FileCache"));
    // The agent started it again: a new instance holds the pid file.
    EXPECT_EQ(cacheState(platform::ServiceState::Running), platform::ServiceState::Running);
    EXPECT_NE(test::ReadFile(pidFile).value_or(""), firstInstance);

    first.reset();
    second.reset();
    platform::StopService(cacheService);
    int cachePid = std::atoi(test::ReadFile(pidFile).value_or("0").c_str());
    if (cacheState(platform::ServiceState::Stopped) != platform::ServiceState::Stopped &&
        cachePid > 0) {
        kill(cachePid, SIGKILL);
    }
}

} // namespace
} // namespace qz
