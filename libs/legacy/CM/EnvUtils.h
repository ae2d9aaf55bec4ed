#pragma once

// System utilities: error forms, file names, GUID text, code pages, the process environment,
// string helpers and thin wrappers of system calls that raise on failure.

#include <string>
#include <vector>

namespace qz {

/// Quotes one argument so that the C-runtime tokenizer gives it back unchanged.
std::string QuoteCommandLineArgument(const std::string& argument);

/// Joins an argument vector into one command line that the C-runtime tokenizer splits back into
/// exactly the same vector.
std::string BuildCommandLine(const std::vector<std::string>& arguments);

/// The process command line: rebuilt from the process's argument vector (UTF-8).
std::string ProcessCommandLine();

} // namespace qz
