// Sequential write and read of 256 MiB through the mapped file stream and the virtual memory
// stream, each beside the plain calls on the same data in the same run: pwrite/pread on a file
// handle for the file streams, a growing std::vector and memcpy for the memory stream.

#include "StreamUtils.h"
#include "platform/File.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kTotal = std::int64_t(256) << 20;
constexpr std::size_t kChunk = 64 << 10;

// A temporary folder for the benchmark's files, removed when the program ends.
class BenchFolder {
public:
    BenchFolder() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("qzbench." + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~BenchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

BenchFolder& Folder() {
    static BenchFolder folder;
    return folder;
}

const std::vector<char>& Chunk() {
    static std::vector<char> chunk = [] {
        std::vector<char> bytes(kChunk);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = char(i * 131 + (i >> 9));
        }
        return bytes;
    }();
    return chunk;
}

void Done(benchmark::State& state) {
    state.SetBytesProcessed(state.iterations() * kTotal);
}

void PlainFileWrite(const std::string& name) {
    qz::platform::File file;
    qz::platform::FileOpenRequest request;
    request.access = qz::platform::FileAccess::ReadWrite;
    request.share = qz::platform::FileShare::None;
    request.disposition = qz::platform::FileDisposition::CreateAlways;
    if (!file.Open(name, request)) {
        throw std::runtime_error("cannot create " + name);
    }
    std::size_t done = 0;
    for (std::int64_t position = 0; position < kTotal; position += kChunk) {
        if (!file.WriteAt(position, Chunk().data(), kChunk, done)) {
            throw std::runtime_error("cannot write " + name);
        }
    }
}

void BM_PlainFileWrite(benchmark::State& state) {
    std::string name = Folder().File("plain.bin");
    for (auto _ : state) {
        PlainFileWrite(name);
    }
    Done(state);
}

void BM_MappedFileStreamWrite(benchmark::State& state) {
    std::string name = Folder().File("mapped.bin");
    for (auto _ : state) {
        qz::TMappedFileStream stream(name, qz::FileMode::Create);
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            stream.WriteBuffer(Chunk().data(), kChunk);
        }
    }
    Done(state);
}

void BM_PlainFileRead(benchmark::State& state) {
    std::string name = Folder().File("read.bin");
    PlainFileWrite(name);
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        qz::platform::File file;
        if (!file.Open(name, {})) {
            throw std::runtime_error("cannot open " + name);
        }
        std::size_t done = 0;
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            (void)file.ReadAt(position, buffer.data(), kChunk, done);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    Done(state);
}

void BM_MappedFileStreamRead(benchmark::State& state) {
    std::string name = Folder().File("read.bin");
    PlainFileWrite(name);
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        qz::TMappedFileStream stream(name, qz::FileMode::Read | qz::FileMode::ShareDenyWrite);
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            stream.ReadBuffer(buffer.data(), kChunk);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    Done(state);
}

void BM_PlainMemoryWrite(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<char> memory;
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            memory.insert(memory.end(), Chunk().begin(), Chunk().end());
        }
        benchmark::DoNotOptimize(memory.data());
    }
    Done(state);
}

void BM_VirtualStreamWrite(benchmark::State& state) {
    for (auto _ : state) {
        qz::TVirtualStream stream(std::uint16_t(state.range(0)));
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            stream.WriteBuffer(Chunk().data(), kChunk);
        }
        benchmark::DoNotOptimize(stream.Memory());
    }
    Done(state);
}

void BM_PlainMemoryRead(benchmark::State& state) {
    std::vector<char> memory(std::size_t(kTotal), 'x');
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            std::memcpy(buffer.data(), memory.data() + position, kChunk);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    Done(state);
}

void BM_VirtualStreamRead(benchmark::State& state) {
    qz::TVirtualStream stream;
    stream.SetSize(kTotal);
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        stream.SetPosition(0);
        for (std::int64_t position = 0; position < kTotal; position += kChunk) {
            stream.ReadBuffer(buffer.data(), kChunk);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    Done(state);
}

} // namespace

BENCHMARK(BM_PlainFileWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MappedFileStreamWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFileRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MappedFileStreamRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainMemoryWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
// Default options (64 KB steps) and the packet options (1 MB steps).
BENCHMARK(BM_VirtualStreamWrite)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainMemoryRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VirtualStreamRead)->Unit(benchmark::kMillisecond)->UseRealTime();
