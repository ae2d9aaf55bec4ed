#pragma once

// The main-thread watchdog: an optional thread that notices when the notify loop stops turning
// and then writes the call traces of all threads of the process into the diagnostic log.
//
// The notify loop owns one TMainThreadWatchdog: it calls Start when its run begins (the watchdog
// decides from the log settings whether to run), WaitReady before its first pass, Heartbeat at
// the start of every pass, and Stop (or the destructor) at orderly shut-down, which waits for the
// thread to end. Trigger asks for a dump period from outside (a disconnected agent).
//
// Thread dumps sample each thread with a signal: the thread stops in a handler that reads its
// registers and scans its stack, then goes on. Threads that have ended or that block the signal
// for a second are left out or reported as failed. A system call that a sampled thread is
// waiting in may return early with EINTR where the system does not restart it.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qz {

/// Periods of the watchdog in milliseconds (tests shorten them).
struct WatchdogTiming {
    int stallMs = 5000;         ///< verbose: a pass that takes longer is a stall
    int dumpPeriodMs = 60000;   ///< verbose: how long dumps are written after a stall or trigger
    int dumpIntervalMs = 500;   ///< verbose: between two dumps of a period
    int sleepMs = 300000;       ///< verbose: pause after a stall's dump period
    int plainIntervalMs = 5000; ///< otherwise: between two dumps
};

/// Whether the watchdog should run: in verbose mode always; otherwise when the level is above 0
/// and the boolean "MainThreadWatch" in section "Log" of the machine key "SOFTWARE\Tamrel\Orvane"
/// is true, or cannot be read.
bool MainThreadWatchWanted();

/// Writes one thread dump under the log lock: a "Thread State PID=" section, in verbose mode the
/// processor usage, then a line per thread other than the calling one ("Main Thread: " or
/// "Thread <id>: " followed by its call trace).
void WriteThreadDump(bool verbose, int mainThreadId);

class TMainThreadWatchdog {
public:
    TMainThreadWatchdog() = default;
    ~TMainThreadWatchdog();
    TMainThreadWatchdog(const TMainThreadWatchdog&) = delete;
    TMainThreadWatchdog& operator=(const TMainThreadWatchdog&) = delete;

    /// Starts the thread when MainThreadWatchWanted (or force) says so; writes "!!!!!
    /// MainThreadWatch Init". The main thread is the given one (default: the start-up thread
    /// the diagnostic log registered). Returns whether it runs.
    bool Start(bool force = false, int mainThreadId = 0, WatchdogTiming timing = {});
    bool Running() const { return thread_.joinable(); }
    /// Verbose mode only: blocks until the thread is ready for heartbeats.
    void WaitReady();
    void Heartbeat();
    void Trigger();
    /// Sets the stop event and waits until the thread has ended.
    void Stop();

private:
    enum class Wake { Heartbeat, Trigger, Stop, Timeout };

    void Run();
    void RunVerbose();
    void RunPlain();
    /// Waits up to ms for stop (and, when watchBeats, a heartbeat or trigger), consuming it.
    Wake WaitFor(int ms, bool watchBeats);
    void Dump();

    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool heartbeat_ = false;
    bool trigger_ = false;
    bool ready_ = false;
    bool verbose_ = false;
    int mainThreadId_ = 0;
    WatchdogTiming timing_;
    std::uint64_t previousIdle_[2] = {0, 0};
};

} // namespace qz
