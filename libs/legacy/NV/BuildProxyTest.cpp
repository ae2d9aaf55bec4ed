// The console's side of a build against a stand-in Tasksmith (a real process that follows the
// hand-over) and a scripted agent: slots and refusals, the start and its restarts, the event
// stream with its fallback to the monitor data file, the watchdog and the exit codes.

#include "BuildProxy.h"

#include "BuildFlags.h"
#include "CM/MonitorPackets.h"
#include "CM/ServicePackets.h"
#include "GridConsoleTesting.h"
#include "platform/NamedObjects.h"
#include "platform/NativeThread.h"

#include <gmock/gmock.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::nv {
namespace {

namespace fs = std::filesystem;
using Req = TBuildCommandPacket;

const bool g_registered = (RegisterAllPacketClasses(), true);

// ---- Pure parts ------------------------------------------------------------------------------

TEST(BuildProxyValues, StartTimeTextIsTheWholeDayOrEmptyForValuesThatNameNoDay) {
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(45678.75), "45678");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(0.5), "0");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(-3.5), "-3");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(std::nan("")), "");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(INFINITY), "");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(-INFINITY), "");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(1e300), "");
    EXPECT_EQ(TBuildProxy::StartTimeTextOf(2147483648.0), "");
}

TEST(BuildProxyValues, SummaryShowsTasksmithPartsOnlyWhenCounted) {
    EXPECT_EQ(TBuildProxy::SummaryText(1, 0, 0, 0),
              "1 Tasksmith error(s), 0 error(s), 0 warning(s)");
    EXPECT_EQ(TBuildProxy::SummaryText(0, 2, 3, 4),
              "2 Tasksmith warning(s), 3 error(s), 4 warning(s)");
    EXPECT_EQ(TBuildProxy::SummaryText(0, 0, 0, 0), "0 error(s), 0 warning(s)");
}

TEST(BuildProxyValues, ProcessChainEndsAtZeroMissingOrRepeatedProcesses) {
    std::vector<std::pair<int, int>> parents = {{10, 7}, {7, 1}, {1, 0}, {20, 21}, {21, 20}};
    EXPECT_EQ(TBuildProxy::ProcessChain(10, parents), (std::vector<int>{10, 7, 1, 0}));
    EXPECT_EQ(TBuildProxy::ProcessChain(20, parents), (std::vector<int>{20, 21, 20}));
    EXPECT_EQ(TBuildProxy::ProcessChain(30, parents), (std::vector<int>{30}));
}

TEST(ExitCodes, BaseIsAddedWithWrapAroundAndALowByteOfZeroNeverReadsAsSuccess) {
    SetExitCodeBase(100);
    SetExitCode(156);
    EXPECT_EQ(ProcessExitCode(), 256);
    EXPECT_EQ(ProcessExitStatus(ProcessExitCode()), 255);
    SetExitCodeBase(10000);
    SetExitCode(240);
    EXPECT_EQ(ProcessExitStatus(ProcessExitCode()), 255);
    SetExitCodeBase(2147483647);
    SetExitCode(2);
    EXPECT_EQ(ProcessExitCode(), -2147483647);
    SetExitCodeBase(100);
    SetExitCode(0);
    EXPECT_EQ(ProcessExitStatus(ProcessExitCode()), 0);
    SetExitCode(1);
    EXPECT_EQ(ProcessExitStatus(ProcessExitCode()), 101);
    SetExitCodeBase(0);
    SetExitCode(0);
}

TEST(CommandFile, IsPrivateAndReplacesALinkWithoutWritingThroughIt) {
    test::TempDir dir;
    test::WriteFile(dir / "victim", "keep");
    fs::create_symlink(dir / "victim", dir / "cmd.nv_bld_cmd");
    Req request;
    request.SetStr(Req::Command, "make -j8");
    request.SetStr(Req::EnvBlock, std::string("SECRET=1\0\0", 10));
    TBuildProxy::WriteCommandFile(dir / "cmd.nv_bld_cmd", request);

    EXPECT_EQ(test::ReadFile(dir / "victim"), "keep");
    EXPECT_FALSE(fs::is_symlink(dir / "cmd.nv_bld_cmd"));
    struct stat info {};
    ASSERT_EQ(::stat((dir / "cmd.nv_bld_cmd").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    Req loaded;
    loaded.LoadFromFile(dir / "cmd.nv_bld_cmd");
    EXPECT_TRUE(loaded.Equals(request));

    // A second build of the same name replaces the file.
    request.SetStr(Req::Command, "true");
    TBuildProxy::WriteCommandFile(dir / "cmd.nv_bld_cmd", request);
    loaded.LoadFromFile(dir / "cmd.nv_bld_cmd");
    EXPECT_EQ(loaded.Str(Req::Command), "true");
}

// ---- Against a stand-in Tasksmith ------------------------------------------------------------

// A proxy whose agent answers from a script: each attempt takes the next result (the last one
// repeats); a grant carries a new build id unless nullGrant is set.
class ScriptedProxy : public TBuildProxy {
public:
    ScriptedProxy(const std::string& title, TEventHandler onEvent, std::vector<int> results,
                  bool nullGrant, int& attempts)
        : TBuildProxy(title, "", pfWaitForTasksmith, std::move(onEvent)),
          results_(std::move(results)), nullGrant_(nullGrant), attempts_(attempts) {}

protected:
    void ConnectService() override {}
    void ReleaseServicePipe() override {}
    int RequestJob(const TBuildCommandPacket&, TGuid& jobId) override {
        std::size_t index =
            std::min<std::size_t>(static_cast<std::size_t>(attempts_), results_.size() - 1);
        ++attempts_;
        int result = results_[index];
        if (result == sjGranted && !nullGrant_) {
            jobId = NewGuid();
        }
        return result;
    }

private:
    std::vector<int> results_;
    bool nullGrant_;
    int& attempts_;
};

class BuildRunTest : public testing::ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        agent_ = dir_ / "agent";
        fs::create_directories(agent_);
        fs::create_symlink(QZ_FAKE_TASKSMITH_PATH, agent_ + "/Tasksmith");
        fs::create_directories(dir_ / "reg");
        test::WriteFile(dir_ / "reg/HKLM.reg",
                        "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" + agent_ +
                            "\"\n");
        fs::create_directories(dir_ / "obj");
        oldPrefix_ = platform::ObjectPrefix();
        oldFolder_ = platform::ObjectDirectory();
        std::string prefix = test::UniqueName("qzproxy");
        platform::SetObjectPrefix(prefix);
        platform::SetObjectDirectory(dir_ / "obj");
        env_.push_back(std::make_unique<test::ScopedEnv>("TamrelRegistryRoot", dir_ / "reg"));
        env_.push_back(std::make_unique<test::ScopedEnv>("TamrelObjectPrefix", prefix));
        env_.push_back(std::make_unique<test::ScopedEnv>("TamrelObjectDir", dir_ / "obj"));
        TBuildProxy::SetRestartPause(10);
    }
    void TearDown() override {
        console_.reset();
        env_.clear();
        platform::SetObjectPrefix(oldPrefix_);
        platform::SetObjectDirectory(oldFolder_);
        TBuildProxy::SetRestartPause(1000);
        TBuildProxy::SetStartTimeout(60000);
        TBuildProxy::SetReaderInterval(100);
        ConsoleFixture::TearDown();
    }

    // Runs a build with the script of the stand-in; the main loop runs until the run ends or
    // the deadline passes. Returns the message of an error that ended the run, or "".
    std::string Build(const std::string& script, std::vector<std::string> args,
                      std::vector<int> results = {sjGranted}, bool nullGrant = false,
                      int deadlineMs = 20000) {
        test::ScopedEnv fake("QZ_FAKE_TASKSMITH", script);
        args.insert(args.begin(), "/COMMAND=make");
        console_ = Make(args);
        console_->runBuild = true;
        console_->proxyFactory = [this, results, nullGrant](testing::TCapturingConsole& console) {
            return std::make_unique<ScriptedProxy>(
                console.Title(), [&console](TPacket& event) { console.BuildEvent(event); }, results,
                nullGrant, attempts_);
        };
        timedOut_ = false;
        auto deadline = TClock::CreateClock(deadlineMs, true, [this](TClock&) {
            timedOut_ = true;
            TNotifyQueue::Main().StopLoop();
        });
        try {
            console_->RunCommand();
            TNotifyQueue::Main().Run();
        } catch (const Exception& e) {
            return e.Message();
        }
        return "";
    }

    std::string agent_;
    std::unique_ptr<testing::TCapturingConsole> console_;
    std::vector<std::unique_ptr<test::ScopedEnv>> env_;
    std::string oldPrefix_;
    std::string oldFolder_;
    int attempts_ = 0;
    bool timedOut_ = false;
};

TEST_F(BuildRunTest, OutputReachesItsStreamsInOrderAndTheExitCodeGetsTheBase) {
    EXPECT_EQ(Build("lines=3 code=2", {"/exitcodebase=100"}), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_EQ(console_->out, "line 1\r\nline 2\r\nline 3\r\n");
    EXPECT_EQ(console_->err, "err 1\r\nerr 2\r\nerr 3\r\n");
    EXPECT_EQ(ProcessExitCode(), 102);
    EXPECT_EQ(console_->CompletionCount(), 2);
    TBuildProxy& proxy = *console_->BuildProxy();
    EXPECT_FALSE(proxy.ReadingMonitorFile());
    // The command file stays for Tasksmith, readable by this user only.
    std::string commandFile = agent_ + "/Temp/" + proxy.BuildIdText() + ".nv_bld_cmd";
    struct stat info {};
    ASSERT_EQ(::stat(commandFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    Req written;
    written.LoadFromFile(commandFile);
    EXPECT_EQ(written.Guid(Req::BuildID), proxy.BuildId());
    EXPECT_EQ(written.Str(Req::InitiatorName), console_->Title());
    EXPECT_EQ(written.Str(Req::CurDir), dir_.path());
    EXPECT_EQ(written.Str(Req::BuildClass), "wrap");
}

TEST_F(BuildRunTest, TailThatOnlyTheMonitorFileHoldsIsReadFromTheSamePosition) {
    EXPECT_EQ(Build("filefirst pause=400 lines=2 big=3000000 code=0", {}), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_TRUE(console_->BuildProxy()->ReadingMonitorFile());
    ASSERT_GT(console_->out.size(), 3000000u);
    EXPECT_EQ(console_->out.substr(0, 16), "line 1\r\nline 2\r\n");
    EXPECT_EQ(console_->out.size(), 16 + 3000000 + 2);
    EXPECT_EQ(console_->err, "err 1\r\nerr 2\r\n");
    EXPECT_EQ(ProcessExitCode(), 0);
}

TEST_F(BuildRunTest, AFirstReadAfterTasksmithEndedTakesTheFirstSectionThenTheMonitorFile) {
    // The stand-in writes more than a section and ends before the reader's first tick: only the
    // first section (held by the console since the start) is left of the stream, and the
    // started event in it names the monitor data file that holds the rest. The reader's first
    // tick comes long after the stand-in's end; its exit makes the first read.
    TBuildProxy::SetReaderInterval(5000);
    EXPECT_EQ(Build("lines=2 big=3000000 code=0", {}), "");
    TBuildProxy::SetReaderInterval(100);
    EXPECT_FALSE(timedOut_);
    EXPECT_TRUE(console_->BuildProxy()->ReadingMonitorFile());
    EXPECT_EQ(console_->out.size(), 16 + 3000000 + 2);
    EXPECT_EQ(console_->out.substr(0, 16), "line 1\r\nline 2\r\n");
    EXPECT_EQ(console_->BuildProxy()->Failure(), "");
    EXPECT_EQ(ProcessExitCode(), 0);
}

TEST_F(BuildRunTest, DamagedEventIsReadAgainFromTheMonitorFileWithTheSameClassNumbers) {
    // The damaged event introduces its class; later events refer to classes by number, so the
    // failed load must not have counted it.
    EXPECT_EQ(Build("corrupt pause=400 code=0", {}), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_TRUE(console_->BuildProxy()->ReadingMonitorFile());
    EXPECT_EQ(console_->out, "line 1\r\nline 2\r\n");
    EXPECT_EQ(console_->CompletionCount(), 2);
    // Ended by the build's own completion event, not by a failure.
    EXPECT_EQ(console_->BuildProxy()->ProxyState(), TProxyState::Attached);
}

TEST_F(BuildRunTest, KilledTasksmithEndsTheRunAtItsExitWithItsExitCode) {
    EXPECT_EQ(Build("lines=2 die", {"/exitcodebase=1000"}, {sjGranted}, false, 15000), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_EQ(console_->out, "line 1\r\nline 2\r\n");
    EXPECT_EQ(ProcessExitCode(), 1000 + 128 + SIGKILL);
    EXPECT_EQ(console_->CompletionCount(), 2);
    EXPECT_EQ(console_->BuildProxy()->ProxyState(), TProxyState::Closed);
}

TEST_F(BuildRunTest, DamagedStreamWithoutMonitorFileEndsWithTheExitOfTheRunningTasksmith) {
    // The failure is seen while Tasksmith still runs: the run must not wait for an exit that
    // was dropped, nor block the loop until Tasksmith ends.
    EXPECT_EQ(Build("garbage code=4", {"/exitcodebase=10"}), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_EQ(ProcessExitCode(), 14);
    EXPECT_EQ(console_->CompletionCount(), 2);
    EXPECT_EQ(console_->out, "");
}

TEST_F(BuildRunTest, EventsThatCannotBeReadNeverEndAsASuccess) {
    // Tasksmith itself succeeds, but the console lost the build's events: the reason is shown
    // and the run fails with the console's own code.
    EXPECT_EQ(Build("garbage code=0", {"/exitcodebase=10"}), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_EQ(ProcessExitCode(), 13);
    EXPECT_THAT(console_->err,
                ::testing::HasSubstr("Failed to load monitor event from data stream"));
    EXPECT_EQ(console_->out, "");
}

// True once the process is gone or a zombie.
bool ProcessEnded(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close == std::string::npos || text.substr(close + 2, 1) == "Z";
}

TEST_F(BuildRunTest, KilledConsoleAbandonsTheOwnerMutexAndTasksmithEnds) {
    std::string pidFile = dir_ / "pid";
    int console = test::ForkChild([&] {
        Build("hang pidfile=" + pidFile, {}, {sjGranted}, false, 30000);
        return 0;
    });
    int tasksmith = 0;
    for (int i = 0; i < 200 && tasksmith == 0; ++i) {
        std::ifstream(pidFile) >> tasksmith;
        platform::SleepMilliseconds(50u);
    }
    ASSERT_NE(tasksmith, 0);
    test::KillChild(console);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (!ProcessEnded(tasksmith) && std::chrono::steady_clock::now() < deadline) {
        platform::SleepMilliseconds(20u);
    }
    EXPECT_TRUE(ProcessEnded(tasksmith));
    EXPECT_THAT(test::ReadFile(pidFile).value_or(""), ::testing::HasSubstr("abandoned"));
    if (!ProcessEnded(tasksmith)) {
        ::kill(tasksmith, SIGKILL);
    }
}

TEST(OwnerMutex, IsOwnedFromItsCreationAndOnlyOpenedWhenItExists) {
    std::string name = test::UniqueName("Orvane_Build_Owner");
    TWinMutex first(NullDaclSecurityAttributes(), name, true);
    EXPECT_TRUE(first.Owned());
    EXPECT_FALSE(first.AlreadyExisted());
    EXPECT_EQ(TWinMutex::Query(name), TWinMutex::TState::OwnedByCaller);
    TWinMutex second(NullDaclSecurityAttributes(), name, true);
    EXPECT_TRUE(second.AlreadyExisted());
    EXPECT_FALSE(second.Owned());
    // Another process finds it held.
    int pid = test::ForkChild([&] {
        TWinMutex other(NullDaclSecurityAttributes(), name);
        return other.Acquire(0, wfTimeoutResult) ? 1 : 0;
    });
    EXPECT_EQ(test::WaitChild(pid, std::chrono::seconds(10)), 0);
    first.Release();
}

TEST_F(BuildRunTest, RestartCodeIsRetriedThirtyTimesThenTheRunFails) {
    std::string count = dir_ / "starts";
    std::string error = Build("exit=217 count=" + count, {});
    EXPECT_EQ(error, "Failed to start build.\r\nTasksmith process restart tries limit reached");
    std::ifstream starts(count);
    int lines = 0;
    for (std::string line; std::getline(starts, line);) {
        ++lines;
    }
    EXPECT_EQ(lines, 31);
}

TEST_F(BuildRunTest, InitialisationFailureShowsTheExitCodeAndTheCapturedOutput) {
    EXPECT_EQ(Build("exit=1", {}), "Failed to start build.\r\nTasksmith process failed to "
                                   "initialize (exit code 1).\r\n\r\nfake out\r\nfake err");
}

TEST_F(BuildRunTest, StartEventThatNeverComesTimesOut) {
    TBuildProxy::SetStartTimeout(300);
    std::string error = Build("nostart", {});
    EXPECT_EQ(error, "Failed to start build.\r\nTimed out waiting for Tasksmith process to "
                     "initialize.");
    // Left running, it could still start the build without a slot: it was killed.
    TProcess* process = console_->BuildProxy()->TasksmithProcess();
    ASSERT_NE(process, nullptr);
    // (The stand-in would end by itself with 0 after 30 s.)
    EXPECT_EQ(process->WaitFor(), 128 + SIGKILL);
}

TEST_F(BuildRunTest, GrantWithoutBuildIdIsAnError) {
    EXPECT_EQ(Build("lines=1", {}, {sjGranted}, true),
              "Failed to start build.\r\nThe agent service granted a build slot without a build "
              "id.");
}

TEST_F(BuildRunTest, RefusalsUnderNoWaitEndWithTheirCodesAndPostTheActivityRecord) {
    const std::vector<std::tuple<int, std::string, int, int>> rows = {
        {sjMaxBuildsReached, "Maximum number of concurrent builds reached.\r\n", 104, 8},
        {sjNotEnoughCores, "Not enough CPU cores available for new build.\r\n", 105, 16},
        {sjUpdatePending, "Agent version update is pending.\r\n", 106, 32},
        {9, "The agent service refused the build slot (result 9).\r\n", 103, 0},
    };
    for (const auto& [result, line, code, status] : rows) {
        attempts_ = 0;
        EXPECT_EQ(Build("lines=1", {"/NOWAIT", "/exitcodebase=100"}, {result}), "");
        EXPECT_EQ(console_->out, line);
        EXPECT_EQ(ProcessExitCode(), code);
        ASSERT_EQ(console_->posted.size(), 1u);
        TPacket& activity = *console_->posted[0];
        EXPECT_EQ(activity.Int(TCoordBuildActivityInfo::BuildStatusId), status);
        EXPECT_EQ(activity.Int(TCoordBuildActivityInfo::BuildTypeId), 1);
        EXPECT_EQ(activity.Str(TCoordBuildActivityInfo::AgentId), "buildhost");
        EXPECT_EQ(activity.Int(TCoordBuildActivityInfo::BiIssuer), 2);
        EXPECT_EQ(activity.Str(TCoordBuildActivityInfo::BuildsetVersion), "wrap");
    }
}

TEST_F(BuildRunTest, RefusedBuildWaitsShowsTheReasonOnceAndThenRuns) {
    EXPECT_EQ(Build("lines=1", {}, {sjMaxBuildsReached, sjMaxBuildsReached, sjGranted}), "");
    EXPECT_FALSE(timedOut_);
    EXPECT_EQ(attempts_, 3);
    EXPECT_EQ(console_->out, "\r\nMaximum number of concurrent builds reached.\r\nWaiting for a "
                             "build to complete...\r\n" +
                                 std::string(25, ' ') + "\r\n\r\nline 1\r\n");
    EXPECT_EQ(ProcessExitCode(), 0);
}

TEST_F(BuildRunTest, IdeMonitorIsTheFirstAncestorWithAMarkerMutex) {
    Req request;
    request.SetStr(Req::PrimaryFilename, dir_ / "my.xml");
    request.SetBits(Req::Flags, 3 | (std::uint64_t{1} << bfUseIdeMonitor));
    int attempts = 0;
    ScriptedProxy proxy("Console", nullptr, {0}, false, attempts);
    proxy.PrepareRequest(request);
    EXPECT_EQ(request.Bits(Req::Flags), 3u);
    EXPECT_EQ(request.Str(Req::Caption), "My");
    EXPECT_EQ(request.Str(Req::BuildClass), "xml");

    TWinMutex marker(nullptr, "Orvane_UseIDEMonitor_Mutex_" + std::to_string(::getppid()));
    request.SetBits(Req::Flags, 3 | (std::uint64_t{1} << bfUseIdeMonitor));
    proxy.PrepareRequest(request);
    EXPECT_EQ(request.Bits(Req::Flags), 3 | (std::uint64_t{1} << bfUseIdeMonitor));
    EXPECT_EQ(request.Int(Req::UseIDEMonitorPID), ::getppid());
}

TEST_F(BuildRunTest, ProxyIsUsedOnce) {
    test::ScopedEnv fake("QZ_FAKE_TASKSMITH", "lines=0");
    int attempts = 0;
    ScriptedProxy proxy("Console", nullptr, {sjMaxBuildsReached}, false, attempts);
    Req request;
    request.SetStr(Req::BuildClass, "wrap");
    // A refused attempt may be repeated; a closed session may not.
    EXPECT_EQ(proxy.StartBuild(request, "", 0), sjMaxBuildsReached);
    EXPECT_EQ(proxy.StartBuild(request, "", 0), sjMaxBuildsReached);
    proxy.CloseSession(false);
    try {
        proxy.StartBuild(request, "", 0);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Internal Error: Proxy object cannot be reused.");
    }
}

} // namespace
} // namespace qz::nv
