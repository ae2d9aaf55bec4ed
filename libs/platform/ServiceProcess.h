#pragma once

// What a long-running service program needs from the system: stopping on the termination
// signals without a signal handler, one instance per machine through a locked state file, and
// telling the service manager that it is ready or stopping.

#include <functional>
#include <string>
#include <thread>

namespace qz::platform {

/// Blocks the stop signals (terminate, interrupt, hang-up) for the calling thread and every
/// thread it starts afterwards; call it in main before any thread exists. 0 or the error code.
int BlockStopSignals();

/// Waits on a thread of its own for the stop signals blocked by BlockStopSignals and calls the
/// handler there with the signal number, once per signal. Sleeps in the kernel meanwhile.
class StopSignalWatch {
public:
    StopSignalWatch() = default;
    /// Stops the watch.
    ~StopSignalWatch();
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

    /// Starts watching; 0 or the error code.
    int Start(std::function<void(int signal)> onSignal);
    /// Ends the watching thread and waits for it. A handler still running finishes first.
    void Stop();

private:
    int signalFd_ = -1;
    int wakeFd_ = -1;
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

    /// Creates the file when missing and takes the lock without waiting. 0; EWOULDBLOCK when
    /// another process holds it; another error code when the file cannot be used.
    int Acquire(const std::string& path);
    /// Replaces the file's text (the holder's process id and state). 0 or the error code.
    int WriteState(const std::string& text);
    void Release();
    bool Held() const { return fd_ >= 0; }

    /// The text of the file when a live process holds its lock. 0; ESRCH when nobody holds it
    /// (or the file is missing); another error code when it cannot be read.
    static int ReadHolderState(const std::string& path, std::string& text);

private:
    int fd_ = -1;
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

    /// Creates the file when missing and takes the lock without waiting. 0; EWOULDBLOCK (or
    /// EAGAIN) when another process holds it; another error code when the file cannot be used.
    int Acquire(const std::string& path);
    /// Writes our pid and, when not empty, the state word ("starting", "stopping").
    int WriteState(const std::string& state);
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

/// Asks the process to stop (the terminate signal). 0 or the error code.
int SendStopSignal(int pid);

/// Tells the service manager that started the program its state ("READY=1", "STOPPING=1");
/// nothing when the program was not started by one.
void NotifyServiceManager(const std::string& state);

} // namespace qz::platform
