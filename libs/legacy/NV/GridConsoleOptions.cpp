// The option stages: each consumes the switches it recognises from the option list into the
// console's fields or the build request.

#include "BuildClass.h"
#include "BuildFlags.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"
#include "CM/NotifyQueue.h"
#include "CM/StreamUtils.h"
#include "CmdLine.h"
#include "GridConsoleCore.h"
#include "WinVersions.h"
#include "platform/Console.h"
#include "platform/ProcessInfo.h"

#include <array>
#include <cstdio>

namespace qz::nv {

namespace {

constexpr const char* kNullBuildId = "{00000000-0000-0000-0000-000000000000}";

using Req = TBuildCommandPacket;

struct LogLevelName {
    const char* name;
    int value;
};
constexpr std::array<LogLevelName, 5> kLogLevelNames{{
    {"Minimal", 0},
    {"Basic", 1},
    {"Intermediate", 2},
    {"Extended", 3},
    {"Detailed", 4},
}};

// The folder part of a path typed relative to the start directory.
std::string ResolvedFolder(const std::string& startDirectory, const std::string& path) {
    return PathFolder(PathResolve(startDirectory, path));
}

} // namespace

// The option stages. Each consumes the switches it recognises from Options.

void TGridConsole::SetOnOffFlags(const std::string& name, int onBit, int offBit) {
    if (options_.FindName(name) < 0) {
        return;
    }
    std::string value = options_.ValueOf(name);
    if (SameTextAscii(value, "on")) {
        buildCommand_.SetFlag(onBit, true);
    } else if (SameTextAscii(value, "off")) {
        buildCommand_.SetFlag(offBit, true);
        buildCommand_.SetFlag(onBit, false);
    } else {
        return;
    }
    options_.RemoveName(name);
}

void TGridConsole::TakeIntegerField(const std::string& name, int field) {
    std::int32_t n = 0;
    if (options_.FindName(name) >= 0 && TryTextToInt(options_.ValueOf(name), n)) {
        buildCommand_.SetInt(field, n);
        options_.RemoveName(name);
    }
}

void TGridConsole::TakeCommaListField(const std::string& name, int field) {
    std::string value;
    if (!TakeValuedSwitch(name, value)) {
        return;
    }
    TStringListEx list;
    list.AssignCommaText(value);
    list.ApplyToAll({[](const std::string& item) { return Trim(item); },
                     [](const std::string& item) { return Unquote(item); }});
    buildCommand_.Strings(field).Assign(list);
}

bool TGridConsole::StageA_GlobalOverrides() {
    SetOnOffFlags("freecompletedtasks", bfFreeCompletedTasksOn, bfFreeCompletedTasksOff);

    if (options_.FindName("usemsbuild") >= 0) {
        std::string value = options_.ValueOf("usemsbuild");
        if (value == "32" || value == "64") {
            buildCommand_.SetInt(Req::OverrideUseMSBuild, value == "32" ? 1 : 2);
            buildCommand_.SetBool(Req::UseMSBuild, true);
            options_.RemoveName("usemsbuild");
        }
    }

    SetOnOffFlags("avoidlocal", bfAvoidLocalOn, bfAvoidLocalOff);

    if (options_.FindName("usecloudhelpers") >= 0) {
        std::string value = options_.ValueOf("usecloudhelpers");
        bool isTrue = SameTextAscii(value, "true");
        if (isTrue || SameTextAscii(value, "false")) {
            buildCommand_.SetFlag(bfCloudHelpersOn, isTrue);
            buildCommand_.SetFlag(bfCloudHelpersOff, !isTrue);
            options_.RemoveName("usecloudhelpers");
        }
    }

    TakeIntegerField("maxcpus", Req::OverrideMaxHelpersPerJob);
    TakeIntegerField("maxconcurrentpdbs", Req::OverrideMaxConcurrentPDBs);

    std::int32_t n = 0;
    if (options_.FindName("neededhelpershistorytimesec") >= 0 &&
        TryTextToInt(options_.ValueOf("neededhelpershistorytimesec"), n)) {
        if (n <= 0) {
            Raise("NeededHelpersHistoryTimeSec must be greater than 0");
        }
        buildCommand_.SetInt(Req::OverrideNeededHelpersHistoryTimeSec, n);
        options_.RemoveName("neededhelpershistorytimesec");
    }

    if (options_.FindName("pemode") >= 0 && TryTextToInt(options_.ValueOf("pemode"), n)) {
        if (static_cast<std::uint32_t>(n) > 2) {
            Raise("The /PEMODE parameter value is invalid.");
        }
        buildCommand_.SetInt(Req::OverridePredictedExecutionMode, n);
        options_.RemoveName("pemode");
    }

    SetOnOffFlags("predictedexecution32bitfallback", bfPredictedExecution32BitFallbackOn,
                  bfPredictedExecution32BitFallbackOff);
    TakeIntegerField("maxfilesyncthreads", Req::OverrideMultiThreadedFileSyncThreads);
    TakeIntegerField("maxparallellinktargets", Req::OverrideMaxParallelLinkTargets);
    SetOnOffFlags("forceenglishmsbuildoutput", bfForceEnglishMSBuildOutputOn,
                  bfForceEnglishMSBuildOutputOff);
    TakeIntegerField("clangpathconvert", Req::OverrideClangPathConvert);

    if (options_.FindName("buildcachelocal") >= 0) {
        std::string value = options_.ValueOf("buildcachelocal");
        bool on = SameTextAscii(value, "on");
        if (on || SameTextAscii(value, "off")) {
            buildCommand_.SetBool(Req::UseLocalBuildCache, on);
            buildCommand_.SetFlag(bfBuildCacheOverride, true);
            options_.RemoveName("buildcachelocal");
        }
    }

    std::string value;
    if (TakeValuedSwitch("buildcachecluster", value)) {
        if (value.empty()) {
            Raise("Missing Build Cache Cluster name");
        }
        buildCommand_.SetStr(Req::RemoteBuildCacheServer, value);
        buildCommand_.SetBool(Req::UseBuildCacheCluster, true);
        buildCommand_.SetFlag(bfBuildCacheOverride, true);
    }

    if (TakeValuedSwitch("buildcacheremoteserver", value)) {
        if (buildCommand_.Bool(Req::UseBuildCacheCluster)) {
            Raise("Cannot specify /BUILDCACHECLUSTER together with /BUILDCACHEREMOTESERVER");
        }
        std::string server = Trim(value);
        std::string host;
        std::string port;
        SplitAtChar(server, ':', host, port);
        if (host.empty()) {
            Raise("Missing remote cache server address");
        }
        std::int32_t portNumber = 0;
        if (!TryTextToInt(port, portNumber)) {
            Raise(port.empty() ? "Missing remote cache server port"
                               : "Invalid remote cache server port format");
        }
        if (portNumber < 0 || portNumber > 65535) {
            Raise("Remote cache server port is out of range");
        }
        buildCommand_.SetStr(Req::RemoteBuildCacheServer, server);
        buildCommand_.SetFlag(bfBuildCacheOverride, true);
    }

    TakeIntegerField("BuildCacheEnableOlderMSVCSupport", Req::BuildCacheEnableOlderMSVCSupport);

    if (TakeValuedSwitch("buildcachegeneratetoolprofile", value)) {
        if (value.empty()) {
            Raise("Missing generate tool profile name");
        }
        buildCommand_.SetStr(Req::BuildCacheGenerateToolProfile, value);
        buildCommand_.SetFlag(bfBuildCacheOverride, true);
    }

    if (TakeValuedSwitch("BuildCacheProfile", value)) {
        if (value.empty()) {
            Raise("Missing Build Cache profile path");
        }
        buildCommand_.SetStr(Req::BuildCacheProfile, value);
        buildCommand_.SetFlag(bfBuildCacheOverride, true);
    }
    return true;
}

void TGridConsole::ReadExitCodeBaseSwitch() {
    int index = options_.FindName("exitcodebase");
    std::string value;
    if (index >= 0) {
        value = options_.CleanValueAt(index, "exitcodebase");
        options_.Delete(index);
    } else if (!TakeBareSwitch("exitcodebase")) {
        return;
    }
    std::int32_t base = 0;
    if (!TryTextToInt(value, base)) {
        base = kDefaultExitCodeBase;
    }
    SetExitCodeBase(base);
    exitCodeBaseSwitch_ = Format("/exitcodebase=%d", base);
}

void TGridConsole::ReadCaption() {
    std::string value;
    if (!TakeValuedSwitch("title", value)) {
        return;
    }
    // The raw reading keeps what was typed between the quotes; a switch of "qzConsoleParams" or
    // a token quoted as a whole has no raw record and keeps its option-list value.
    TCmdLineParser raw(commandLine_);
    std::string caption;
    if (!raw.FindSwitch("title", caption)) {
        caption = value;
    }
    buildCommand_.SetStr(Req::Caption, caption);
}

bool TGridConsole::CheckOutPath() {
    if (!outPath_.empty()) {
        ExpandTitleMacros(outPath_);
        try {
            ForceFolders(ResolvedFolder(startDirectory_, outPath_));
        } catch (const Exception&) {
            Fatal("The path specified with /OUT parameter is invalid.");
            return false;
        }
    }
    outEnabled_ = true;
    return true;
}

void TGridConsole::ApplySetEnv() {
    // Scanned from the end, so that the first setting of a variable on the command line is the
    // one that remains.
    TStringListEx forced(buildCommand_.Strings(Req::ForcedEnv));
    for (int i = options_.Count() - 1; i >= 0; --i) {
        if (!SameTextAscii(options_.NameAt(i), "setenv")) {
            continue;
        }
        std::string name;
        std::string value;
        SplitAtChar(options_.ValueAt(i), '=', name, value);
        SetEnv(name, value);
        forced.SetValueOf(name, value);
        buildCommand_.Strings(Req::ForcedEnv).Assign(forced);
        options_.Delete(i);
    }
}

bool TGridConsole::StageB_ConsoleSwitches() {
    ReadExitCodeBaseSwitch();
    for (const char* discarded :
         {"forcemon", "playmon", "build", "project", "wait", "projectconfig"}) {
        TakeBareSwitch(discarded);
    }

    titleReady_ = true;
    ReadCaption();
    TakeValuedSwitch("out", outPath_);
    if (!CheckOutPath()) {
        return false;
    }
    const std::string& caption = buildCommand_.Str(Req::Caption);
    if (!caption.empty()) {
        WriteLine(caption);
        WriteLine("");
    }

    makeSwitch_ = TakeBareSwitch("make");
    silent_ = TakeBareSwitch("silent");
    noLogo_ = TakeBareSwitch("nologo");
    if (TakeBareSwitch("nowait")) {
        wait_ = false;
    }
    enableSwitch_ = TakeBareSwitch("enable");
    resetSwitch_ = TakeBareSwitch("reset");
    disableSwitch_ = TakeBareSwitch("disable");

    if (TakeValuedSwitch("stop", stopBuildId_)) {
        stopSwitch_ = true;
    } else if (TakeBareSwitch("stop")) {
        stopSwitch_ = true;
        stopBuildId_ = kNullBuildId;
    }
    stopAllSwitch_ = TakeBareSwitch("stopall");
    ApplySetEnv();
    return true;
}

bool TGridConsole::StageC_ServiceSwitches() {
    TakeIntegerField("buildcachepchstrategy", Req::BuildCachePchStrategy);
    if (TakeBareSwitch("BuildCacheEnableStdinInputTaskCaching")) {
        buildCommand_.SetBool(Req::BuildCacheEnableStdinInputTaskCaching, true);
    }
    listSwitch_ = TakeBareSwitch("list");
    return true;
}

bool TGridConsole::StageD_BuildTarget() {
    std::string value;
    if (TakeValuedSwitch("command", value)) {
        buildCommand_.SetStr(Req::Command, value);
        buildCommand_.SetStr(Req::BuildClass, "wrap");
    }
    if (SameTextAscii(buildCommand_.Str(Req::Command), "devenv")) {
        buildCommand_.SetStr(Req::Command, "devenv.exe");
    }
    if (TakeValuedSwitch("VSInstallDir", value)) {
        buildCommand_.SetStr(Req::VSInstallDir, value);
    }
    if (!buildCommand_.Str(Req::Command).empty()) {
        return true;
    }
    if (PrimaryFilename().empty()) {
        Fatal("Missing filename or command of job to execute");
        return false;
    }

    std::string fileName = PathResolve(startDirectory_, PrimaryFilename());
    if (PathExtension(fileName).empty()) {
        std::string resolved = fileName + ".sln";
        for (const char* extension : {".sln", ".dsw", ".vcw"}) {
            if (FileIsPresent(fileName + extension)) {
                resolved = fileName + extension;
                break;
            }
        }
        fileName = resolved;
    }
    buildCommand_.SetStr(Req::PrimaryFilename, fileName);
    if (!FileIsPresent(fileName)) {
        Raise(Format("File not found: %s", fileName));
    }

    std::string vsVersion;
    if (TakeValuedSwitch("vsversion", vsVersion)) {
        size_t at = FindText("vc", vsVersion);
        if (at > 0) {
            vsVersion.erase(at - 1, 2);
        }
    }
    if (TakeBareSwitch("usemsbuild")) {
        buildCommand_.SetBool(Req::UseMSBuild, true);
    }
    bool useMSBuild = buildCommand_.Bool(Req::UseMSBuild);
    bool useEnv = useMSBuild && options_.IndexOf("useenv") >= 0 &&
                  !buildCommand_.Str(Req::VSInstallDir).empty();
    buildCommand_.SetStr(Req::BuildClass, BuildClassOf(fileName, vsVersion, useMSBuild, useEnv));
    if (IsSolutionClass(buildCommand_.Str(Req::BuildClass))) {
        Fatal("For Visual Studio builds, please use SlnConsole instead of " +
              PathBaseName(platform::ExecutablePath()));
        return false;
    }
    return true;
}

bool TGridConsole::ParseWinVersion(const std::string& switchName, int& major, int& minor) const {
    if (options_.FindName(switchName) < 0) {
        return false;
    }
    std::string value = options_.ValueOf(switchName);
    for (const WinVersionName& version : kWinVersionNames) {
        if (SameTextAscii(value, version.name)) {
            major = version.major;
            minor = version.minor;
            return true;
        }
    }
    return false;
}

bool TGridConsole::StageE_BuildOptions() {
    static constexpr std::array<std::pair<const char*, TBuildFlag>, 11> kSimpleFlags{{
        {"clean", bfClean},
        {"beep", bfBeep},
        {"openmonitor", bfOpenMonitor},
        {"useidemonitor", bfUseIdeMonitor},
        {"rebuild", bfRebuild},
        {"deploy", bfDeploy},
        {"allfatal", bfAllFatal},
        {"stoponerrors", bfStopOnErrors},
        {"showcmd", bfShowCmd},
        {"showagent", bfShowAgent},
        {"showtime", bfShowTime},
    }};
    for (const auto& [name, bit] : kSimpleFlags) {
        if (TakeBareSwitch(name)) {
            buildCommand_.SetFlag(bit, true);
        }
    }

    if (TakeBareSwitch("sameos")) {
        if (options_.FindName("minwinver") >= 0 || options_.FindName("maxwinver") >= 0) {
            Fatal("A /SAMEOS cannot be specified with /MINWINVER, /MAXWINVER");
            return false;
        }
        auto [major, minor] = KernelVersion();
        buildCommand_.SetInt(Req::MinWinVer_Major, major);
        buildCommand_.SetInt(Req::MaxWinVer_Major, major);
        buildCommand_.SetInt(Req::MinWinVer_Minor, minor);
        buildCommand_.SetInt(Req::MaxWinVer_Minor, minor);
    }
    int major = 0;
    int minor = 0;
    if (ParseWinVersion("minwinver", major, minor)) {
        buildCommand_.SetInt(Req::MinWinVer_Major, major);
        buildCommand_.SetInt(Req::MinWinVer_Minor, minor);
        options_.RemoveName("minwinver");
    }
    if (ParseWinVersion("maxwinver", major, minor)) {
        buildCommand_.SetInt(Req::MaxWinVer_Major, major);
        buildCommand_.SetInt(Req::MaxWinVer_Minor, minor);
        options_.RemoveName("maxwinver");
    }

    static constexpr std::array<std::pair<const char*, TBuildFlag>, 6> kVirtualisationFlags{{
        {"no_dotnet_virt", bfNoDotNetVirt},
        {"use_same_console", bfUseSameConsole},
        {"no_crypt_virt", bfNoCryptVirt},
        {"no_watchdog_thread", bfNoWatchdogThread},
        {"only64bithelpers", bfOnly64BitHelpers},
        {"no_unc_sync", bfNoUncSync},
    }};
    for (const auto& [name, bit] : kVirtualisationFlags) {
        if (TakeBareSwitch(name)) {
            buildCommand_.SetFlag(bit, true);
        }
    }

    std::string value;
    TakeValuedSwitch("intelclversion", value);
    buildCommand_.SetStr(Req::IntelCompilerVersion, value);
    for (const char* discarded : {"builduser", "buildgroup", "buildproduct"}) {
        TakeValuedSwitch(discarded, value);
    }

    if (TakeValuedSwitch("mon", value)) {
        if (value.empty()) {
            Raise("Invalid /MON option syntax. Filename should be specified.");
        }
        buildCommand_.SetStr(Req::MonitorFilename, PathResolve(startDirectory_, value));
    }
    TakeCommaListField("allowremote", Req::AllowRemote);
    if (options_.FindName("allowwrap") >= 0 && !options_.ValueOf("allowwrap").empty()) {
        Raise("The /ALLOWWRAP option is no longer supported. Use /ALLOWINTERCEPT instead.");
    }
    TakeCommaListField("allowintercept", Req::AllowIntercept);
    if (TakeValuedSwitch("profile", value)) {
        buildCommand_.SetStr(Req::ProfileFilename,
                             value.empty() ? std::string() : PathResolve(startDirectory_, value));
    }
    if (TakeValuedSwitch("ceconfig", value)) {
        buildCommand_.SetStr(Req::EVC4_CeConfig, value);
    }

    OpenBuildLog();

    if (options_.FindName("loglevel") >= 0) {
        std::string level = options_.ValueOf("loglevel");
        for (const LogLevelName& entry : kLogLevelNames) {
            if (SameTextAscii(level, entry.name)) {
                buildCommand_.SetInt(Req::OverrideLogLevel, entry.value);
                options_.RemoveName("loglevel");
                break;
            }
        }
    }
    buildCommand_.SetBool(Req::LogWarnings, TakeBareSwitch("log_warning"));
    if (TakeBareSwitch("securecomm=off")) {
        buildCommand_.SetFlag(bfSecureCommOff, true);
    }
    if (TakeBareSwitch("securecomm=on")) {
        buildCommand_.SetFlag(bfSecureCommOn, true);
        buildCommand_.SetFlag(bfSecureCommOff, false);
    }
    return true;
}

bool TGridConsole::StageF_CommonOptions() {
    if (SameTextAscii(buildCommand_.Str(Req::BuildClass), "wrap") &&
        (buildCommand_.HasFlag(bfRebuild) || buildCommand_.HasFlag(bfClean) ||
         buildCommand_.HasFlag(bfShowCmd) || buildCommand_.HasFlag(bfShowAgent))) {
        Fatal("The following options are invalid when using the interception interface: /CLEAN, "
              "/REBUILD, /SHOWCMD, /SHOWAGENT");
        return false;
    }

    std::string value;
    if (TakeValuedSwitch("AdditionalArgs", value)) {
        buildCommand_.SetStr(Req::AdditionalArgs, value);
    }
    if (TakeBareSwitch("VirtualizeDirectX")) {
        buildCommand_.SetBool(Req::VirtualizeDirectX, true);
    }
    if (TakeBareSwitch("DisablePdbForwarding")) {
        buildCommand_.SetBool(Req::DisablePdbForwarding, true);
    }
    if (TakeValuedSwitch("BiIssuer", value)) {
        buildCommand_.SetStr(Req::BiIssuer, value);
    }
    if (TakeValuedSwitch("monitordirs", value)) {
        TStringListEx dirs;
        dirs.Split(value, ';', SplitOption::TrimPieces | SplitOption::UnquotePieces);
        buildCommand_.Strings(Req::MonitoredDirs).Assign(dirs);
    }
    if (TakeValuedSwitch("HideFile", value)) {
        buildCommand_.SetStr(Req::HideFile, value);
    }
    if (TakeValuedSwitch("test", value)) {
        buildCommand_.SetStr(Req::TestFwId, value);
        if (modeFlags_ & TestMode) {
            buildCommand_.SetStr(Req::BuildClass, "test");
        }
    }
    if (TakeBareSwitch("nomsgs")) {
        buildCommand_.SetFlag(bfNoMsgs, true);
    }
    if (TakeBareSwitch("OnlyFailLocally=on")) {
        buildCommand_.SetFlag(bfOnlyFailLocallyOn, true);
    }
    if (TakeBareSwitch("OnlyFailLocally=off")) {
        buildCommand_.SetFlag(bfOnlyFailLocallyOff, true);
    }
    bool readOnly = TakeBareSwitch("buildcachereadonly");
    readOnly = TakeBareSwitch("buildcachereadonly=on") || readOnly;
    if (readOnly) {
        buildCommand_.SetFlag(bfBuildCacheReadOnlySet, true);
        buildCommand_.SetBool(Req::BuildCacheReadOnly, true);
    }
    if (TakeBareSwitch("buildcachereadonly=off")) {
        buildCommand_.SetFlag(bfBuildCacheReadOnlySet, true);
        buildCommand_.SetBool(Req::BuildCacheReadOnly, false);
    }
    if (!TakeBareSwitch("LimitBVData")) {
        TakeBareSwitch("LimitBVData=0");
    }
    if (TakeBareSwitch("LimitBVData=1")) {
        buildCommand_.SetFlag(bfMonitorNoGraphs, true);
        buildCommand_.SetFlag(bfMonitorNoBars, true);
    }
    if (TakeBareSwitch("LimitBVData=2")) {
        buildCommand_.SetFlag(bfMonitorNoBars, true);
    }
    if (TakeBareSwitch("LimitBVData=3")) {
        buildCommand_.SetFlag(bfMonitorNoGraphs, true);
    }
    return true;
}

} // namespace qz::nv
