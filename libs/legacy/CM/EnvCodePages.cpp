#include "EnvUtils.h"
#include "Exceptions.h"
#include "StringLists.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemInfo.h"
#include "platform/Uuid.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>

// EnvUtils.h, code pages.

namespace qz {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

// Decodes one character at position i and moves i past it. An invalid sequence yields U+FFFD
// and skips only its longest valid beginning, so the next lead byte is not swallowed.
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i++);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 2;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 3;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (std::size_t k = 0; k < length; ++k) {
        if (i >= text.size()) {
            return kReplacement;
        }
        unsigned char next = byte(i);
        if (k == 0 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) {
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3F);
        ++i;
    }
    return value;
}

bool IsSystemCodePage(int codePage) {
    return codePage == kCodePageUtf8 || (codePage >= 0 && codePage <= 3);
}

// The bytes 0x80 to 0x9F of code page 1252; 0 marks the five unassigned ones.
constexpr char16_t kCodePage1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t SingleByteToWide(unsigned char byte, int codePage) {
    if (byte < 0x80) {
        return byte;
    }
    switch (codePage) {
    case 28591:
        return byte;
    case 1252:
        if (byte >= 0xA0) {
            return byte;
        }
        // Unassigned bytes map to the control characters of the same value, as Latin-1 does.
        return kCodePage1252High[byte - 0x80] ? kCodePage1252High[byte - 0x80] : char16_t(byte);
    default:
        return static_cast<char16_t>(kReplacement);
    }
}

char WideToSingleByte(char32_t c, int codePage) {
    if (c < 0x80) {
        return static_cast<char>(c);
    }
    if (codePage == 28591 && c <= 0xFF) {
        return static_cast<char>(c);
    }
    if (codePage == 1252) {
        if (c >= 0xA0 && c <= 0xFF) {
            return static_cast<char>(c);
        }
        for (int k = 0; k < 32; ++k) {
            if (kCodePage1252High[k] == c ||
                (kCodePage1252High[k] == 0 && c == char32_t(0x80 + k))) {
                return static_cast<char>(0x80 + k);
            }
        }
    }
    return '?';
}

void CheckCodePage(int codePage) {
    if (!IsSystemCodePage(codePage) && codePage != 1252 && codePage != 28591 && codePage != 20127) {
        Raise(Format("Unsupported code page %d", codePage));
    }
}

// Walks UTF-16 text as code points; unpaired surrogates become U+FFFD.
template <typename Visit>
void ForEachCodePoint(std::u16string_view text, Visit visit) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        visit(c);
    }
}

} // namespace

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](char32_t c) { AppendUtf8(out, c); });
    return out;
}

std::u16string Utf8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        AppendUtf16(out, DecodeUtf8(text, i));
    }
    return out;
}

std::string WideToCodePage(std::u16string_view text, int codePage) {
    CheckCodePage(codePage);
    if (IsSystemCodePage(codePage)) {
        return WideToUtf8(text);
    }
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](char32_t c) { out += WideToSingleByte(c, codePage); });
    return out;
}

std::u16string CodePageToWide(std::string_view bytes, int codePage) {
    CheckCodePage(codePage);
    if (IsSystemCodePage(codePage)) {
        return Utf8ToWide(bytes);
    }
    std::u16string out;
    out.reserve(bytes.size());
    for (char byte : bytes) {
        out += SingleByteToWide(static_cast<unsigned char>(byte), codePage);
    }
    return out;
}

int SystemAnsiCodePage() {
    return kCodePageUtf8;
}

} // namespace qz
