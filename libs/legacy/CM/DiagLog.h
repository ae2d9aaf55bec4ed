#pragma once

// The diagnostic log: a text file "<executable base name>.log" (or
// "<base>_<TamrelLogInstance>.log") that every process of the product keeps, switched on and
// leveled by the registry values "Level" and "Debug" of the machine key
// "SOFTWARE\Tamrel\<product>\Log". Where the file lies is DiagLogFolder's choice: beside the
// executable ("Logs/") for a private installation, the machine's log folder for services and
// root, the user's state folder otherwise (docs/install.md, "Diagnostic log"). Several processes
// of one executable share the file: an entry is written whole under the file's cross-process
// lock, and a file above 4 MiB is cut to its last 3 MiB (not in verbose mode) before the next
// entry.
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
    std::string folder;        ///< "Folder": an absolute folder for the log file, or empty
    std::string registryError; ///< a failure reading the settings, written at the first write
};

/// Reads "Level", "Debug" and "Folder" from the machine key "SOFTWARE\Tamrel\Orvane\Log"
/// ("Orvane" replaced by the product name), read access. A key that does not exist in a readable
/// store is an unconfigured machine: the defaults, nothing to report. Any other failure (a
/// damaged store, a value of an unusable type or text) leaves everything off and is remembered.
DiagLogSettings ReadDiagLogSettings();

/// The facts that decide where the diagnostic log lies (DiagLogFolder).
struct DiagLogPlaceFacts {
    std::string executable;             ///< full path of the running executable
    std::string configuredFolder;       ///< the "Folder" setting of the log, or empty
    std::string logsDirectory;          ///< $LOGS_DIRECTORY (systemd's LogsDirectory=), or empty
    std::string product;                ///< the product name (its lower case names the folders)
    bool root = false;                  ///< effective user id 0
    bool machineFolderWritable = false; ///< this user may write /var/log/<product>
    std::string stateHome;              ///< $XDG_STATE_HOME, or empty
    std::string home;                   ///< the user's home folder, or empty
};

/// True when the folder lies in a system program hierarchy (/usr, /bin, /sbin, /lib*, /opt,
/// /snap): a program there is installed for the machine, and no variable data go beside it.
bool IsSystemProgramFolder(const std::string& folder);

/// The folder of the log file, with a trailing "/"; empty when there is none (no log). The first
/// that applies: an absolute "Folder" setting; an absolute $LOGS_DIRECTORY (its first entry);
/// "Logs/" beside an executable outside the system program hierarchies (a private installation
/// or a build tree); "/var/log/<product>/" for root and for an account that may write it (a
/// service account); "<$XDG_STATE_HOME or ~/.local/state>/<product>/log/" for everybody else.
std::string DiagLogFolder(const DiagLogPlaceFacts& facts);

/// The log file for the given settings: DiagLogFolder of this process + the executable's base
/// name without extension (+ "_" + the value of "TamrelLogInstance" when that is not empty) +
/// ".log"; empty when there is no place for it.
std::string DiagLogFilePath(const DiagLogSettings& settings);
/// DiagLogFilePath of the default settings (no "Folder").
std::string DiagLogFilePath();

/// Start-up: installs the exception watch, reads the settings, sets the log up on
/// DiagLogFilePath(settings) and, when the level is above 0, writes the "Started" section (in
/// verbose mode also "Special Debugging Mode Enabled"). The log stays off for good when a module
/// named
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
