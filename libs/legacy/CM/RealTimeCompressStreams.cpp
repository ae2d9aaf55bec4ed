#include "RealTimeCompressStreams.h"

#include "ByteOrder.h"
#include "Exceptions.h"
#include "QuickLZ.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qz {
namespace {

constexpr std::int64_t kHeaderSize = 12;
constexpr std::int64_t kHeaderSize64 = 16;
// The writer's bound per block: the block's bytes + 404, plus 4 for its size field.
constexpr std::int64_t kBlockBound = kCompressBlockOverhead + 4;

std::int32_t GetInt32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(Load32(p));
}

void WriteInt32(TStream& stream, std::int32_t value) {
    std::uint8_t bytes[4];
    Store32(bytes, static_cast<std::uint32_t>(value));
    stream.WriteBuffer(bytes, 4);
}

// Reads up to count bytes, looping over short reads; returns how many arrived.
std::int64_t ReadFully(TStream& stream, void* buffer, std::int64_t count) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t n = stream.Read(bytes + done, count - done);
        if (n <= 0) {
            break;
        }
        done += n;
    }
    return done;
}

// The consumer was built for a library with these scratch areas; an own codec must still
// report settings that fit them.
void CheckCodecSettings() {
    if (qlz::GetSetting(1) >= 32785) {
        Raise("QuickLZ compression buffer size mismatch");
    }
    if (qlz::GetSetting(2) > 16) {
        Raise("QuickLZ decompression buffer size mismatch");
    }
}

void CheckFormat(int format) {
    if (format != kCompressFormatQuickLZ131) {
        Raise(Format("Unknown compression format (%d)", format));
    }
}

std::int64_t CompressedBound(std::int64_t count) {
    return (count / kCompressBlockSize) * (kCompressBlockSize + kBlockBound) +
           count % kCompressBlockSize + kBlockBound;
}

} // namespace

std::int64_t CompressToStream(TStream& source, std::int64_t count, TStream& destination,
                              int format) {
    if (count < 0 || count > std::numeric_limits<std::int32_t>::max()) {
        Raise(Format("Compression error: %d bytes do not fit in a compressed stream.", count));
    }
    // Checked before anything is written, so that no stream ever carries an unknown format.
    CheckFormat(format);
    if (source.Size() - source.Position() < count) {
        Raise("Compression error: Input buffer is smaller than expected.");
    }

    const std::int64_t start = destination.Position();
    std::uint8_t header[kHeaderSize] = {'s', 'd', 'c', '2'};
    Store32(header + 4, static_cast<std::uint32_t>(format));
    Store32(header + 8, static_cast<std::uint32_t>(count));
    destination.WriteBuffer(header, kHeaderSize);
    std::int64_t written = kHeaderSize;
    if (count == 0) {
        return written;
    }

    const auto firstBlock =
        static_cast<std::int32_t>(std::min<std::int64_t>(count, kCompressBlockSize));
    std::vector<std::uint8_t> input(static_cast<std::size_t>(firstBlock));
    std::vector<std::uint8_t> output(static_cast<std::size_t>(firstBlock) + kCompressBlockOverhead);
    std::int64_t remaining = count;
    while (remaining > 0) {
        const auto b =
            static_cast<std::int32_t>(std::min<std::int64_t>(remaining, kCompressBlockSize));
        if (ReadFully(source, input.data(), b) != b) {
            Raise("Compression error: Input buffer is smaller than expected.");
        }
        const std::int64_t sizeField = destination.Position();
        WriteInt32(destination, -1);
        const std::int32_t record = CompressBlock(input.data(), b, output.data(),
                                                  static_cast<std::int64_t>(output.size()), format);
        destination.WriteBuffer(output.data(), record);
        const std::int64_t blockEnd = destination.Position();
        destination.SetPosition(sizeField);
        WriteInt32(destination, record);
        destination.SetPosition(blockEnd);
        written += record + 4;
        remaining -= b;
    }
    if (destination.Position() - start - kHeaderSize > CompressedBound(count)) {
        Raise("Compression error: Output stream has grown larger than expected.");
    }
    return written;
}

std::int32_t CompressBlock(const void* input, std::int32_t u, void* output, std::int64_t outputSize,
                           int format) {
    QZ_ASSERT(u >= 0);
    const std::int64_t required = static_cast<std::int64_t>(u) + kCompressBlockOverhead;
    if (outputSize < required) {
        Raise(Format("Compression error: Output buffer is too small. %d provided, %d required.",
                     outputSize, required));
    }
    auto* out = static_cast<std::uint8_t*>(output);
    Store32(out, static_cast<std::uint32_t>(u));
    if (u == 0) {
        return 4;
    }
    CheckFormat(format);
    CheckCodecSettings();
    std::size_t compressed = 0;
    try {
        compressed = qlz::Compress(input, static_cast<std::size_t>(u), out + 4,
                                   static_cast<std::size_t>(outputSize - 4));
    } catch (...) {
        RaiseWithContext("QuickLZ 1.31 compression has failed");
    }
    if (compressed == 0) {
        Raise("QuickLZ 1.31 compression has returned an unspecified error");
    }
    const std::int64_t record = static_cast<std::int64_t>(compressed) + 4;
    if (record > outputSize) {
        Raise("Compression error: Output buffer overrun.");
    }
    return static_cast<std::int32_t>(record);
}

std::int32_t DecompressBlock(const void* input, std::int64_t inputSize, void* output,
                             std::int64_t outputSize, int format) {
    if (inputSize < 4) {
        Raise("Decompression error: Input buffer is smaller than expected.");
    }
    const auto* in = static_cast<const std::uint8_t*>(input);
    const std::int32_t u = GetInt32(in);
    if (u < 0 || u > outputSize) {
        Raise(Format("Decompression error: Output buffer is too small. %d provided, %d required.",
                     outputSize, u));
    }
    CheckFormat(format);
    CheckCodecSettings();
    std::size_t produced = 0;
    try {
        produced = qlz::Decompress(in + 4, static_cast<std::size_t>(inputSize - 4), output,
                                   static_cast<std::size_t>(outputSize));
    } catch (...) {
        RaiseWithContext("QuickLZ 1.31 decompression has failed");
    }
    if (produced != static_cast<std::size_t>(u)) {
        Raise("Decompression error: Output buffer size mismatch.");
    }
    return u;
}

TDecompressStream::TDecompressStream(TStream* source, std::int64_t start, int cachedBlocks,
                                     bool ownsSource, std::int64_t length)
    : ownedSource_(ownsSource ? source : nullptr), source_(source), start_(start),
      maxCached_(static_cast<std::size_t>(std::max(cachedBlocks, 1))) {
    QZ_ASSERT(source != nullptr);
    if (length < 0) {
        // The data runs to the end of the source, wherever the header starts.
        length = std::max<std::int64_t>(source_->Size() - start_, 0);
    }
    end_ = start_ + length;
    BuildIndex();
}

TDecompressStream::~TDecompressStream() = default;

void TDecompressStream::BuildIndex() {
    std::uint8_t header[kHeaderSize64] = {};
    if (end_ - start_ < 4) {
        Raise("Decompression error: Header contains an invalid signature.");
    }
    source_->SetPosition(start_);
    source_->ReadBuffer(header, 4);
    signature_.assign(reinterpret_cast<const char*>(header), 4);
    if (signature_ != "sdc1" && signature_ != "sdc2" && signature_ != "sdc3") {
        Raise("Decompression error: Header contains an invalid signature.");
    }
    const std::int64_t headerSize = signature_ == "sdc3" ? kHeaderSize64 : kHeaderSize;
    if (end_ - start_ < headerSize) {
        Raise("Stream read error");
    }
    source_->ReadBuffer(header + 4, headerSize - 4);
    format_ = header[4];
    headerTotal_ = signature_ == "sdc3"
                       ? static_cast<std::int64_t>(Load32(header + 8) |
                                                   (std::uint64_t(Load32(header + 12)) << 32))
                       : GetInt32(header + 8);

    std::int64_t position = start_ + headerSize;
    std::int64_t offset = 0;
    while (position < end_) {
        std::uint8_t fields[8];
        // A size field cut by the end of the data cannot be read.
        if (end_ - position < 4) {
            Raise("Decompression error: Invalid source block size.");
        }
        source_->SetPosition(position);
        source_->ReadBuffer(fields, 4);
        const std::int32_t stored = GetInt32(fields);
        const std::int64_t left = end_ - position - 4;
        if (stored < 0 && left < 5) {
            // The writer has only just begun this block; readers see the complete ones.
            size_ = offset;
            return;
        }
        // Each record must hold at least its uncompressed size; that size must be one a writer
        // can produce, so that no block asks for more memory than a block may take.
        if (stored < 4 || stored > left) {
            Raise("Decompression error: Invalid source block size.");
        }
        source_->ReadBuffer(fields + 4, 4);
        const std::int32_t u = GetInt32(fields + 4);
        if (u <= 0 || u > kCompressBlockSize) {
            Raise("Decompression error: Invalid source block size.");
        }
        blocks_.push_back(Block{offset, position, position + 4 + stored, u});
        offset += u;
        position += 4 + static_cast<std::int64_t>(stored);
    }
    if (offset != headerTotal_) {
        Raise("Decompression error: Output buffer size does not match total size of source "
              "blocks.");
    }
    size_ = offset;
}

const std::vector<std::uint8_t>& TDecompressStream::GetBlock(std::size_t number) {
    for (const CachedBlock& cached : cache_) {
        if (cached.number == number) {
            return cached.data;
        }
    }
    const Block& block = blocks_[number];
    const std::int64_t part = block.partEnd - block.position - 4;
    std::uint8_t field[4];
    source_->SetPosition(block.position);
    if (ReadFully(*source_, field, 4) != 4) {
        Raise("Decompression error: Input buffer is smaller than expected.");
    }
    const std::int32_t stored = GetInt32(field);
    if (stored < 0 || stored > part) {
        Raise("Decompression error: Part has an invalid source block size.");
    }
    std::vector<std::uint8_t> input(static_cast<std::size_t>(stored));
    if (ReadFully(*source_, input.data(), stored) != stored) {
        Raise("Decompression error: Input buffer is smaller than expected.");
    }
    std::vector<std::uint8_t> data(static_cast<std::size_t>(block.size));
    DecompressBlock(input.data(), stored, data.data(), block.size, format_);
    // Evicted only once the new block is good, so a failure leaves the cache as it was.
    if (cache_.size() >= maxCached_) {
        cache_.pop_back();
    }
    cache_.push_front(CachedBlock{number, std::move(data)});
    return cache_.front().data;
}

std::int64_t TDecompressStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0 || position_ < 0 || position_ >= size_) {
        return 0;
    }
    const std::int64_t n = std::min(count, size_ - position_);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::int64_t copied = 0;
    while (copied < n) {
        auto it = std::upper_bound(blocks_.begin(), blocks_.end(), position_,
                                   [](std::int64_t p, const Block& b) { return p < b.start; });
        const auto number = static_cast<std::size_t>(it - blocks_.begin() - 1);
        const Block& block = blocks_[number];
        const std::vector<std::uint8_t>& data = GetBlock(number);
        const std::int64_t offset = position_ - block.start;
        const std::int64_t k =
            std::min(n - copied, static_cast<std::int64_t>(data.size()) - offset);
        std::memcpy(out + copied, data.data() + offset, static_cast<std::size_t>(k));
        copied += k;
        position_ += k;
    }
    return copied;
}

std::int64_t TDecompressStream::Write(const void*, std::int64_t) {
    Raise("Cannot write to decompressed stream.");
}

std::int64_t TDecompressStream::Seek(std::int64_t offset, SeekOrigin origin) {
    position_ = SeekTarget(offset, origin, position_, size_);
    return position_;
}

void TDecompressStream::SetSize(std::int64_t) {
    Raise("Cannot write to decompressed stream.");
}

} // namespace qz
