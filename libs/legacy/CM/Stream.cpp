#include "Stream.h"

#include "ByteOrder.h"
#include "Exceptions.h"

#include <algorithm>
#include <vector>

namespace qz {

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    auto* bytes = static_cast<char*>(buffer);
    while (count > 0) {
        std::int64_t n = Read(bytes, count);
        if (n <= 0) {
            Raise("Stream read error");
        }
        bytes += n;
        count -= n;
    }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (count > 0) {
        std::int64_t n = Write(bytes, count);
        if (n <= 0) {
            Raise("Stream write error");
        }
        bytes += n;
        count -= n;
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<char> buffer(static_cast<size_t>(std::min<std::int64_t>(count, 1 << 20)));
    std::int64_t left = count;
    while (left > 0) {
        std::int64_t n = std::min<std::int64_t>(left, static_cast<std::int64_t>(buffer.size()));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

void WriteCompactCount(TStream& stream, std::int32_t n) {
    QZ_ASSERT(n >= 0);
    if (n < 128) {
        std::uint8_t b = static_cast<std::uint8_t>(n * 2);
        stream.WriteBuffer(&b, 1);
        return;
    }
    std::uint8_t bytes[4];
    Store32(bytes, static_cast<std::uint32_t>(n) * 2 + 1);
    stream.WriteBuffer(bytes, 4);
}

std::int32_t ReadCompactCount(TStream& stream) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    stream.ReadBuffer(bytes, 1);
    if ((bytes[0] & 1) == 0) {
        return bytes[0] >> 1;
    }
    stream.ReadBuffer(bytes + 1, 3);
    return static_cast<std::int32_t>(Load32(bytes) >> 1);
}

void WriteCompactWord(TStream& stream, std::int32_t n) {
    QZ_ASSERT(n >= 0 && n <= 32767);
    if (n < 128) {
        std::uint8_t b = static_cast<std::uint8_t>(n * 2);
        stream.WriteBuffer(&b, 1);
        return;
    }
    std::uint8_t bytes[2];
    Store16(bytes, static_cast<std::uint16_t>(n * 2 + 1));
    stream.WriteBuffer(bytes, 2);
}

std::int32_t ReadCompactWord(TStream& stream) {
    std::uint8_t bytes[2] = {0, 0};
    stream.ReadBuffer(bytes, 1);
    if ((bytes[0] & 1) == 0) {
        return bytes[0] >> 1;
    }
    stream.ReadBuffer(bytes + 1, 1);
    return static_cast<std::int32_t>(Load16(bytes) >> 1);
}

} // namespace qz
