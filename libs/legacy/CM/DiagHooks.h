#pragma once

// Hooks through which the runtime units write to the diagnostic log. They do nothing until the
// diagnostic log installs its functions at start-up, so that the units below it stay free of a
// dependency on the log. Install them before any thread is started; they are called from any
// thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace qz::diag {

/// A wait-state warning ("Wait State Warning (possible deadlock)", ...).
extern void (*LogWaitWarning)(std::string_view text);

/// A section of the log: a section header line followed by the text (lines separated by CR LF).
extern void (*LogSection)(std::string_view header, std::string_view text);

/// One or more plain lines ("DBG: ...", "FATAL ERROR: ...").
extern void (*LogText)(std::string_view text);

/// The call trace of the calling thread with its marker; empty when none is available.
extern std::string (*CallTrace)();

/// The registered name of a thread, empty when it has none.
extern std::string (*ThreadName)(std::uint32_t threadId);

/// The program's build number as written in log entries.
extern std::string (*BuildNumber)();

} // namespace qz::diag
