#include "MonitorDataFile.h"

#include "CM/Exceptions.h"
#include "CM/RealTimeCompressStreams.h"
#include "JobRunner.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

#include <cerrno>
#include <cmath>
#include <vector>

namespace qz::tasksmith {

namespace {

constexpr std::int64_t kSdc3HeaderSize = 16;
constexpr const char* kAppendedMarker = "EventsInParentStreamAppendedToMetaBuild";

void Put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

void Put64(std::uint8_t* p, std::uint64_t v) {
    Put32(p, static_cast<std::uint32_t>(v));
    Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::string MarkerBytes() {
    std::string marker = kAppendedMarker;
    std::string bytes(4, '\0');
    Put32(reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(marker.size()));
    return bytes + marker;
}

} // namespace

std::string DayFolderText(double startTime) {
    // 1 January 0001 is day -693593 and 31 December 9999 day 2958465.
    if (!std::isfinite(startTime) || startTime < -693594.0 || startTime > 2958466.0) {
        return {};
    }
    return std::to_string(static_cast<long>(std::trunc(startTime)));
}

void MakeDayFolder(const std::string& historyFolder, const std::string& day) {
    MakeFolders(historyFolder);
    std::string folder = historyFolder + "/" + day;
    if (platform::QueryPathKind(folder) == platform::PathKind::Folder) {
        return;
    }
    const auto mode = platform::FilePermissions(historyFolder);
    if (!mode) {
        RaiseOsError("Cannot read the permissions of " + historyFolder, mode.error().code);
    }
    const auto made = platform::MakeFolder(folder, *mode);
    // Another build of the same day may have made it meanwhile.
    if (!made && !(made.error().code == EEXIST &&
                   platform::QueryPathKind(folder) == platform::PathKind::Folder)) {
        RaiseOsError("Cannot create folder " + folder, made.error().code);
    }
}

MonitorDataFile::MonitorDataFile(std::string fileName, const TMetaBuildPacket& head)
    : fileName_(std::move(fileName)) {
    std::size_t slash = fileName_.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        MakeFolders(fileName_.substr(0, slash));
    }
    platform::FileOpenRequest request;
    request.access = platform::FileAccess::ReadWrite;
    // Readers may open it at any time while it grows.
    request.share = platform::FileShare::ReadWrite;
    request.disposition = platform::FileDisposition::CreateAlways;
    if (platform::Result<> opened = file_.Open(fileName_, request); !opened) {
        RaiseOsError("Cannot create monitor data file " + fileName_, opened.error().code);
    }
    std::string bytes = EncodeHead(head);
    headSize_ = static_cast<std::int64_t>(bytes.size());
    std::uint8_t header[kSdc3HeaderSize] = {'s', 'd', 'c', '3'};
    Put32(header + 4, static_cast<std::uint32_t>(kCompressFormatQuickLZ131));
    Put64(header + 8, 0);
    bytes.append(reinterpret_cast<const char*>(header), sizeof header);
    WriteAt(0, bytes.data(), bytes.size());
    end_ = static_cast<std::int64_t>(bytes.size());
}

MonitorDataFile::~MonitorDataFile() = default;

std::string MonitorDataFile::EncodeHead(const TMetaBuildPacket& head) const {
    TMetaBuildPacket copy;
    copy.Assign(head);
    copy.Blob(TMetaBuildPacket::MonitorEvents).SetSize(0);
    copy.Blob(TMetaBuildPacket::OldMonitorEvents).SetContent(MarkerBytes());
    TVirtualStream stream;
    copy.SaveToStream(stream, nullptr, 0);
    return stream.AsString();
}

void MonitorDataFile::WriteAt(std::int64_t offset, const void* data, std::size_t size) {
    std::size_t done = 0;
    if (platform::Result<> written = file_.WriteAt(offset, data, size, done); !written) {
        RaiseOsError("Cannot write monitor data file " + fileName_, written.error().code);
    }
}

void MonitorDataFile::Append(const void* data, std::size_t size) {
    pending_.append(static_cast<const char*>(data), size);
    if (pending_.size() >= static_cast<std::size_t>(kCompressBlockSize)) {
        Flush();
    }
}

void MonitorDataFile::Flush() {
    if (!file_.IsOpen()) {
        return;
    }
    std::size_t offset = 0;
    std::vector<std::uint8_t> record;
    while (offset < pending_.size()) {
        auto u = static_cast<std::int32_t>(
            std::min<std::size_t>(pending_.size() - offset, kCompressBlockSize));
        record.resize(4 + static_cast<std::size_t>(u) + kCompressBlockOverhead);
        std::int32_t size =
            CompressBlock(pending_.data() + offset, u, record.data() + 4,
                          static_cast<std::int64_t>(record.size()) - 4, kCompressFormatQuickLZ131);
        Put32(record.data(), static_cast<std::uint32_t>(size));
        // The block first, then the total that makes it count: a reader sees either the old or
        // the new complete file, apart from the moment between the two writes.
        WriteAt(end_, record.data(), 4 + static_cast<std::size_t>(size));
        end_ += 4 + size;
        total_ += u;
        std::uint8_t total[8];
        Put64(total, static_cast<std::uint64_t>(total_));
        WriteAt(headSize_ + 8, total, sizeof total);
        offset += static_cast<std::size_t>(u);
    }
    pending_.clear();
}

void MonitorDataFile::Finish(const TMetaBuildPacket& head) {
    Flush();
    std::string bytes = EncodeHead(head);
    if (static_cast<std::int64_t>(bytes.size()) == headSize_) {
        WriteAt(0, bytes.data(), bytes.size());
    }
    file_.Close();
}

} // namespace qz::tasksmith
