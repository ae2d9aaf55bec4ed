// Fuzzes packet decoding in both framings: header-framed packets of any registered class, and a
// context-framed event stream read to its end. Every failure must be one of the system's
// exceptions; an assertion failure (a broken invariant) counts as a crash.

#include "CM/Exceptions.h"
#include "CM/Packets.h"
#include "CM/StreamUtils.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(const qz::Exception& error) {
    if (dynamic_cast<const qz::EAssertionFailed*>(&error) != nullptr) {
        std::abort();
    }
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
            qz::TVirtualStream copy;
            packet->SaveToStream(copy);
            (void)packet->DumpText();
            if (stream.Position() <= before) {
                break;
            }
        }
    } catch (const qz::Exception& error) {
        Check(error);
    }

    // Context framing: one load context for the whole stream.
    try {
        qz::TVirtualStream stream;
        stream.SetContent(bytes);
        qz::TPacketLoadContext context;
        while (stream.Position() < stream.Size()) {
            auto packet = qz::TPacket::CreateFromStream(stream, &context);
            qz::TVirtualStream copy;
            qz::TPacketSaveContext saveContext;
            packet->SaveToStream(copy, &saveContext);
        }
    } catch (const qz::Exception& error) {
        Check(error);
    }
    return 0;
}
