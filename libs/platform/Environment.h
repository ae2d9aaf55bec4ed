#pragma once

// The process environment: reading, setting and removing variables, and listing all of them.
// Every function takes one process-wide lock, so calls from several threads do not race with
// each other (code that calls the C library's environment functions directly is not covered).

#include "platform/Result.h"

#include <optional>
#include <string>
#include <vector>

namespace qz::platform {

/// The value of a variable, or std::nullopt when it does not exist.
std::optional<std::string> ReadEnvironmentVariable(const std::string& name);

/// Sets a variable of the own process; fails with EINVAL for an empty name or one that holds
/// "=".
Result<> WriteEnvironmentVariable(const std::string& name, const std::string& value);

/// Removes a variable of the own process (a missing one is no error).
Result<> RemoveEnvironmentVariable(const std::string& name);

/// Every entry of the own process's environment as "name=value", in the environment's order.
std::vector<std::string> EnvironmentEntries();

} // namespace qz::platform
