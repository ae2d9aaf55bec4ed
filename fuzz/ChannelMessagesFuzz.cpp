// Fuzzes the decoding of a drained packet channel buffer: whatever another local user writes into
// a channel, the receiver must decode it into messages (broken packets as exception packets) or
// skip it, and never raise, loop or read outside the buffer. The input is used twice: as it is,
// and behind a well-formed message so that the framing of a second message is reached.

#include "CM/Exceptions.h"
#include "CM/PacketChannel.h"
#include "CM/ServicePackets.h"
#include "CM/StreamUtils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string WellFormedMessage() {
    qz::TVirtualStream body;
    qz::TQueryServiceStatusPacket().SaveToStream(body);
    qz::MessageHeader header{};
    header.Version = qz::kChannelVersion;
    header.Flags = qz::cfRequest;
    header.MessageId = 1;
    header.reserved12 = 0xFFFFFFFF;
    header.Length = static_cast<std::int32_t>(sizeof header + body.Size());
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    return bytes + body.AsString();
}

void Decode(const std::string& bytes) {
    std::size_t count = 0;
    try {
        qz::DecodeChannelMessages(bytes, [&](std::unique_ptr<qz::TPacketChannelMessage> message) {
            if (!message || !message->HasPacket() ||
                message->Header().Length < static_cast<std::int32_t>(sizeof(qz::MessageHeader))) {
                std::abort();
            }
            (void)message->Packet().DumpText();
            ++count;
        });
    } catch (...) {
        std::abort(); // the decoder promises never to raise
    }
    // Every message takes at least a header's worth of bytes.
    if (count > bytes.size() / sizeof(qz::MessageHeader)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (qz::RegisterAllPacketClasses(), true);
    static const std::string prefix = WellFormedMessage();
    (void)registered;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    Decode(bytes);
    Decode(prefix + bytes);
    return 0;
}
