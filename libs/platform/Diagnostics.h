#pragma once

// What the diagnostic log, the exception watch and the main-thread watchdog need from the
// system: process and thread identity, local time, the machine's name, loaded modules, the
// shared log file with its cross-process lock, the call sites on a thread's stack and a
// sample of every other thread of the process.
//
// The call-site scan reads raw stack words: it looks for return addresses whose preceding
// bytes form a call instruction and records the call instruction's address. It never reads
// memory outside the thread's stack and the executable mappings of the process.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz::platform::diag {

int ProcessId();
/// The kernel's id of the calling thread.
int ThreadId();

/// Whether a module whose file name contains the text is loaded in the process.
bool IsModuleLoaded(std::string_view nameFragment);

/// The calling function's stack pointer (approximately: an address within its frame).
std::uintptr_t CurrentStackPointer();

/// Scans the calling thread's stack from stackPointer (clamped into the stack) up to its base
/// and appends the addresses of call instructions whose return addresses it finds, up to max
/// entries in all. Cheap enough for every raised exception; never faults.
void ScanCallSites(std::uintptr_t stackPointer, std::vector<std::uintptr_t>& out, std::size_t max);

/// The ids of the process's threads.
std::vector<int> ThreadIds();

/// A snapshot of another thread, taken while it is stopped in a signal handler.
struct ThreadSample {
    std::uintptr_t instructionPointer = 0;
    std::uintptr_t stackPointer = 0;
    std::vector<std::uintptr_t> callSites; ///< as ScanCallSites finds them
};

/// Interrupts the thread, reads its registers and scans its stack (up to max call sites) while
/// it waits, then lets it go on. Fails when the thread cannot be sampled (ESRCH: it has ended;
/// ETIMEDOUT: it does not answer within a second). Only one sample is taken at a time in the
/// process; concurrent callers wait.
Result<ThreadSample> SampleThread(int threadId, std::size_t max);

/// Processor time counters (clock ticks since boot): entry 0 is all processors together, then
/// one entry per processor.
struct ProcessorTimes {
    std::uint64_t idle = 0;
    std::uint64_t total = 0;
};
/// Fails (Corrupt) when the system's counters cannot be read.
Result<std::vector<ProcessorTimes>> ReadProcessorTimes();

/// The processor time (clock ticks, user + system) used so far by the processes whose program
/// name is the given one; 0 when none runs.
std::uint64_t ProcessTimeByName(std::string_view programName);

/// The diagnostic log file shared by the processes of one executable. The cross-process lock is
/// an exclusive flock of the file itself; callers add their own in-process exclusion (one
/// descriptor is shared by the threads of a process).
class SharedLogFile {
public:
    SharedLogFile() = default;
    ~SharedLogFile();
    SharedLogFile(const SharedLogFile&) = delete;
    SharedLogFile& operator=(const SharedLogFile&) = delete;

    /// Creates the folder when missing and opens or creates the file for appending.
    Result<> Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    /// Takes and releases the exclusive lock (waits without limit).
    void Lock();
    void Unlock();

    std::int64_t Size() const;
    /// Keeps only the last keep bytes of the file (the caller holds the lock).
    void KeepTail(std::int64_t keep);
    /// Appends the bytes at the end of the file.
    Result<> Append(std::string_view bytes);
    /// Flushes the file to disk.
    void Flush();

private:
    int fd_ = -1;
};

} // namespace qz::platform::diag
