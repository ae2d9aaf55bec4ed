#pragma once

// What a build-system process needs beyond starting children: a stop request by the terminate
// signal that it handles between its waits. (A task's program is found in the task's own PATH
// with FindProgramInPath, ProgramFile.h.)

#include "platform/Result.h"

namespace qz::platform {

/// Makes the terminate signal (SIGTERM) a request: from now on it only sets a flag that
/// TerminateSignalReceived reads, and it interrupts a wait in progress. Children started later
/// get the default action back when they execute their program. Fails with the system error.
Result<> WatchTerminateSignal();

/// True once the terminate signal has arrived after WatchTerminateSignal.
bool TerminateSignalReceived();

} // namespace qz::platform
