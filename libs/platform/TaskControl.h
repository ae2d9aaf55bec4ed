#pragma once

// What a build-system process needs beyond starting children: a stop request by the terminate
// signal that it handles between its waits, and finding a task's program in the task's own PATH
// rather than in its own.

#include "platform/Result.h"

#include <string>

namespace qz::platform {

/// Makes the terminate signal (SIGTERM) a request: from now on it only sets a flag that
/// TerminateSignalReceived reads, and it interrupts a wait in progress. Children started later
/// get the default action back when they execute their program. Fails with the system error.
Result<> WatchTerminateSignal();

/// True once the terminate signal has arrived after WatchTerminateSignal.
bool TerminateSignalReceived();

/// The program name looked up the way a shell does, in the folders of pathValue (a PATH value:
/// folders separated by ':', an empty entry meaning the current folder). Relative folders count
/// from baseFolder when it is not empty (the folder the program will run in), else from ours. A
/// name holding '/' is returned as it is. The first regular file that may be executed wins;
/// empty when none does.
std::string FindProgramInPath(const std::string& name, const std::string& pathValue,
                              const std::string& baseFolder = {});

} // namespace qz::platform
