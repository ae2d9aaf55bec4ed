// Costs of the named kernel objects: the cross-process wake-up round trip through a pair of
// named auto-reset events, against a Unix-domain socket ping-pong measured in the same run, on
// one CPU and on any CPUs; and the uncontended SpinLock + SpinUnlock and WaitForObject on a set
// event. The round trips report their median and 99th percentile in microseconds.

#include "BenchSupport.h"
#include "NvObjects.h"
#include "platform/NamedObjects.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void UseObjectFolder() {
    static qz::bench::ObjectFolder folder("bench");
}

void PinToCpu0() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void AnyCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        CPU_SET(cpu, &set);
    }
    sched_setaffinity(0, sizeof set, &set);
}

void EndChild(pid_t child) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// Arg 1: both processes on CPU 0; arg 0: wherever the scheduler puts them.
void BM_NamedEventRoundTrip(benchmark::State& state) {
    const bool pinned = state.range(0) == 1;
    pinned ? PinToCpu0() : AnyCpu();
    UseObjectFolder();
    qz::TWinEvent ping(nullptr, "Global\\BenchPing", false, false);
    qz::TWinEvent pong(nullptr, "Global\\BenchPong", false, false);
    pid_t child = fork();
    if (child == 0) {
        qz::TWinEvent childPing("Global\\BenchPing", false);
        qz::TWinEvent childPong("Global\\BenchPong", false);
        childPing.WaitFor(qz::INFINITE);
        for (;;) {
            qz::WaitForObject(childPing.Handle(), qz::INFINITE, 0, childPong.Handle());
        }
    }
    for (int i = 0; i < 1000; ++i) { // warm-up
        qz::WaitForObject(pong.Handle(), qz::INFINITE, 0, ping.Handle());
    }
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = Clock::now();
        qz::WaitForObject(pong.Handle(), qz::INFINITE, 0, ping.Handle());
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    EndChild(child);
    qz::bench::ReportLatency(state, samples);
    AnyCpu();
}
BENCHMARK(BM_NamedEventRoundTrip)->Arg(1)->Arg(0)->Iterations(20000)->UseRealTime();

void BM_UnixSocketRoundTrip(benchmark::State& state) {
    const bool pinned = state.range(0) == 1;
    pinned ? PinToCpu0() : AnyCpu();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        char byte;
        while (read(fds[1], &byte, 1) == 1 && write(fds[1], &byte, 1) == 1) {
        }
        _exit(0);
    }
    close(fds[1]);
    char byte = 'x';
    auto roundTrip = [&] {
        if (write(fds[0], &byte, 1) != 1 || read(fds[0], &byte, 1) != 1) {
            state.SkipWithError("socket failed");
        }
    };
    for (int i = 0; i < 1000; ++i) {
        roundTrip();
    }
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = Clock::now();
        roundTrip();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(fds[0]);
    EndChild(child);
    qz::bench::ReportLatency(state, samples);
    AnyCpu();
}
BENCHMARK(BM_UnixSocketRoundTrip)->Arg(1)->Arg(0)->Iterations(20000)->UseRealTime();

void BM_SpinLockUnlock(benchmark::State& state) {
    UseObjectFolder();
    qz::SpinLockRecord record{0, 0};
    qz::CurrentThreadUid();
    for (auto _ : state) {
        qz::SpinLock(record, qz::INFINITE, qz::slAbandonWarning);
        qz::SpinUnlock(record);
    }
    benchmark::DoNotOptimize(record);
}
BENCHMARK(BM_SpinLockUnlock);

void BM_WaitForObjectOnSetEvent(benchmark::State& state) {
    qz::TWinEvent event(nullptr, "", true, true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(qz::WaitForObject(event.Handle(), qz::INFINITE, 0));
    }
}
BENCHMARK(BM_WaitForObjectOnSetEvent);

} // namespace
