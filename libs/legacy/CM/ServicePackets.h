#pragma once

// The request and reply packets exchanged with the local agent service, the agent's status
// description and the other request and reply classes of the same family.

#include "BuildCommandPackets.h"
#include "Packets.h"

#include <string>
#include <vector>

namespace qz {

/// The console's component version and its text, as sent in a build-slot request.
constexpr int kConsoleComponentVersion = 2015861;
constexpr const char* kConsoleComponentVersionText = "10.24.2 (build 14861)";

/// The nested packet of the agent status reply's first field and of the build-started event's
/// fifth field. Peers may put any class there; this system writes this field-less class, and a
/// header-framed reader skips a nested packet of another class by its length.
class TOpaqueStatusPacket : public TPacket {
    QZ_PACKET_WRAPPER(TOpaqueStatusPacket, TPacket)
};

class TCommExceptionPacket : public TPacket {
    QZ_PACKET_WRAPPER(TCommExceptionPacket, TPacket)
    enum Field : int { ExceptionMessage, ExceptionClass, ExceptionMethodName };
};

class TQueryServiceStatusPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TQueryServiceStatusPacket, TCommPacket)
    enum Field : int { Reserved };
};

class TStaticPacket : public TPacket {
    QZ_PACKET_WRAPPER(TStaticPacket, TPacket)
    enum Field : int {
        Version,
        VersionText,
        Opaque2,
        Opaque3,
        Host,
        Addr,
        ID,
        Port,
        CPUSpeed,
        HostComment,
        ShadowSize,
        VersionInfo,
        LogLevel,
        DiskTotal,
        IP,
        DisplayName,
        TotalPhysical_Legacy,
        TotalVirtual_Legacy,
        ShadowFragCount_Obsolete,
        CPUCount_WhenHelper,
        AllowEnableDisable,
        MSVCVersion,
        NETFramworkVersion,
        InstalledAssemblies_Obsolete,
        RemoteTaskPriority,
        CPUBrandString,
        CPULogicalCount,
        CPUPhysicalCount,
        ConnectionSpeed_BackwardCompatible,
        ConnectionInfo,
        RoutingIP,
        ProcessorArchitecture,
        Benchmark,
        UseAgentWhenRunningOnBattery,
        TotalPhysical,
        TotalVirtual,
        ProductInfoType,
        Serverr2Metric,
        VersionInfoProductType,
        SuiteMask,
        ActiveCodePage,
        HistorySourceID,
        Scheduler,
        OSVersionInfo,
        Is64bitWindows,
        CPUCount_WhenInitiator,
        AgentType,
        CPUPhysicalCoreCount,
        Opaque48,
        Opaque49,
        Opaque50,
        HasLocalCoordinatorInstalled,
        MachineID,
        BuildCacheSizeGB,
        BuildCacheFolder,
        BuildCacheDatabaseFolder,
        Opaque56,
        AgentLocation,
        UseLocalBuildCache,
        RemoteBuildCacheServer,
        IsWine,
        IsSingleUse,
        UseBuildCacheReadOnly,
        LocalBCServicePort,
        AgentLocationReg,
        UseBuildCacheCluster,
    };
};

class TQueryServiceStatusReplyPacket : public TPacket {
    QZ_PACKET_WRAPPER(TQueryServiceStatusReplyPacket, TPacket)
    enum Field : int {
        Opaque0,
        CoordinatorMisconnection,
        StandAlone,
        UsingBackup,
        ConnectedDirectlyToBackup,
        Opaque5,
        CoordinatorVersionMismatch,
        CpuCount,
        AgentID,
        Opaque9,
        Opaque10,
        StaticPacket,
        MaxHelpersPerJob,
        FirewallMisconfigured,
        Opaque14,
        Opaque15,
        CoordinatorID,
        BuildCacheSupported,
        AllowCustomDistributionProfiles,
        LoggedOnUsers,
    };
};

class TStartJobRequestPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TStartJobRequestPacket, TCommPacket)
    enum Field : int {
        ComponentVersion,
        ComponentVersionText,
        ComponentDisplayName,
        PluginVersion
    };

    TStartJobRequestPacket(int componentVersion, std::string componentVersionText,
                           int pluginVersion, std::string componentDisplayName);
    /// The console's request for a build command: its component version and text, the
    /// command's PluginUpDateVer and the display name.
    TStartJobRequestPacket(const TBuildCommandPacket& command, std::string componentDisplayName);
};

class TStartJobRequestReplyPacket : public TPacket {
    QZ_PACKET_WRAPPER(TStartJobRequestReplyPacket, TPacket)
    enum Field : int { Result, JobID };
};

class TEnableAgentPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TEnableAgentPacket, TCommPacket)
    enum Field : int { Enable };
    explicit TEnableAgentPacket(bool enable) : TEnableAgentPacket() { SetBool(Enable, enable); }
};

class TClearFileCachePacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TClearFileCachePacket, TCommPacket)
    enum Field : int { Reserved };
};

class TStopJobPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TStopJobPacket, TCommPacket)
    enum Field : int { JobID };
    explicit TStopJobPacket(const TGuid& jobId) : TStopJobPacket() { SetGuid(JobID, jobId); }
};

class TRequestBuildStatusPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TRequestBuildStatusPacket, TCommPacket)
    enum Field : int { ReservedForFutureUse };
};

class TBuildStatusPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TBuildStatusPacket, TCommPacket)
    enum Field : int {
        BuildID,
        BuildClass,
        Caption,
        DisplayTitle,
        DonePercent,
        HelpersNeeded,
        HelperIDs,
        MinWinVer_Major,
        MinWinVer_Minor,
        RequiredAssemblies_Obsolete,
        Opaque10,
        BuildErrorCount,
        BuildWarningCount,
        Flags,
        MaxWinVer_Major,
        MaxWinVer_Minor,
        DisplayWorkPowerMHz,
        DisplayWorkPowerCPUs,
        Only64bitHelpers,
        WorkerCount,
        StartTime,
        AvoidLocalExec,
        LocalCores,
    };
};
using TBuildStatusPacketList = TPacketList<TBuildStatusPacket>;

class TRequestBuildStatusReplayPacket : public TPacket {
    QZ_PACKET_WRAPPER(TRequestBuildStatusReplayPacket, TPacket)
    enum Field : int { Builds };
};

class TCoordBuildActivityInfo : public TCommPacket {
    QZ_PACKET_WRAPPER(TCoordBuildActivityInfo, TCommPacket)
    enum Field : int {
        BuildId,
        BuildGuid,
        AgentId,
        BuildTitle,
        BuildTypeId,
        StartTS,
        EndTS,
        Duration,
        DurationLocal,
        DurationRemote,
        DurationCloud,
        BuildStatusId,
        MaxCoresUsed,
        MaxLocalCoresUsed,
        MaxRemoteCoresUsed,
        MaxCloudCoresUsed,
        MinCoresUsed,
        MinLocalCoresUsed,
        MinRemoteCoresUsed,
        MinCloudCoresUsed,
        NumberOfTasks,
        AvgReadyTasks,
        AvgUsedCores,
        AvgUsedLocalCores,
        AvgUsedRemoteCores,
        AvgUsedCloudCores,
        MaxReadyTasks,
        MaxNeededHelpers,
        AvgNeededHelpers,
        MaxBlockedTasks,
        AvgBlockedTasks,
        MaxCoresLimitViolation,
        AvgCoresLimitViolation,
        BiIssuer,
        TimeSaved,
        AvoidLocal,
        Command,
        Predicted,
        BuildsetVersion,
        MsbuildVersion,
        NumberOfLocalTasks,
        NumberOfRemoteTasks,
        NumberOfCloudTasks,
        StandaloneInd,
        PdbLimit,
        CoreLimit,
        AvgActualNeededHelpers,
        MachineId,
        Opaque48,
        Opaque49,
        LocalStartTime,
        ConfigFileContent,
        IsInitiator,
        IsCiInitiator,
        LoggingLevel,
        AgentDescription,
        LoggedOnUsers,
    };
};

class TStopBCServicePacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TStopBCServicePacket, TCommPacket)
    enum Field : int { Reserved };
};

class TStartBCServicePacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TStartBCServicePacket, TCommPacket)
    enum Field : int { Reserved };
};

// Item classes of the family's typed lists.
class TExceptionLogPacket : public TPacket {
    QZ_PACKET_WRAPPER(TExceptionLogPacket, TPacket)
};
using TExceptionLogPacketList = TPacketList<TExceptionLogPacket>;
class TActiveJobBasicInfoPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TActiveJobBasicInfoPacket, TCommPacket)
};
using TActiveJobBasicInfoPacketList = TPacketList<TActiveJobBasicInfoPacket>;
class TEmployHelpersPacket : public TCommPacket {
    QZ_PACKET_WRAPPER(TEmployHelpersPacket, TCommPacket)
};
using TEmployHelpersPacketList = TPacketList<TEmployHelpersPacket>;
class TJobHistoryEntryPacket : public TPacket {
    QZ_PACKET_WRAPPER(TJobHistoryEntryPacket, TPacket)
};
using TJobHistoryEntryPacketList = TPacketList<TJobHistoryEntryPacket>;

/// The class table of this unit.
const std::vector<TPacketClassDef>& ServicePacketClasses();

} // namespace qz
