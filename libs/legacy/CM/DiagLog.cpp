#include "DiagLog.h"

#include "CallTraceUtils.h"
#include "CrossRegistry.h"
#include "DiagHooks.h"
#include "EnvUtils.h"
#include "ExceptionWatch.h"
#include "Exceptions.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/RegistryStore.h"
#include "platform/SystemInfo.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <utility>

namespace qz {

namespace {

enum Mode : int { kNeverSetUp, kActive, kOffForGood };

constexpr size_t kMaxKeptNames = 128;

struct LogState {
    std::atomic<int> mode{kNeverSetUp};
    std::mutex setupLock;
    bool startupDone = false;
    std::string filePath;
    DiagLogSettings settings;

    // Serialises the writers of this process and admits re-entry by the owner; the file's flock
    // serialises the processes and is held while depth is above 0.
    std::recursive_mutex writeLock;
    int depth = 0;
    platform::diag::SharedLogFile file;
    bool openTried = false;
    bool openFailed = false;

    std::mutex namesLock;
    bool namesEnabled = true;
    std::deque<std::pair<int, std::string>> names;
    int mainThreadId = 0;
};

LogState& State() {
    // Never destroyed: other threads and late exceptions may still write at process end.
    static LogState* state = new LogState();
    return *state;
}

std::string Digits(int value, int width) {
    std::string text = std::to_string(value);
    return text.size() < static_cast<size_t>(width)
               ? std::string(static_cast<size_t>(width) - text.size(), '0') + text
               : text;
}

bool EntryAllowed(const DiagLogSettings& settings, int flags) {
    if (flags & lfAlways) {
        return true;
    }
    if (flags & lfVerboseOnly) {
        return settings.debug;
    }
    return settings.debug || settings.level > 0;
}

void AppendLocked(LogState& state, std::string_view text, int flags);

// Opens the file at the first write (tried once); the caller holds writeLock.
bool EnsureOpenLocked(LogState& state) {
    if (!state.openTried) {
        state.openTried = true;
        state.openFailed = !state.file.Open(state.filePath);
        if (!state.openFailed && !state.settings.registryError.empty()) {
            AppendLocked(state, state.settings.registryError, lfAlways);
        }
    }
    return !state.openFailed;
}

void LockLocked(LogState& state) {
    if (state.depth++ == 0) {
        state.file.Lock();
    }
}

void UnlockLocked(LogState& state) {
    if (--state.depth == 0) {
        state.file.Unlock();
    }
}

void AppendLocked(LogState& state, std::string_view text, int flags) {
    LockLocked(state);
    if (!state.settings.debug && state.file.Size() > kLogSizeLimit) {
        state.file.KeepTail(kLogKeepSize);
    }
    std::string entry(text);
    entry += "\r\n";
    state.file.Append(entry);
    if (flags & lfFlush) {
        state.file.Flush();
    }
    UnlockLocked(state);
}

std::string ReplaceProductName(const std::string& path, const std::string& product) {
    static const std::string kPlaceholder = "orvane";
    for (size_t i = 0; i + kPlaceholder.size() <= path.size(); ++i) {
        if (platform::SameTextAscii(std::string_view(path).substr(i, kPlaceholder.size()),
                                    kPlaceholder)) {
            return path.substr(0, i) + product + path.substr(i + kPlaceholder.size());
        }
    }
    return path;
}

} // namespace

DiagLogSettings ReadDiagLogSettings() {
    DiagLogSettings settings;
    const std::string key =
        ReplaceProductName("SOFTWARE\\Tamrel\\Orvane\\Log", ProductRegistryName());
    try {
        TCrossRegistry registry(kKeyRead);
        registry.SetRootKey(RegRoot::LocalMachine);
        if (!registry.OpenKey(key, false, false)) {
            // An unconfigured machine has no such key: the defaults, and nothing to report. A
            // store that cannot be read raises its reason below.
            if (platform::RegistryStore::Load(platform::RegistryRoot::LocalMachine) &&
                !registry.KeyExists(key)) {
                return settings;
            }
            registry.OpenKey(key, false, true);
        }
        settings.level = registry.ReadInteger("Level", 0);
        settings.debug = registry.ReadBool("Debug", false);
        settings.folder = registry.ReadString("Folder");
    } catch (const Exception& e) {
        settings = DiagLogSettings();
        settings.registryError =
            "An error occurred while initializing log.\r\nFailed to access registry "
            "information.\r\n" +
            e.Message();
    }
    return settings;
}

bool IsSystemProgramFolder(const std::string& folder) {
    static const char* const kHierarchies[] = {"/usr",   "/bin",    "/sbin", "/lib", "/lib32",
                                               "/lib64", "/libx32", "/opt",  "/snap"};
    for (const char* hierarchy : kHierarchies) {
        std::string_view top(hierarchy);
        if (folder.compare(0, top.size(), top) == 0 &&
            (folder.size() == top.size() || folder[top.size()] == '/')) {
            return true;
        }
    }
    return false;
}

std::string DiagLogFolder(const DiagLogPlaceFacts& facts) {
    auto absolute = [](const std::string& path) { return !path.empty() && path[0] == '/'; };
    auto withSlash = [](std::string path) {
        if (path.empty() || path.back() != '/') {
            path += '/';
        }
        return path;
    };
    if (absolute(facts.configuredFolder)) {
        return withSlash(facts.configuredFolder);
    }
    std::string logsDirectory = facts.logsDirectory.substr(0, facts.logsDirectory.find(':'));
    if (absolute(logsDirectory)) {
        return withSlash(logsDirectory);
    }
    std::string programFolder = PathFolder(facts.executable);
    if (!programFolder.empty() && !IsSystemProgramFolder(programFolder)) {
        return withSlash(programFolder) + "Logs/";
    }
    std::string product = facts.product.empty() ? std::string("Orvane") : facts.product;
    for (char& c : product) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (facts.root || facts.machineFolderWritable) {
        return "/var/log/" + product + "/";
    }
    if (absolute(facts.stateHome)) {
        return withSlash(facts.stateHome) + product + "/log/";
    }
    if (absolute(facts.home)) {
        return withSlash(facts.home) + ".local/state/" + product + "/log/";
    }
    return "";
}

std::string DiagLogFilePath(const DiagLogSettings& settings) {
    DiagLogPlaceFacts facts;
    facts.executable = platform::ExecutablePath();
    facts.configuredFolder = settings.folder;
    facts.logsDirectory = GetEnv("LOGS_DIRECTORY");
    facts.product = ProductRegistryName();
    facts.root = platform::RunsAsRoot();
    facts.stateHome = GetEnv("XDG_STATE_HOME");
    facts.home = platform::UserHomeFolder();
    if (!facts.root) {
        DiagLogPlaceFacts machine = facts;
        machine.machineFolderWritable = true;
        machine.executable.clear();
        machine.configuredFolder.clear();
        machine.logsDirectory.clear();
        facts.machineFolderWritable = platform::FolderIsWritable(DiagLogFolder(machine));
    }
    std::string folder = DiagLogFolder(facts);
    if (folder.empty()) {
        return "";
    }
    std::string base = PathBaseName(facts.executable);
    std::string instance = GetEnv("TamrelLogInstance");
    if (!instance.empty()) {
        base += "_" + instance;
    }
    return folder + base + ".log";
}

std::string DiagLogFilePath() {
    return DiagLogFilePath(DiagLogSettings());
}

void DiagLogSetUp(const std::string& filePath, const DiagLogSettings& settings) {
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> writeGuard(state.writeLock);
    state.file.Close();
    state.openTried = false;
    state.openFailed = false;
    state.filePath = filePath;
    state.settings = settings;
    state.mode.store(kActive);
}

void InstallRuntimeHooks() {
    diag::LogWaitWarning = [](std::string_view text) { LogWaitWarning(text); };
    diag::LogSection = [](std::string_view header, std::string_view text) {
        try {
            LogWrite(LogSection(header, '-') + "\r\n" + std::string(text) + "\r\n", lfAlways);
        } catch (...) {
        }
    };
    diag::LogText = [](std::string_view text) {
        try {
            LogWrite(text, lfAlways);
        } catch (...) {
        }
    };
    diag::CallTrace = [] { return CallTrace(0, 0, 0); };
    diag::ThreadName = [](std::uint32_t threadId) {
        return ThreadName(static_cast<int>(threadId));
    };
    diag::BuildNumber = [] { return std::to_string(kProgramBuildNumber); };
}

void DiagLogStartup() {
    LogState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.setupLock);
        if (state.startupDone) {
            return;
        }
        state.startupDone = true;
    }
    InstallExceptionWatch();
    InstallRuntimeHooks();
    if (platform::diag::IsModuleLoaded("__Tamrel_VE__")) {
        std::lock_guard<std::mutex> names(state.namesLock);
        state.namesEnabled = false;
        state.mode.store(kOffForGood);
        return;
    }
    DiagLogSettings settings = ReadDiagLogSettings();
    state.mainThreadId = platform::diag::ThreadId();
    RegisterThreadName(state.mainThreadId, "Main Thread");
    DiagLogSetUp(DiagLogFilePath(settings), settings);
    if (DiagLogLevel() > 0) {
        auto host = platform::HostName();
        std::string computer =
            host ? *host
                 : "<Unknown:" + OsErrorMessage("Failed to get computer name", host.error().code) +
                       ">";
        LogWrite(LogSection("Started", '-') + "\r\nBuild=" + std::to_string(kProgramBuildNumber) +
                     "   PID=" + std::to_string(platform::diag::ProcessId()) +
                     "   TID=" + std::to_string(platform::diag::ThreadId()) +
                     "   Computer=" + computer + "\r\n",
                 0);
        if (DiagLogVerbose()) {
            LogDebug("Special Debugging Mode Enabled");
        }
    }
}

void DiagLogShutdown() {
    LogState& state = State();
    if (state.mode.load() != kActive) {
        return;
    }
    if (DiagLogLevel() > 0) {
        LogSectionEntry("Stopped (PID=" + std::to_string(platform::diag::ProcessId()) + ")", '-',
                        0);
    }
    std::lock_guard<std::recursive_mutex> writeGuard(state.writeLock);
    state.mode.store(kOffForGood);
    state.file.Close();
}

void DiagLogReset() {
    LogState& state = State();
    {
        std::lock_guard<std::recursive_mutex> writeGuard(state.writeLock);
        state.mode.store(kNeverSetUp);
        state.file.Close();
        state.openTried = false;
        state.openFailed = false;
        state.settings = DiagLogSettings();
        state.filePath.clear();
    }
    std::lock_guard<std::mutex> names(state.namesLock);
    state.names.clear();
    state.namesEnabled = true;
}

bool DiagLogActive() {
    return State().mode.load(std::memory_order_acquire) == kActive;
}

bool DiagLogVerbose() {
    return DiagLogActive() && State().settings.debug;
}

int DiagLogLevel() {
    if (!DiagLogActive()) {
        return 0;
    }
    const DiagLogSettings& settings = State().settings;
    return settings.debug && settings.level <= 0 ? 1 : settings.level;
}

void LogWrite(std::string_view text, int flags) {
    LogState& state = State();
    if (state.mode.load(std::memory_order_acquire) != kActive) {
        return;
    }
    ThreadLogState& thread = CurrentThreadLogState();
    NestingScope busy(thread.busy);
    if (!EntryAllowed(state.settings, flags) || thread.quiet > 0) {
        return;
    }
    // Whatever the write itself would log on this thread (an exception, a wait warning) is
    // dropped rather than written into the middle of this entry.
    NestingScope quiet(thread.quiet);
    try {
        std::lock_guard<std::recursive_mutex> guard(state.writeLock);
        if (state.mode.load() != kActive || !EnsureOpenLocked(state)) {
            return;
        }
        AppendLocked(state, text, flags);
    } catch (...) {
        // The log never raises; an entry that cannot be written is lost.
    }
}

std::string LogSection(std::string_view title, char fill) {
    if (State().mode.load() == kNeverSetUp) {
        return "";
    }
    std::string line(10, fill);
    line += title;
    if (title.size() < 30) {
        line.append(30 - title.size(), fill);
    }
    line += LogTimestamp();
    if (line.size() < 79) {
        line.append(79 - line.size(), fill);
    }
    return line;
}

void LogSectionEntry(std::string_view title, char fill, int flags) {
    LogWrite(LogSection(title, fill) + "\r\n", flags);
}

void LogWarning(std::string_view text) {
    try {
        LogWrite(LogSection("Warning", '=') + "\r\n" + std::string(text) + "\r\n", lfAlways);
    } catch (...) {
    }
}

void LogLine(std::string_view text, int flags) {
    LogWrite(LogTimestamp() + " " + std::string(text), flags);
}

void LogDebug(std::string_view text) {
    if (!DiagLogVerbose()) {
        return;
    }
    LogLine(Format("[%d|%d] %s", platform::diag::ProcessId(), platform::diag::ThreadId(),
                   std::string(text)),
            lfVerboseOnly);
}

std::string ThreadIdentity() {
    int threadId = platform::diag::ThreadId();
    std::string name = ThreadName(threadId);
    return "PID=" + std::to_string(platform::diag::ProcessId()) +
           " TID=" + std::to_string(threadId) + (name.empty() ? "" : " [" + name + "]") +
           " Build=" + std::to_string(kProgramBuildNumber);
}

void LogWaitWarning(std::string_view text) {
    try {
        if (!DiagLogActive()) {
            return;
        }
        LogWrite(LogSection("Warning", '-') + "\r\n" + ThreadIdentity() + "\r\n" +
                     std::string(text) + "\r\n" + CallTrace(0, 0, 0),
                 lfAlways);
    } catch (...) {
    }
}

std::string LogTimestamp() {
    platform::LocalTimeParts now = platform::CurrentLocalTime();
    return Digits(now.day, 2) + "/" + Digits(now.month, 2) + "/" + Digits(now.year, 4) + " " +
           Digits(now.hour, 2) + ":" + Digits(now.minute, 2) + ":" + Digits(now.second, 2) + "." +
           Digits(now.millisecond, 3);
}

void RegisterThreadName(int threadId, std::string_view name) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.namesLock);
    if (!state.namesEnabled) {
        return;
    }
    while (state.names.size() > kMaxKeptNames) {
        state.names.pop_front();
    }
    state.names.emplace_back(threadId, std::string(name));
}

std::string ThreadName(int threadId) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.namesLock);
    for (auto it = state.names.rbegin(); it != state.names.rend(); ++it) {
        if (it->first == threadId) {
            return it->second;
        }
    }
    return "";
}

std::string CurrentThreadNameOrNumber() {
    int threadId = platform::diag::ThreadId();
    std::string name = ThreadName(threadId);
    return name.empty() ? std::to_string(threadId) : name;
}

int MainThreadId() {
    return State().mainThreadId;
}

void LockLog() {
    LogState& state = State();
    state.writeLock.lock();
    if (state.mode.load() == kActive) {
        EnsureOpenLocked(state);
    }
    LockLocked(state);
}

void UnlockLog() {
    LogState& state = State();
    UnlockLocked(state);
    state.writeLock.unlock();
}

} // namespace qz
