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

/// One process of the system with the id of its parent.
struct ProcessParent {
    int pid = 0;
    int parentPid = 0;
};

/// Every process the system lists now with its parent (from /proc); processes that end while
/// the list is read are left out.
std::vector<ProcessParent> ProcessParentSnapshot();

/// The full path of the running executable (/proc/self/exe), empty when it cannot be read.
std::string ExecutablePath();

/// True when the process runs with the effective user id 0 (root).
bool RunsAsRoot();

/// The user's home folder: $HOME when set, else the account's entry; empty when neither exists.
std::string UserHomeFolder();

} // namespace qz::platform
