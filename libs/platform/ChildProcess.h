#pragma once

// Starting a child process and learning of its end. The child object owns everything of one
// child: its pid, its pidfd and the parent's ends of the pipes to its standard handles. A child
// is started with posix_spawn, or by vfork where an option needs work in the child that spawn
// cannot do (killWithParent, niceValue, allowCoreFiles). Beside it, what a process needs that
// stands in for another program: replacing itself by a program, passing the signals that ask it
// to end on to its child, and ending exactly as its child ended.

#include "platform/Result.h"
#include "platform/posix/UniqueFd.h"

#include <optional>
#include <string>
#include <vector>

namespace qz::platform {

/// How a program ended: its exit code, or the signal that ended it.
struct ProgramEnd {
    bool signalled = false;
    int number = 0; ///< exit code (0-255) or signal number

    friend bool operator==(const ProgramEnd&, const ProgramEnd&) = default;
};

/// How a child starts.
struct ChildStartOptions {
    /// The argument vector; the first names the program, looked up in PATH when it has no "/".
    std::vector<std::string> arguments;
    /// The file to start when it is not the first argument (the argument vector's first entry is
    /// then only what the program sees as its name); looked up in PATH when it has no "/" (in our
    /// own PATH, not the child's environment).
    std::string program;
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
    /// The child starts with our signal mask and with the signals we ignore still ignored, as a
    /// program that replaced us would (a stand-in for a program passes on what its own starter set
    /// up). Otherwise no signal is blocked in the child and SIGPIPE has its default action. The
    /// signals we catch start with their default action either way.
    bool inheritSignalState = false;
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

    /// How the child ended, once it has: its exit status, or the signal that ended it (so a
    /// child killed by signal n is told from one that exited with 128 + n).
    std::optional<ProgramEnd> End();

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
    void Reap(bool block);

    int pid_ = -1;
    detail::UniqueFd pidfd_;
    detail::UniqueFd input_;
    detail::UniqueFd output_;
    detail::UniqueFd error_;
    std::optional<ProgramEnd> end_;
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

/// Replaces this process by the program at path (no PATH search) with argv and the whole
/// environment env. Returns only when that failed, with the reason.
Failure ReplaceProcess(const std::string& path, const std::vector<std::string>& argv,
                       const std::vector<std::string>& env);

/// From now on, SIGINT, SIGTERM and SIGHUP received by this process are passed on to the
/// process pid (asTerminate: each as SIGTERM) instead of ending this one. Another call changes
/// the receiver; 0 names none yet: a signal that arrives then is kept and passed on to the next
/// receiver named. Children started meanwhile get these signals with their default action.
void ForwardEndSignals(int pid, bool asTerminate);

/// The last end signal this process received since ForwardEndSignals was first called (passed
/// on or kept); 0 for none.
int ReceivedEndSignal();

/// Ends this process as a child ended: exits with its code, or takes its signal with the default
/// action (so that our parent sees the same status); 128 + signal as exit code if the signal
/// does not end us.
[[noreturn]] void EndLike(const ProgramEnd& end);

/// The nice value of a Windows priority class number (normal, idle, below and above normal, high,
/// real time); std::nullopt for any other value.
std::optional<int> NiceValueOfPriorityClass(unsigned priorityClass);

} // namespace qz::platform
