#include "Watchdog.h"

#include "CallTraceUtils.h"
#include "CrossRegistry.h"
#include "DiagLog.h"
#include "ExceptionWatch.h"
#include "Exceptions.h"
#include "platform/Diagnostics.h"
#include "platform/SystemError.h"

#include <cerrno>
#include <chrono>
#include <vector>

namespace qz {

namespace {

// The programs of the product whose processor share a verbose dump shows.
constexpr const char* kWatchedPrograms[] = {"AgentService", "Tasksmith"};

struct UsageSnapshot {
    std::vector<platform::diag::ProcessorTimes> processors;
    std::uint64_t programs[2] = {0, 0};
};

std::mutex& UsageLock() {
    static std::mutex lock;
    return lock;
}

UsageSnapshot& PreviousUsage() {
    static UsageSnapshot snapshot;
    return snapshot;
}

int Share(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0 : static_cast<int>(part * 100 / whole);
}

void WriteUsage() {
    std::lock_guard<std::mutex> guard(UsageLock());
    UsageSnapshot now;
    auto processors = platform::diag::ReadProcessorTimes();
    if (!processors) {
        return;
    }
    now.processors = std::move(*processors);
    for (int i = 0; i < 2; ++i) {
        now.programs[i] = platform::diag::ProcessTimeByName(kWatchedPrograms[i]);
    }
    UsageSnapshot& before = PreviousUsage();
    auto delta = [&](size_t index, bool idle) -> std::uint64_t {
        std::uint64_t current = idle ? now.processors[index].idle : now.processors[index].total;
        std::uint64_t previous = 0;
        if (index < before.processors.size()) {
            previous = idle ? before.processors[index].idle : before.processors[index].total;
        }
        return current >= previous ? current - previous : 0;
    };
    LogLine("CPU Usage:", lfAlways);
    std::uint64_t total = delta(0, false);
    LogLine(Format("Total: %d%%", 100 - Share(delta(0, true), total)), lfAlways);
    std::string perProcessor = "Per processor: ";
    for (size_t i = 1; i < now.processors.size(); ++i) {
        perProcessor += Format("CPU%d: %d%% ", static_cast<int>(i),
                               100 - Share(delta(i, true), delta(i, false)));
    }
    LogLine(perProcessor, lfAlways);
    for (int i = 0; i < 2; ++i) {
        std::uint64_t used = now.programs[i] >= before.programs[i]
                                 ? now.programs[i] - before.programs[i]
                                 : now.programs[i];
        LogLine(Format("%s: %d%%", kWatchedPrograms[i], Share(used, total)), lfAlways);
    }
    before = now;
}

} // namespace

bool MainThreadWatchWanted() {
    if (DiagLogVerbose()) {
        return true;
    }
    if (DiagLogLevel() <= 0) {
        return false;
    }
    try {
        UnloggedExceptionsScope unlogged;
        TCrossRegIniFile registry(kKeyRead, false, true, "\\SOFTWARE\\Tamrel\\Orvane",
                                  RegRoot::LocalMachine);
        return registry.ReadBool("Log", "MainThreadWatch", false);
    } catch (const Exception&) {
        return true;
    }
}

void WriteThreadDump(bool verbose, int mainThreadId) {
    LockLog();
    try {
        LogSectionEntry("Thread State PID=" + std::to_string(platform::diag::ProcessId()), '-',
                        lfAlways);
        if (verbose) {
            WriteUsage();
        }
        int self = platform::diag::ThreadId();
        for (int threadId : platform::diag::ThreadIds()) {
            if (threadId == self) {
                continue;
            }
            platform::Result<platform::diag::ThreadSample> sample =
                platform::diag::SampleThread(threadId, kCallTraceMaxEntries * 8);
            std::string trace;
            if (sample) {
                trace = CallTraceOf(sample->instructionPointer, sample->callSites, 0);
            } else if (sample.error().code == ESRCH) {
                continue; // ended meanwhile
            } else {
                trace =
                    "GetThreadContext() failed: " + platform::SystemErrorText(sample.error().code);
            }
            std::string label = threadId == mainThreadId
                                    ? std::string("Main Thread: ")
                                    : "Thread " + std::to_string(threadId) + ": ";
            LogWrite(label + trace, lfAlways);
        }
    } catch (...) {
        UnlockLog();
        throw;
    }
    UnlockLog();
}

TMainThreadWatchdog::~TMainThreadWatchdog() {
    Stop();
}

bool TMainThreadWatchdog::Start(bool force, int mainThreadId, WatchdogTiming timing) {
    if (thread_.joinable() || (!force && !MainThreadWatchWanted())) {
        return thread_.joinable();
    }
    LogLine("!!!!! MainThreadWatch Init", lfAlways);
    verbose_ = DiagLogVerbose();
    mainThreadId_ = mainThreadId != 0 ? mainThreadId : MainThreadId();
    timing_ = timing;
    stop_ = heartbeat_ = trigger_ = ready_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TMainThreadWatchdog::WaitReady() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return ready_ || stop_ || !verbose_; });
}

void TMainThreadWatchdog::Heartbeat() {
    std::lock_guard<std::mutex> guard(lock_);
    heartbeat_ = true;
    changed_.notify_all();
}

void TMainThreadWatchdog::Trigger() {
    std::lock_guard<std::mutex> guard(lock_);
    trigger_ = true;
    changed_.notify_all();
}

void TMainThreadWatchdog::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

TMainThreadWatchdog::Wake TMainThreadWatchdog::WaitFor(int ms, bool watchBeats) {
    std::unique_lock<std::mutex> guard(lock_);
    bool woken = changed_.wait_for(guard, std::chrono::milliseconds(ms), [&] {
        return stop_ || (watchBeats && (heartbeat_ || trigger_));
    });
    if (!woken) {
        return Wake::Timeout;
    }
    if (stop_) {
        return Wake::Stop;
    }
    if (trigger_) {
        trigger_ = false;
        return Wake::Trigger;
    }
    heartbeat_ = false;
    return Wake::Heartbeat;
}

void TMainThreadWatchdog::Run() {
    RegisterThreadName(platform::diag::ThreadId(), "Main Thread Watchdog");
    if (verbose_) {
        RunVerbose();
    } else {
        RunPlain();
    }
}

void TMainThreadWatchdog::Dump() {
    WriteThreadDump(verbose_, mainThreadId_);
}

void TMainThreadWatchdog::RunPlain() {
    for (;;) {
        try {
            while (WaitFor(timing_.plainIntervalMs, false) != Wake::Stop) {
                Dump();
            }
            return;
        } catch (...) {
            // A failed dump starts the loop again.
        }
    }
}

void TMainThreadWatchdog::RunVerbose() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ready_ = true;
        changed_.notify_all();
    }
    for (;;) {
        try {
            {
                std::lock_guard<std::mutex> guard(lock_);
                trigger_ = false;
            }
            Wake wake;
            while ((wake = WaitFor(timing_.stallMs, true)) == Wake::Heartbeat) {
            }
            if (wake == Wake::Stop) {
                return;
            }
            if (wake == Wake::Trigger) {
                LogLine("!!!!! Detected disconnected agent, starting thread stack logging",
                        lfAlways);
            } else {
                LogLine(Format("!!!!! NotifyQueue %d seconds stall detected, starting thread "
                               "stack logging",
                               timing_.stallMs / 1000),
                        lfAlways);
            }
            auto end =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timing_.dumpPeriodMs);
            bool stopped = false;
            while (!stopped && std::chrono::steady_clock::now() < end) {
                Dump();
                stopped = WaitFor(timing_.dumpIntervalMs, false) == Wake::Stop;
            }
            if (wake == Wake::Timeout) {
                LogLine("!!!!! Time limit ended. Starting sleep period", lfAlways);
                if (WaitFor(timing_.sleepMs, false) == Wake::Stop) {
                    LogLine("!!!!! Loop ended", lfAlways);
                    return;
                }
                LogLine("!!!!! Sleep ended. Waiting for next trigger", lfAlways);
            } else {
                LogLine("!!!!! Time limit ended. Waiting for next trigger", lfAlways);
            }
        } catch (...) {
            // A failed dump starts the loop again.
        }
    }
}

} // namespace qz
