#pragma once

// The diagnostic log: a text file beside the executable ("Logs/<executable base name>.log", or
// "<base>_<TamrelLogInstance>.log") that every process of the product keeps, switched on and
// leveled by the registry values "Level" and "Debug" of the machine key
// "SOFTWARE\Tamrel\<product>\Log". Several processes of one executable share the file: an entry
// is written whole under the file's cross-process lock, and a file above 4 MiB is cut to its
// last 3 MiB (not in verbose mode) before the next entry.
//
// The cross-process log mutex is an exclusive flock of the log file itself, taken through
// platform::diag::SharedLogFile; within the process a recursive mutex admits repeated
// acquisition by its owning thread (the watchdog holds the log for a whole thread dump). This is
// the one seam to change when a named robust mutex "Tamrel_LogMutex_<base>" should guard it
// instead.
//
// Writing costs nothing while the log is off or not set up. All functions may be called from any
// thread and never raise.

#include <cstdint>
#include <string>
#include <string_view>

namespace qz {

/// Entry flags.
enum : int {
    lfVerboseOnly = 1, ///< written only in verbose mode
    lfAlways = 2,      ///< written whenever the log is on, whatever the level
    lfFlush = 4,       ///< the file is flushed to disk after the entry
};

/// The cut: above kLogSizeLimit bytes the file keeps its last kLogKeepSize bytes.
inline constexpr std::int64_t kLogSizeLimit = 4194304;
inline constexpr std::int64_t kLogKeepSize = 3145728;

/// The program's build number, written in entries.
inline constexpr int kProgramBuildNumber = 14861;

struct DiagLogSettings {
    int level = 0;             ///< above 0: ordinary entries and the start and stop sections
    bool debug = false;        ///< verbose mode; the level then counts as above 0
    std::string registryError; ///< a failure reading the settings, written at the first write
};

/// Reads "Level" and "Debug" from the machine key "SOFTWARE\Tamrel\Orvane\Log" ("Orvane"
/// replaced by the product name), read access. A failure leaves both off and is remembered.
DiagLogSettings ReadDiagLogSettings();

/// The folder of the running executable + "/Logs/" + its base name without extension (+ "_" +
/// the value of "TamrelLogInstance" when that is not empty) + ".log".
std::string DiagLogFilePath();

/// Start-up: installs the exception watch, reads the settings, sets the log up on
/// DiagLogFilePath() and, when the level is above 0, writes the "Started" section (in verbose
/// mode also "Special Debugging Mode Enabled"). The log stays off for good when a module named
/// "__Tamrel_VE__" is loaded. Runs once; later calls do nothing.
void DiagLogStartup();

/// Points the runtime units' log hooks (waits, locks, threads) at this log; start-up does it.
void InstallRuntimeHooks();

/// Sets the log up on the given file with the given settings (the start-up and tests use it);
/// the file is opened at the first write.
void DiagLogSetUp(const std::string& filePath, const DiagLogSettings& settings);

/// Orderly shut-down: when the level is above 0 writes "Stopped (PID=<pid>)", then closes the
/// log, which stays off.
void DiagLogShutdown();

/// Tests: closes the log and forgets the set-up and the thread names, as if never set up.
void DiagLogReset();

/// Whether entries may be written at all (set up, not off for good).
bool DiagLogActive();
/// Verbose mode ("Debug").
bool DiagLogVerbose();
/// The effective level (above 0 in verbose mode).
int DiagLogLevel();

/// Appends text + "\r\n" when the flags and settings allow it (lfVerboseOnly: verbose mode only;
/// lfAlways: always; neither: level above 0) and the thread is not quiet.
void LogWrite(std::string_view text, int flags);

/// One header line: 10 fill characters, the title, fill up to 30 characters of title, the
/// timestamp, fill up to 79 characters. Empty when the log is not set up.
std::string LogSection(std::string_view title, char fill);
/// LogWrite(LogSection(title, fill) + "\r\n", flags).
void LogSectionEntry(std::string_view title, char fill, int flags);
/// A "Warning" section (fill "=") and the text, always written; errors are swallowed.
void LogWarning(std::string_view text);
/// LogWrite(timestamp + " " + text, flags).
void LogLine(std::string_view text, int flags);
/// LogLine("[pid|tid] text", lfVerboseOnly).
void LogDebug(std::string_view text);
/// "PID=<pid> TID=<tid>[ [<name>]] Build=<build>".
std::string ThreadIdentity();
/// A "Warning" section (fill "-"), ThreadIdentity, the text and the calling thread's call trace,
/// always written: the hook through which waits and locks report.
void LogWaitWarning(std::string_view text);

/// "dd/mm/yyyy hh:nn:ss.zzz" in local time.
std::string LogTimestamp();

/// Adds a (thread id, name) pair; the oldest names are dropped so that at most 129 are kept.
void RegisterThreadName(int threadId, std::string_view name);
/// The newest name registered for the thread, or empty.
std::string ThreadName(int threadId);
/// The calling thread's name, or its id as text.
std::string CurrentThreadNameOrNumber();
/// The id of the thread that ran DiagLogStartup (registered as "Main Thread"), or 0.
int MainThreadId();

/// Take and release the log for a sequence of writes (the watchdog's thread dump); the owning
/// thread may write meanwhile.
void LockLog();
void UnlockLog();

} // namespace qz
