#include "Format.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace qz {

std::int64_t FormatArg::AsSigned() const {
    switch (kind_) {
    case Kind::Signed:
        return signed_;
    case Kind::Unsigned:
        return static_cast<std::int64_t>(unsigned_);
    case Kind::Float:
        return static_cast<std::int64_t>(float_);
    case Kind::Text:
        break;
    }
    return 0;
}

std::uint64_t FormatArg::AsUnsigned() const {
    return kind_ == Kind::Unsigned ? unsigned_ : static_cast<std::uint64_t>(AsSigned());
}

double FormatArg::AsFloat() const {
    switch (kind_) {
    case Kind::Signed:
        return static_cast<double>(signed_);
    case Kind::Unsigned:
        return static_cast<double>(unsigned_);
    case Kind::Float:
        return float_;
    case Kind::Text:
        break;
    }
    return 0;
}

std::string FormatArg::AsText() const {
    switch (kind_) {
    case Kind::Signed:
        return std::to_string(signed_);
    case Kind::Unsigned:
        return std::to_string(unsigned_);
    case Kind::Float:
        return std::to_string(float_);
    case Kind::Text:
        break;
    }
    return std::string(text_);
}

namespace {

template <typename T>
std::string Printf(const std::string& directive, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, directive.c_str(), value);
    if (n < 0) {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), directive.c_str(), value);
    big.resize(static_cast<size_t>(n));
    return big;
}

// Negative 32-bit values print as their 32-bit two's complement, as the system's messages expect
// ("0x0%x" of a handle value -1 is FFFFFFFF).
std::uint64_t HexValue(const FormatArg& arg) {
    if (arg.kind() == FormatArg::Kind::Signed) {
        std::int64_t v = arg.AsSigned();
        if (v < 0 && v >= INT32_MIN) {
            return static_cast<std::uint32_t>(v);
        }
    }
    return arg.AsUnsigned();
}

} // namespace

std::string FormatList(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    auto next = args.begin();
    size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        // %[flags][width][.precision]conversion
        size_t j = i + 1;
        while (j < format.size() &&
               std::string_view("-+ #0").find(format[j]) != std::string_view::npos) {
            ++j;
        }
        while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
            ++j;
        }
        if (j < format.size() && format[j] == '.') {
            ++j;
            while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
                ++j;
            }
        }
        if (j >= format.size() || next == args.end()) {
            out.append(format.substr(i, j + 1 - i));
            i = j + 1;
            continue;
        }
        std::string directive(format.substr(i, j - i));
        const FormatArg& arg = *next;
        switch (format[j]) {
        case 'd':
        case 'i':
            out += Printf(directive + PRId64, arg.AsSigned());
            break;
        case 'u':
            out += Printf(directive + PRIu64, arg.AsUnsigned());
            break;
        case 'x':
            out += Printf(directive + PRIx64, HexValue(arg));
            break;
        case 'X':
            out += Printf(directive + PRIX64, HexValue(arg));
            break;
        case 'c':
            out += Printf(directive + "c", static_cast<int>(arg.AsSigned()));
            break;
        case 'f':
        case 'g':
        case 'e':
            out += Printf(directive + format[j], arg.AsFloat());
            break;
        case 's':
        case 'S': {
            std::string text = arg.AsText();
            out += directive == "%" ? text : Printf(directive + "s", text.c_str());
            break;
        }
        default:
            out.append(format.substr(i, j + 1 - i));
            i = j + 1;
            continue;
        }
        ++next;
        i = j + 1;
    }
    return out;
}

} // namespace qz
