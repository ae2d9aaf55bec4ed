#include "MonitorFile.h"

#include "ByteOrder.h"
#include "Exceptions.h"
#include "StreamUtils.h"
#include "platform/AsciiText.h"

namespace qz {

namespace {

constexpr const char* kAppendedMarker = "EventsInParentStreamAppendedToMetaBuild";

bool IsAppendedMarker(const std::string& bytes) {
    std::string marker = kAppendedMarker;
    if (bytes.size() != 4 + marker.size()) {
        return false;
    }
    return Load32(bytes.data()) == marker.size() &&
           platform::SameTextAscii(std::string_view(bytes).substr(4), marker);
}

std::string MarkerBytes() {
    std::string marker = kAppendedMarker;
    std::string bytes(4, '\0');
    Store32(bytes.data(), static_cast<std::uint32_t>(marker.size()));
    return bytes + marker;
}

} // namespace

TMonitorFile OpenMonitorFile(const std::string& fileName) {
    auto file =
        std::make_unique<TMappedFileStream>(fileName, FileMode::Read | FileMode::ShareDenyWrite);
    TMonitorFile result;
    result.Meta = std::make_unique<TMetaBuildPacket>();
    result.Meta->LoadFromStream(*file, nullptr, 0);
    std::string old = result.Meta->Blob(TMetaBuildPacket::OldMonitorEvents).AsString();
    if (old.empty()) {
        std::unique_ptr<TVirtualStream> compressed =
            result.Meta->TakeBlob(TMetaBuildPacket::MonitorEvents);
        file.reset();
        result.Events = std::make_unique<TDecompressStream>(compressed.release(), 0, 1, true);
    } else if (IsAppendedMarker(old)) {
        std::int64_t start = file->Position();
        result.Events = std::make_unique<TDecompressStream>(file.release(), start, 1, true);
    } else {
        Raise("Invalid or corrupted .nv_mon file");
    }
    return result;
}

std::vector<std::unique_ptr<TPacket>> ReadMonitorEvents(TStream& events) {
    std::vector<std::unique_ptr<TPacket>> packets;
    TPacketLoadContext context;
    std::int64_t size = events.Size();
    while (events.Position() < size) {
        packets.push_back(TPacket::CreateFromStream(events, &context, 0));
    }
    return packets;
}

void WriteMonitorFile(const std::string& fileName, const TMetaBuildPacket& meta,
                      const std::vector<const TPacket*>& events, bool appendEvents) {
    TVirtualStream plain(VirtualStreamOption::Step1M);
    TPacketSaveContext context;
    for (const TPacket* event : events) {
        event->SaveToStream(plain, &context, 0);
    }
    plain.SetPosition(0);
    TVirtualStream compressed(VirtualStreamOption::Step1M);
    CompressToStream(plain, plain.Size(), compressed, kCompressFormatQuickLZ131);

    TMetaBuildPacket head;
    head.Assign(meta);
    head.Blob(TMetaBuildPacket::OldMonitorEvents).SetSize(0);
    head.Blob(TMetaBuildPacket::MonitorEvents).SetSize(0);
    if (appendEvents) {
        head.Blob(TMetaBuildPacket::OldMonitorEvents).SetContent(MarkerBytes());
    } else {
        head.Blob(TMetaBuildPacket::MonitorEvents).SetContent(compressed.View());
    }
    TFileStreamEx file(fileName, FileMode::Create);
    head.SaveToStream(file, nullptr, 0);
    if (appendEvents) {
        file.WriteBuffer(compressed.Memory(), compressed.Size());
    }
}

} // namespace qz
