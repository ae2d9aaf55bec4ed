// Fuzzes the registry store parser with whole store files, as a user (or, for the machine-wide
// store, anyone who can write it) may have left them. A file that parses is written back and
// parsed again: the second text must parse and be the same as the first, so that saving a store
// never changes or loses what it held.

#include "FuzzSupport.h"
#include "platform/RegistryStore.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto document = qz::platform::RegistryDocument::Parse(text, "HKCU.reg");
    if (!document) {
        if (document.error().context.rfind("HKCU.reg, line ", 0) != 0) {
            qz::fuzz::Disagree("a parse error that does not name the file and line");
        }
        return 0;
    }
    std::string written = document->Serialise();
    auto again = qz::platform::RegistryDocument::Parse(written, "HKCU.reg");
    if (!again) {
        qz::fuzz::Disagree("a store we wrote does not parse");
    }
    if (again->Serialise() != written) {
        qz::fuzz::Disagree("a store changes when written, read and written");
    }
    return 0;
}
