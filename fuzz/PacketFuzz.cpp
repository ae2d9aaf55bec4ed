// Fuzzes packet decoding in both framings: header-framed packets of any registered class, and a
// context-framed event stream read to its end. Every failure must be one of the system's
// exceptions; an assertion failure (a broken invariant) counts as a crash. Whatever decodes is
// encoded, decoded again and encoded again: the two encodings must be the same bytes, so an
// encoder and a decoder that disagree are caught.

#include "CM/Packets.h"
#include "CM/StreamUtils.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using qz::fuzz::Check;

std::string Encode(const qz::TPacket& packet) {
    qz::TVirtualStream stream;
    packet.SaveToStream(stream);
    return stream.AsString();
}

// Decoding what the encoder wrote must give a packet that encodes to the same bytes.
void CheckRoundTrip(const qz::TPacket& packet) {
    std::string first = Encode(packet);
    qz::TVirtualStream stream;
    stream.SetContent(first);
    std::unique_ptr<qz::TPacket> again;
    try {
        again = qz::TPacket::CreateFromStream(stream);
    } catch (const qz::Exception&) {
        qz::fuzz::Disagree("a header-framed packet we wrote does not load");
    }
    if (stream.Position() != stream.Size()) {
        qz::fuzz::Disagree("a header-framed packet we wrote loads from part of its bytes");
    }
    if (Encode(*again) != first) {
        qz::fuzz::Disagree("a header-framed packet changes when written, read and written");
    }
}

std::string EncodeAll(const std::vector<std::unique_ptr<qz::TPacket>>& packets) {
    qz::TVirtualStream stream;
    qz::TPacketSaveContext context;
    for (const auto& packet : packets) {
        packet->SaveToStream(stream, &context);
    }
    return stream.AsString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (qz::RegisterAllPacketClasses(), true);
    (void)registered;
    std::string bytes(reinterpret_cast<const char*>(data), size);

    // Header framing: packets one after another while the stream advances.
    try {
        qz::TVirtualStream stream;
        stream.SetContent(bytes);
        for (int i = 0; i < 16 && stream.Position() < stream.Size(); ++i) {
            std::int64_t before = stream.Position();
            auto packet = qz::TPacket::CreateFromStream(stream);
            (void)packet->DumpText();
            CheckRoundTrip(*packet);
            if (stream.Position() <= before) {
                break;
            }
        }
    } catch (const qz::Exception& error) {
        Check(error);
    }

    // Context framing: one load context for the whole stream.
    std::vector<std::unique_ptr<qz::TPacket>> packets;
    try {
        qz::TVirtualStream stream;
        stream.SetContent(bytes);
        qz::TPacketLoadContext context;
        while (stream.Position() < stream.Size() && packets.size() < 64) {
            packets.push_back(qz::TPacket::CreateFromStream(stream, &context));
        }
    } catch (const qz::Exception& error) {
        Check(error);
    }
    if (packets.empty()) {
        return 0;
    }
    // The packets read so far, written with one save context, read back with one load context.
    std::string first;
    try {
        first = EncodeAll(packets);
    } catch (const qz::Exception& error) {
        Check(error);
        return 0; // a value the encoder refuses (an error, not a disagreement)
    }
    std::vector<std::unique_ptr<qz::TPacket>> again;
    try {
        qz::TVirtualStream stream;
        stream.SetContent(first);
        qz::TPacketLoadContext context;
        while (stream.Position() < stream.Size()) {
            again.push_back(qz::TPacket::CreateFromStream(stream, &context));
        }
    } catch (const qz::Exception&) {
        qz::fuzz::Disagree("a context-framed stream we wrote does not load");
    }
    if (again.size() != packets.size() || EncodeAll(again) != first) {
        qz::fuzz::Disagree("a context-framed stream changes when written, read and written");
    }
    return 0;
}
