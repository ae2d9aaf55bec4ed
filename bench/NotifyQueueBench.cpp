// Latencies of the main loop: from a Post on another thread to the delivery on the loop, from
// another process setting the queue's external event to the loop's external handler, and from a
// child's exit to OnDone; as baseline in the same run, a bare event set waking a waiting thread.
// Each reports the median and 99th percentile in microseconds. IdleLoop reports the processor
// time the loop uses while nothing happens (ms of CPU per second of wall time).

#include "BenchSupport.h"
#include "NotifyQueue.h"
#include "ProcessExecution.h"
#include "platform/ChildProcess.h"
#include "platform/NamedObjects.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The threads of this process now (from the kernel's list).
int ThreadsNow() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// A loop on a thread of its own; Body runs on the loop thread before Run.
class LoopThread {
public:
    template <typename Setup>
    explicit LoopThread(Setup setup) {
        std::promise<qz::TNotifyQueue*> ready;
        thread_ = std::thread([&] {
            qz::TNotifyQueue queue;
            queue.AttachToThread();
            setup(queue);
            ready.set_value(&queue);
            queue.Run();
        });
        queue_ = ready.get_future().get();
    }
    ~LoopThread() {
        queue_->ShutDownLoop(true);
        thread_.join();
    }
    qz::TNotifyQueue& Queue() { return *queue_; }

private:
    std::thread thread_;
    qz::TNotifyQueue* queue_ = nullptr;
};

constexpr int kSamples = 2000;

void BM_BaselineEventWake(benchmark::State& state) {
    qz::TWinEvent go(nullptr, "", false, false);
    qz::TWinEvent back(nullptr, "", false, false);
    std::atomic<std::int64_t> sentAt{0};
    std::vector<double> micros;
    std::thread waiter([&] {
        for (int i = 0; i < kSamples; ++i) {
            go.WaitFor(qz::INFINITE);
            micros.push_back((NowNs() - sentAt.load()) / 1000.0);
            back.SetEvent();
        }
    });
    for (auto _ : state) {
        for (int i = 0; i < kSamples; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(200)); // let the waiter sleep
            sentAt = NowNs();
            go.SetEvent();
            back.WaitFor(qz::INFINITE);
        }
    }
    waiter.join();
    qz::bench::ReportLatency(state, micros);
}
BENCHMARK(BM_BaselineEventWake)->Iterations(1)->UseRealTime();

struct Receiver {
    std::atomic<std::int64_t>* sentAt;
    std::vector<double>* micros;
    qz::TWinEvent* back;
    void Call() {
        micros->push_back((NowNs() - sentAt->load()) / 1000.0);
        back->SetEvent();
    }
};

void BM_PostToDelivery(benchmark::State& state) {
    qz::TWinEvent back(nullptr, "", false, false);
    std::atomic<std::int64_t> sentAt{0};
    std::vector<double> micros;
    Receiver receiver{&sentAt, &micros, &back};
    LoopThread loop([](qz::TNotifyQueue&) {});
    for (auto _ : state) {
        for (int i = 0; i < kSamples; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(200)); // the loop waits again
            sentAt = NowNs();
            loop.Queue().Post(&receiver, qz::npNormal, qz::TMethod::Of<&Receiver::Call>(&receiver));
            back.WaitFor(qz::INFINITE);
        }
    }
    qz::bench::ReportLatency(state, micros);
}
BENCHMARK(BM_PostToDelivery)->Iterations(1)->UseRealTime();

struct SharedStamps {
    std::atomic<std::int64_t> sentAt;
    std::atomic<int> sequence;
};

void BM_ExternalSetToHandler(benchmark::State& state) {
    qz::bench::ObjectFolder folder("nqbench");
    auto* shared = static_cast<SharedStamps*>(mmap(
        nullptr, sizeof(SharedStamps), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (shared) SharedStamps{{0}, {0}};
    std::string ackName = qz::MakeGlobalName("NotifyBenchAck");
    qz::TWinEvent ack(qz::NullDaclSecurityAttributes(), ackName, false, false);
    std::vector<double> micros;
    struct Handler {
        SharedStamps* shared;
        std::vector<double>* micros;
        qz::TWinEvent* ack;
        int seen = 0;
        void Call() {
            int sequence = shared->sequence.load();
            if (sequence != seen) {
                seen = sequence;
                micros->push_back((NowNs() - shared->sentAt.load()) / 1000.0);
                ack->SetEvent();
            }
        }
    } handler{shared, &micros, &ack};
    std::string eventName;
    LoopThread loop([&](qz::TNotifyQueue& queue) {
        eventName = qz::TNotifyQueue::MakeExternalEventName(queue.ExternalEventGuid());
        queue.AddExternalNotification(&handler, qz::TMethod::Of<&Handler::Call>(&handler));
    });
    for (auto _ : state) {
        pid_t child = fork();
        if (child == 0) {
            qz::TWinEvent event(eventName, false);
            qz::TWinEvent back(ackName, false);
            for (int i = 1; i <= kSamples; ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                shared->sentAt = NowNs();
                shared->sequence = i;
                event.SetEvent();
                back.WaitFor(qz::INFINITE);
            }
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    qz::bench::ReportLatency(state, micros);
    munmap(shared, sizeof(SharedStamps));
}
BENCHMARK(BM_ExternalSetToHandler)->Iterations(1)->UseRealTime();

// From a child's exit to its OnDone, one child after the other; with capture, its standard
// output and error are captured as the console captures the build system's. Also reports the
// most threads the process had while a child ran (threads_most) beside those before (threads_idle).
void ChildExitToOnDone(benchmark::State& state, std::uint32_t options) {
    constexpr int kChildren = 200;
    std::string stamp =
        std::filesystem::temp_directory_path() / ("qz_exit_stamp_" + std::to_string(getpid()));
    setenv("QZ_BENCH_EXIT_STAMP", stamp.c_str(), 1);
    std::string self = QZ_EXIT_STAMP_PATH;
    std::vector<double> micros;
    int threadsMost = 0;
    int threadsIdle = 0;
    for (auto _ : state) {
        std::promise<void> finished;
        LoopThread loop([&](qz::TNotifyQueue& queue) {
            struct Runner {
                qz::TNotifyQueue* queue;
                std::string command;
                std::string stamp;
                std::vector<double>* micros;
                std::promise<void>* finished;
                std::uint32_t options;
                int* threadsMost;
                std::unique_ptr<qz::TProcess> process;
                int left = kChildren;
                void Next() {
                    process = std::make_unique<qz::TProcess>(command, options);
                    process->SetOnDone([this](qz::TProcess&) {
                        std::int64_t now = NowNs();
                        std::int64_t exitedAt = 0;
                        std::ifstream(stamp) >> exitedAt;
                        micros->push_back((now - exitedAt) / 1000.0);
                        queue->Post(this, qz::npNormal, qz::TMethod::Of<&Runner::Step>(this));
                    });
                    process->Start(false);
                    *threadsMost = std::max(*threadsMost, ThreadsNow());
                }
                void Step() {
                    if (--left > 0) {
                        Next();
                    } else {
                        process.reset();
                        finished->set_value();
                    }
                }
            };
            threadsIdle = ThreadsNow();
            auto* runner = new Runner{&queue,  "\"" + self + "\"", stamp,  &micros, &finished,
                                      options, &threadsMost,       nullptr};
            queue.Post(runner, qz::npNormal, qz::TMethod::Of<&Runner::Next>(runner));
            static std::unique_ptr<Runner> keep;
            keep.reset(runner);
        });
        finished.get_future().wait();
    }
    unsetenv("QZ_BENCH_EXIT_STAMP");
    std::filesystem::remove(stamp);
    qz::bench::ReportLatency(state, micros);
    state.counters["threads_idle"] = threadsIdle;
    state.counters["threads_most"] = threadsMost;
}

void BM_ChildExitToOnDone(benchmark::State& state) {
    ChildExitToOnDone(state, 0);
}
BENCHMARK(BM_ChildExitToOnDone)->Iterations(1)->UseRealTime();

// The capture as asked for without temporary files (pipes, where the platform offers them).
void BM_ChildExitToOnDoneWithCapture(benchmark::State& state) {
    ChildExitToOnDone(state, qz::poInheritHandles | qz::poCaptureOutput | qz::poSeparateStdErr);
}
BENCHMARK(BM_ChildExitToOnDoneWithCapture)->Iterations(1)->UseRealTime();

// The console's capture of the build system: temporary files followed by reader threads.
void BM_ChildExitToOnDoneWithFileCapture(benchmark::State& state) {
    ChildExitToOnDone(state, qz::poInheritHandles | qz::poCaptureOutput | qz::poSeparateStdErr |
                                 qz::poTempFileOutput);
}
BENCHMARK(BM_ChildExitToOnDoneWithFileCapture)->Iterations(1)->UseRealTime();

// Baseline of the child exit: the same small child started and awaited directly through its
// pidfd, which leaves only the kernel's process teardown and one wake-up.
void BM_BaselineChildExitToPidfd(benchmark::State& state) {
    constexpr int kChildren = 200;
    std::string stamp =
        std::filesystem::temp_directory_path() / ("qz_exit_stamp_base_" + std::to_string(getpid()));
    setenv("QZ_BENCH_EXIT_STAMP", stamp.c_str(), 1);
    std::string self = QZ_EXIT_STAMP_PATH;
    std::vector<double> micros;
    for (auto _ : state) {
        for (int i = 0; i < kChildren; ++i) {
            qz::platform::ChildProcess child;
            qz::platform::ChildStartOptions options;
            options.arguments = {self};
            if (!child.Start(options)) {
                state.SkipWithError("start failed");
                break;
            }
            child.Wait(-1);
            std::int64_t now = NowNs();
            std::int64_t exitedAt = 0;
            std::ifstream(stamp) >> exitedAt;
            micros.push_back((now - exitedAt) / 1000.0);
        }
    }
    unsetenv("QZ_BENCH_EXIT_STAMP");
    std::filesystem::remove(stamp);
    qz::bench::ReportLatency(state, micros);
}
BENCHMARK(BM_BaselineChildExitToPidfd)->Iterations(1)->UseRealTime();

void BM_IdleLoop(benchmark::State& state) {
    LoopThread loop([](qz::TNotifyQueue&) {});
    double cpuMs = 0;
    double wallMs = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        getrusage(RUSAGE_SELF, &after);
        auto ms = [](const rusage& r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
                   (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
        };
        cpuMs = ms(after) - ms(before);
        wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    state.counters["cpu_ms_per_s"] = cpuMs * 1000.0 / wallMs;
}
BENCHMARK(BM_IdleLoop)->Iterations(1)->UseRealTime();

} // namespace
