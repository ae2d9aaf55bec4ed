#pragma once

// Facts about the running process: its argument vector and its executable.

#include <string>
#include <vector>

namespace qz::platform {

/// Records the process's argument vector; the program entry calls it first thing.
void SetProcessArguments(int argc, const char* const* argv);

/// A copy of the argument vector recorded by SetProcessArguments (empty before).
std::vector<std::string> ProcessArguments();

/// Replaces the recorded argument vector (tests use it to act as another command line).
void SetProcessArguments(std::vector<std::string> arguments);

/// The full path of the running executable (/proc/self/exe), empty when it cannot be read.
std::string ExecutablePath();

} // namespace qz::platform
