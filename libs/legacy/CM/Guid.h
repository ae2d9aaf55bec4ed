#pragma once

// A 16-byte GUID in the usual in-memory layout (32-bit, 16-bit and 16-bit parts little-endian,
// then 8 bytes as they are) and its braced upper-case text form. Small on purpose: packets,
// channels and object names only need equality, hashing and the text form.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qz {

struct TGuid {
    std::array<std::uint8_t, 16> bytes{};

    bool IsNull() const;
    friend bool operator==(const TGuid&, const TGuid&) = default;
};

/// "{" + the 8-4-4-4-12 hexadecimal digits in upper case + "}".
std::string GuidToText(const TGuid& guid);

/// Parses the braced form (either case; the braces may be left out). Raises the general
/// exception "Invalid GUID text: %s" for anything else.
TGuid TextToGuid(std::string_view text);

} // namespace qz

template <>
struct std::hash<qz::TGuid> {
    std::size_t operator()(const qz::TGuid& guid) const noexcept {
        std::size_t h = 1469598103934665603ull;
        for (std::uint8_t b : guid.bytes) {
            h = (h ^ b) * 1099511628211ull;
        }
        return h;
    }
};
