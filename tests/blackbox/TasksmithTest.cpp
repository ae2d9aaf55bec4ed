// Tasksmith as the console starts it: this test plays the console's side of the contract
// (command file, start event, owner mutex, attached event) and checks the program's exit code,
// the monitor data file it leaves and that no process of the build outlives it.

#include "CM/BuildCommandPackets.h"
#include "CM/EnvUtils.h"
#include "CM/GrowingSharedStream.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "NV/BuildFlags.h"
#include "TestSupport.h"
#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/NamedObjects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace {

using namespace qz;
using ::testing::HasSubstr;

bool ProcessAlive(int pid) {
    std::string stat = test::ReadFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

struct BuildResult {
    int exitCode = -1;
    std::string err; // Tasksmith's own standard error
    std::vector<std::unique_ptr<TPacket>> events;
    std::unique_ptr<TMetaBuildPacket> head;

    std::string Out(int taskId = -1) const {
        return Texts(TMonitorEventOutputPacket::Text, taskId);
    }
    std::string Err(int taskId = -1) const {
        return Texts(TMonitorEventOutputPacket::ErrText, taskId);
    }
    std::string Texts(int field, int taskId) const {
        std::string all;
        for (const auto& e : events) {
            if (e->ClassName() == "TMonitorEventOutputPacket" && !e->Str(field).empty() &&
                (taskId < 0 || e->Int(TMonitorEventOutputPacket::TaskID) == taskId)) {
                all += e->Str(field) + "\r\n";
            }
        }
        return all;
    }
    std::vector<const TPacket*> OfClass(const std::string& name) const {
        std::vector<const TPacket*> found;
        for (const auto& e : events) {
            if (e->ClassName() == name) {
                found.push_back(e.get());
            }
        }
        return found;
    }
};

class TasksmithBlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterAllPacketClasses();
        platform::SetObjectDirectory(dir_.path());
        std::filesystem::create_directories(dir_ / "agent");
        std::filesystem::create_directories(dir_ / "temp");
        std::filesystem::create_directories(dir_ / "work");
        test::WriteFile(dir_ / "HKLM.reg", "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n"
                                           "\"Folder\"=\"" +
                                               dir_ / "agent" +
                                               "\"\n"
                                               "\"TempDir\"=\"" +
                                               dir_ / "temp" + "\"\n");
        id_ = NewGuid();
        idText_ = GuidToText(id_);
        request_ = std::make_unique<TBuildCommandPacket>();
        request_->SetGuid(TBuildCommandPacket::BuildID, id_);
        request_->SetBits(TBuildCommandPacket::Flags, nv::kInitialBuildFlags);
        request_->SetStr(TBuildCommandPacket::CurDir, dir_ / "work");
        std::string block;
        for (const char* entry : {"PATH=/usr/bin:/bin", "FROM_CONSOLE=yes"}) {
            block += std::string(entry) + '\0';
        }
        request_->SetStr(TBuildCommandPacket::EnvBlock, block + '\0');
    }
    void TearDown() override { platform::SetObjectDirectory(""); }

    void WriteCommandFile() {
        TVirtualStream stream;
        request_->SaveToStream(stream, nullptr, 0);
        ASSERT_TRUE(platform::WritePrivateFile(CommandFile(), stream.AsString()));
    }
    std::string CommandFile() const { return dir_ / ("temp/" + idText_ + ".nv_bld_cmd"); }
    std::string Name(const std::string& suffix) const { return "Orvane_Build_" + idText_ + suffix; }

    // Starts Tasksmith with the start event in place; returns false when the start fails.
    bool Launch(std::vector<std::string> extraArgs = {}) {
        EXPECT_EQ(test::Unpack(platform::Event::Create(Name("_Start_SyncWithProxyEvent"), true,
                                                       false, platform::ObjectAccess::Private),
                               start_),
                  0);
        platform::FileOpenRequest open;
        open.access = platform::FileAccess::Write;
        open.disposition = platform::FileDisposition::CreateAlways;
        EXPECT_TRUE(errFile_.Open(dir_ / "tasksmith.err", open));
        process_ = platform::ChildProcess();
        platform::ChildStartOptions options;
        options.arguments = {QZ_TASKSMITH_PATH, "/id=" + idText_};
        options.arguments.insert(options.arguments.end(), extraArgs.begin(), extraArgs.end());
        options.newSession = true;
        std::vector<std::string> env = platform::EnvironmentEntries();
        env.push_back("TamrelRegistryRoot=" + dir_.path());
        env.push_back("TamrelObjectDir=" + dir_.path());
        options.environment = env;
        options.stdErr = errFile_.Handle();
        options.stdOut = errFile_.Handle();
        return process_.Start(options).has_value();
    }

    // The console's side: wait for the start event, own the owner mutex, set attached.
    void Attach() {
        platform::Waitable* start = start_.get();
        ASSERT_EQ(platform::WaitAny(&start, 1, false, 30000).status, platform::WaitStatus::Signaled)
            << test::ReadFile(dir_ / "tasksmith.err").value_or("");
        ASSERT_EQ(test::Unpack(platform::Mutex::Create(Name("_OwnerTermination"),
                                                       platform::ObjectAccess::Private),
                               owner_),
                  0);
        ASSERT_EQ(owner_->Acquire(0).status, platform::WaitStatus::Signaled);
        std::unique_ptr<platform::Event> attached;
        ASSERT_EQ(test::Unpack(platform::Event::Open(Name("_OwnerAttachedEvent")), attached), 0);
        attached->Set();
    }

    BuildResult Finish(int timeoutMs = 60000) {
        BuildResult result;
        if (!process_.Wait(timeoutMs)) {
            platform::SignalProcessGroup(process_.Pid(), platform::ProcessSignal::Kill);
            process_.Wait(5000);
            ADD_FAILURE() << "Tasksmith did not end in time";
        }
        result.exitCode = process_.ExitCode().value_or(-1);
        errFile_.Close();
        result.err = test::ReadFile(dir_ / "tasksmith.err").value_or("");
        std::string file = MonitorFileName();
        if (!file.empty()) {
            TMonitorFile monitor = OpenMonitorFile(file);
            result.head = std::move(monitor.Meta);
            result.events = ReadMonitorEvents(*monitor.Events);
        }
        return result;
    }

    std::string MonitorFileName() const {
        std::string history = dir_ / "agent/History/Local";
        if (!std::filesystem::exists(history)) {
            return {};
        }
        for (const auto& day : std::filesystem::directory_iterator(history)) {
            std::string file = day.path().string() + "/" + idText_ + ".nv_mon";
            if (std::filesystem::exists(file)) {
                return file;
            }
        }
        return {};
    }

    BuildResult RunCommand(const std::string& command) {
        request_->SetStr(TBuildCommandPacket::Command, command);
        request_->SetStr(TBuildCommandPacket::BuildClass, "wrap");
        WriteCommandFile();
        EXPECT_TRUE(Launch());
        Attach();
        return Finish();
    }

    BuildResult RunJobFile(const std::string& xml, std::uint64_t extraFlags = 0) {
        test::WriteFile(dir_ / "work/job.xml", xml);
        request_->SetStr(TBuildCommandPacket::PrimaryFilename, dir_ / "work/job.xml");
        request_->SetBits(TBuildCommandPacket::Flags, nv::kInitialBuildFlags | extraFlags);
        WriteCommandFile();
        EXPECT_TRUE(Launch());
        Attach();
        return Finish();
    }

    test::TempDir dir_;
    TGuid id_{};
    std::string idText_;
    std::unique_ptr<TBuildCommandPacket> request_;
    std::unique_ptr<platform::Event> start_;
    std::unique_ptr<platform::Mutex> owner_;
    platform::ChildProcess process_;
    platform::File errFile_;
};

void ExpectFramed(const BuildResult& r) {
    ASSERT_FALSE(r.events.empty());
    EXPECT_EQ(r.events.front()->ClassName(), "TMonitorEventStartedPacket");
    EXPECT_EQ(r.events.back()->ClassName(), "TMonitorEventCompletePacket");
    ASSERT_TRUE(r.head);
    EXPECT_FALSE(r.head->Bool(TMetaBuildPacket::Incomplete));
}

TEST_F(TasksmithBlackBox, ExitCodesOfTheCommandPassThrough) {
    for (auto [command, expected] :
         std::vector<std::pair<std::string, int>>{{"exit 0", 0},
                                                  {"exit 1", 1},
                                                  {"exit 2", 2},
                                                  {"exit 255", 255},
                                                  {"kill -9 $$", 128 + SIGKILL}}) {
        SetUp();
        BuildResult r = RunCommand(command);
        EXPECT_EQ(r.exitCode, expected) << command << "\n" << r.err;
        ExpectFramed(r);
        const TPacket* complete = r.events.back().get();
        EXPECT_EQ(complete->Int(TMonitorEventCompletePacket::ExitCode), expected);
        EXPECT_EQ(complete->Bool(TMonitorEventCompletePacket::Success), expected == 0);
        EXPECT_FALSE(complete->Bool(TMonitorEventCompletePacket::Cancel));
        EXPECT_EQ(r.head->Int(TMetaBuildPacket::ExitCode), expected);
    }
}

TEST_F(TasksmithBlackBox, CommandOutputKeepsItsStreamsOrderAndEnvironment) {
    request_->Strings(TBuildCommandPacket::ForcedEnv).Add("FORCED=set");
    request_->SetStr(TBuildCommandPacket::Command, "echo one; echo err1 >&2; echo $FROM_CONSOLE "
                                                   "$FORCED; echo err2 >&2; pwd; sleep 1");
    request_->SetStr(TBuildCommandPacket::BuildClass, "wrap");
    WriteCommandFile();
    ASSERT_TRUE(Launch());
    Attach();
    // The console's view: the shared stream, read while the build runs, until it ends with its
    // owner; the monitor data file then holds the rest from the same position.
    std::string liveBytes;
    {
        TGrowingSharedStream live(id_, SessionLocal, false, 0x200000);
        try {
            while (!process_.Wait(10)) {
                std::int64_t size = live.Size();
                if (size > static_cast<std::int64_t>(liveBytes.size())) {
                    std::string chunk(static_cast<std::size_t>(size) - liveBytes.size(), '\0');
                    live.SetPosition(static_cast<std::int64_t>(liveBytes.size()));
                    live.ReadBuffer(chunk.data(), static_cast<std::int64_t>(chunk.size()));
                    liveBytes += chunk;
                }
            }
        } catch (const Exception&) {
            // The owner has ended: the rest comes from the file.
        }
    }
    BuildResult r = Finish();
    TMonitorFile monitor = OpenMonitorFile(MonitorFileName());
    std::string fileBytes(static_cast<std::size_t>(monitor.Events->Size()), '\0');
    monitor.Events->ReadBuffer(fileBytes.data(), monitor.Events->Size());
    EXPECT_FALSE(liveBytes.empty());
    EXPECT_EQ(fileBytes.substr(0, liveBytes.size()), liveBytes);
    // Once the console's own handles are gone, no named object of the build is left.
    owner_->Release();
    owner_.reset();
    start_.reset();
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        EXPECT_THAT(entry.path().filename().string(), ::testing::Not(HasSubstr(idText_)));
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.Out(1), "one\r\nyes set\r\n" + dir_ / "work" + "\r\n");
    EXPECT_EQ(r.Err(1), "err1\r\nerr2\r\n");
    // A command job shows its command's output and nothing of Tasksmith's own.
    EXPECT_EQ(r.Out(0), "");
    const TPacket* started = r.events.front().get();
    EXPECT_TRUE(SameGuid(started->Guid(TMonitorEventStartedPacket::ID), id_));
    EXPECT_EQ(started->Bits(TMonitorEventStartedPacket::BuildFlags), nv::kInitialBuildFlags);
}

TEST_F(TasksmithBlackBox, APrintedLineReachesTheSharedStreamWhileTheTaskRuns) {
    request_->SetStr(TBuildCommandPacket::Command, "echo first; sleep 3; echo second");
    request_->SetStr(TBuildCommandPacket::BuildClass, "wrap");
    WriteCommandFile();
    ASSERT_TRUE(Launch());
    Attach();
    TGrowingSharedStream live(id_, SessionLocal, false, 0x200000);
    auto begin = std::chrono::steady_clock::now();
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() - begin < std::chrono::seconds(2)) {
        std::string bytes(static_cast<std::size_t>(live.Size()), '\0');
        live.SetPosition(0);
        live.ReadBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        TVirtualStream copy;
        copy.SetContent(bytes);
        for (const auto& e : ReadMonitorEvents(copy)) {
            seen = seen || (e->ClassName() == "TMonitorEventOutputPacket" &&
                            e->Str(TMonitorEventOutputPacket::Text) == "first");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Long before the task ends (and before any flush of the file could matter).
    EXPECT_TRUE(seen);
    EXPECT_FALSE(process_.Wait(0));
    BuildResult r = Finish();
    EXPECT_EQ(r.Out(1), "first\r\nsecond\r\n");
}

TEST_F(TasksmithBlackBox, AJobFileLeavesTheWholeTimelineAndTheMonitorCopy) {
    request_->SetStr(TBuildCommandPacket::MonitorFilename, "copy.nv_mon");
    BuildResult r = RunJobFile(R"(<job slots="2">
  <task id="a" caption="Make a" remote="true"><shell>echo a &gt; a.txt; echo made a</shell>
    <output>a.txt</output></task>
  <task id="b" caption="Make b"><exec><arg>/bin/echo</arg><arg>made b</arg></exec></task>
  <task id="c" caption="Join" depends="a b"><shell>cat a.txt</shell></task>
</job>)",
                               std::uint64_t(1) << nv::bfShowTime);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ExpectFramed(r);
    EXPECT_EQ(r.OfClass("TMonitorEventEmployPacket").size(), 2u);
    auto begins = r.OfClass("TMonitorEventBeginStepPacket");
    auto ends = r.OfClass("TMonitorEventEndStepPacket");
    ASSERT_EQ(begins.size(), 3u);
    ASSERT_EQ(ends.size(), 3u);
    std::map<std::string, const TPacket*> byName;
    for (const TPacket* b : begins) {
        byName[b->Str(b->FieldIndex("Name"))] = b;
    }
    const TPacket* a = byName["Make a"];
    ASSERT_NE(a, nullptr);
    // "Remote" tells where the step ran: a remote-capable task run here is a local step.
    EXPECT_FALSE(a->Bool(a->FieldIndex("Remote")));
    EXPECT_EQ(a->Str(a->FieldIndex("CmdLine")), "echo a > a.txt; echo made a");
    EXPECT_EQ(a->Int(a->FieldIndex("TaskID")), 1);
    EXPECT_EQ(byName["Make b"]->Str(a->FieldIndex("CmdLine")), "/bin/echo 'made b'");
    for (const TPacket* e : ends) {
        EXPECT_TRUE(e->Bool(e->FieldIndex("ExitCodeExists")));
        EXPECT_EQ(e->Int(e->FieldIndex("ExitCode")), 0);
    }
    EXPECT_EQ(r.Out(1), "[1/3] Make a\r\nmade a\r\nMake a: " +
                            r.Out(1).substr(r.Out(1).rfind("Make a: ") + 8));
    EXPECT_THAT(r.Out(3), HasSubstr("\r\na\r\n"));
    EXPECT_THAT(r.Out(0), HasSubstr("Build succeeded: 3 built, 0 up to date, 0 failed"));
    auto counts = r.OfClass("TMonitorEventCountPacket");
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.back()->Int(counts.back()->FieldIndex("Built")), 3);
    // The /MON copy is the same file.
    EXPECT_EQ(test::ReadFile(dir_ / "work/copy.nv_mon"), test::ReadFile(MonitorFileName()));
}

TEST_F(TasksmithBlackBox, ABadJobFileIsRefusedBeforeAnythingRuns) {
    BuildResult r = RunJobFile(R"(<job>
  <task id="first"><shell>touch ran</shell></task>
  <task id="loop1" depends="loop2"><shell>true</shell></task>
  <task id="loop2" depends="loop1"><shell>true</shell></task>
</job>)");
    EXPECT_EQ(r.exitCode, 1);
    ExpectFramed(r);
    EXPECT_THAT(r.Err(0), HasSubstr("dependency cycle"));
    EXPECT_THAT(r.Err(0), HasSubstr("loop1"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "work/ran"));
    EXPECT_FALSE(r.events.back()->Bool(TMonitorEventCompletePacket::Success));
}

TEST_F(TasksmithBlackBox, AFailingTaskStopsTheGraph) {
    BuildResult r = RunJobFile(R"(<job slots="1">
  <task id="bad"><shell>echo broken &gt;&amp;2; exit 4</shell></task>
  <task id="later"><shell>touch ran</shell></task>
</job>)");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "work/ran"));
    EXPECT_THAT(r.Err(1), HasSubstr("broken\r\nTask \"bad\" failed with exit code 4"));
    EXPECT_THAT(r.Out(0), HasSubstr("Build failed: 0 built, 0 up to date, 1 failed, 1 not run"));
}

TEST_F(TasksmithBlackBox, StopOnErrorsStopsTheRunningTasksToo) {
    auto begin = std::chrono::steady_clock::now();
    BuildResult r = RunJobFile(R"(<job slots="2" keep-going="true">
  <task id="long"><shell>sleep 60</shell></task>
  <task id="bad"><shell>sleep 0.3; exit 5</shell></task>
</job>)",
                               std::uint64_t(1) << nv::bfStopOnErrors);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 5);
    ExpectFramed(r);
    EXPECT_FALSE(r.events.back()->Bool(TMonitorEventCompletePacket::Cancel));
}

TEST_F(TasksmithBlackBox, CleanRemovesDeclaredOutputsAndRunsNothingElse) {
    test::WriteFile(dir_ / "work/out.o", "old");
    BuildResult r = RunJobFile(R"(<job>
  <task id="t"><shell>touch built</shell><output>out.o</output><clean>touch cleaned</clean></task>
</job>)",
                               std::uint64_t(1) << nv::bfClean);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "work/out.o"));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "work/cleaned"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "work/built"));
}

TEST_F(TasksmithBlackBox, KillingTheConsoleStopsTheBuildAndLeavesNoProcess) {
    request_->SetStr(TBuildCommandPacket::Command,
                     "trap '' TERM; sleep 120 & echo $! > child.pid; wait");
    request_->SetStr(TBuildCommandPacket::BuildClass, "wrap");
    WriteCommandFile();
    ASSERT_TRUE(Launch());
    // The "console" is a forked process that owns the owner mutex and then is killed with -9.
    platform::Waitable* start = start_.get();
    ASSERT_EQ(platform::WaitAny(&start, 1, false, 30000).status, platform::WaitStatus::Signaled);
    std::string ownerName = Name("_OwnerTermination");
    std::string attachedName = Name("_OwnerAttachedEvent");
    int console = test::ForkChild([&] {
        std::unique_ptr<platform::Mutex> owner;
        if (test::Unpack(platform::Mutex::Create(ownerName, platform::ObjectAccess::Private),
                         owner) != 0 ||
            owner->Acquire(0).status != platform::WaitStatus::Signaled) {
            return 1;
        }
        std::unique_ptr<platform::Event> attached;
        if (test::Unpack(platform::Event::Open(attachedName), attached) != 0) {
            return 2;
        }
        attached->Set();
        std::this_thread::sleep_for(std::chrono::seconds(120));
        return 0;
    });
    std::string pidFile = dir_ / "work/child.pid";
    for (int i = 0; i < 3000 && test::ReadFile(pidFile).value_or("").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int child = std::stoi(test::ReadFile(pidFile).value_or("0"));
    ASSERT_GT(child, 0);
    auto killedAt = std::chrono::steady_clock::now();
    test::KillChild(console);
    BuildResult r = Finish(20000);
    EXPECT_LT(std::chrono::steady_clock::now() - killedAt, std::chrono::seconds(8));
    EXPECT_FALSE(ProcessAlive(child));
    ExpectFramed(r);
    EXPECT_TRUE(r.events.back()->Bool(TMonitorEventCompletePacket::Cancel));
    EXPECT_NE(r.exitCode, 0);
}

TEST_F(TasksmithBlackBox, TheAgentsStopEventCancelsTheBuild) {
    request_->SetStr(TBuildCommandPacket::Command, "echo started; sleep 120");
    request_->SetStr(TBuildCommandPacket::BuildClass, "wrap");
    WriteCommandFile();
    ASSERT_TRUE(Launch());
    Attach();
    std::unique_ptr<platform::Event> stop;
    ASSERT_EQ(test::Unpack(platform::Event::Create(Name("_StopEvent"), true, false,
                                                   platform::ObjectAccess::Private),
                           stop),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop->Set();
    BuildResult r = Finish(20000);
    ExpectFramed(r);
    EXPECT_TRUE(r.events.back()->Bool(TMonitorEventCompletePacket::Cancel));
    EXPECT_EQ(r.exitCode, 128 + SIGTERM);
}

TEST_F(TasksmithBlackBox, TheTerminateSignalStopsTheBuildLikeTheStopEvent) {
    // The task ignores the polite request: it is killed after the grace.
    request_->SetStr(TBuildCommandPacket::Command,
                     "trap '' TERM; touch started; sleep 120; touch finished");
    request_->SetStr(TBuildCommandPacket::BuildClass, "wrap");
    WriteCommandFile();
    ASSERT_TRUE(Launch());
    Attach();
    ASSERT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(dir_ / "work/started"); }));
    auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(process_.Pid(), SIGTERM), 0);
    BuildResult r = Finish(30000);
    auto took = std::chrono::steady_clock::now() - signalled;
    ExpectFramed(r);
    EXPECT_TRUE(r.events.back()->Bool(TMonitorEventCompletePacket::Cancel));
    EXPECT_EQ(r.exitCode, 128 + SIGKILL) << r.err;
    EXPECT_TRUE(r.head->Bool(TMetaBuildPacket::Cancelled));
    EXPECT_GE(took, std::chrono::milliseconds(4500)) << "killed before the grace";
    EXPECT_FALSE(std::filesystem::exists(dir_ / "work/finished"));
}

TEST_F(TasksmithBlackBox, ExecTasksFindTheirProgramInTheTasksPath) {
    // The program exists only in a folder of the task's PATH (relative: from the task's folder),
    // never in Tasksmith's own.
    std::filesystem::create_directories(dir_ / "work/tools");
    test::WriteFile(dir_ / "work/tools/only-here", "#!/bin/sh\necho tool says \"$1\"\n");
    std::filesystem::permissions(dir_ / "work/tools/only-here", std::filesystem::perms::owner_all);
    BuildResult r = RunJobFile(R"(<job slots="1" keep-going="true">
  <task id="found"><exec><arg>only-here</arg><arg>hi</arg></exec>
    <env name="PATH" value="/usr/bin:/bin:tools"/></task>
  <task id="missing"><exec><arg>only-here</arg></exec></task>
</job>)");
    EXPECT_EQ(r.exitCode, 127) << r.err;
    EXPECT_THAT(r.Out(1), HasSubstr("tool says hi"));
    EXPECT_THAT(r.Err(2), HasSubstr("cannot run only-here: not found in the task's PATH"));
}

TEST_F(TasksmithBlackBox, LimitedMonitorDataLeavesOutBarsOrGraphs) {
    const std::string job = R"(<job slots="1">
  <task id="a"><shell>echo a</shell></task>
  <task id="b" depends="a"><shell>echo b</shell></task>
</job>)";
    // /LIMITBVDATA=2: no task bars; the counts stay.
    BuildResult bars = RunJobFile(job, std::uint64_t(1) << nv::bfMonitorNoBars);
    EXPECT_EQ(bars.exitCode, 0) << bars.err;
    EXPECT_TRUE(bars.OfClass("TMonitorEventBeginStepPacket").empty());
    EXPECT_TRUE(bars.OfClass("TMonitorEventEndStepPacket").empty());
    EXPECT_FALSE(bars.OfClass("TMonitorEventCountPacket").empty());
    EXPECT_THAT(bars.Out(), HasSubstr("a\r\n"));

    // /LIMITBVDATA=3: no graphs (counts); the bars stay.
    SetUp();
    BuildResult graphs = RunJobFile(job, std::uint64_t(1) << nv::bfMonitorNoGraphs);
    EXPECT_EQ(graphs.exitCode, 0) << graphs.err;
    EXPECT_EQ(graphs.OfClass("TMonitorEventBeginStepPacket").size(), 2u);
    EXPECT_TRUE(graphs.OfClass("TMonitorEventCountPacket").empty());
}

TEST_F(TasksmithBlackBox, RefusesCommandFilesOthersCouldHavePlanted) {
    request_->SetStr(TBuildCommandPacket::Command, "touch ran");
    TVirtualStream stream;
    request_->SaveToStream(stream, nullptr, 0);
    test::WriteFile(dir_ / "elsewhere", stream.AsString());
    std::filesystem::create_symlink(dir_ / "elsewhere", CommandFile());
    ASSERT_TRUE(Launch());
    BuildResult r = Finish(20000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("Cannot read the build command file"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "work/ran"));

    std::filesystem::remove(CommandFile());
    test::WriteFile(CommandFile(), stream.AsString());
    std::filesystem::permissions(CommandFile(), std::filesystem::perms(0644));
    ASSERT_TRUE(Launch());
    r = Finish(20000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("Operation not permitted"));

    test::WriteFile(CommandFile() + ".tmp", "garbage");
    std::filesystem::remove(CommandFile());
    ASSERT_TRUE(platform::WritePrivateFile(CommandFile(), "not a packet at all"));
    ASSERT_TRUE(Launch());
    r = Finish(20000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("is damaged"));
}

TEST_F(TasksmithBlackBox, TheSampleJobBuildsThenIsUpToDate) {
    std::filesystem::copy(QZ_EXAMPLES_DIR "/stats", dir_ / "work",
                          std::filesystem::copy_options::recursive);
    std::string job = test::ReadFile(dir_ / "work/job.xml").value_or("");
    BuildResult r = RunJobFile(job);
    EXPECT_EQ(r.exitCode, 0) << r.Err() << r.err;
    EXPECT_TRUE(std::filesystem::exists(dir_ / "work/build/stats"));
    EXPECT_EQ(r.OfClass("TMonitorEventBeginStepPacket").size(), 14u);
    // A second build finds every output newer than its inputs and runs nothing.
    SetUp();
    BuildResult again = RunJobFile(job);
    EXPECT_EQ(again.exitCode, 0) << again.Err();
    EXPECT_THAT(again.Out(0), HasSubstr("0 built, 14 up to date, 0 failed"));
}

TEST_F(TasksmithBlackBox, RefusesBadArguments) {
    WriteCommandFile();
    for (std::vector<std::string> args :
         {std::vector<std::string>{"/id={1234}"}, {"/exitcodebase=abc"}, {"/bogus"}}) {
        idText_ = args[0].starts_with("/id=") ? args[0].substr(4) : idText_;
        platform::ChildStartOptions options;
        options.arguments = {QZ_TASKSMITH_PATH};
        options.arguments.insert(options.arguments.end(), args.begin(), args.end());
        platform::ChildProcess p;
        ASSERT_TRUE(p.Start(options));
        ASSERT_TRUE(p.Wait(20000));
        EXPECT_EQ(p.ExitCode(), 1) << args[0];
    }
}

} // namespace
