#pragma once

// The monitor event packets a build records: output, messages, start and completion, and the
// other events of the monitor view (bars, graphs, steps, counts).

#include "Packets.h"

#include <string>
#include <vector>

namespace qz {

class TMonitorEventOutputPacket : public TPacket {
    QZ_PACKET_WRAPPER(TMonitorEventOutputPacket, TPacket)
    enum Field : int { ms, Text, TaskID, ErrorCount, WarningCount, CreateRegion, ErrText };
};

class TMonitorEventCompletePacket : public TPacket {
    QZ_PACKET_WRAPPER(TMonitorEventCompletePacket, TPacket)
    enum Field : int {
        ms,
        Cancel,
        Summary,
        Success,
        SystemWarningCount,
        SystemErrorCount,
        ErrorCount,
        WarningCount,
        ExitCode
    };
    TMonitorEventCompletePacket(int msValue, bool cancel, std::string summary, bool success,
                                int systemWarningCount, int systemErrorCount, int errorCount,
                                int warningCount, int exitCode);
};

class TMonitorEventMessagePacket : public TPacket {
    QZ_PACKET_WRAPPER(TMonitorEventMessagePacket, TPacket)
    enum Field : int { ms, Kind, Now, Message, Text, Agent, Project, Code };
    TMonitorEventMessagePacket(int msValue, int kind, double now, std::string message,
                               std::string text, std::string agent, std::string project, int code);
};

class TMonitorEventStartedPacket : public TPacket {
    QZ_PACKET_WRAPPER(TMonitorEventStartedPacket, TPacket)
    enum Field : int {
        ms,
        StartTime,
        BuildFlags,
        Opaque3,
        Opaque4,
        Caption,
        PrimaryFileName,
        ID,
        ComputerName,
        Opaque9,
        IsMSBuilsProject_Obsolete
    };
};

class TMonitorEventProjectPacket : public TPacket {
    QZ_PACKET_WRAPPER(TMonitorEventProjectPacket, TPacket)
    enum Field : int { Name, Filename, TaskCount, Skip };
};
using TMonitorEventProjectPacketList = TPacketList<TMonitorEventProjectPacket>;

class TGraphDefPacket : public TPacket {
    QZ_PACKET_WRAPPER(TGraphDefPacket, TPacket)
    enum Field : int { DisplayName, Description, Units, DivideBy, DefaultScale, Color, Flags };
};
using TGraphDefPacketList = TPacketList<TGraphDefPacket>;

/// The class table of this unit.
const std::vector<TPacketClassDef>& MonitorPacketClasses();

} // namespace qz
