#pragma once

// Stand-in for the build request packet while the packet engine is on its way: the field names
// and the typed accessors the console uses, with the request's defaults. It is replaced by the
// packet engine's unit of the same name (the class table, encoding and registry) when that lands.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qz {

using TPacketStrings = std::vector<std::string>;

class TBuildCommandPacket {
public:
    enum Field : int {
        BuildID,
        Flags,
        BuildClass,
        Caption,
        PrimaryFilename,
        EnvBlock,
        WorkspaceAsStr,
        LocalAppDataDir,
        SelectedSources,
        LoadedProjectPaths,
        Obsolete_ActiveProjects,
        CompilerParamsAdd,
        CompilerParamsSub,
        LinkerParamsAdd,
        LinkerParamsSub,
        ShouldBuildProjectPaths,
        AllowRemote,
        AllowIntercept,
        CurDir,
        Command,
        ProfileFilename,
        SlnConsoleCommandLine,
        MonitorFilename,
        EVC4_CeConfig,
        OverrideMaxHelpersPerJob,
        ActiveProjects,
        BoundsCheckerInstrumentedProjects,
        IntelCompilerVersion,
        MinWinVer_Major,
        MinWinVer_Minor,
        MaxWinVer_Major,
        MaxWinVer_Minor,
        OverrideLogLevel,
        ForcedEnv,
        Obsolete_NintendoProjects,
        LogWarnings,
        InitiatorName,
        KeepNumOfJobs,
        PlugInVer,
        KWJsonName,
        OutDir,
        MSBuildArgs,
        UseMSBuild,
        InjectBase,
        AdditionalArgs,
        VirtualizeDirectX,
        PluginUpDateVer,
        DisablePdbForwarding,
        UseIDEMonitorPID,
        MonitoredDirs,
        HideFile,
        VSInstallDir,
        NvExitCodeShift,
        MSBuildMaxInstances,
        BiIssuer,
        TestFwId,
        ConsoleOutputCodePage,
        OverridePredictedExecutionMode,
        OverrideUseMSBuild,
        Obsolete_BuildCacheServer,
        Obsolete_BuildCacheRole,
        UseLocalBuildCache,
        RemoteBuildCacheServer,
        BuildCachePchStrategy,
        OverrideMaxConcurrentPDBs,
        OverrideMultiThreadedFileSyncThreads,
        OverrideMaxParallelLinkTargets,
        OverrideClangPathConvert,
        ConfigFileContent,
        OverrideNeededHelpersHistoryTimeSec,
        BuildCacheEnableOlderMSVCSupport,
        BuildCacheEnableStdinInputTaskCaching,
        BuildCacheReadOnly,
        UseBuildCacheCluster,
        BuildCacheGenerateToolProfile,
        BuildCacheProfile,
        FieldCountValue,
    };

    TBuildCommandPacket() {
        ints_.fill(0);
        for (int field : {OverrideLogLevel, PluginUpDateVer, OverridePredictedExecutionMode,
                          Obsolete_BuildCacheRole, BuildCachePchStrategy, OverrideMaxConcurrentPDBs,
                          BuildCacheEnableOlderMSVCSupport}) {
            ints_[field] = -1;
        }
        ints_[UseLocalBuildCache] = 1;
    }

    std::int64_t Int(int index) const { return ints_[index]; }
    void SetInt(int index, std::int64_t value) { ints_[index] = value; }
    bool Bool(int index) const { return ints_[index] != 0; }
    void SetBool(int index, bool value) { ints_[index] = value; }
    const std::string& Str(int index) const { return strs_[index]; }
    void SetStr(int index, std::string value) { strs_[index] = std::move(value); }
    std::uint64_t Bits(int index) const { return static_cast<std::uint64_t>(ints_[index]); }
    void SetBits(int index, std::uint64_t value) {
        ints_[index] = static_cast<std::int64_t>(value);
    }
    TPacketStrings& Strings(int index) { return lists_[index]; }
    const TPacketStrings& Strings(int index) const { return lists_[index]; }

    bool HasFlag(int bit) const { return (Bits(Flags) >> bit) & 1; }
    void SetFlag(int bit, bool on) {
        std::uint64_t bits = Bits(Flags);
        SetBits(Flags, on ? bits | (std::uint64_t{1} << bit) : bits & ~(std::uint64_t{1} << bit));
    }

private:
    std::array<std::int64_t, FieldCountValue> ints_;
    std::array<std::string, FieldCountValue> strs_;
    std::array<TPacketStrings, FieldCountValue> lists_;
};

} // namespace qz
