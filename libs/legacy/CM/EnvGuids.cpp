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

// EnvUtils.h, GUIDs.

namespace qz {

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The first three fields are numbers written in the text's digit order.
TGuid GuidFromBytes(const std::uint8_t (&bytes)[16]) {
    TGuid guid;
    guid.Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                 (std::uint32_t(bytes[2]) << 8) | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = bytes[8 + i];
    }
    return guid;
}

} // namespace

TGuid NewGuid() {
    std::uint8_t bytes[16];
    platform::GenerateRandomUuid(bytes);
    return GuidFromBytes(bytes);
}

std::string GuidToText(const TGuid& guid) {
    const std::uint8_t* d = guid.Data4;
    return Format("{%.8X-%.4X-%.4X-%.2X%.2X-%.2X%.2X%.2X%.2X%.2X%.2X}", guid.Data1, guid.Data2,
                  guid.Data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

bool TextToGuid(std::string_view text, TGuid& guid) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') {
        return false;
    }
    std::string_view inner = text.substr(1, 36);
    std::uint8_t bytes[16];
    std::size_t byteIndex = 0;
    for (std::size_t i = 0; i < inner.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (inner[i] != '-') {
                return false;
            }
            ++i;
            continue;
        }
        int high = HexDigitValue(inner[i]);
        int low = HexDigitValue(inner[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[byteIndex++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    guid = GuidFromBytes(bytes);
    return true;
}

TGuid GuidFromText(std::string_view text) {
    TGuid guid;
    if (!TextToGuid(text, guid)) {
        Raise(Format("Invalid GUID text: %s", std::string(text)));
    }
    return guid;
}

bool TGuid::IsNull() const {
    return IsNullGuid(*this);
}

bool SameGuid(const TGuid& a, const TGuid& b) {
    return a == b;
}

bool IsNullGuid(const TGuid& guid) {
    return guid == TGuid{};
}

std::size_t TGuidHash::operator()(const TGuid& guid) const noexcept {
    std::uint64_t high =
        (std::uint64_t(guid.Data1) << 32) | (std::uint64_t(guid.Data2) << 16) | guid.Data3;
    std::uint64_t low = 0;
    for (std::uint8_t byte : guid.Data4) {
        low = (low << 8) | byte;
    }
    // Random GUIDs spread well already; mixing keeps structured ones apart too.
    std::uint64_t hash = high * 0x9E3779B97F4A7C15ull ^ low;
    hash ^= hash >> 29;
    return static_cast<std::size_t>(hash * 0xBF58476D1CE4E5B9ull);
}

} // namespace qz
