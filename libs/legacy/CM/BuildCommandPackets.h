#pragma once

// The build request (TBuildCommandPacket) with its project entries, the head record of a saved
// monitor file (TMetaBuildPacket) and the other packet classes of the same family.

#include "Packets.h"

#include <vector>

namespace qz {

class TBuildCommandProjectPacket : public TPacket {
    QZ_PACKET_WRAPPER(TBuildCommandProjectPacket, TPacket)
    enum Field : int { Name, Config, RelativePath_Optional, MSBuildName, IdeName };
};
using TBuildCommandProjectPacketList = TPacketList<TBuildCommandProjectPacket>;

class TBuildCommandPacket : public TPacket {
    QZ_PACKET_WRAPPER(TBuildCommandPacket, TPacket)
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
    };

    /// Flags bit n (0..63).
    bool HasFlag(int bit) const { return (Bits(Flags) >> bit) & 1; }
    void SetFlag(int bit, bool on) {
        std::uint64_t bits = Bits(Flags);
        SetBits(Flags, on ? bits | (std::uint64_t{1} << bit) : bits & ~(std::uint64_t{1} << bit));
    }
};

class TMetaBuildAttachmentPacket : public TPacket {
    QZ_PACKET_WRAPPER(TMetaBuildAttachmentPacket, TPacket)
    enum Field : int { Filename, Content };
};
using TMetaBuildAttachmentPacketList = TPacketList<TMetaBuildAttachmentPacket>;

class TMetaBuildPacket : public TPacket {
    QZ_PACKET_WRAPPER(TMetaBuildPacket, TPacket)
    enum Field : int {
        ID,
        Caption,
        ComputerName,
        UserName,
        BuildFlags,
        ErrorCount,
        WarningCount,
        SystemErrorCount,
        SystemWarningCount,
        StartTime,
        Duration,
        Cancelled,
        OldMonitorEvents,
        ProductVersion,
        ProductBuildNum,
        ProductVersionText,
        SystemAutoRecoveryCount,
        OldBuildLog,
        ProjectFormat,
        LoggingLevel,
        SegmentedBuildLog,
        PrimaryFilename,
        Incomplete,
        Command,
        OldEventLog,
        Attachments,
        Tag,
        MonitorEvents,
        OverrideBuildStatusToSuccess,
        ExitCode,
        BuildLog,
        EventLog,
        PredictedExecution,
        AgentDescription,
        LoggedOnUsers,
    };
};
using TMetaBuildPacketList = TPacketList<TMetaBuildPacket>;

class TParentProcessIDPacket : public TPacket {
    QZ_PACKET_WRAPPER(TParentProcessIDPacket, TPacket)
    enum Field : int { PID, Timestamp };
};
using TParentProcessIDPacketList = TPacketList<TParentProcessIDPacket>;

class TExecuteSearchReplacePacket : public TPacket {
    QZ_PACKET_WRAPPER(TExecuteSearchReplacePacket, TPacket)
    enum Field : int {
        CaseSensitive,
        IncludeTerminatingNull,
        SearchForContent,
        ReplaceWithContent
    };
};
using TExecuteSearchReplacePacketList = TPacketList<TExecuteSearchReplacePacket>;

class TExecuteIncrementalFilePacket : public TPacket {
    QZ_PACKET_WRAPPER(TExecuteIncrementalFilePacket, TPacket)
    enum Field : int {
        Path,
        Revision,
        ContinueWithExistingFile,
        BaseRevision,
        SyncPath,
        LargeFile
    };
};
using TExecuteIncrementalFilePacketList = TPacketList<TExecuteIncrementalFilePacket>;

/// The class table of this unit.
const std::vector<TPacketClassDef>& BuildCommandPacketClasses();

} // namespace qz
