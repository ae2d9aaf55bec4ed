#pragma once

// A process as a Waitable: signalled once the process has ended, and then for good. A watcher
// thread of the platform layer observes every watched process and records its exit code.

#include "platform/WaitAny.h"

#include <memory>

namespace qz::platform {

class ProcessWatch : public Waitable {
public:
    /// Starts watching the process. 0 or the system error code (ESRCH: no such process). A child
    /// of the calling process is reaped by the watch, also when it ends after the watch was
    /// destroyed; do not wait for it elsewhere.
    static int Open(int pid, std::unique_ptr<ProcessWatch>& out);

    ~ProcessWatch() override;

    int Pid() const;
    bool HasExited() const;
    /// The exit code once ended: the status of a normal exit, 128 + n for a death by signal n,
    /// -1 while running or when it cannot be read (the process was not our child).
    int ExitCode() const;

    int Signal() override;

    struct Impl; ///< the implementation's state

protected:
    Take TryTake() override;
    bool IsReady() const override;
    std::uint32_t* Word(bool& shared) override;

private:
    explicit ProcessWatch(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace qz::platform
