#include "MonitorFile.h"

#include "Exceptions.h"

namespace qz {

namespace {

constexpr const char* kAppendedMarker = "EventsInParentStreamAppendedToMetaBuild";

bool IsAppendedMarker(const std::string& bytes) {
    std::string marker = kAppendedMarker;
    if (bytes.size() != 4 + marker.size()) {
        return false;
    }
    auto length = static_cast<std::uint32_t>(
        static_cast<std::uint8_t>(bytes[0]) | (static_cast<std::uint8_t>(bytes[1]) << 8) |
        (static_cast<std::uint8_t>(bytes[2]) << 16) | (static_cast<std::uint8_t>(bytes[3]) << 24));
    if (length != marker.size()) {
        return false;
    }
    for (std::size_t i = 0; i < marker.size(); ++i) {
        char c = bytes[4 + i];
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        char m = marker[i];
        m = (m >= 'A' && m <= 'Z') ? static_cast<char>(m + 32) : m;
        if (c != m) {
            return false;
        }
    }
    return true;
}

std::string MarkerBytes() {
    std::string marker = kAppendedMarker;
    std::string bytes(4, '\0');
    bytes[0] = static_cast<char>(marker.size());
    return bytes + marker;
}

} // namespace

TMonitorFile OpenMonitorFile(const std::string& fileName) {
    std::unique_ptr<TStream> file = OpenPacketFile(fileName, TPacketFileMode::Read);
    TMonitorFile result;
    result.Meta = std::make_unique<TMetaBuildPacket>();
    result.Meta->LoadFromStream(*file, nullptr, 0);
    const std::string& old = result.Meta->Blob(TMetaBuildPacket::OldMonitorEvents).Bytes();
    if (old.empty()) {
        std::unique_ptr<TBytesStream> compressed =
            result.Meta->TakeBlob(TMetaBuildPacket::MonitorEvents);
        file.reset();
        compressed->SetPosition(0);
        result.Events = std::make_unique<TBytesStream>(PacketCompression().Decompress(*compressed));
    } else if (IsAppendedMarker(old)) {
        result.Events = std::make_unique<TBytesStream>(PacketCompression().Decompress(*file));
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
    TBytesStream plain;
    TPacketSaveContext context;
    for (const TPacket* event : events) {
        event->SaveToStream(plain, &context, 0);
    }
    plain.SetPosition(0);
    TBytesStream compressed;
    PacketCompression().CompressToStream(plain, compressed, 3);

    TMetaBuildPacket head;
    head.Assign(meta);
    head.Blob(TMetaBuildPacket::OldMonitorEvents).Clear();
    head.Blob(TMetaBuildPacket::MonitorEvents).Clear();
    if (appendEvents) {
        head.Blob(TMetaBuildPacket::OldMonitorEvents).Bytes() = MarkerBytes();
    } else {
        head.Blob(TMetaBuildPacket::MonitorEvents).Bytes() = compressed.Bytes();
    }
    std::unique_ptr<TStream> file = OpenPacketFile(fileName, TPacketFileMode::Create);
    head.SaveToStream(*file, nullptr, 0);
    if (appendEvents) {
        file->WriteBuffer(compressed.Bytes().data(), compressed.Size());
    }
}

} // namespace qz
