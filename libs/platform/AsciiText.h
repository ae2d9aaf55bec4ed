#pragma once

// ASCII text below every layer: case folding, the one comparison for names that ignore case
// (registry names, switches, file extensions, list entries), and the one integer parser. Only the
// letters A-Z and a-z fold; every other byte, UTF-8 sequences included, compares exactly.

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace qz::platform {

constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

/// Equal length and equal ignoring the case of ASCII letters.
constexpr bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

/// The whole text as an integer of type T in the base: an optional sign ('-' only for signed
/// types) and digits, nothing else (no blanks, no prefix). nullopt for an empty text, any other
/// character ("12x", a group name) or a value outside T's range.
template <class T>
std::optional<T> ParseInteger(std::string_view text, int base = 10) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    T value{};
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(text.data(), last, value, base);
    if (text.empty() || error != std::errc() || end != last) {
        return std::nullopt;
    }
    return value;
}

} // namespace qz::platform
