// Packet encoding and decoding throughput: a context-framed stream of output events (the build
// event stream) and the header-framed build command. A plain copy of the same bytes is the
// baseline of each run.

#include "CM/BuildCommandPackets.h"
#include "CM/MonitorPackets.h"
#include "CM/Packets.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

constexpr int kEvents = 100000;

const bool g_registered = (qz::RegisterAllPacketClasses(), true);

std::vector<std::unique_ptr<qz::TMonitorEventOutputPacket>> MakeEvents() {
    std::vector<std::unique_ptr<qz::TMonitorEventOutputPacket>> events;
    for (int i = 0; i < kEvents; ++i) {
        auto event = std::make_unique<qz::TMonitorEventOutputPacket>();
        event->SetInt(qz::TMonitorEventOutputPacket::ms, i);
        event->SetStr(qz::TMonitorEventOutputPacket::Text, std::string(200, 'a' + i % 26));
        event->SetInt(qz::TMonitorEventOutputPacket::TaskID, i % 64);
        events.push_back(std::move(event));
    }
    return events;
}

std::string
EncodeEvents(const std::vector<std::unique_ptr<qz::TMonitorEventOutputPacket>>& events) {
    qz::TVirtualStream stream;
    qz::TPacketSaveContext context;
    for (const auto& event : events) {
        event->SaveToStream(stream, &context);
    }
    return stream.AsString();
}

void EncodeOutputEvents(benchmark::State& state) {
    auto events = MakeEvents();
    // One target stream for all runs, as a writer appends to one event stream: the figure is the
    // encoder's, not the allocator's.
    qz::TVirtualStream stream(qz::VirtualStreamOption::Step1M |
                              qz::VirtualStreamOption::KeepMemory);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        stream.SetSize(0);
        qz::TPacketSaveContext context;
        for (const auto& event : events) {
            event->SaveToStream(stream, &context);
        }
        bytes += stream.Size();
        benchmark::DoNotOptimize(stream.Memory());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(EncodeOutputEvents)->Unit(benchmark::kMillisecond);

void DecodeOutputEvents(benchmark::State& state) {
    std::string encoded = EncodeEvents(MakeEvents());
    // One source stream for all runs: the figure is the decoder's, not that of taking fresh
    // memory for the input each time.
    qz::TVirtualStream stream;
    stream.SetContent(encoded);
    for (auto _ : state) {
        stream.SetPosition(0);
        qz::TPacketLoadContext context;
        for (int i = 0; i < kEvents; ++i) {
            auto event = qz::TPacket::CreateFromStream(stream, &context);
            benchmark::DoNotOptimize(event.get());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(encoded.size()));
}
BENCHMARK(DecodeOutputEvents)->Unit(benchmark::kMillisecond);

// Baseline: copying the encoded event stream in 200-byte pieces, the cost of the bytes alone.
void CopyEventBytesBaseline(benchmark::State& state) {
    std::string encoded = EncodeEvents(MakeEvents());
    std::string target(encoded.size(), '\0');
    for (auto _ : state) {
        for (std::size_t at = 0; at < encoded.size(); at += 200) {
            std::size_t n = std::min<std::size_t>(200, encoded.size() - at);
            std::memcpy(target.data() + at, encoded.data() + at, n);
        }
        benchmark::DoNotOptimize(target.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(encoded.size()));
}
BENCHMARK(CopyEventBytesBaseline)->Unit(benchmark::kMillisecond);

std::unique_ptr<qz::TBuildCommandPacket> MakeCommand() {
    auto made = std::make_unique<qz::TBuildCommandPacket>();
    qz::TBuildCommandPacket& command = *made;
    command.SetStr(qz::TBuildCommandPacket::Command, std::string(300, 'c'));
    command.SetStr(qz::TBuildCommandPacket::EnvBlock, std::string(4000, 'e'));
    command.SetStr(qz::TBuildCommandPacket::SlnConsoleCommandLine, std::string(200, 's'));
    for (int i = 0; i < 20; ++i) {
        command.Strings(qz::TBuildCommandPacket::ForcedEnv)
            .Add("NAME" + std::to_string(i) + "=value");
    }
    return made;
}

void SaveBuildCommand(benchmark::State& state) {
    auto command = MakeCommand();
    std::int64_t bytes = 0;
    for (auto _ : state) {
        qz::TVirtualStream stream;
        command->SaveToStream(stream);
        bytes += stream.Size();
        benchmark::DoNotOptimize(stream.Memory());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(SaveBuildCommand);

void LoadBuildCommand(benchmark::State& state) {
    qz::TVirtualStream encoded;
    MakeCommand()->SaveToStream(encoded);
    qz::TBuildCommandPacket command;
    for (auto _ : state) {
        encoded.SetPosition(0);
        command.LoadFromStream(encoded);
        benchmark::DoNotOptimize(&command);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * encoded.Size());
}
BENCHMARK(LoadBuildCommand);

} // namespace
