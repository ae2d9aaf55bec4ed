// Fuzz target for the compressed-data readers: the QuickLZ block decoder and TDecompressStream.
// Any input must decode or raise one of the system's exceptions; a crash, hang, sanitizer report
// or an allocation that follows a forged size is a fault. The first byte picks the reader:
//   0..3    the block decoder on the rest, into buffers of several sizes;
//   4..5    compress the rest, then decode it again: the bytes must come back unchanged;
//   others  TDecompressStream over the rest, read in chunks and at positions the first bytes pick.

#include "CM/Exceptions.h"
#include "CM/QuickLZ.h"
#include "CM/RealTimeCompressStreams.h"
#include "CM/Stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class ByteStream : public qz::TStream {
public:
    ByteStream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::int64_t Read(void* buffer, std::int64_t count) override {
        if (position_ < 0 || position_ >= static_cast<std::int64_t>(size_) || count <= 0) {
            return 0;
        }
        const std::int64_t n = std::min<std::int64_t>(count, size_ - position_);
        std::memcpy(buffer, data_ + position_, static_cast<std::size_t>(n));
        position_ += n;
        return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, qz::SeekOrigin origin) override {
        position_ = origin == qz::SeekOrigin::Begin     ? offset
                    : origin == qz::SeekOrigin::Current ? position_ + offset
                                                        : static_cast<std::int64_t>(size_) + offset;
        return position_;
    }
    void SetSize(std::int64_t) override {}
    std::int64_t Size() override { return static_cast<std::int64_t>(size_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::int64_t position_ = 0;
};

void DecodeBlock(const std::uint8_t* data, std::size_t size, std::size_t capacity) {
    std::vector<std::uint8_t> out(capacity);
    try {
        const std::size_t u = qz::qlz::Decompress(data, size, out.data(), out.size());
        if (u > capacity) {
            std::abort();
        }
    } catch (const qz::Exception&) {
    }
}

void RoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    std::vector<std::uint8_t> block(size + qz::qlz::kCompressOverhead);
    const std::size_t r = qz::qlz::Compress(data, size, block.data(), block.size());
    if (r < 12 || r > size + qz::qlz::kCompressOverhead ||
        qz::qlz::SizeCompressed(block.data(), r) != r) {
        std::abort();
    }
    std::vector<std::uint8_t> back(size);
    if (qz::qlz::Decompress(block.data(), r, back.data(), back.size()) != size ||
        std::memcmp(back.data(), data, size) != 0) {
        std::abort();
    }
}

void ReadStream(const std::uint8_t* data, std::size_t size, std::uint8_t mode) {
    ByteStream source(data, size);
    try {
        qz::TDecompressStream reader(&source, 0, 1 + mode % 3, false);
        std::vector<std::uint8_t> buffer(65536);
        const std::int64_t total = reader.Size();
        if (total < 0) {
            std::abort();
        }
        // Sequential reads first, then a few positions derived from the input.
        std::int64_t seen = 0;
        for (;;) {
            std::int64_t n = 0;
            try {
                n = reader.Read(buffer.data(), 4000 + mode);
            } catch (const qz::Exception&) {
                break;
            }
            if (n < 0 || n > 4000 + mode) {
                std::abort();
            }
            if (n == 0) {
                break;
            }
            seen += n;
        }
        if (seen > total) {
            std::abort();
        }
        for (std::size_t i = 0; i + 4 <= std::min<std::size_t>(size, 32); i += 4) {
            std::uint32_t at;
            std::memcpy(&at, data + i, 4);
            reader.Seek(total > 0 ? at % (total + 2) : 0, qz::SeekOrigin::Begin);
            try {
                reader.Read(buffer.data(), static_cast<std::int64_t>(buffer.size()));
            } catch (const qz::Exception&) {
            }
        }
    } catch (const qz::Exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    ++data;
    --size;
    if (mode < 4) {
        DecodeBlock(data, size, 0);
        DecodeBlock(data, size, std::min<std::size_t>(size * 4 + 16, 1 << 20));
        try {
            const std::size_t u = qz::qlz::SizeDecompressed(data, size);
            if (u <= (1u << 22)) {
                DecodeBlock(data, size, u);
            }
        } catch (const qz::Exception&) {
        }
    } else if (mode < 6) {
        RoundTrip(data, size);
    } else {
        ReadStream(data, size, mode);
    }
    return 0;
}
