// The option stages as RunCommand runs them: what each switch does to the request and to the
// console, what is left over, and the errors that end the run.

#include "BuildFlags.h"
#include "GridConsoleTesting.h"

#include <gmock/gmock.h>

namespace qz::nv {
namespace {

using ::testing::HasSubstr;
using Req = TBuildCommandPacket;

constexpr std::uint64_t Bit(int bit) {
    return std::uint64_t{1} << bit;
}

class StagesTest : public testing::ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        job_ = File("job.xml");
    }

    /// Runs a build of job.xml with the switches.
    std::unique_ptr<testing::TCapturingConsole> Build(std::vector<std::string> switches) {
        switches.push_back("job.xml");
        return Run(switches);
    }

    static std::uint64_t Flags(testing::TCapturingConsole& console) {
        return console.BuildCommand().Bits(Req::Flags);
    }

    static std::vector<std::string> Options(testing::TCapturingConsole& console) {
        return console.Options().Strings();
    }

    static std::string Leftover(const std::string& list) {
        return "Fatal Error: Invalid/conflicting options specified: " + list + "\r\n";
    }

    std::string job_;
};

TEST_F(StagesTest, NewRequestHasItsFixedFlagsCommandLineAndCodePage) {
    auto console = Make({"/COMMAND=make all"});
    EXPECT_EQ(Flags(*console), 3u);
    EXPECT_EQ(console->BuildCommand().Str(Req::SlnConsoleCommandLine),
              "/usr/bin/qzConsole \"/COMMAND=make all\" /NOLOGO");
    EXPECT_EQ(console->BuildCommand().Int(Req::ConsoleOutputCodePage), 65001);
}

TEST_F(StagesTest, BareFlagSwitchesSetTheirBitsWhateverTheCaseAndPrefix) {
    const std::vector<std::pair<std::string, int>> rows = {
        {"/clean", bfClean},
        {"-Beep", bfBeep},
        {"/OPENMONITOR", bfOpenMonitor},
        {"/useidemonitor", bfUseIdeMonitor},
        {"-rebuild", bfRebuild},
        {"/deploy", bfDeploy},
        {"/allfatal", bfAllFatal},
        {"/StopOnErrors", bfStopOnErrors},
        {"/showcmd", bfShowCmd},
        {"/showagent", bfShowAgent},
        {"/showtime", bfShowTime},
        {"/no_dotnet_virt", bfNoDotNetVirt},
        {"/use_same_console", bfUseSameConsole},
        {"/no_crypt_virt", bfNoCryptVirt},
        {"/no_watchdog_thread", bfNoWatchdogThread},
        {"/only64bithelpers", bfOnly64BitHelpers},
        {"/no_unc_sync", bfNoUncSync},
        {"/securecomm=OFF", bfSecureCommOff},
        {"/nomsgs", bfNoMsgs},
        {"/OnlyFailLocally=on", bfOnlyFailLocallyOn},
        {"/onlyfaillocally=off", bfOnlyFailLocallyOff},
        {"/freecompletedtasks=on", bfFreeCompletedTasksOn},
        {"/freecompletedtasks=Off", bfFreeCompletedTasksOff},
        {"/avoidlocal=on", bfAvoidLocalOn},
        {"/avoidlocal=off", bfAvoidLocalOff},
        {"/predictedexecution32bitfallback=on", bfPredictedExecution32BitFallbackOn},
        {"/predictedexecution32bitfallback=off", bfPredictedExecution32BitFallbackOff},
        {"/forceenglishmsbuildoutput=ON", bfForceEnglishMSBuildOutputOn},
        {"/forceenglishmsbuildoutput=off", bfForceEnglishMSBuildOutputOff},
        {"/LimitBVData=2", bfMonitorNoBars},
        {"/limitbvdata=3", bfMonitorNoGraphs},
    };
    for (const auto& [token, bit] : rows) {
        auto console = Build({token});
        EXPECT_EQ(console->out, "") << token;
        EXPECT_EQ(Flags(*console), 3u | Bit(bit)) << token;
        EXPECT_EQ(ProcessExitCode(), 0) << token;
    }
}

TEST_F(StagesTest, PairedSwitchesSetOneBitAndClearTheOther) {
    auto console = Build({"/securecomm=off", "/securecomm=on"});
    EXPECT_EQ(Flags(*console), 3u | Bit(bfSecureCommOn));
    console = Build({"/usecloudhelpers=TRUE"});
    EXPECT_EQ(Flags(*console), 3u | Bit(bfCloudHelpersOn));
    console = Build({"/usecloudhelpers=false"});
    EXPECT_EQ(Flags(*console), 3u | Bit(bfCloudHelpersOff));
    console = Build({"/LimitBVData=1", "/LimitBVData"});
    EXPECT_EQ(Flags(*console), 3u | Bit(bfMonitorNoBars) | Bit(bfMonitorNoGraphs));
}

TEST_F(StagesTest, BareAndValuedFormsDoNotStandInForEachOther) {
    auto console = Build({"/clean=1", "/out", "-CLEAN", "/clean"});
    // The first /clean is consumed; the repetition and the wrong forms are left over.
    EXPECT_EQ(console->out, Leftover("clean=1,out,clean"));
    EXPECT_EQ(ProcessExitCode(), 3);
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfClean));
}

TEST_F(StagesTest, ValuesThatAreNotUnderstoodAreLeftOver) {
    auto console = Build({"/freecompletedtasks=maybe", "/usemsbuild=48", "/maxcpus=x", "/PEMODE=x",
                          "/minwinver=6.0", "/loglevel=loud", "/buildcachelocal=1"});
    EXPECT_EQ(console->out, Leftover("freecompletedtasks=maybe,usemsbuild=48,maxcpus=x,PEMODE=x,"
                                     "minwinver=6.0,loglevel=loud,buildcachelocal=1"));
}

TEST_F(StagesTest, LoneSlashIsAnEmptyEntryShownAsTwoQuotes) {
    auto console = Build({"/"});
    EXPECT_EQ(console->out, Leftover("\"\""));
}

TEST_F(StagesTest, GlobalOverridesFillTheirFields) {
    auto console = Build({"/usemsbuild=64", "/maxcpus=$10", "/maxconcurrentpdbs= 7",
                          "/neededhelpershistorytimesec=30", "/pemode=2", "/maxfilesyncthreads=-3",
                          "/maxparallellinktargets=0x20", "/clangpathconvert=1",
                          "/buildcachelocal=off", "/BuildCacheEnableOlderMSVCSupport=0",
                          "/buildcachegeneratetoolprofile=gen", "/buildcacheprofile=a b.json"});
    EXPECT_EQ(console->out, "");
    const Req& request = console->BuildCommand();
    EXPECT_EQ(request.Int(Req::OverrideUseMSBuild), 2);
    EXPECT_TRUE(request.Bool(Req::UseMSBuild));
    EXPECT_EQ(request.Int(Req::OverrideMaxHelpersPerJob), 16);
    EXPECT_EQ(request.Int(Req::OverrideMaxConcurrentPDBs), 7);
    EXPECT_EQ(request.Int(Req::OverrideNeededHelpersHistoryTimeSec), 30);
    EXPECT_EQ(request.Int(Req::OverridePredictedExecutionMode), 2);
    EXPECT_EQ(request.Int(Req::OverrideMultiThreadedFileSyncThreads), -3);
    EXPECT_EQ(request.Int(Req::OverrideMaxParallelLinkTargets), 32);
    EXPECT_EQ(request.Int(Req::OverrideClangPathConvert), 1);
    EXPECT_FALSE(request.Bool(Req::UseLocalBuildCache));
    EXPECT_EQ(request.Int(Req::BuildCacheEnableOlderMSVCSupport), 0);
    EXPECT_EQ(request.Str(Req::BuildCacheGenerateToolProfile), "gen");
    EXPECT_EQ(request.Str(Req::BuildCacheProfile), "a b.json");
    EXPECT_EQ(Flags(*console), 3u | Bit(bfBuildCacheOverride));

    console = Build({"/usemsbuild=32"});
    EXPECT_EQ(console->BuildCommand().Int(Req::OverrideUseMSBuild), 1);
}

TEST_F(StagesTest, GlobalOverrideErrorsEndTheRunWithTheirMessage) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"/neededhelpershistorytimesec=0"}, "NeededHelpersHistoryTimeSec must be greater than 0"},
        {{"/PEMODE=-1"}, "The /PEMODE parameter value is invalid."},
        {{"/pemode=3"}, "The /PEMODE parameter value is invalid."},
        {{"/buildcachecluster="}, "Missing Build Cache Cluster name"},
        {{"/buildcachegeneratetoolprofile="}, "Missing generate tool profile name"},
        {{"/BuildCacheProfile="}, "Missing Build Cache profile path"},
        {{"/buildcachecluster=c1", "/buildcacheremoteserver=h:1"},
         "Cannot specify /BUILDCACHECLUSTER together with /BUILDCACHEREMOTESERVER"},
        {{"/buildcacheremoteserver=:80"}, "Missing remote cache server address"},
        {{"/buildcacheremoteserver=host"}, "Missing remote cache server port"},
        {{"/buildcacheremoteserver=host:"}, "Missing remote cache server port"},
        {{"/BUILDCACHEREMOTESERVER=host:8080:x"}, "Invalid remote cache server port format"},
        {{"/buildcacheremoteserver=host:70000"}, "Remote cache server port is out of range"},
        {{"/buildcacheremoteserver=host:-1"}, "Remote cache server port is out of range"},
    };
    for (const auto& [args, message] : rows) {
        SetExitCodeBase(0);
        auto console = Build(args);
        // Stage A runs before /OUT is checked, so its errors reach the console itself.
        EXPECT_EQ(console->out, "Fatal Error: " + message + "\r\n") << args[0];
        EXPECT_EQ(ProcessExitCode(), 3) << args[0];
    }
}

TEST_F(StagesTest, RemoteCacheServerIsStoredTrimmed) {
    auto console = Build({"/buildcacheremoteserver= cache.local:8080 "});
    EXPECT_EQ(console->BuildCommand().Str(Req::RemoteBuildCacheServer), "cache.local:8080");
    EXPECT_FALSE(console->BuildCommand().Bool(Req::UseBuildCacheCluster));
    console = Build({"/buildcachecluster=c1"});
    EXPECT_EQ(console->BuildCommand().Str(Req::RemoteBuildCacheServer), "c1");
    EXPECT_TRUE(console->BuildCommand().Bool(Req::UseBuildCacheCluster));
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfBuildCacheOverride));
}

TEST_F(StagesTest, ExitCodeBaseSwitchForms) {
    auto console = Build({"/exitcodebase=\" 100\""});
    EXPECT_EQ(ExitCodeBase(), 100);
    EXPECT_EQ(console->ExitCodeBaseSwitch(), "/exitcodebase=100");
    console = Build({"/EXITCODEBASE"});
    EXPECT_EQ(ExitCodeBase(), 10000);
    EXPECT_EQ(console->ExitCodeBaseSwitch(), "/exitcodebase=10000");
    console = Build({"/exitcodebase=ten"});
    EXPECT_EQ(console->ExitCodeBaseSwitch(), "/exitcodebase=10000");
    console = Build({});
    EXPECT_EQ(console->ExitCodeBaseSwitch(), "");
}

TEST_F(StagesTest, ConsoleSwitchesSetTheConsoleState) {
    auto console =
        Run({"/forcemon", "/PLAYMON", "/build", "/project", "/wait", "/projectconfig", "/make",
             "/silent", "/nowait", "/enable", "/reset", "/disable", "/stopall", "/list"});
    EXPECT_TRUE(console->MakeSwitch());
    EXPECT_TRUE(console->Silent());
    EXPECT_TRUE(console->NoLogo());
    EXPECT_FALSE(console->Wait());
    EXPECT_TRUE(console->EnableSwitch());
    EXPECT_TRUE(console->ResetSwitch());
    EXPECT_TRUE(console->DisableSwitch());
    EXPECT_TRUE(console->StopAllSwitch());
    EXPECT_TRUE(console->ListSwitch());
    EXPECT_FALSE(console->StopSwitch());
    EXPECT_EQ(console->Options().Count(), 0);
    EXPECT_EQ(ProcessExitCode(), 0);
}

TEST_F(StagesTest, StopTakesTheBuildIdOrTheNullId) {
    auto console = Run({"/stop"});
    EXPECT_TRUE(console->StopSwitch());
    EXPECT_EQ(console->StopBuildId(), "{00000000-0000-0000-0000-000000000000}");
    console = Run({"/STOP= {id}", "/stop"});
    EXPECT_EQ(console->StopBuildId(), " {id}");
    // The valued form wins; the bare one is not looked for and is left over.
    EXPECT_EQ(console->out, Leftover("stop"));
    console = Run({"/stop="});
    EXPECT_TRUE(console->StopSwitch());
    EXPECT_EQ(console->StopBuildId(), "");
}

TEST_F(StagesTest, SetEnvKeepsTheFirstSettingAndEmptyValuesRemove) {
    UnsetEnv("QZ_OPT_A");
    UnsetEnv("QZ_OPT_B");
    auto console = Build(
        {"/SETENV=QZ_OPT_A=1", "-setenv=QZ_OPT_A=2", "/setenv=QZ_OPT_B=", "/setenv=QZ_OPT_B=x y"});
    EXPECT_EQ(GetEnv("QZ_OPT_A"), "1");
    // B was first set to "x y", then (scanning back) to empty, which removes it from ForcedEnv.
    EXPECT_EQ(GetEnv("QZ_OPT_B"), "");
    EXPECT_EQ(console->BuildCommand().Strings(Req::ForcedEnv), (TPacketStrings{"QZ_OPT_A=1"}));
    EXPECT_EQ(console->out, "");
    const std::string& block = console->BuildCommand().Str(Req::EnvBlock);
    EXPECT_THAT(block, HasSubstr(std::string("\0QZ_OPT_A=1\0", 12)));
    EXPECT_THAT(block, HasSubstr(std::string("\0TamrelBuildContext=1\0", 22)));
    EXPECT_EQ(block.substr(block.size() - 2), std::string("\0\0", 2));
    UnsetEnv("QZ_OPT_A");
    UnsetEnv("QZ_OPT_B");

    console = Build({"/setenv"});
    EXPECT_EQ(console->out, Leftover("setenv"));
    EXPECT_THROW(Build({"/setenv==1"}), Exception);
}

TEST_F(StagesTest, CommandJobsAreWrapJobs) {
    auto console = Run({"/COMMAND=devenv", "whatever.sln"});
    EXPECT_EQ(console->BuildCommand().Str(Req::Command), "devenv.exe");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "wrap");
    // A job file given beside /COMMAND is kept as typed, without checks.
    EXPECT_EQ(console->PrimaryFilename(), "whatever.sln");
    EXPECT_EQ(ProcessExitCode(), 0);

    console = Run({"/command=make -j8", "/VSInstallDir=/opt/vs"});
    EXPECT_EQ(console->BuildCommand().Str(Req::Command), "make -j8");
    EXPECT_EQ(console->BuildCommand().Str(Req::VSInstallDir), "/opt/vs");
}

TEST_F(StagesTest, JobFilesAreResolvedAndClassified) {
    File("JOB2.XPX");
    File("build.CMD");
    auto console = Build({});
    EXPECT_EQ(console->PrimaryFilename(), console->StartDirectory() + "/job.xml");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "xml");
    console = Run({"sub/../JOB2.XPX"});
    EXPECT_EQ(console->PrimaryFilename(), console->StartDirectory() + "/JOB2.XPX");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "xml");
    console = Run({"\"build.CMD\""});
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "wrap");
}

TEST_F(StagesTest, JobFileErrors) {
    auto console = Run({"/showtime"});
    EXPECT_EQ(console->out, "Fatal Error: Missing filename or command of job to execute\r\n");
    EXPECT_EQ(ProcessExitCode(), 3);

    console = Run({"a.xml", "b.xml"});
    EXPECT_EQ(console->out, "Fatal Error: Only one filename to build can be specified\r\n");
    console = Run({"a.xml", "b.xml", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: Only one filename to build can be specified\r\n");

    File("job.txt");
    try {
        Run({"job.txt"});
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unknown file type: " + CurrentDirectory() + "/job.txt");
    }
    try {
        Run({"missing"});
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "File not found: " + CurrentDirectory() + "/missing.sln");
    }
    // A folder is not a job file.
    std::filesystem::create_directory(dir_ / "folder.xml");
    EXPECT_THROW(Run({"folder.xml"}), Exception);
}

TEST_F(StagesTest, NamesWithoutExtensionFindVisualStudioFilesWhichAreRefused) {
    const std::string refusal =
        "Fatal Error: For Visual Studio builds, please use SlnConsole instead of " +
        PathBaseName(platform::ExecutablePath()) + "\r\n";
    File("ws.vcw");
    auto console = Run({"ws"});
    EXPECT_EQ(console->PrimaryFilename(), console->StartDirectory() + "/ws.vcw");
    EXPECT_EQ(console->out, refusal);
    EXPECT_EQ(ProcessExitCode(), 3);

    File("ws.dsw");
    console = Run({"ws"});
    EXPECT_EQ(console->PrimaryFilename(), console->StartDirectory() + "/ws.dsw");
    File("ws.sln");
    console = Run({"ws", "/vsversion=vc14", "/usemsbuild"});
    EXPECT_EQ(console->PrimaryFilename(), console->StartDirectory() + "/ws.sln");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "vc14");
    EXPECT_TRUE(console->BuildCommand().Bool(Req::UseMSBuild));
    EXPECT_EQ(console->out, refusal);
}

TEST_F(StagesTest, WindowsVersionSwitches) {
    auto console = Build({"/minwinver=vista", "/MAXWINVER=8.1"});
    const Req& request = console->BuildCommand();
    EXPECT_EQ(request.Int(Req::MinWinVer_Major), 6);
    EXPECT_EQ(request.Int(Req::MinWinVer_Minor), 0);
    EXPECT_EQ(request.Int(Req::MaxWinVer_Major), 6);
    EXPECT_EQ(request.Int(Req::MaxWinVer_Minor), 3);

    console = Build({"/sameos"});
    auto [major, minor] = KernelVersion();
    EXPECT_EQ(console->BuildCommand().Int(Req::MinWinVer_Major), major);
    EXPECT_EQ(console->BuildCommand().Int(Req::MaxWinVer_Major), major);
    EXPECT_EQ(console->BuildCommand().Int(Req::MinWinVer_Minor), minor);
    EXPECT_EQ(console->BuildCommand().Int(Req::MaxWinVer_Minor), minor);

    console = Build({"/sameos", "/maxwinver=foo"});
    EXPECT_EQ(console->out,
              "Fatal Error: A /SAMEOS cannot be specified with /MINWINVER, /MAXWINVER\r\n");
}

TEST_F(StagesTest, BuildOptionValues) {
    auto console =
        Build({"/intelclversion=19", "/builduser=u", "/buildgroup=g", "/buildproduct=p",
               "/mon=mon/out.nvmon", "/allowremote= a ,\"b c\",,d", "/allowintercept=cl.exe",
               "/profile=prof.xml", "/ceconfig=cfg", "/loglevel=EXTENDED", "/log_warning",
               "/AdditionalArgs=-x", "/VirtualizeDirectX", "/DisablePdbForwarding", "/BiIssuer=me",
               "/monitordirs= /a ;;\"/b c\"; ", "/HideFile=h.txt"});
    EXPECT_EQ(console->out, "");
    const Req& request = console->BuildCommand();
    const std::string& start = console->StartDirectory();
    EXPECT_EQ(request.Str(Req::IntelCompilerVersion), "19");
    EXPECT_EQ(request.Str(Req::MonitorFilename), start + "/mon/out.nvmon");
    EXPECT_EQ(request.Strings(Req::AllowRemote), (TPacketStrings{"a", "b c", "", "d"}));
    EXPECT_EQ(request.Strings(Req::AllowIntercept), (TPacketStrings{"cl.exe"}));
    EXPECT_EQ(request.Str(Req::ProfileFilename), start + "/prof.xml");
    EXPECT_EQ(request.Str(Req::EVC4_CeConfig), "cfg");
    EXPECT_EQ(request.Int(Req::OverrideLogLevel), 3);
    EXPECT_TRUE(request.Bool(Req::LogWarnings));
    EXPECT_EQ(request.Str(Req::AdditionalArgs), "-x");
    EXPECT_TRUE(request.Bool(Req::VirtualizeDirectX));
    EXPECT_TRUE(request.Bool(Req::DisablePdbForwarding));
    EXPECT_EQ(request.Str(Req::BiIssuer), "me");
    EXPECT_EQ(request.Strings(Req::MonitoredDirs), (TPacketStrings{"/a", "/b c"}));
    EXPECT_EQ(request.Str(Req::HideFile), "h.txt");

    console = Build({"/profile="});
    EXPECT_EQ(console->BuildCommand().Str(Req::ProfileFilename), "");
    EXPECT_EQ(console->BuildCommand().Int(Req::OverrideLogLevel), -1);
}

TEST_F(StagesTest, RemovedSwitchesRaise) {
    try {
        Build({"/mon="});
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Invalid /MON option syntax. Filename should be specified.");
    }
    try {
        Build({"/allowwrap=x"});
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  "The /ALLOWWRAP option is no longer supported. Use /ALLOWINTERCEPT instead.");
    }
    auto console = Build({"/allowwrap="});
    EXPECT_EQ(console->out, Leftover("allowwrap="));
}

TEST_F(StagesTest, InterceptionJobsRefuseTheProjectSwitches) {
    for (const char* token : {"/clean", "/rebuild", "/showcmd", "/showagent"}) {
        auto console = Run({"/COMMAND=make", token});
        EXPECT_EQ(console->out, "Fatal Error: The following options are invalid when using the "
                                "interception interface: /CLEAN, /REBUILD, /SHOWCMD, /SHOWAGENT"
                                "\r\n")
            << token;
    }
    File("run.bat");
    auto console = Run({"run.bat", "/rebuild"});
    EXPECT_THAT(console->out, HasSubstr("interception interface"));
    console = Run({"/COMMAND=make", "/showtime"});
    EXPECT_EQ(console->out, "");
}

TEST_F(StagesTest, TestSwitchSetsTheTestClassOnlyWithTheSlashSpelling) {
    auto console = Build({"/TEST=gtest"});
    EXPECT_EQ(console->BuildCommand().Str(Req::TestFwId), "gtest");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "test");
    console = Build({"-test=gtest"});
    EXPECT_EQ(console->BuildCommand().Str(Req::TestFwId), "gtest");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "xml");
}

TEST_F(StagesTest, BuildCacheReadOnlyForms) {
    auto console = Build({"/buildcachereadonly"});
    EXPECT_TRUE(console->BuildCommand().Bool(Req::BuildCacheReadOnly));
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfBuildCacheReadOnlySet));
    console = Build({"/BuildCacheReadOnly=ON", "/buildcachereadonly=off"});
    EXPECT_FALSE(console->BuildCommand().Bool(Req::BuildCacheReadOnly));
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfBuildCacheReadOnlySet));
    console = Build({"/LimitBVData", "/LimitBVData=0"});
    EXPECT_EQ(console->out, Leftover("LimitBVData=0"));
}

TEST_F(StagesTest, ServiceSwitches) {
    auto console = Build({"/buildcachepchstrategy=2", "/BuildCacheEnableStdinInputTaskCaching"});
    EXPECT_EQ(console->BuildCommand().Int(Req::BuildCachePchStrategy), 2);
    EXPECT_TRUE(console->BuildCommand().Bool(Req::BuildCacheEnableStdinInputTaskCaching));
    console = Build({"/buildcachepchstrategy=x"});
    EXPECT_EQ(console->out, Leftover("buildcachepchstrategy=x"));
}

TEST_F(StagesTest, ManagementRequestsSkipTheBuildStages) {
    auto console = Run({"/ENABLE", "job.xml"});
    EXPECT_EQ(console->out, "Fatal Error: A filename to build cannot be specified with /ENABLE, "
                            "/DISABLE, /RESET, /STOP\r\n");
    console = Run({"/ENABLE", "/SHOWTIME", "/nomsgs"});
    EXPECT_EQ(console->out, Leftover("SHOWTIME"));
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfNoMsgs));
    console = Run({"/list", "/AdditionalArgs=x"});
    EXPECT_EQ(console->out, "");
    EXPECT_EQ(console->BuildCommand().Str(Req::AdditionalArgs), "x");
    EXPECT_EQ(console->BuildCommand().Str(Req::BuildClass), "");
}

TEST_F(StagesTest, WithoutTheServiceOnlyStagesAAndBRun) {
    auto console = Make({"/list", "/showtime", "/nowait"});
    console->serviceAnswers = false;
    console->RunCommand();
    EXPECT_EQ(console->out,
              "Processing is unable to continue due to the Agent Service is not running.\r\n");
    EXPECT_FALSE(console->ListSwitch());
    EXPECT_FALSE(console->Wait());
    EXPECT_EQ(Options(*console), (std::vector<std::string>{"list", "showtime"}));
    EXPECT_EQ(ProcessExitCode(), 3);
}

TEST_F(StagesTest, SwitchesFromTheEnvironmentAndOptionFilesJoinTheList) {
    File("opts.rsp", "/showtime\n/clean=1 @nested.rsp\n");
    SetEnv("qzConsoleParams", "/beep");
    auto console = Run({"@opts.rsp", "/COMMAND=make"});
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfShowTime));
    EXPECT_TRUE(console->BuildCommand().HasFlag(bfBeep));
    // The "@" token of the option file is not read but kept as a positional argument.
    EXPECT_EQ(console->PrimaryFilename(), "@nested.rsp");
    EXPECT_EQ(console->out, Leftover("clean=1"));
}

} // namespace
} // namespace qz::nv
