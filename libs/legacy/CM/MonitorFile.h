#pragma once

// Saved monitor files (".nv_mon"): a TMetaBuildPacket head in header framing and the build's
// compressed event stream, either inside the head's MonitorEvents blob or appended after the
// head (marked by OldMonitorEvents). The events are context-framed packets.

#include "BuildCommandPackets.h"
#include "Packets.h"
#include "RealTimeCompressStreams.h"

#include <memory>
#include <string>
#include <vector>

namespace qz {

/// A monitor file opened for reading.
struct TMonitorFile {
    std::unique_ptr<TMetaBuildPacket> Meta;
    /// The event stream, decompressed block by block as it is read, positioned at its start;
    /// read it with one fresh TPacketLoadContext. It owns what it reads from.
    std::unique_ptr<TDecompressStream> Events;
};

/// Reads the head and the event stream. Any other content of OldMonitorEvents than empty or the
/// append marker raises the general exception "Invalid or corrupted .nv_mon file"; damaged
/// packets raise the packet errors; a missing file the file stream's EOSError.
TMonitorFile OpenMonitorFile(const std::string& fileName);

/// Reads every event of a context-framed stream from its position to its end.
std::vector<std::unique_ptr<TPacket>> ReadMonitorEvents(TStream& events);

/// Writes a monitor file: the events are encoded under one save context and compressed; with
/// appendEvents they follow the head (OldMonitorEvents holds the marker), otherwise they are the
/// head's MonitorEvents blob. meta's event blobs are replaced in the written copy only.
void WriteMonitorFile(const std::string& fileName, const TMetaBuildPacket& meta,
                      const std::vector<const TPacket*>& events, bool appendEvents);

} // namespace qz
