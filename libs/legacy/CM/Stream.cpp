#include "Stream.h"

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

} // namespace qz
