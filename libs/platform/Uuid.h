#pragma once

// Random universally unique identifiers.

#include <cstdint>

namespace qz::platform {

/// Fills 16 bytes with a new random (version 4) UUID in its standard byte order: the bytes in the
/// order of the hexadecimal digits of the 8-4-4-4-12 text form.
void GenerateRandomUuid(std::uint8_t (&bytes)[16]);

} // namespace qz::platform
