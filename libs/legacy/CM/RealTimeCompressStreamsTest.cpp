#include "RealTimeCompressStreams.h"

#include "CmTestSupport.h"
#include "Exceptions.h"
#include "QuickLZ.h"
#include "StreamUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace qz {
namespace {

using test::MessageOf;

using Bytes = std::vector<std::uint8_t>;

// A memory stream that counts the bytes read from it.
class MemoryStream : public TVirtualStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(const Bytes& data) { Replace(data); }

    void Replace(const Bytes& data) {
        SetContent({reinterpret_cast<const char*>(data.data()), data.size()});
    }

    std::int64_t Read(void* buffer, std::int64_t count) override {
        std::int64_t n = TVirtualStream::Read(buffer, count);
        bytesRead += n;
        return n;
    }
    Bytes data() const {
        std::string_view view = View();
        return Bytes(view.begin(), view.end());
    }

    std::int64_t bytesRead = 0;
};

Bytes Mixed(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const unsigned kind = rng() % 3;
        const std::size_t n = rng() % 2000 + 1;
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(kind == 0   ? static_cast<std::uint8_t>(rng())
                          : kind == 1 ? static_cast<std::uint8_t>("sdc stream text "[i % 16])
                                      : static_cast<std::uint8_t>(i / 64));
        }
    }
    out.resize(size);
    return out;
}

Bytes Compressed(const Bytes& input) {
    MemoryStream source(input);
    MemoryStream destination;
    const std::int64_t written = CompressToStream(source, static_cast<std::int64_t>(input.size()),
                                                  destination, kCompressFormatQuickLZ131);
    EXPECT_EQ(written, destination.Size());
    return destination.data();
}

std::int32_t Le32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return static_cast<std::int32_t>(v);
}

void Put32(Bytes& b, std::size_t at, std::int32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

Bytes ReadAll(TStream& stream, std::int64_t chunk) {
    Bytes out;
    Bytes buffer(static_cast<std::size_t>(chunk));
    for (;;) {
        const std::int64_t n = stream.Read(buffer.data(), chunk);
        if (n == 0) {
            return out;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
}

std::string OpenError(Bytes data, std::int64_t start = 0, std::int64_t length = -1) {
    return MessageOf([&] { TDecompressStream(new MemoryStream(data), start, 1, true, length); });
}

// Three blocks: two full ones and a short last one, shared by several tests.
const Bytes& ThreeBlockInput() {
    static const Bytes input = Mixed(2 * kCompressBlockSize + 70000, 3);
    return input;
}
const Bytes& ThreeBlockStream() {
    static const Bytes stream = Compressed(ThreeBlockInput());
    return stream;
}

TEST(CompressToStream, EmptySourceWritesTheHeaderAlone) {
    const Bytes stream = Compressed({});
    const Bytes expected = {'s', 'd', 'c', '2', 3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(stream, expected);
    TDecompressStream reader(new MemoryStream(stream), 0, 1, true);
    EXPECT_EQ(reader.Size(), 0);
    std::uint8_t byte;
    EXPECT_EQ(reader.Read(&byte, 1), 0);
}

TEST(CompressToStream, OneByteOverABlockMakesASecondBlock) {
    const Bytes input = Mixed(kCompressBlockSize + 1, 1);
    const Bytes stream = Compressed(input);
    EXPECT_EQ(Le32(stream, 8), kCompressBlockSize + 1);
    const std::int32_t first = Le32(stream, 12);
    EXPECT_EQ(Le32(stream, 16), kCompressBlockSize);
    const std::size_t second = 12 + 4 + static_cast<std::size_t>(first);
    EXPECT_EQ(Le32(stream, second + 4), 1);
    EXPECT_EQ(second + 4 + static_cast<std::size_t>(Le32(stream, second)), stream.size());
    // The block record holds exactly the codec's block.
    EXPECT_EQ(qlz::SizeCompressed(stream.data() + 20, stream.size() - 20),
              static_cast<std::size_t>(first - 4));

    TDecompressStream reader(new MemoryStream(stream), 0, 1, true);
    EXPECT_EQ(reader.BlockCount(), 2u);
    EXPECT_TRUE(ReadAll(reader, 65536) == input);
}

TEST(CompressToStream, WritesAtTheDestinationPositionAndReadsFromTheSourcePosition) {
    const Bytes input = Mixed(5000, 2);
    MemoryStream source(input);
    source.SetPosition(1000);
    MemoryStream destination(Bytes(7, 0xEE));
    destination.Seek(0, SeekOrigin::End);
    const std::int64_t written =
        CompressToStream(source, 3000, destination, kCompressFormatQuickLZ131);
    EXPECT_EQ(destination.Size(), 7 + written);
    EXPECT_EQ(source.Position(), 4000);

    Bytes stored = destination.data();
    stored.insert(stored.end(), {1, 2, 3}); // bytes after the compressed data
    auto* holder = new MemoryStream(stored);
    TDecompressStream reader(holder, 7, 1, true, written);
    EXPECT_TRUE(ReadAll(reader, 999) == Bytes(input.begin() + 1000, input.begin() + 4000));
}

TEST(CompressToStream, RefusesBadArguments) {
    MemoryStream source(Bytes(100, 'x'));
    MemoryStream destination;
    EXPECT_EQ(MessageOf([&] { CompressToStream(source, 100, destination, 2); }),
              "Unknown compression format (2)");
    EXPECT_EQ(MessageOf([&] { CompressToStream(source, 101, destination, 3); }),
              "Compression error: Input buffer is smaller than expected.");
    EXPECT_EQ(destination.Size(), 0);

    std::uint8_t output[500];
    EXPECT_EQ(MessageOf([&] { CompressBlock(output, 100, output, 503, 3); }),
              "Compression error: Output buffer is too small. 503 provided, 504 required.");
    EXPECT_EQ(MessageOf([&] { CompressBlock(output, 10, output + 20, 480, 1); }),
              "Unknown compression format (1)");
    EXPECT_EQ(CompressBlock(output, 0, output, 404, 3), 4);
}

TEST(TDecompressStream, ReadsSequentiallyAndAtRandom) {
    const Bytes& input = ThreeBlockInput();
    auto* source = new MemoryStream(ThreeBlockStream());
    TDecompressStream reader(source, 0, 1, true);
    EXPECT_EQ(reader.Signature(), "sdc2");
    EXPECT_EQ(reader.BlockCount(), 3u);
    EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(input.size()));

    // Sequential reads decompress each block once: the source is read once more, not per read.
    const std::int64_t indexing = source->bytesRead;
    EXPECT_TRUE(ReadAll(reader, 4093) == input);
    EXPECT_EQ(source->bytesRead - indexing,
              static_cast<std::int64_t>(ThreeBlockStream().size()) - 12);

    std::mt19937 rng(5);
    Bytes buffer(300000);
    for (int i = 0; i < 40; ++i) {
        const std::int64_t at = rng() % (input.size() + 10);
        const std::int64_t n = rng() % buffer.size();
        EXPECT_EQ(reader.Seek(at, SeekOrigin::Begin), at);
        const std::int64_t expected =
            std::max<std::int64_t>(0, std::min<std::int64_t>(n, input.size() - at));
        ASSERT_EQ(reader.Read(buffer.data(), n), expected);
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + expected, input.begin() + at));
        EXPECT_EQ(reader.Position(), at + expected);
    }
    EXPECT_EQ(reader.Seek(-2, SeekOrigin::End), reader.Size() - 2);
    EXPECT_EQ(reader.Seek(1, SeekOrigin::Current), reader.Size() - 1);
    EXPECT_EQ(reader.Seek(-5, SeekOrigin::Begin), -5);
    EXPECT_EQ(reader.Read(buffer.data(), 10), 0);

    EXPECT_EQ(MessageOf([&] { reader.Write("x", 1); }), "Cannot write to decompressed stream.");
    EXPECT_EQ(MessageOf([&] { reader.SetSize(0); }), "Cannot write to decompressed stream.");
}

TEST(TDecompressStream, RandomAccessToTheLastBlockTouchesOnlyThatBlock) {
    Bytes stream = ThreeBlockStream();
    // Damage the data of the first two blocks (not their sizes).
    const std::size_t second = 12 + 4 + static_cast<std::size_t>(Le32(stream, 12));
    std::fill(stream.begin() + 24, stream.begin() + 200, 0xFF);
    std::fill(stream.begin() + second + 12, stream.begin() + second + 200, 0xFF);
    TDecompressStream reader(new MemoryStream(stream), 0, 2, true);

    std::uint8_t byte = 0;
    reader.Seek(-1, SeekOrigin::End);
    ASSERT_EQ(reader.Read(&byte, 1), 1);
    EXPECT_EQ(byte, ThreeBlockInput().back());

    // The damaged block fails; the stream stays usable.
    reader.SetPosition(10);
    EXPECT_EQ(MessageOf([&] {
                  reader.Read(&byte, 1);
              }).rfind("QuickLZ 1.31 decompression has failed\r\nDamaged QuickLZ block", 0),
              0u);
    reader.Seek(-1, SeekOrigin::End);
    ASSERT_EQ(reader.Read(&byte, 1), 1);
    EXPECT_EQ(byte, ThreeBlockInput().back());
}

TEST(TDecompressStream, OpensAStreamWhoseLastBlockIsBeingWritten) {
    const Bytes& input = ThreeBlockInput();
    Bytes stream = ThreeBlockStream();
    const std::size_t third =
        12 + 8 + static_cast<std::size_t>(Le32(stream, 12)) +
        static_cast<std::size_t>(Le32(stream, 16 + static_cast<std::size_t>(Le32(stream, 12))));
    stream.resize(third + 4);
    Put32(stream, third, -1);
    for (std::size_t after = 0; after < 5; ++after) {
        Bytes partial = stream;
        partial.resize(third + 4 + after, 0x11);
        TDecompressStream reader(new MemoryStream(partial), 0, 1, true);
        EXPECT_EQ(reader.BlockCount(), 2u);
        ASSERT_EQ(reader.Size(), 2 * kCompressBlockSize);
        reader.Seek(-3, SeekOrigin::End);
        EXPECT_TRUE(ReadAll(reader, 100) == Bytes(input.begin() + 2 * kCompressBlockSize - 3,
                                                  input.begin() + 2 * kCompressBlockSize));
    }
    stream.resize(third + 9, 0x11);
    EXPECT_EQ(OpenError(stream), "Decompression error: Invalid source block size.");
}

TEST(TDecompressStream, AcceptsTheOlderAndTheWideHeader) {
    const Bytes input = Mixed(3000, 4);
    Bytes stream = Compressed(input);
    stream[3] = '1';
    TDecompressStream v1(new MemoryStream(stream), 0, 1, true);
    EXPECT_TRUE(ReadAll(v1, 512) == input);

    Bytes wide = stream;
    wide[3] = '3';
    wide.insert(wide.begin() + 12, {0, 0, 0, 0});
    TDecompressStream v3(new MemoryStream(wide), 0, 1, true);
    EXPECT_EQ(v3.Signature(), "sdc3");
    EXPECT_TRUE(ReadAll(v3, 512) == input);
    wide[12] = 1; // total 2^32 + 3000: the blocks no longer add up
    EXPECT_EQ(OpenError(wide),
              "Decompression error: Output buffer size does not match total size of source "
              "blocks.");

    stream[3] = '4';
    EXPECT_EQ(OpenError(stream), "Decompression error: Header contains an invalid signature.");
    EXPECT_EQ(OpenError({'s', 'd'}), "Decompression error: Header contains an invalid signature.");
}

TEST(TDecompressStream, DamagedStreamsRaiseTheirMessages) {
    const Bytes input = Mixed(100000, 6);
    const Bytes stream = Compressed(input);
    const std::string invalidSize = "Decompression error: Invalid source block size.";
    const std::string totalMismatch =
        "Decompression error: Output buffer size does not match total size of source blocks.";

    EXPECT_EQ(OpenError(Bytes(stream.begin(), stream.begin() + 8)), "Stream read error");
    EXPECT_EQ(OpenError(Bytes(stream.begin(), stream.begin() + 14)), invalidSize);
    EXPECT_EQ(OpenError(Bytes(stream.begin(), stream.end() - 1)), invalidSize);
    EXPECT_EQ(OpenError(Bytes(stream.begin(), stream.begin() + 12)), totalMismatch);

    Bytes forged = stream;
    Put32(forged, 8, 100001);
    EXPECT_EQ(OpenError(forged), totalMismatch);
    Put32(forged, 8, -1);
    EXPECT_EQ(OpenError(forged), totalMismatch);

    forged = stream; // record size beyond the data
    Put32(forged, 12, Le32(stream, 12) + 1);
    EXPECT_EQ(OpenError(forged), invalidSize);
    Put32(forged, 12, 0x7FFFFFFF);
    EXPECT_EQ(OpenError(forged), invalidSize);
    Put32(forged, 12, -2);
    EXPECT_EQ(OpenError(forged), invalidSize);

    forged = stream; // an uncompressed size no writer makes would need a huge buffer
    Put32(forged, 16, 0x7FFFFFF0);
    Put32(forged, 8, 0x7FFFFFF0);
    EXPECT_EQ(OpenError(forged), invalidSize);

    forged = stream; // the block record disagrees with the codec's block
    Put32(forged, 16, 100001);
    Put32(forged, 8, 100001);
    TDecompressStream mismatch(new MemoryStream(forged), 0, 1, true);
    std::uint8_t byte;
    EXPECT_EQ(MessageOf([&] { mismatch.Read(&byte, 1); }),
              "Decompression error: Output buffer size mismatch.");

    forged = stream; // an unknown format is found when a block is read
    forged[4] = 5;
    TDecompressStream unknown(new MemoryStream(forged), 0, 1, true);
    EXPECT_EQ(MessageOf([&] { unknown.Read(&byte, 1); }), "Unknown compression format (5)");
}

TEST(TDecompressStream, ASourceThatChangedAfterOpeningIsReported) {
    const Bytes input = Mixed(50000, 7);
    auto* source = new MemoryStream(Compressed(input));
    TDecompressStream reader(source, 0, 1, false);
    std::unique_ptr<MemoryStream> owner(source);
    const std::int32_t stored = Le32(source->data(), 12);
    std::uint8_t byte;

    Bytes changed = source->data();
    Put32(changed, 12, stored + 1);
    source->Replace(changed);
    EXPECT_EQ(MessageOf([&] { reader.Read(&byte, 1); }),
              "Decompression error: Part has an invalid source block size.");
    Put32(changed, 12, stored);
    changed.resize(changed.size() - 10);
    source->Replace(changed);
    EXPECT_EQ(MessageOf([&] { reader.Read(&byte, 1); }),
              "Decompression error: Input buffer is smaller than expected.");
}

TEST(DecompressBlock, ChecksTheOutputBuffer) {
    const Bytes input = Mixed(1000, 8);
    Bytes record(1000 + kCompressBlockOverhead);
    record.resize(CompressBlock(input.data(), 1000, record.data(),
                                static_cast<std::int64_t>(record.size()), 3));
    Bytes output(1000);
    EXPECT_EQ(MessageOf([&] {
                  DecompressBlock(record.data(), static_cast<std::int64_t>(record.size()),
                                  output.data(), 999, 3);
              }),
              "Decompression error: Output buffer is too small. 999 provided, 1000 required.");
    EXPECT_EQ(DecompressBlock(record.data(), static_cast<std::int64_t>(record.size()),
                              output.data(), 1000, 3),
              1000);
    EXPECT_TRUE(output == input);
}

TEST(TDecompressStreamAdapter, ForwardsSizeAndPosition) {
    const Bytes input = Mixed(70000, 9);
    TDecompressStreamAdapter adapter(
        std::make_unique<TDecompressStream>(new MemoryStream(Compressed(input)), 0, 1, true));
    EXPECT_EQ(adapter.Size64(), 70000);
    adapter.SetPosition64(69990);
    EXPECT_EQ(adapter.Position64(), 69990);
    EXPECT_TRUE(ReadAll(adapter, 7) == Bytes(input.end() - 10, input.end()));
    EXPECT_EQ(MessageOf([&] { adapter.Write("x", 1); }), "Cannot write to decompressed stream.");
}

} // namespace
} // namespace qz
