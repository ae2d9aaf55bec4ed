#pragma once

// The "sdc" compressed stream format used for large packets and saved event streams: a header
// ("sdc2", the compression format, the total uncompressed size) followed by independently
// compressed blocks of at most 2,064,384 uncompressed bytes, so that a reader can seek to any
// position and decompress only the blocks it touches.
//
//   header  "sdc1"/"sdc2": signature, format (low byte), total (signed 32-bit)     12 bytes
//           "sdc3":        signature, format, total (64-bit)                         16 bytes
//   block   stored size s (signed 32-bit; -1 while the block is being written),
//           uncompressed size u, then s - 4 bytes of QuickLZ 1.3.1 data of the u bytes
//
// The writer always writes sdc2; the reader accepts all three. All integers are little-endian.
// Nothing here is shared between threads: a stream belongs to the thread that uses it.

#include "Stream.h"
#include "StreamUtils.h" // TDecompressStreamAdapter, the 64-bit view readers use

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace qz {

/// The only compression format defined: QuickLZ 1.3.1.
inline constexpr int kCompressFormatQuickLZ131 = 3;
/// Uncompressed bytes of every block but the last.
inline constexpr std::int32_t kCompressBlockSize = 0x1F8000;
/// Extra room a compressed block may need beyond its uncompressed size.
inline constexpr std::int32_t kCompressBlockOverhead = 404;

/// Compresses count bytes of source, from its current position, into destination at its current
/// position, in the sdc2 layout with the given format (must be kCompressFormatQuickLZ131).
/// Returns the number of bytes written. Both streams are left after what was read and written.
/// Raises "Compression error: Input buffer is smaller than expected." when the source holds fewer
/// bytes, "Unknown compression format (%d)" for another format, "Compression error: Output stream
/// has grown larger than expected." when the output exceeds the format's bound, and whatever the
/// streams raise. A count beyond the signed 32-bit total of the sdc2 header is refused.
std::int64_t CompressToStream(TStream& source, std::int64_t count, TStream& destination,
                              int format);

/// Compresses one block of u bytes into output (outputSize bytes): u as 4 bytes, then the
/// QuickLZ data. Returns the record size (4 + the QuickLZ block size). Raises the writer's
/// "Compression error: ..." messages, "Unknown compression format (%d)" and "QuickLZ 1.31
/// compression has failed" with the inner message on a new line.
std::int32_t CompressBlock(const void* input, std::int32_t u, void* output, std::int64_t outputSize,
                           int format);

/// Decompresses a block record's data (u as 4 bytes, then the QuickLZ data; inputSize bytes in
/// all) into output (outputSize bytes); returns u. Raises "Decompression error: Output buffer is
/// too small. %d provided, %d required.", "Unknown compression format (%d)", "QuickLZ 1.31
/// decompression has failed" (inner message on a new line) and "Decompression error: Output
/// buffer size mismatch.".
std::int32_t DecompressBlock(const void* input, std::int64_t inputSize, void* output,
                             std::int64_t outputSize, int format);

/// A read-only stream over sdc data: reads decompress the blocks they touch, keeping the most
/// recently decompressed ones (first in, first out) so that sequential reads decompress each
/// block once. Positions and sizes are uncompressed ones.
class TDecompressStream : public TStream {
public:
    /// Reads the header at the absolute position start of source and indexes the blocks that
    /// follow, up to start + length (length < 0: to the end of the source). cachedBlocks is the
    /// number of decompressed blocks kept (at least 1). When ownsSource is set the stream frees
    /// the source on destruction (also when the constructor raises).
    /// Raises "Decompression error: Header contains an invalid signature.", "Decompression
    /// error: Invalid source block size.", "Decompression error: Output buffer size does not
    /// match total size of source blocks." and whatever reading the source raises. A last block
    /// whose size is still -1 with fewer than 5 bytes after it is one being written: the stream
    /// then exposes only the complete blocks.
    TDecompressStream(TStream* source, std::int64_t start, int cachedBlocks, bool ownsSource,
                      std::int64_t length = -1);
    ~TDecompressStream() override;
    TDecompressStream(const TDecompressStream&) = delete;
    TDecompressStream& operator=(const TDecompressStream&) = delete;

    /// Returns min(count, size - position) bytes; 0 at or after the end. Raises the block
    /// decompression messages of DecompressBlock and "Decompression error: Part has an invalid
    /// source block size." / "Decompression error: Input buffer is smaller than expected." when
    /// the source no longer holds the block; the stream stays usable after a failure.
    std::int64_t Read(void* buffer, std::int64_t count) override;
    /// Always raises "Cannot write to decompressed stream.".
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    /// Origin Begin, Current or End (End = the uncompressed size); any position may be set.
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    /// Always raises "Cannot write to decompressed stream.".
    void SetSize(std::int64_t size) override;
    /// The uncompressed size that can be read.
    std::int64_t Size() override { return size_; }

    /// The signature read from the header ("sdc1", "sdc2" or "sdc3").
    const std::string& Signature() const { return signature_; }
    /// The compression format of the header.
    int CompressionFormat() const { return format_; }
    /// The number of complete blocks.
    std::size_t BlockCount() const { return blocks_.size(); }

private:
    struct Block {
        std::int64_t start;    // uncompressed offset
        std::int64_t position; // of the size field in the source
        std::int64_t partEnd;  // where the next size field (or the data) ends
        std::int32_t size;     // uncompressed bytes
    };
    struct CachedBlock {
        std::size_t number;
        std::vector<std::uint8_t> data;
    };

    void BuildIndex();
    const std::vector<std::uint8_t>& GetBlock(std::size_t number);

    std::unique_ptr<TStream> ownedSource_;
    TStream* source_;
    std::int64_t start_;
    std::int64_t end_ = 0;
    std::string signature_;
    int format_ = 0;
    std::int64_t headerTotal_ = 0;
    std::vector<Block> blocks_;
    std::deque<CachedBlock> cache_;
    std::size_t maxCached_;
    std::int64_t position_ = 0;
    std::int64_t size_ = 0;
};

} // namespace qz
