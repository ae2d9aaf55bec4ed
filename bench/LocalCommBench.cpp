// Costs of the local comm pipe between two processes, each beside a Unix-domain socket that
// carries the same encoded messages (44-byte header + packet) and encodes and decodes the packets
// the same way, measured in the same run:
//   - request/reply round trip of TQueryServiceStatusPacket and its reply (median, p99);
//   - one-way throughput of 100-byte packets (messages per second);
//   - one-way throughput of 1 MiB packets (bytes per second).
// One-way runs end with a request, so every message has been decoded and handled when the clock
// stops.

#include "BenchSupport.h"
#include "LocalComm.h"
#include "NotifyQueue.h"
#include "PacketChannel.h"
#include "ServicePackets.h"
#include "StreamUtils.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void UseObjectFolder() {
    static qz::bench::ObjectFolder folder("commbench");
    qz::RegisterAllPacketClasses();
}

void EndChild(pid_t child) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// A start-job request whose encoding is exactly size bytes (the display name pads it).
std::unique_ptr<qz::TPacket> PayloadOfSize(std::int64_t size) {
    auto packet = std::make_unique<qz::TStartJobRequestPacket>();
    std::size_t pad = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        packet->SetStr(qz::TStartJobRequestPacket::ComponentDisplayName, std::string(pad, 'p'));
        qz::TVirtualStream probe;
        packet->SaveToStream(probe);
        if (probe.Size() == size) {
            break;
        }
        pad = static_cast<std::size_t>(
            std::max<std::int64_t>(static_cast<std::int64_t>(pad) + size - probe.Size(), 0));
    }
    return packet;
}

// The service: answers the status query and counts start-job posts. Runs in a forked process on
// a thread with a queue of its own (the forked main thread's queue is a copy of the parent's).
pid_t StartCommService(const qz::TGuid& guid) {
    qz::TWinEvent ready(qz::NullDaclSecurityAttributes(), "Global\\CommBenchReady", true, false);
    pid_t child = fork();
    if (child == 0) {
        std::thread thread([&] {
            qz::TNotifyQueue queue;
            queue.AttachToThread();
            qz::TLocalCommServer server(guid, qz::SessionGlobal, qz::kDefaultSectionSize, nullptr,
                                        &queue);
            int posts = 0;
            server.MethodMap().Add(qz::TQueryServiceStatusPacket::StaticClass(),
                                   [&](qz::TCommExecuteContext& context) {
                                       qz::TQueryServiceStatusReplyPacket reply;
                                       reply.SetInt(qz::TQueryServiceStatusReplyPacket::CpuCount,
                                                    posts);
                                       context.SendReply(reply);
                                   });
            server.MethodMap().Add(qz::TStartJobRequestPacket::StaticClass(),
                                   [&](qz::TCommExecuteContext&) { ++posts; });
            ready.SetEvent();
            queue.Run();
        });
        thread.join();
        _exit(0);
    }
    ready.WaitFor(10000);
    return child;
}

// ---- the socket baseline: the same bytes, encoded and decoded the same way ----

bool ReadFully(int fd, void* buffer, std::size_t size) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteFully(int fd, const void* buffer, std::size_t size) {
    const auto* p = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SendMessage(int fd, const qz::TPacket& packet, std::uint8_t flags, std::int32_t id) {
    qz::TVirtualStream encoded;
    qz::MessageHeader header{};
    encoded.Write(&header, sizeof header);
    packet.SaveToStream(encoded);
    header.Version = qz::kChannelVersion;
    header.Flags = flags;
    header.MessageId = id;
    header.reserved12 = 0xFFFFFFFF;
    header.Length = static_cast<std::int32_t>(encoded.Size());
    std::memcpy(encoded.Memory(), &header, sizeof header);
    return WriteFully(fd, encoded.Memory(), static_cast<std::size_t>(encoded.Size()));
}

std::unique_ptr<qz::TPacket> ReceiveMessage(int fd, qz::MessageHeader& header,
                                            std::vector<char>& buffer) {
    if (!ReadFully(fd, &header, sizeof header) || header.Length < 44) {
        return nullptr;
    }
    buffer.resize(static_cast<std::size_t>(header.Length) - sizeof header);
    if (!ReadFully(fd, buffer.data(), buffer.size())) {
        return nullptr;
    }
    qz::TVirtualStream body;
    body.SetExternalMemory(buffer.data(), static_cast<std::int64_t>(buffer.size()), {});
    return qz::TPacket::CreateFromStream(body);
}

struct SocketPeer {
    int fd = -1;
    pid_t child = -1;
};

SocketPeer StartSocketService() {
    int fds[2];
    SocketPeer peer;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return peer;
    }
    peer.child = fork();
    if (peer.child == 0) {
        close(fds[0]);
        std::vector<char> buffer;
        int posts = 0;
        for (;;) {
            qz::MessageHeader header;
            auto packet = ReceiveMessage(fds[1], header, buffer);
            if (!packet) {
                _exit(0);
            }
            if (header.Flags & qz::cfRequest) {
                qz::TQueryServiceStatusReplyPacket reply;
                reply.SetInt(qz::TQueryServiceStatusReplyPacket::CpuCount, posts);
                SendMessage(fds[1], reply, qz::cfReply, header.MessageId);
            } else {
                ++posts;
            }
        }
    }
    close(fds[1]);
    peer.fd = fds[0];
    return peer;
}

bool SocketRequest(int fd, std::int32_t id, std::vector<char>& buffer) {
    if (!SendMessage(fd, qz::TQueryServiceStatusPacket(), qz::cfRequest, id)) {
        return false;
    }
    qz::MessageHeader header;
    auto reply = ReceiveMessage(fd, header, buffer);
    return reply && header.MessageId == id;
}

// ---- request/reply ----

void BM_CommRequestReply(benchmark::State& state) {
    UseObjectFolder();
    qz::TGuid guid = qz::NewGuid();
    pid_t child = StartCommService(guid);
    {
        qz::TLocalCommPipe pipe(guid, qz::kDefaultSectionSize, "Bench Service", qz::SessionGlobal);
        qz::TQueryServiceStatusPacket request;
        for (int i = 0; i < 1000; ++i) {
            pipe.Request(request);
        }
        std::vector<double> samples;
        for (auto _ : state) {
            auto start = Clock::now();
            auto reply = pipe.Request(request);
            samples.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        qz::bench::ReportLatency(state, samples);
    }
    EndChild(child);
}
BENCHMARK(BM_CommRequestReply)->Iterations(20000)->UseRealTime();

void BM_SocketRequestReply(benchmark::State& state) {
    qz::RegisterAllPacketClasses();
    SocketPeer peer = StartSocketService();
    std::vector<char> buffer;
    std::int32_t id = 0;
    for (int i = 0; i < 1000; ++i) {
        SocketRequest(peer.fd, ++id, buffer);
    }
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = Clock::now();
        if (!SocketRequest(peer.fd, ++id, buffer)) {
            state.SkipWithError("socket failed");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(peer.fd);
    EndChild(peer.child);
    qz::bench::ReportLatency(state, samples);
}
BENCHMARK(BM_SocketRequestReply)->Iterations(20000)->UseRealTime();

// ---- one-way throughput; arg: packet size in bytes ----

void BM_CommOneWay(benchmark::State& state) {
    UseObjectFolder();
    qz::TGuid guid = qz::NewGuid();
    pid_t child = StartCommService(guid);
    {
        qz::TLocalCommPipe pipe(guid, qz::kDefaultSectionSize, "Bench Service", qz::SessionGlobal);
        auto payload = PayloadOfSize(state.range(0));
        std::int64_t sent = 0;
        for (auto _ : state) {
            if (pipe.Post(*payload) == 0) {
                state.SkipWithError("send failed");
                break;
            }
            ++sent;
        }
        auto reply = pipe.Request(qz::TQueryServiceStatusPacket());
        if (reply->Int(qz::TQueryServiceStatusReplyPacket::CpuCount) != sent) {
            state.SkipWithError("messages lost");
        }
        state.SetItemsProcessed(sent);
        state.SetBytesProcessed(sent * state.range(0));
    }
    EndChild(child);
}
BENCHMARK(BM_CommOneWay)->Arg(100)->Iterations(200000)->UseRealTime();
BENCHMARK(BM_CommOneWay)->Arg(1 << 20)->Iterations(500)->UseRealTime();

void BM_SocketOneWay(benchmark::State& state) {
    qz::RegisterAllPacketClasses();
    SocketPeer peer = StartSocketService();
    auto payload = PayloadOfSize(state.range(0));
    std::vector<char> buffer;
    std::int64_t sent = 0;
    for (auto _ : state) {
        if (!SendMessage(peer.fd, *payload, 0, 0)) {
            state.SkipWithError("socket failed");
            break;
        }
        ++sent;
    }
    if (!SocketRequest(peer.fd, 1, buffer)) {
        state.SkipWithError("socket failed");
    }
    state.SetItemsProcessed(sent);
    state.SetBytesProcessed(sent * state.range(0));
    close(peer.fd);
    EndChild(peer.child);
}
BENCHMARK(BM_SocketOneWay)->Arg(100)->Iterations(200000)->UseRealTime();
BENCHMARK(BM_SocketOneWay)->Arg(1 << 20)->Iterations(500)->UseRealTime();

} // namespace
