#pragma once

// Facts about the machine: its name and the running kernel's version.

#include "platform/Result.h"

#include <string>

namespace qz::platform {

/// The machine's host name.
Result<std::string> HostName();

/// The major and minor number of a kernel version.
struct KernelVersionNumber {
    int major = 0;
    int minor = 0;
};

/// The running kernel's major and minor version numbers; fails (Corrupt) when the kernel's
/// release text does not begin with them.
Result<KernelVersionNumber> KernelVersion();

/// The number of processors currently online (at least 1).
int OnlineProcessorCount();

} // namespace qz::platform
