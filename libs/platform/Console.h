#pragma once

// The process's standard handles and its end.

#include <cstddef>
#include <string_view>

namespace qz::platform {

enum class StdHandle { Output, Error };

/// Writes the bytes to standard output or standard error with one write call (repeated only
/// for a partial write); failures are ignored.
void WriteStdHandle(StdHandle handle, std::string_view bytes);

/// True when standard output is a terminal.
bool StdOutIsTerminal();

/// The console's output code page: always UTF-8 (65001) on this platform.
unsigned ConsoleOutputCodePage();

/// Ends the process at once with the exit code (no destructors, no atexit handlers). The named
/// objects the process still has open give up their names as their last closer would. The
/// parent sees the low 8 bits of the code.
[[noreturn]] void ExitProcessNow(int exitCode);

} // namespace qz::platform
