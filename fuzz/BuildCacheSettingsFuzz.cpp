// Fuzzes the build cache settings loader with arbitrary JSON text: the input is a default
// configuration and, after the first zero byte, an override merged over it. Loading must end in
// settings or in the system's exception for a default that does not parse; an assertion
// failure (a broken invariant) or any other exception counts as a crash.

#include "BuildCacheSettings.h"
#include "CM/Exceptions.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::size_t split = bytes.find('\0');
    std::string defaultText = bytes.substr(0, split);
    std::optional<std::string> overrideText;
    if (split != std::string::npos) {
        overrideText = bytes.substr(split + 1);
    }
    try {
        qz::nv::TBuildCacheSettings settings(defaultText, "/fuzz/default.json", overrideText,
                                             "/fuzz/data");
        // Every value must be readable, and the folders never empty.
        if (settings.CacheDirectoryLocation().empty() || settings.DbLocation().empty() ||
            settings.TaskExtraInfoFile().empty()) {
            std::abort();
        }
    } catch (const qz::EAssertionFailed&) {
        std::abort();
    } catch (const qz::Exception& error) {
        if (error.Message().rfind("Default Build Cache service configuration file not found: ",
                                  0) != 0) {
            std::abort();
        }
    }
    return 0;
}
