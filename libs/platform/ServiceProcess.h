#pragma once

// What a long-running service program needs from the system: stopping on the termination
// signals without a signal handler, one instance per machine through a locked state file, and
// telling the service manager that it is ready or stopping.

#include "platform/Result.h"
#include "platform/posix/UniqueFd.h"

#include <functional>
#include <string>
#include <thread>

namespace qz::platform {

/// Blocks the stop signals (terminate, interrupt, hang-up) for the calling thread and every
/// thread it starts afterwards; call it in main before any thread exists.
Result<> BlockStopSignals();

/// Waits on a thread of its own for the stop signals blocked by BlockStopSignals and calls the
/// handler there with the signal number, once per signal. Sleeps in the kernel meanwhile.
class StopSignalWatch {
public:
    StopSignalWatch() = default;
    /// Stops the watch.
    ~StopSignalWatch();
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

    /// Starts watching (a watch already running is stopped first).
    Result<> Start(std::function<void(int signal)> onSignal);
    /// Ends the watching thread and waits for it. A handler still running finishes first.
    void Stop();

private:
    detail::UniqueFd signalFd_;
    detail::UniqueFd wakeFd_;
    std::thread thread_;
};

/// An exclusive lock on a small state file that names the process holding it: the one-instance
/// rule of a service. The kernel drops the lock when the holder ends, however it ends.
class InstanceLock {
public:
    InstanceLock() = default;
    /// Releases the lock (the file stays; a later holder rewrites it).
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    /// Creates the file when missing and takes the lock without waiting. Fails with
    /// EWOULDBLOCK when another holder has it (another InstanceLock of this process too), with
    /// another code when the file cannot be used.
    Result<> Acquire(const std::string& path);
    /// Replaces the file's text (the holder's process id and state). Fails with EBADF when the
    /// lock is not held.
    Result<> WriteState(const std::string& text);
    void Release();
    bool Held() const { return static_cast<bool>(fd_); }

    /// The text of the file (about its first 4 KiB) when a live process holds its
    /// lock. Fails with ESRCH when nobody holds it (or the file is missing), with another code
    /// when it cannot be read.
    static Result<std::string> ReadHolderState(const std::string& path);

private:
    detail::UniqueFd fd_;
};

/// The pid file of a service under the project's own supervision (ServiceControl.h): a
/// process-owned write lock (fcntl, the whole file) held while the service lives, the pid on the
/// first line and an optional state word on the second. Child processes do not inherit the lock.
class SupervisedPidFile {
public:
    SupervisedPidFile() = default;
    ~SupervisedPidFile();
    SupervisedPidFile(const SupervisedPidFile&) = delete;
    SupervisedPidFile& operator=(const SupervisedPidFile&) = delete;

    /// Creates the file when missing and takes the lock without waiting. Fails with EWOULDBLOCK
    /// (or EAGAIN) when another process holds it, with another code when the file cannot be
    /// used.
    Result<> Acquire(const std::string& path);
    /// Writes our pid and, when not empty, the state word ("starting", "stopping"). Fails with
    /// EBADF when the lock is not held.
    Result<> WriteState(const std::string& state);
    void Release();
    bool Held() const { return static_cast<bool>(fd_); }

private:
    detail::UniqueFd fd_;
};

/// Asks the process to stop (the terminate signal). Fails with EINVAL for a pid that names no
/// single process (0 or less), else with the system error.
Result<> SendStopSignal(int pid);

/// Tells the service manager that started the program its state ("READY=1", "STOPPING=1");
/// nothing when the program was not started by one.
void NotifyServiceManager(const std::string& state);

} // namespace qz::platform
