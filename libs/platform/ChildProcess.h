#pragma once

// Starting a child process and learning of its end.

#include "platform/posix/UniqueFd.h"

#include <optional>
#include <string>
#include <vector>

namespace qz::platform {

/// How a child starts.
struct ChildStartOptions {
    /// The argument vector; the first names the program, looked up in PATH when it has no "/".
    std::vector<std::string> arguments;
    /// Its own session and process group, so a Ctrl+C in our terminal does not reach it.
    bool newSession = false;
    /// Its own process group (its id is the child's pid) in our session, so that the child and
    /// everything it starts can be signalled together (SignalProcessGroup).
    bool newProcessGroup = false;
    /// The child is killed when the thread that started it ends (for example when this process
    /// is killed), so it cannot outlive its starter.
    bool killWithParent = false;
    /// The folder the child starts in; empty: ours. A folder that cannot be entered fails Start.
    std::string workingDirectory;
    /// The child's whole environment ("name=value" entries); std::nullopt: ours.
    std::optional<std::vector<std::string>> environment;
    /// The nice value to start with; raising priority without the privilege is ignored.
    std::optional<int> niceValue;
    /// Core files are allowed (RLIMIT_CORE raised to its hard limit) instead of being left as is.
    bool allowCoreFiles = false;
    /// Standard handles for the child (descriptors of this process); -1 inherits ours.
    int stdIn = -1;
    int stdOut = -1;
    int stdErr = -1;
};

/// A started child. The object owns the child's pidfd; the child itself is never killed by it.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Starts the child; returns 0, or the error code of the failure (also when the program
    /// could not be executed).
    int Start(const ChildStartOptions& options);

    bool Started() const { return pid_ > 0; }
    int Pid() const { return pid_; }
    /// A descriptor that becomes readable when the child ends (for wait-any); -1 before Start.
    int WaitHandle() const { return pidfd_.Get(); }

    /// Waits up to timeoutMs (-1: without limit) for the end; true when the child has ended.
    bool Wait(int timeoutMs);

    /// The exit code once the child has ended: its exit status, or 128 + the signal number.
    std::optional<int> ExitCode();

private:
    void Reap();

    int pid_ = -1;
    detail::UniqueFd pidfd_;
    std::optional<int> exitCode_;
};

enum class ProcessSignal {
    Terminate, ///< asks to end (SIGTERM)
    Kill,      ///< ends at once (SIGKILL)
};

/// Sends the signal to every process of the group. 0, ESRCH when the group has no process left,
/// or another system error code.
int SignalProcessGroup(int groupId, ProcessSignal signal);

/// True while any process (zombies included) belongs to the group.
bool ProcessGroupAlive(int groupId);

/// Makes this process the reaper of its orphaned descendants: a process that a task started and
/// left behind becomes our child instead of init's, so KillRemainingChildren can end it.
int BecomeChildSubreaper();

/// Kills (SIGKILL) and reaps every child of this process that is still there, including adopted
/// orphans, until none is left or timeoutMs passed. Returns the number of processes killed.
int KillRemainingChildren(int timeoutMs);

/// The nice value of a Windows priority class number (normal, idle, below and above normal, high,
/// real time); std::nullopt for any other value.
std::optional<int> NiceValueOfPriorityClass(unsigned priorityClass);

} // namespace qz::platform
