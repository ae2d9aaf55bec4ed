#pragma once

// The monitor data file of a build (".nv_mon"), written while the build runs so that a reader
// can take over from the shared stream at any moment: the head packet (TMetaBuildPacket, marked
// incomplete, with the append marker) and after it the event stream compressed in the sdc3
// layout, one block per flush. Between flushes the file is complete: the header's total matches
// its blocks. The 64-bit total of sdc3 keeps streams beyond 2 GiB readable.

#include "CM/BuildCommandPackets.h"
#include "EventWriter.h"
#include "platform/File.h"

#include <cstdint>
#include <string>

namespace qz::tasksmith {

class MonitorDataFile : public EventSink {
public:
    /// Creates the file (and its missing folders) and writes the head. Raises the file's error.
    MonitorDataFile(std::string fileName, const TMetaBuildPacket& head);
    ~MonitorDataFile() override;
    MonitorDataFile(const MonitorDataFile&) = delete;
    MonitorDataFile& operator=(const MonitorDataFile&) = delete;

    void Append(const void* data, std::size_t size) override;
    /// Writes what was appended since the last flush as one block.
    void Flush() override;
    /// Flushes, then rewrites the head with the final values (it keeps its size: only fixed-size
    /// fields may differ from the first head) and closes the file.
    void Finish(const TMetaBuildPacket& head);

    const std::string& FileName() const { return fileName_; }
    /// The uncompressed bytes written in blocks so far.
    std::int64_t Total() const { return total_; }

private:
    void WriteAt(std::int64_t offset, const void* data, std::size_t size);
    std::string EncodeHead(const TMetaBuildPacket& head) const;

    std::string fileName_;
    platform::File file_;
    std::int64_t headSize_ = 0;
    std::int64_t end_ = 0;
    std::int64_t total_ = 0;
    std::string pending_;
};

/// The decimal whole days of a date-time value (days since 30 December 1899, cut towards
/// zero), as the monitor data file's folder is named; empty for a value that is not a finite
/// number within the years 0001 to 9999, so a damaged start time never names a folder.
std::string DayFolderText(double startTime);

/// Makes the day folder (a name from DayFolderText) below the history folder, creating the
/// history folder and its parents as needed. A new day folder gets the history folder's
/// permission bits: where builders share it (group-writable, setgid, sticky), the next builder
/// of the day may write into the folder the first one made. Raises EOSError.
void MakeDayFolder(const std::string& historyFolder, const std::string& day);

} // namespace qz::tasksmith
