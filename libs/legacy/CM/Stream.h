#pragma once

// The byte-stream interface shared by files, memory, mapped files, compressed data and shared
// memory: read, write, seek, size, set size, and exact forms that fail on a short transfer.

#include <cstdint>
#include <string>

namespace qz {

enum class SeekOrigin { Begin, Current, End };

/// Where a seek by offset from origin lands in a stream at position holding size bytes; not
/// clamped (each stream decides what a position before the start means).
constexpr std::int64_t SeekTarget(std::int64_t offset, SeekOrigin origin, std::int64_t position,
                                  std::int64_t size) {
    return offset + (origin == SeekOrigin::Begin     ? 0
                     : origin == SeekOrigin::Current ? position
                                                     : size);
}

class TStream {
public:
    virtual ~TStream() = default;

    /// Reads up to count bytes; returns how many were read (0 at the end).
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    /// Writes up to count bytes; returns how many were written.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    /// Moves the position; returns the new position.
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
    /// Changes the size; the position is clamped to the new size.
    virtual void SetSize(std::int64_t size) = 0;

    virtual std::int64_t Size() {
        std::int64_t position = Seek(0, SeekOrigin::Current);
        std::int64_t size = Seek(0, SeekOrigin::End);
        Seek(position, SeekOrigin::Begin);
        return size;
    }
    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Begin); }

    /// Reads exactly count bytes or raises "Stream read error".
    void ReadBuffer(void* buffer, std::int64_t count);
    /// Writes exactly count bytes or raises "Stream write error".
    void WriteBuffer(const void* buffer, std::int64_t count);

    /// Copies count bytes from source (all of it from its start when count is 0); returns the
    /// number copied.
    std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

/// The compact count: n < 128 as one byte n*2; otherwise four bytes, little-endian, n*2+1.
/// n must be >= 0.
void WriteCompactCount(TStream& stream, std::int32_t n);
/// Reads one byte; when its lowest bit is set, three more bytes as the upper bytes of a
/// little-endian 32-bit value; the result is that value shifted right by one.
std::int32_t ReadCompactCount(TStream& stream);
/// The compact word: n in 0..32767; n < 128 as one byte n*2, otherwise two bytes, little-endian,
/// n*2+1.
void WriteCompactWord(TStream& stream, std::int32_t n);
/// Reads a compact word.
std::int32_t ReadCompactWord(TStream& stream);

} // namespace qz
