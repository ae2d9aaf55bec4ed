#pragma once

// Starting a child process and learning of its end. The child object owns everything of one
// child: its pid, its pidfd and the parent's ends of the pipes to its standard handles. A child
// is started with posix_spawn, or by vfork where an option needs work in the child that spawn
// cannot do (killWithParent, niceValue, allowCoreFiles).

#include "platform/Result.h"
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
    /// Standard handles for the child (descriptors of this process); -1 inherits ours. The
    /// pipe and null-device choices below take precedence over them.
    int stdIn = -1;
    int stdOut = -1;
    int stdErr = -1;
    /// The child reads the null device.
    bool nullInput = false;
    /// The child's standard input is a pipe whose writing end the object keeps (InputHandle).
    bool pipeInput = false;
    /// The child's standard output is a pipe whose reading end the object keeps (OutputHandle).
    bool pipeOutput = false;
    /// The child's standard error is a pipe of its own (ErrorHandle).
    bool pipeError = false;
    /// Standard error goes where standard output goes (after the choices above).
    bool errorToOutput = false;
};

/// A started child. The object owns the child's pidfd and the parent's pipe ends; the child itself
/// is never killed by it. Not thread-safe: one thread uses an object at a time.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Starts the child (once per object). Fails with the system error of the start, also when
    /// the program could not be executed or the folder not entered (nothing is left running
    /// then); EINVAL for a second start, ENOENT for an empty argument vector.
    Result<> Start(const ChildStartOptions& options);

    bool Started() const { return pid_ > 0; }
    int Pid() const { return pid_; }
    /// A descriptor that becomes readable when the child ends (for wait-any); -1 before Start.
    int WaitHandle() const { return pidfd_.Get(); }

    /// Waits up to timeoutMs (-1: without limit) for the end; true when the child has ended.
    bool Wait(int timeoutMs);

    /// The exit code once the child has ended: its exit status, or 128 + the signal number.
    std::optional<int> ExitCode();

    /// The parent's pipe ends (pipeInput, pipeOutput, pipeError), -1 when there is none or it
    /// was closed. The reading ends do not block: a read with nothing there fails with EAGAIN.
    /// None is inherited by later children.
    int InputHandle() const { return input_.Get(); }
    int OutputHandle() const { return output_.Get(); }
    int ErrorHandle() const { return error_.Get(); }
    /// Closes the end (closing the input ends the child's input).
    void CloseInput() { input_.Reset(); }
    void CloseOutput() { output_.Reset(); }
    void CloseError() { error_.Reset(); }

private:
    friend class ProcessWatch; // takes the pidfd and the pipe ends over
    void Reap();

    int pid_ = -1;
    detail::UniqueFd pidfd_;
    detail::UniqueFd input_;
    detail::UniqueFd output_;
    detail::UniqueFd error_;
    std::optional<int> exitCode_;
};

enum class ProcessSignal {
    Terminate, ///< asks to end (SIGTERM)
    Kill,      ///< ends at once (SIGKILL)
};

/// Sends the signal to every process of the group. Fails with ESRCH when the group has no process
/// left, EINVAL for a group id below 2, or another system error.
Result<> SignalProcessGroup(int groupId, ProcessSignal signal);

/// True while any process (zombies included) belongs to the group.
bool ProcessGroupAlive(int groupId);

/// Makes this process the reaper of its orphaned descendants: a process that a task started and
/// left behind becomes our child instead of init's, so KillRemainingChildren can end it.
Result<> BecomeChildSubreaper();

/// Ends and reaps every child of this process that is still there, including adopted orphans.
/// With a grace period, each is first asked to end (SIGTERM) and given up to graceMs to go; what
/// is left is then killed (SIGKILL) until none is left or timeoutMs passed. Returns the number of
/// processes signalled.
int KillRemainingChildren(int timeoutMs, int graceMs = 0);

/// The nice value of a Windows priority class number (normal, idle, below and above normal, high,
/// real time); std::nullopt for any other value.
std::optional<int> NiceValueOfPriorityClass(unsigned priorityClass);

} // namespace qz::platform
