#pragma once

// The program's thread classes: TSafeThread (a thread with a Terminated request, a Finished
// flag and an exit code), TMethodThread (runs one method), TWaitObjectThread (waits for kernel
// objects at high priority and reports each signal), and ending the process at once.
//
// Construction and start: a thread object's constructor creates the thread, which waits until
// the object is fully built. CreateThread<T>(...) builds the object and then lets it run (unless
// it was created suspended); an object built otherwise runs once Resume is called. A derived
// class whose members Execute uses must stop the thread in its own destructor (StopThread),
// before those members go.

#include "NvObjects.h"
#include "platform/NativeThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qz {

/// The return value of a thread whose Execute raised.
inline constexpr std::uint32_t kThreadErrorExitCode = 0xC0000025;

class TSafeThread {
public:
    /// Creates the thread. A failed start raises nothing: it is written to the diagnostic log and
    /// the object is left without a thread (waits on it return at once). hardEnd: the thread ends
    /// without running thread-exit handlers of libraries (on Linux it ends normally).
    /// creationFlags are accepted for compatibility and ignored.
    TSafeThread(bool createSuspended, bool hardEnd, std::size_t stackSize = 0,
                std::uint32_t creationFlags = 0);
    /// When the thread was let run: Terminate, then WaitFor (at once for a finished one). A thread
    /// that never ran ends without running Execute.
    virtual ~TSafeThread();
    TSafeThread(const TSafeThread&) = delete;
    TSafeThread& operator=(const TSafeThread&) = delete;

    /// Lets a suspended thread run; it is no longer suspended once every suspension is resumed.
    void Resume();
    /// Sets Terminated only; Execute is expected to poll it.
    void Terminate() { terminated_ = true; }
    /// Waits without limit for the thread to end and returns its exit code. Not from the thread
    /// itself.
    std::uint32_t WaitFor();
    /// Ends the thread: its current or next wait fails, so it unwinds (a thread that never waits
    /// cannot be stopped from outside). Raises "Failed to terminate thread" (OS-error form). Sets
    /// Finished; AfterExecute does not run and nothing is logged.
    void TerminateThreadNow(std::uint32_t exitCode);

    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_; }
    bool Suspended() const { return suspended_; }
    bool HardEnd() const { return hardEnd_; }
    bool HasThread() const { return thread_ != nullptr; }
    std::uint32_t ThreadID() const { return thread_ ? thread_->Id() : 0; }
    std::uint32_t ReturnValue() const { return returnValue_; }

    /// Called by CreateThread once the most-derived object is built.
    void AfterConstruction();

protected:
    virtual void AfterExecute() {}
    virtual void Execute() = 0;

    void SetReturnValue(std::uint32_t value) { returnValue_ = value; }
    /// True once the thread was let run (by CreateThread or Resume).
    bool Started();
    /// Raises the thread's priority as far as the process may.
    void RaisePriority();
    /// Terminate and WaitFor when the thread was let run (for destructors of derived classes).
    void StopThread();

private:
    void Run();

    std::unique_ptr<platform::NativeThread> thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> suspended_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> killed_{false};
    std::atomic<std::uint32_t> returnValue_{0};
    bool hardEnd_;
    bool startSuspended_;

    std::mutex gateLock_;
    std::condition_variable gate_;
    int suspendCount_ = 1; // the thread runs Execute once this reaches 0
    bool skipRun_ = false; // set when the object goes before the thread ever ran
};

/// Builds a thread object and lets it run (unless the arguments say suspended).
template <typename T, typename... Args>
std::unique_ptr<T> CreateThread(Args&&... args) {
    auto thread = std::make_unique<T>(std::forward<Args>(args)...);
    thread->AfterConstruction();
    return thread;
}

/// A thread that calls one method with itself as Sender and swallows what the method raises.
class TMethodThread : public TSafeThread {
public:
    using TMethod = std::function<void(TMethodThread* sender)>;

    TMethodThread(bool createSuspended, bool hardEnd, TMethod method);
    ~TMethodThread() override;

protected:
    void Execute() override;

private:
    TMethod method_;
};

/// Creates a suspended TMethodThread, stores it in the variable and resumes it.
void StartMethodThread(std::unique_ptr<TMethodThread>& variable, bool hardEnd,
                       TMethodThread::TMethod method);

/// Waits for any of the handles (and its own stop event, the last of the list) with the wait
/// flags and calls Signaled with the index of each signalled handle; with wfKeepWaiting it waits
/// again after each signal, else it ends after the first. Runs at the highest priority the
/// process may give.
class TWaitObjectThread : public TSafeThread {
public:
    /// tracker: an optional state tracker (unused, kept for the interface).
    TWaitObjectThread(const std::vector<THandle>& handles, std::uint8_t flags,
                      void* tracker = nullptr, std::size_t stackSize = 0,
                      std::uint32_t creationFlags = 0);
    /// Sets the stop event and waits for the thread.
    ~TWaitObjectThread() override;

    /// The thread's own stop event (auto-reset).
    TWinEvent& StopEvent() { return stopEvent_; }

protected:
    void Execute() override;
    /// Called on the worker thread with the index of the signalled handle.
    virtual void Signaled(int index) = 0;
    /// Sets the stop event and waits for the thread (for destructors of derived classes).
    void StopWaiting();

private:
    TWinEvent stopEvent_;
    std::vector<THandle> handles_;
    std::uint8_t flags_;
};

/// The exit code ExitProcessNow ends the process with (0 until set).
void SetProcessExitCode(int exitCode);
int ProcessExitCode();

/// Flushes standard output (errors ignored) and ends the process at once with the exit code.
[[noreturn]] void ExitProcessNow();

} // namespace qz
