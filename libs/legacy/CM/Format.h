#pragma once

// Formatting of message texts with printf-style directives, as every message of the system is
// written: %s (text), %d and %i (signed), %u (unsigned), %x and %X (hexadecimal), %c, %f, %%.
// Flags, width and precision work as with printf ("%.8X", "%5d"). %S is the same as %s: text is
// held as UTF-8 bytes throughout.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace qz {

/// One argument of Format: an integer, a floating-point number or a text.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Float, Text };

    template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
    FormatArg(T value) { // NOLINT(google-explicit-constructor)
        if constexpr (std::is_enum_v<T>) {
            SetInteger(static_cast<std::underlying_type_t<T>>(value));
        } else {
            SetInteger(value);
        }
    }
    FormatArg(double value) : kind_(Kind::Float), float_(value) {}
    FormatArg(std::string_view value) : kind_(Kind::Text), text_(value) {}
    FormatArg(const std::string& value) : kind_(Kind::Text), text_(value) {}
    FormatArg(const char* value) : kind_(Kind::Text), text_(value ? value : "") {}
    FormatArg(const void* value)
        : kind_(Kind::Unsigned), unsigned_(reinterpret_cast<std::uintptr_t>(value)) {}

    Kind kind() const { return kind_; }
    std::int64_t AsSigned() const;
    std::uint64_t AsUnsigned() const;
    double AsFloat() const;
    std::string AsText() const;

private:
    template <typename T>
    void SetInteger(T value) {
        if constexpr (std::is_same_v<T, bool>) {
            kind_ = Kind::Unsigned;
            unsigned_ = value ? 1 : 0;
        } else if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = value;
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = value;
        }
    }

    Kind kind_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    double float_ = 0;
    std::string_view text_;
};

/// Formats the text with the arguments. A directive without an argument is kept as it stands;
/// surplus arguments are ignored.
std::string FormatList(std::string_view format, std::initializer_list<FormatArg> args);

template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
    return FormatList(format, {FormatArg(args)...});
}

} // namespace qz
