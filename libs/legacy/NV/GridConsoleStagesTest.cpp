// The option stages as RunCommand runs them: what each switch does to the request, what is left
// over, and the errors that end the run.

#include "BuildFlags.h"
#include "CM/StreamUtils.h"
#include "GridConsoleTesting.h"

#include <gmock/gmock.h>

namespace qz::nv {
namespace {

using Req = TBuildCommandPacket;
using Args = std::vector<std::string>;

std::uint64_t Bit(int bit) {
    return std::uint64_t{1} << bit;
}

class StagesTest : public testing::ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        File("job.xml");
    }
};

TEST_F(StagesTest, FlagSwitchesInAnyCaseAndPrefix) {
    const std::vector<std::pair<Args, std::vector<int>>> rows = {
        {{"/clean", "-Beep", "/OPENMONITOR", "/useidemonitor", "-rebuild", "/deploy", "/allfatal",
          "/StopOnErrors", "/showcmd", "/showagent", "/showtime"},
         {bfClean, bfBeep, bfOpenMonitor, bfUseIdeMonitor, bfRebuild, bfDeploy, bfAllFatal,
          bfStopOnErrors, bfShowCmd, bfShowAgent, bfShowTime}},
        {{"/no_dotnet_virt", "/use_same_console", "/no_crypt_virt", "/no_watchdog_thread",
          "/only64bithelpers", "/no_unc_sync", "/nomsgs", "/OnlyFailLocally=on",
          "/onlyfaillocally=off", "/securecomm=OFF"},
         {bfNoDotNetVirt, bfUseSameConsole, bfNoCryptVirt, bfNoWatchdogThread, bfOnly64BitHelpers,
          bfNoUncSync, bfNoMsgs, bfOnlyFailLocallyOn, bfOnlyFailLocallyOff, bfSecureCommOff}},
        {{"/freecompletedtasks=on", "/avoidlocal=OFF", "/predictedexecution32bitfallback=on",
          "/forceenglishmsbuildoutput=off", "/usecloudhelpers=TRUE", "/LimitBVData=2"},
         {bfFreeCompletedTasksOn, bfAvoidLocalOff, bfPredictedExecution32BitFallbackOn,
          bfForceEnglishMSBuildOutputOff, bfCloudHelpersOn, bfMonitorNoBars}},
        {{"/freecompletedtasks=Off", "/avoidlocal=on", "/predictedexecution32bitfallback=off",
          "/forceenglishmsbuildoutput=ON", "/usecloudhelpers=false", "/limitbvdata=3"},
         {bfFreeCompletedTasksOff, bfAvoidLocalOn, bfPredictedExecution32BitFallbackOff,
          bfForceEnglishMSBuildOutputOn, bfCloudHelpersOff, bfMonitorNoGraphs}},
        {{"/securecomm=off", "/securecomm=on", "/LimitBVData=1", "/LimitBVData"},
         {bfSecureCommOn, bfMonitorNoBars, bfMonitorNoGraphs}},
    };
    for (auto [args, bits] : rows) {
        std::uint64_t expected = 3;
        for (int bit : bits) {
            expected |= Bit(bit);
        }
        args.push_back("job.xml");
        auto console = Run(args);
        EXPECT_EQ(console->out, "") << args[0];
        EXPECT_EQ(console->BuildCommand().Bits(Req::Flags), expected) << args[0];
    }
}

// Each row ends the run with one message (leftovers, stage errors, refusals), exit code 3.
TEST_F(StagesTest, RunsEndingInOneMessage) {
    File("ws.dsw");
    File("run.bat");
    const std::string leftover = "Invalid/conflicting options specified: ";
    const std::string intercept = "The following options are invalid when using the interception "
                                  "interface: /CLEAN, /REBUILD, /SHOWCMD, /SHOWAGENT";
    const std::vector<std::pair<Args, std::string>> rows = {
        {{"/clean=1", "/out", "-CLEAN", "/clean", "/setenv", "job.xml"},
         leftover + "clean=1,out,clean,setenv"},
        {{"/", "job.xml"}, leftover + "\"\""},
        {{"/freecompletedtasks=maybe", "/usemsbuild=48", "/maxcpus=x", "/PEMODE=x",
          "/minwinver=6.0", "/loglevel=loud", "/buildcachelocal=1", "/buildcachepchstrategy=x",
          "/allowwrap=", "/LimitBVData", "/LimitBVData=0", "job.xml"},
         leftover + "freecompletedtasks=maybe,usemsbuild=48,maxcpus=x,PEMODE=x,minwinver=6.0,"
                    "loglevel=loud,buildcachelocal=1,buildcachepchstrategy=x,allowwrap=,"
                    "LimitBVData=0"},
        {{"/STOP=x", "/stop"}, leftover + "stop"},
        {{"/ENABLE", "/SHOWTIME"}, leftover + "SHOWTIME"},
        {{"/ENABLE", "job.xml"},
         "A filename to build cannot be specified with /ENABLE, /DISABLE, /RESET, /STOP"},
        {{"/neededhelpershistorytimesec=0"}, "NeededHelpersHistoryTimeSec must be greater than 0"},
        {{"/PEMODE=-1", "/OUT=o.txt"}, "The /PEMODE parameter value is invalid."},
        {{"/buildcachecluster="}, "Missing Build Cache Cluster name"},
        {{"/buildcachegeneratetoolprofile="}, "Missing generate tool profile name"},
        {{"/BuildCacheProfile="}, "Missing Build Cache profile path"},
        {{"/buildcachecluster=c1", "/buildcacheremoteserver=h:1"},
         "Cannot specify /BUILDCACHECLUSTER together with /BUILDCACHEREMOTESERVER"},
        {{"/buildcacheremoteserver=:80"}, "Missing remote cache server address"},
        {{"/buildcacheremoteserver=host"}, "Missing remote cache server port"},
        {{"/BUILDCACHEREMOTESERVER=host:8080:x"}, "Invalid remote cache server port format"},
        {{"/buildcacheremoteserver=host:70000"}, "Remote cache server port is out of range"},
        {{"/buildcacheremoteserver=host:-1"}, "Remote cache server port is out of range"},
        {{"/showtime"}, "Missing filename or command of job to execute"},
        {{"a.xml", "b.xml", "/COMMAND=make"}, "Only one filename to build can be specified"},
        {{"ws"},
         "For Visual Studio builds, please use SlnConsole instead of " +
             PathBaseName(platform::ExecutablePath())},
        {{"/sameos", "/maxwinver=foo", "job.xml"},
         "A /SAMEOS cannot be specified with /MINWINVER, /MAXWINVER"},
        {{"/COMMAND=make", "/showagent"}, intercept},
        {{"run.bat", "/rebuild"}, intercept},
    };
    for (const auto& [args, message] : rows) {
        auto console = Run(args);
        // Stage A runs before /OUT is checked, so its errors reach the console itself.
        EXPECT_EQ(console->out, "Fatal Error: " + message + "\r\n") << args[0];
        EXPECT_EQ(ProcessExitCode(), 3) << args[0];
    }
}

TEST_F(StagesTest, RaisedErrorsNameTheirFile) {
    File("job.txt");
    std::string start = CurrentDirectory();
    EXPECT_EQ(RunRaises({"job.txt"}), "Unknown file type: " + start + "/job.txt");
    EXPECT_EQ(RunRaises({"missing"}), "File not found: " + start + "/missing.sln");
    std::filesystem::create_directory(dir_ / "folder.xml");
    EXPECT_EQ(RunRaises({"folder.xml"}), "File not found: " + start + "/folder.xml");
    EXPECT_EQ(RunRaises({"/mon=", "job.xml"}),
              "Invalid /MON option syntax. Filename should be specified.");
    EXPECT_EQ(RunRaises({"/allowwrap=x", "job.xml"}),
              "The /ALLOWWRAP option is no longer supported. Use /ALLOWINTERCEPT instead.");
    EXPECT_THAT(RunRaises({"/setenv==1", "job.xml"}), ::testing::HasSubstr("environment"));
}

TEST_F(StagesTest, RequestFields) {
    auto console = Run({"/usemsbuild=64",
                        "/maxcpus=$10",
                        "/maxconcurrentpdbs= 7",
                        "/neededhelpershistorytimesec=30",
                        "/pemode=2",
                        "/maxfilesyncthreads=-3",
                        "/maxparallellinktargets=0x20",
                        "/clangpathconvert=1",
                        "/buildcachelocal=off",
                        "/BuildCacheEnableOlderMSVCSupport=0",
                        "/buildcacheremoteserver= cache:8080 ",
                        "/buildcacheprofile=p.json",
                        "/buildcachepchstrategy=2",
                        "/BuildCacheEnableStdinInputTaskCaching",
                        "/minwinver=vista",
                        "/MAXWINVER=8.1",
                        "/intelclversion=19",
                        "/builduser=u",
                        "/mon=m/out.mon",
                        "/allowremote= a ,\"b c\",,d",
                        "/profile=prof.xml",
                        "/loglevel=EXTENDED",
                        "/log_warning",
                        "/AdditionalArgs=-x",
                        "/DisablePdbForwarding",
                        "/monitordirs= /a ;;\"/b c\"; ",
                        "/TEST=gtest",
                        "/buildcachereadonly=on",
                        "/buildcachereadonly=off",
                        "sub/../job.xml"});
    EXPECT_EQ(console->out, "");
    const Req& r = console->BuildCommand();
    const std::string& start = console->StartDirectory();
    EXPECT_EQ(r.Int(Req::OverrideUseMSBuild), 2);
    EXPECT_TRUE(r.Bool(Req::UseMSBuild));
    EXPECT_EQ(r.Int(Req::OverrideMaxHelpersPerJob), 16);
    EXPECT_EQ(r.Int(Req::OverrideMaxConcurrentPDBs), 7);
    EXPECT_EQ(r.Int(Req::OverrideNeededHelpersHistoryTimeSec), 30);
    EXPECT_EQ(r.Int(Req::OverridePredictedExecutionMode), 2);
    EXPECT_EQ(r.Int(Req::OverrideMultiThreadedFileSyncThreads), -3);
    EXPECT_EQ(r.Int(Req::OverrideMaxParallelLinkTargets), 32);
    EXPECT_EQ(r.Int(Req::OverrideClangPathConvert), 1);
    EXPECT_FALSE(r.Bool(Req::UseLocalBuildCache));
    EXPECT_EQ(r.Int(Req::BuildCacheEnableOlderMSVCSupport), 0);
    EXPECT_EQ(r.Str(Req::RemoteBuildCacheServer), "cache:8080");
    EXPECT_EQ(r.Str(Req::BuildCacheProfile), "p.json");
    EXPECT_EQ(r.Int(Req::BuildCachePchStrategy), 2);
    EXPECT_TRUE(r.Bool(Req::BuildCacheEnableStdinInputTaskCaching));
    EXPECT_EQ(r.Int(Req::MinWinVer_Major) * 10 + r.Int(Req::MinWinVer_Minor), 60);
    EXPECT_EQ(r.Int(Req::MaxWinVer_Major) * 10 + r.Int(Req::MaxWinVer_Minor), 63);
    EXPECT_EQ(r.Str(Req::IntelCompilerVersion), "19");
    EXPECT_EQ(r.Str(Req::MonitorFilename), start + "/m/out.mon");
    EXPECT_EQ(r.Strings(Req::AllowRemote).Strings(),
              (std::vector<std::string>{"a", "b c", "", "d"}));
    EXPECT_EQ(r.Str(Req::ProfileFilename), start + "/prof.xml");
    EXPECT_EQ(r.Int(Req::OverrideLogLevel), 3);
    EXPECT_TRUE(r.Bool(Req::LogWarnings));
    EXPECT_EQ(r.Str(Req::AdditionalArgs), "-x");
    EXPECT_TRUE(r.Bool(Req::DisablePdbForwarding));
    EXPECT_EQ(r.Strings(Req::MonitoredDirs).Strings(), (std::vector<std::string>{"/a", "/b c"}));
    EXPECT_EQ(r.Str(Req::TestFwId), "gtest");
    EXPECT_EQ(r.Str(Req::BuildClass), "test");
    EXPECT_EQ(r.Str(Req::PrimaryFilename), start + "/job.xml");
    EXPECT_FALSE(r.Bool(Req::BuildCacheReadOnly));
    EXPECT_EQ(r.Bits(Req::Flags), 3u | Bit(bfBuildCacheOverride) | Bit(bfBuildCacheReadOnlySet));

    console = Run({"/sameos", "-test=x", "job.xml"});
    auto [major, minor] = KernelVersion();
    EXPECT_EQ(console->BuildCommand().Int(Req::MaxWinVer_Major), major);
    EXPECT_EQ(console->BuildCommand().Int(Req::MinWinVer_Minor), minor);
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "xml");
}

TEST_F(StagesTest, RequestStartsWithItsFixedFieldsAndSurvivesItsEncoding) {
    RegisterAllPacketClasses();
    auto console = Make({"/COMMAND=make all"});
    EXPECT_EQ(console->BuildCommand().Bits(Req::Flags), 3u);
    EXPECT_EQ(console->BuildCommand().Str(Req::SlnConsoleCommandLine),
              "/usr/bin/qzConsole \"/COMMAND=make all\" /NOLOGO");
    EXPECT_EQ(console->BuildCommand().Int(Req::ConsoleOutputCodePage), 65001);

    console = Run({"/clean", "/LimitBVData=1", "/setenv=QZ_OPT_C=1", "/allowremote=a,b",
                   "/minwinver=10", "/loglevel=basic", "job.xml"});
    TVirtualStream stream(0x0002);
    console->BuildCommand().SaveToStream(stream);
    // Flags travel as a sized value: size 8, then the 64 bits lowest byte first.
    EXPECT_NE(stream.AsString().find(std::string("\x08\x0B\0\0\0\0\0\0\x03", 9)),
              std::string::npos);
    stream.Seek(0, SeekOrigin::Begin);
    auto loaded = TPacket::CreateFromStream(stream);
    EXPECT_TRUE(loaded->Equals(console->BuildCommand()));
    UnsetEnv("QZ_OPT_C");
}

TEST_F(StagesTest, ConsoleSwitches) {
    auto console = Run({"/forcemon", "/PLAYMON", "/build", "/project", "/wait", "/projectconfig",
                        "/make", "/silent", "/nowait", "/enable", "/reset", "/disable", "/stop",
                        "/stopall", "/list", "/exitcodebase=\" 100\"", "/AdditionalArgs=x"});
    EXPECT_TRUE(console->MakeSwitch() && console->Silent() && console->NoLogo() &&
                !console->Wait() && console->EnableSwitch() && console->ResetSwitch() &&
                console->DisableSwitch() && console->StopSwitch() && console->StopAllSwitch() &&
                console->ListSwitch());
    EXPECT_EQ(console->StopBuildId(), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(console->ExitCodeBaseSwitch(), "/exitcodebase=100");
    // Management requests skip the build stages but take the common options.
    EXPECT_EQ(console->BuildCommand().Str(Req::AdditionalArgs), "x");
    EXPECT_EQ(console->Options().Count(), 0);
    EXPECT_EQ(ProcessExitCode(), 0);

    // The valued form keeps the text as given, and a text that is no GUID is refused.
    EXPECT_EQ(RunRaises({"/stop= {id}"}), "Invalid build ID \" {id}\"");
    EXPECT_EQ(Run({"/EXITCODEBASE", "job.xml"})->ExitCodeBaseSwitch(), "/exitcodebase=10000");
    EXPECT_EQ(Run({"/exitcodebase=ten", "job.xml"})->ExitCodeBaseSwitch(), "/exitcodebase=10000");
}

TEST_F(StagesTest, SetEnvKeepsTheFirstSettingAndEmptyValuesRemove) {
    auto console = Run({"/SETENV=QZ_OPT_A=1", "-setenv=QZ_OPT_A=2",
                        "/setenv=QZ_OPT_B=", "/setenv=QZ_OPT_B=x y", "job.xml"});
    EXPECT_EQ(GetEnv("QZ_OPT_A"), "1");
    // B is set to "x y", then (scanning back) to empty, which removes it from ForcedEnv.
    EXPECT_EQ(GetEnv("QZ_OPT_B"), "");
    EXPECT_EQ(console->BuildCommand().Strings(Req::ForcedEnv).Strings(),
              (std::vector<std::string>{"QZ_OPT_A=1"}));
    const std::string& block = console->BuildCommand().Str(Req::EnvBlock);
    EXPECT_THAT(block, ::testing::HasSubstr(std::string("\0QZ_OPT_A=1\0", 12)));
    EXPECT_THAT(block, ::testing::HasSubstr(std::string("\0TamrelBuildContext=1\0", 22)));
    EXPECT_EQ(block.substr(block.size() - 2), std::string("\0\0", 2));
    UnsetEnv("QZ_OPT_A");
    UnsetEnv("QZ_OPT_B");
}

TEST_F(StagesTest, JobTargets) {
    auto console = Run({"/COMMAND=devenv", "whatever.sln", "/VSInstallDir=/vs"});
    EXPECT_EQ(console->BuildCommand().Str(Req::Command), "devenv.exe");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "wrap");
    EXPECT_EQ(console->BuildCommand().Str(Req::VSInstallDir), "/vs");
    EXPECT_EQ(console->PrimaryFilename(), "whatever.sln"); // kept as typed, not checked

    File("ws.vcw");
    EXPECT_EQ(Run({"ws"})->PrimaryFilename(), CurrentDirectory() + "/ws.vcw");
    File("ws.sln");
    console = Run({"ws", "/vsversion=vc14", "/usemsbuild"});
    EXPECT_EQ(console->PrimaryFilename(), CurrentDirectory() + "/ws.sln");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "vc14");
    EXPECT_THAT(console->out, ::testing::HasSubstr("please use SlnConsole"));
}

TEST_F(StagesTest, WithoutTheServiceOnlyStagesAAndBRun) {
    File("opts.rsp", "/showtime\n@nested.rsp\n");
    SetEnv("qzConsoleParams", "/list");
    auto console = Make({"@opts.rsp", "/nowait"});
    console->serviceAnswers = false;
    console->RunCommand();
    EXPECT_EQ(console->out,
              "Processing is unable to continue due to the Agent Service is not running.\r\n");
    EXPECT_FALSE(console->Wait());
    EXPECT_EQ(console->Options().Strings(), (std::vector<std::string>{"list", "showtime"}));
    EXPECT_EQ(console->PrimaryFilename(), "@nested.rsp"); // option files do not nest
}

} // namespace
} // namespace qz::nv
