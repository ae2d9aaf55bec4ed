// Fuzzes packet files as the programs load them: any registered class from a header-framed file,
// with and without the decompressing stream, and the product information class from its
// "info.dat" (which every program reads at start-up, and which the packet must fit).

#include "CM/Packets.h"
#include "CM/ProductInfo.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (qz::RegisterAllPacketClasses(), true);
    (void)registered;
    static const std::string file = qz::fuzz::ScratchFolder() + "/info.dat";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    for (std::uint32_t flags : {0u, static_cast<std::uint32_t>(qz::pfDecompress)}) {
        try {
            auto packet = qz::TPacket::CreateFromFile(file, flags);
            (void)packet->DumpText();
        } catch (const qz::Exception& error) {
            qz::fuzz::Check(error);
        }
        try {
            qz::TProductInformationPacket info;
            info.LoadFromFile(file, flags);
            (void)info.DumpText();
        } catch (const qz::Exception& error) {
            qz::fuzz::Check(error);
        }
    }
    try {
        qz::TProductInfoLoader loader(file);
        (void)loader.ProductName();
    } catch (const qz::Exception& error) {
        qz::fuzz::Check(error);
    }
    return 0;
}
