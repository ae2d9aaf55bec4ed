#pragma once

// Threads of the operating system, and the small process-wide services that go with them:
// thread ids, yielding, sleeping, the millisecond tick counter and ending the process at once.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace qz::platform {

class NativeThread {
public:
    /// Starts a thread that runs body; stackSize 0 takes the default.
    static Result<std::unique_ptr<NativeThread>> Start(std::function<void()> body,
                                                       std::size_t stackSize);

    /// Joins the thread when it has not been joined (the owner must have made it end).
    ~NativeThread();
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;

    /// The kernel's id of the thread (waits for a thread that has not begun to run yet: Start
    /// does not wait for it).
    std::uint32_t Id() const;
    /// Waits for the thread to end (idempotent).
    void Join();
    /// Cancels the thread's waits: its current and every later WaitAny fails at once with
    /// ECANCELED, so that the thread unwinds. Fails with ESRCH once the thread was joined.
    Result<> Cancel();
    /// Raises the thread's scheduling priority as far as the process may; failure is ignored.
    void RaisePriority();

    struct Impl; ///< the implementation's state

private:
    explicit NativeThread(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

/// The calling thread's kernel id.
std::uint32_t CurrentThreadId();
/// The calling process's id.
std::uint32_t CurrentProcessId();
/// The number of threads of the calling process (0 when unknown).
int ProcessThreadCount();
/// Gives up the processor to another ready thread.
void YieldProcessor();
/// Sleeps for the milliseconds.
void SleepMilliseconds(std::uint32_t milliseconds);

} // namespace qz::platform
