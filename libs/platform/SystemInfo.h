#pragma once

// Facts about the machine: its name and the running kernel's version.

#include <string>

namespace qz::platform {

/// The machine's host name; 0 or the system error code.
int HostName(std::string& name);

/// The running kernel's major and minor version numbers; false when they cannot be read.
bool KernelVersion(int& major, int& minor);

/// The number of processors currently online (at least 1).
int OnlineProcessorCount();

} // namespace qz::platform
