#pragma once

// A process as a Waitable: signalled once the process has ended, and then for good. One watcher
// thread of the platform layer observes every watched process and every pipe of a watched child
// through one epoll set: it records each exit code, hands each piece of captured output to its
// handler, and tells of each end through a handler (which, in the console, posts to the notify
// queue). No other thread is started per child or per stream.

#include "platform/ChildProcess.h"
#include "platform/Result.h"
#include "platform/WaitAny.h"

#include <functional>
#include <memory>
#include <string_view>

namespace qz::platform {

class ProcessWatch : public Waitable {
public:
    /// What the watcher thread calls for a watched child. Each handler runs on the watcher
    /// thread, never at the same time as another handler of the same watch, and never after the
    /// watch's destructor has returned; a handler must not destroy its own watch.
    struct Handlers {
        /// A piece of the child's standard output as it arrives; an empty piece is its end.
        std::function<void(std::string_view data)> output;
        /// The same for standard error (a pipe of its own).
        std::function<void(std::string_view data)> error;
        /// The child has ended: both outputs have ended before, the exit code is readable and
        /// the watch is signalled.
        std::function<void()> exited;
    };

    /// Starts watching a process by its id (it need not be our child). ESRCH: no such process. A
    /// child of the calling process is reaped by the watch, also when it ends after the watch
    /// was destroyed; do not wait for it elsewhere.
    static Result<std::unique_ptr<ProcessWatch>> Open(int pid);

    /// Takes a started child over: its pidfd (no second one is opened) and its pipe ends for
    /// standard output and error (pipeOutput, pipeError), which the watcher reads. Output ends
    /// when the child ends: what the child wrote before its end is delivered, and a descendant
    /// that still holds a pipe open does not hold the end back. The child is reaped by the watch,
    /// also when it ends after the watch was destroyed (its output is then read and dropped).
    /// EINVAL for a child that was not started or was reaped already.
    static Result<std::unique_ptr<ProcessWatch>> Watch(ChildProcess child, Handlers handlers = {});

    ~ProcessWatch() override;

    int Pid() const;
    bool HasExited() const;
    /// The exit code once ended: the status of a normal exit, 128 + n for a death by signal n,
    /// -1 while running or when it cannot be read (the process was not our child).
    int ExitCode() const;

    Result<> Signal() override;

    struct Impl; ///< the implementation's state

protected:
    Take TryTake() override;
    bool IsReady() const override;
    std::uint32_t* Word(bool& shared) override;

private:
    explicit ProcessWatch(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

/// The number of threads of this process (from the kernel's list), for tests and benchmarks
/// that show how many threads the watching costs.
int ThreadCount();

} // namespace qz::platform
