#pragma once

// The block codec of the compressed stream format: QuickLZ 1.3.1 at compression level 1 with
// streaming off, compiled into the programs. Blocks it writes are read by every other component
// of the product; its decoder reads any block such a library writes and refuses damaged ones.
//
// Block layout: one flags byte (bit 0 compressed, bit 1 long header), then the block size r and
// the uncompressed size u, as 8-bit values when u < 216 and as 32-bit little-endian values
// otherwise; then the body (stored bytes, or control words with literals, matches and runs).
//
// All functions are pure and may be called from any thread at the same time.

#include <cstddef>
#include <cstdint>

namespace qz::qlz {

/// Room the destination of Compress must have beyond the input size.
inline constexpr std::size_t kCompressOverhead = 400;
/// The largest input Compress accepts.
inline constexpr std::uint64_t kMaxInput = 0xFFFFFFFFu;
/// Smallest possible block header (u < 216) and the long header.
inline constexpr std::size_t kShortHeaderSize = 3;
inline constexpr std::size_t kLongHeaderSize = 9;

/// Compresses size bytes of source into destination, which must hold size + kCompressOverhead
/// bytes (raises EAssertionFailed when destinationCapacity is smaller). Returns the block size r
/// (header included, 12 <= r <= size + 400); returns 0 and writes nothing when size is 0 or larger
/// than kMaxInput. The output depends only on the input.
std::size_t Compress(const void* source, std::size_t size, void* destination,
                     std::size_t destinationCapacity);

/// Decompresses the block at source, of which sourceSize bytes are readable, into destination
/// (destinationCapacity bytes). Returns the uncompressed size u stated by the block header.
/// Raises ERangeError when the block is damaged: unknown flag bits, a header or body running past
/// sourceSize or past the block size r, u larger than destinationCapacity, a match reaching before
/// the start of the output, or items that do not produce exactly u bytes. Never reads or writes
/// outside the two areas.
std::size_t Decompress(const void* source, std::size_t sourceSize, void* destination,
                       std::size_t destinationCapacity);

/// The block size r from a block header; raises ERangeError when fewer than the header's bytes
/// are available or the flags are not those of a level-1 block.
std::size_t SizeCompressed(const void* source, std::size_t available);

/// The uncompressed size u from a block header; raises as SizeCompressed.
std::size_t SizeDecompressed(const void* source, std::size_t available);

/// The settings of this codec as its library interface reports them: 0 level (1), 1 compression
/// scratch bytes (32784), 2 decompression scratch bytes (16), 3 streaming buffer (0), 4 runs
/// encoded (1), 5 incompressible shortcut (1), 6 memory-safe mode (0), 7..9 version 1, 3, 1;
/// -1 for any other number. Consumers compare 1 and 2 with the limits they were built for.
int GetSetting(int setting);

} // namespace qz::qlz
