#pragma once

// The processes above one: a process's parent and the short name the system keeps for it, read
// one process at a time (cheap enough for a program that asks once at its start).

#include "platform/Handles.h"
#include "platform/Result.h"

#include <string>

namespace qz::platform {

/// The parent of process pid (0: of this process); 0 when the process is gone or cannot be read.
int ParentProcessId(int pid);

/// The system's short name of process pid (0: this process): the file name of the program it
/// runs, cut to 15 bytes. Empty when the process is gone or cannot be read.
std::string ProcessShortName(int pid);

/// A handle that becomes readable (WaitReadable) once process pid has ended, whether or not it is
/// our child; close it with CloseHandle. ESRCH when there is no such process.
Result<THandle> OpenProcessEndHandle(int pid);

} // namespace qz::platform
