#pragma once

// The extended string list and the string helpers it rests on.

#include <string>
#include <string_view>

namespace qz {

/// Removes leading and trailing bytes with a code <= 32.
std::string Trim(std::string_view text);

/// The text without its first and last character when it is at least 2 bytes long and both
/// begins and ends with a double quote; otherwise the text unchanged (no unescaping).
std::string Unquote(std::string_view text);

} // namespace qz
