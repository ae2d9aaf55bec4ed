// Throughput of the compressed-stream codec beside lz4 on the same 20 MiB of mixed text and
// binary data, cut into blocks of the compressed stream format. Both run in the same process,
// so compare the ratios, not the absolute figures. bytes_per_second counts uncompressed bytes;
// "ratio" is compressed size / uncompressed size.

#include "CM/QuickLZ.h"
#include "CM/RealTimeCompressStreams.h"

#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kDataSize = 20u << 20;
constexpr std::size_t kBlock = qz::kCompressBlockSize;

// Deterministic mix resembling saved build events: log text, random bytes, integer and float
// tables, fixed-size records, runs and copies of earlier stretches.
Bytes MakeMixedData() {
    std::mt19937 rng(1310);
    static const char* const words[] = {
        "compiling", "linking", "warning", "error", "source",    "object", "build",
        "agent",     "packet",  "stream",  "cache", "remote",    "local",  "finished",
        "the",       "of",      "to",      "and",   "in",        "task",   "C:/work/src/",
        ".cpp",      ".obj",    "(42):",   "ms",    "succeeded", "failed", "\r\n"};
    Bytes out;
    out.reserve(kDataSize + 70000);
    while (out.size() < kDataSize) {
        switch (rng() % 6) {
        case 0: // text lines
            for (int i = 0, n = 200 + rng() % 2000; i < n; ++i) {
                const char* w = words[rng() % std::size(words)];
                out.insert(out.end(), w, w + std::strlen(w));
                out.push_back(rng() % 9 == 0 ? '\n' : ' ');
            }
            break;
        case 1: // random bytes
            for (int i = 0, n = 200 + rng() % 20000; i < n; ++i) {
                out.push_back(static_cast<std::uint8_t>(rng()));
            }
            break;
        case 2: { // integer table with small increments
            std::uint32_t v = rng();
            for (int i = 0, n = 100 + rng() % 1500; i < n; ++i) {
                v += rng() % 300;
                const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
                out.insert(out.end(), p, p + 4);
            }
            break;
        }
        case 3: { // float table
            double x = rng() % 1000;
            for (int i = 0, n = 100 + rng() % 800; i < n; ++i) {
                x += (rng() % 100) / 16.0;
                const auto* p = reinterpret_cast<const std::uint8_t*>(&x);
                out.insert(out.end(), p, p + 8);
            }
            break;
        }
        case 4: { // records: fixed layout, a few varying fields, zero padding
            for (int i = 0, n = 20 + rng() % 200; i < n; ++i) {
                std::uint8_t record[48] = {0x4E, 0x56, 0x01, 0x00};
                const std::uint32_t id = static_cast<std::uint32_t>(i);
                const std::uint32_t time = rng() % 100000;
                std::memcpy(record + 4, &id, 4);
                std::memcpy(record + 8, &time, 4);
                record[12 + rng() % 8] = static_cast<std::uint8_t>(rng());
                out.insert(out.end(), record, record + sizeof record);
            }
            break;
        }
        default: // runs, and copies of earlier data at near and far distances
            if (rng() % 3 == 0 || out.size() < 1000) {
                out.insert(out.end(), 10 + rng() % 3000, static_cast<std::uint8_t>(rng() % 4));
            } else {
                const std::size_t back = 1 + rng() % std::min<std::size_t>(out.size(), 120000);
                const std::size_t n = std::min<std::size_t>(20 + rng() % 3000, back);
                const std::size_t from = out.size() - back;
                for (std::size_t i = 0; i < n; ++i) {
                    out.push_back(out[from + i]);
                }
            }
        }
    }
    out.resize(kDataSize);
    return out;
}

const Bytes& Data() {
    static const Bytes data = MakeMixedData();
    return data;
}

struct Compressed {
    std::vector<Bytes> blocks;
    std::size_t total = 0;
};

template <typename CompressOne>
Compressed CompressAll(CompressOne compressOne) {
    const Bytes& data = Data();
    Compressed result;
    for (std::size_t at = 0; at < data.size(); at += kBlock) {
        const std::size_t n = std::min(kBlock, data.size() - at);
        result.blocks.push_back(compressOne(data.data() + at, n));
        result.total += result.blocks.back().size();
    }
    return result;
}

Bytes QlzCompressOne(const std::uint8_t* p, std::size_t n) {
    Bytes out(n + qz::qlz::kCompressOverhead);
    out.resize(qz::qlz::Compress(p, n, out.data(), out.size()));
    return out;
}

Bytes Lz4CompressOne(const std::uint8_t* p, std::size_t n) {
    Bytes out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(n))));
    out.resize(static_cast<std::size_t>(
        LZ4_compress_default(reinterpret_cast<const char*>(p), reinterpret_cast<char*>(out.data()),
                             static_cast<int>(n), static_cast<int>(out.size()))));
    return out;
}

void Report(benchmark::State& state, std::size_t compressedTotal) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Data().size()));
    state.counters["ratio"] =
        static_cast<double>(compressedTotal) / static_cast<double>(Data().size());
}

void BM_QuickLZCompress(benchmark::State& state) {
    Bytes out(kBlock + qz::qlz::kCompressOverhead);
    const Bytes& data = Data();
    std::size_t total = 0;
    for (auto _ : state) {
        total = 0;
        for (std::size_t at = 0; at < data.size(); at += kBlock) {
            total += qz::qlz::Compress(data.data() + at, std::min(kBlock, data.size() - at),
                                       out.data(), out.size());
        }
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, total);
}

void BM_QuickLZDecompress(benchmark::State& state) {
    const Compressed compressed = CompressAll(QlzCompressOne);
    Bytes out(kBlock);
    for (auto _ : state) {
        for (const Bytes& block : compressed.blocks) {
            benchmark::DoNotOptimize(
                qz::qlz::Decompress(block.data(), block.size(), out.data(), out.size()));
        }
        benchmark::ClobberMemory();
    }
    Report(state, compressed.total);
}

void BM_Lz4Compress(benchmark::State& state) {
    Bytes out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(kBlock))));
    const Bytes& data = Data();
    std::size_t total = 0;
    for (auto _ : state) {
        total = 0;
        for (std::size_t at = 0; at < data.size(); at += kBlock) {
            total += static_cast<std::size_t>(
                LZ4_compress_default(reinterpret_cast<const char*>(data.data() + at),
                                     reinterpret_cast<char*>(out.data()),
                                     static_cast<int>(std::min(kBlock, data.size() - at)),
                                     static_cast<int>(out.size())));
        }
        benchmark::DoNotOptimize(out.data());
    }
    Report(state, total);
}

void BM_Lz4Decompress(benchmark::State& state) {
    const Compressed compressed = CompressAll(Lz4CompressOne);
    Bytes out(kBlock);
    for (auto _ : state) {
        for (const Bytes& block : compressed.blocks) {
            benchmark::DoNotOptimize(LZ4_decompress_safe(
                reinterpret_cast<const char*>(block.data()), reinterpret_cast<char*>(out.data()),
                static_cast<int>(block.size()), static_cast<int>(out.size())));
        }
        benchmark::ClobberMemory();
    }
    Report(state, compressed.total);
}

// The codec's round trip is checked once, so a fast but wrong build cannot report figures.
[[maybe_unused]] const bool kChecked = [] {
    const Compressed compressed = CompressAll(QlzCompressOne);
    Bytes back(kBlock);
    std::size_t at = 0;
    for (const Bytes& block : compressed.blocks) {
        const std::size_t n = qz::qlz::Decompress(block.data(), block.size(), back.data(), kBlock);
        if (std::memcmp(back.data(), Data().data() + at, n) != 0) {
            std::fprintf(stderr, "round trip failed at %zu\n", at);
            std::abort();
        }
        at += n;
    }
    return at == Data().size();
}();

} // namespace

BENCHMARK(BM_QuickLZCompress)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Lz4Compress)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QuickLZDecompress)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Lz4Decompress)->Unit(benchmark::kMillisecond)->MinTime(2.0);
