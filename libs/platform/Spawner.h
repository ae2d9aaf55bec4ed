#pragma once

// Starting a program cheaply and ending like it: posix_spawn with a given environment, the exact
// way the program ended (exit code or signal), replacing the own process by a program, passing
// on the signals that ask a process to end, and ending the own process the way a child ended
// (re-raising its signal). qzrelay stands in for a tool with these.

#include "platform/Result.h"

#include <string>
#include <vector>

namespace qz::platform {

/// How a program ended: its exit code, or the signal that ended it.
struct ProgramEnd {
    bool signalled = false;
    int number = 0; ///< exit code (0-255) or signal number
};

/// Starts the program at path (no PATH search) with argv and the whole environment env; the
/// child's standard output and error go to stdOut and stdErr (-1: ours). Returns its pid.
Result<int> SpawnProgram(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& env, int stdOut = -1, int stdErr = -1);

/// Waits until the child pid has ended, resuming after interruptions.
Result<ProgramEnd> WaitProgram(int pid);

/// Replaces this process by the program at path with argv and env. Returns only when that
/// failed, with the reason.
Failure ReplaceProcess(const std::string& path, const std::vector<std::string>& argv,
                       const std::vector<std::string>& env);

/// From now on, SIGINT, SIGTERM and SIGHUP received by this process are passed on to the
/// process pid (asTerminate: each as SIGTERM) instead of ending this one. Another call changes
/// the receiver; 0 stops passing them on.
void ForwardEndSignals(int pid, bool asTerminate);

/// Ends this process as a child ended: exits with its code, or takes its signal with the
/// default action (so that our parent sees the same status); 128 + signal as exit code if the
/// signal does not end us.
[[noreturn]] void EndLike(const ProgramEnd& end);

/// Whether path names an executable regular file.
bool IsExecutableFile(const std::string& path);

/// Whether the two paths name the same file (after symbolic links).
bool IsSameFile(const std::string& path, const std::string& other);

} // namespace qz::platform
