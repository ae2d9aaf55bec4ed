#include "Guid.h"

#include "Exceptions.h"

namespace qz {

namespace {

// Byte order of the text digits within the in-memory layout: the first three groups are
// little-endian numbers, the last eight bytes are stored as written.
constexpr int kTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

bool TGuid::IsNull() const {
    for (std::uint8_t b : bytes) {
        if (b != 0) {
            return false;
        }
    }
    return true;
}

std::string GuidToText(const TGuid& guid) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        std::uint8_t b = guid.bytes[kTextOrder[i]];
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    text += '}';
    return text;
}

TGuid TextToGuid(std::string_view text) {
    std::string_view body = text;
    if (body.size() == 38 && body.front() == '{' && body.back() == '}') {
        body = body.substr(1, 36);
    }
    TGuid guid;
    bool valid = body.size() == 36;
    int digit = 0;
    for (std::size_t i = 0; valid && i < body.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            valid = body[i] == '-';
            continue;
        }
        int value = HexValue(body[i]);
        if (value < 0) {
            valid = false;
            break;
        }
        std::uint8_t& b = guid.bytes[kTextOrder[digit / 2]];
        b = static_cast<std::uint8_t>((b << 4) | value);
        ++digit;
    }
    if (!valid) {
        Raise(Format("Invalid GUID text: %s", std::string(text)));
    }
    return guid;
}

} // namespace qz
