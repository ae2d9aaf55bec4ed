#pragma once

// How a packet holds its field values, shared by the units that implement Packets.h (the packet
// core, its encoding and its text dump). Not for use outside them.

#include "Packets.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qz::packet_detail {

// Packets are encoded into memory streams that grow in steps of up to 1 MB.
constexpr std::uint16_t kPacketStreamOptions = VirtualStreamOption::Step1M;

inline std::unique_ptr<TVirtualStream> NewBlob() {
    return std::make_unique<TVirtualStream>(kPacketStreamOptions);
}

enum ValueIndex {
    vInt,
    vDouble,
    vString,
    vWide,
    vGuid,
    vStrings,
    vList,
    vPacket,
    vBlob,
    vIntList,
    vInt64List
};

// The stored (raw) form of an integer-like value: truncated to the field's width; Integer and
// CompactInt keep their sign, Int64 all of it.
inline std::int64_t Truncate(TValueType type, int size, std::int64_t value) {
    switch (type) {
    case TValueType::Integer:
    case TValueType::CompactInt:
        return static_cast<std::int32_t>(value);
    case TValueType::Cardinal:
    case TValueType::Handle:
        return static_cast<std::uint32_t>(value);
    case TValueType::Int8:
    case TValueType::Enum:
    case TValueType::RawEnum:
        return static_cast<std::uint8_t>(value);
    case TValueType::Word:
        return static_cast<std::uint16_t>(value);
    case TValueType::Boolean:
        return value != 0 ? 1 : 0;
    case TValueType::Set:
        return size >= 8 ? value
                         : static_cast<std::int64_t>(static_cast<std::uint64_t>(value) &
                                                     ((std::uint64_t{1} << (size * 8)) - 1));
    default:
        return value;
    }
}

// The value as a signed number (Int8 sign-extended).
inline std::int64_t Interpret(TValueType type, std::int64_t raw) {
    if (type == TValueType::Int8) {
        return static_cast<std::int8_t>(static_cast<std::uint8_t>(raw));
    }
    return raw;
}

inline bool IsIntegerLike(TValueType type) {
    switch (type) {
    case TValueType::Integer:
    case TValueType::Cardinal:
    case TValueType::Int8:
    case TValueType::Word:
    case TValueType::Int64:
    case TValueType::CompactInt:
    case TValueType::Handle:
    case TValueType::Boolean:
    case TValueType::Enum:
    case TValueType::RawEnum:
    case TValueType::Set:
        return true;
    default:
        return false;
    }
}

// The general floating format with 4 significant digits (the dump's and the text accessor's).
std::string FloatGeneral4(double value);

} // namespace qz::packet_detail
