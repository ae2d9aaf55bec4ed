// libqzintercept.so: loaded with LD_PRELOAD into every process of a /COMMAND build, it wraps the
// calls that start programs (execve, execv, execvp, execvpe, execl, execlp, execle, posix_spawn,
// posix_spawnp). When the program a call would start is one of the build's tools
// (QZ_INTERCEPT_TOOLS), the call starts qzrelay instead:
//     qzrelay <program> <argv0> <args...>
// Every other call passes through unchanged, except that LD_PRELOAD and the QZ_INTERCEPT_*
// variables are put back into its environment when the caller dropped them.
//
// A posix_spawn of a tool first asks the broker itself (ASK): when the tool is not counted, or a
// local slot is free at once, the spawning process starts the tool directly, without qzrelay,
// and the library's wrappers of the wait calls report its end (DONE) when the process reaps it.
// An exec of a tool asks the same way when the caller's parent has the library loaded: given a
// slot, it notes its pid and step in the runs table beside the broker's socket (HANDOFF) and
// replaces itself by the tool; the parent's wait wrapper reports the end (REAPED).
// Otherwise (BUSY, or anything out of the ordinary) the call starts qzrelay as above.
//
// This file is a platform shim of its own and the one place outside libs/platform that calls
// the system directly: it is loaded into foreign programs, so it links nothing of the project.
// Rules it keeps because of that:
//   - no C++ static initialisers, no allocation (the lists it builds live on the stack: an exec
//     may run in a vfork child, and posix_spawn is rewritten in the parent), no exceptions;
//   - never a byte on stdout or stderr;
//   - errno as the caller would see it from the real call (saved and put back on every path);
//   - when anything is out of the ordinary (values too long, no relay), it passes the call on.
// docs/interception.md describes the mechanism and what it cannot catch.

#include <alloca.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using ExecveFunction = int (*)(const char*, char* const[], char* const[]);
using ExecvpeFunction = int (*)(const char*, char* const[], char* const[]);
using SpawnFunction = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                              const posix_spawnattr_t*, char* const[], char* const[]);
using WaitFunction = pid_t (*)(int*);
using WaitpidFunction = pid_t (*)(pid_t, int*, int);
using Wait3Function = pid_t (*)(int*, int, struct rusage*);
using Wait4Function = pid_t (*)(pid_t, int*, int, struct rusage*);
using WaitidFunction = int (*)(idtype_t, id_t, siginfo_t*, int);

constexpr const char kLibraryName[] = "libqzintercept.so";
constexpr std::size_t kPathMax = PATH_MAX + 1;

/// One saved variable: "NAME=value" as it was when the library was loaded.
struct Saved {
    char entry[16384];
    std::size_t nameLength; // of "NAME=" (with the '=')
    bool present;
};

// Set once by the constructor, before any other code of the process runs; read-only after.
ExecveFunction realExecve;
ExecvpeFunction realExecvpe;
SpawnFunction realSpawn;
SpawnFunction realSpawnp;
WaitFunction realWait;
WaitpidFunction realWaitpid;
Wait3Function realWait3;
Wait4Function realWait4;
WaitidFunction realWaitid;
bool enabled;
bool directEnabled; // the wait calls are wrapped, so direct runs can report their end
Saved savedSocket;
Saved savedRelay;
Saved savedTools;
Saved savedParents;
Saved savedMasq;
char ownLibrary[kPathMax]; // our entry of LD_PRELOAD
// Lazily found answers (0 not known yet, 1 yes, 2 no); races only store the same answer.
int relayProcess;
int parentAllowed;

Saved* const kSaved[] = {&savedSocket, &savedRelay, &savedTools, &savedParents, &savedMasq};

const char* ValueOf(const Saved& saved) {
    return saved.entry + saved.nameLength;
}

bool StartsWithName(const char* entry, const char* nameWithEquals, std::size_t length) {
    return std::strncmp(entry, nameWithEquals, length) == 0;
}

const char* Basename(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/// Copies text into out (size bytes); false when it does not fit.
bool CopyText(char* out, std::size_t size, const char* text) {
    std::size_t length = std::strlen(text);
    if (length >= size) {
        return false;
    }
    std::memcpy(out, text, length + 1);
    return true;
}

bool Save(Saved& saved, const char* name) {
    std::size_t nameLength = std::strlen(name);
    saved.nameLength = nameLength + 1;
    saved.present = false;
    std::memcpy(saved.entry, name, nameLength);
    saved.entry[nameLength] = '=';
    saved.entry[nameLength + 1] = '\0';
    const char* value = getenv(name);
    if (value == nullptr) {
        return true;
    }
    if (!CopyText(saved.entry + saved.nameLength, sizeof(saved.entry) - saved.nameLength, value)) {
        return false;
    }
    saved.present = true;
    return true;
}

/// Whether the LD_PRELOAD item of length bytes at item names this library.
bool IsOwnItem(const char* item, std::size_t length) {
    const char* base = item;
    for (const char* q = item; q < item + length; ++q) {
        if (*q == '/') {
            base = q + 1;
        }
    }
    std::size_t baseLength = static_cast<std::size_t>(item + length - base);
    return baseLength == sizeof(kLibraryName) - 1 &&
           std::memcmp(base, kLibraryName, sizeof(kLibraryName) - 1) == 0;
}

/// The next item of an LD_PRELOAD value (':' or ' ' separated) at or after p: its start, and its
/// end in end; p itself when none is left.
const char* NextItem(const char* p, const char** end) {
    while (*p == ':' || *p == ' ') {
        ++p;
    }
    const char* e = p;
    while (*e != '\0' && *e != ':' && *e != ' ') {
        ++e;
    }
    *end = e;
    return p;
}

/// Finds the item of an LD_PRELOAD value that is this library; copies it to out when out is
/// given.
bool FindOwnEntry(const char* list, char* out, std::size_t size) {
    const char* end = list;
    for (const char* p = NextItem(list, &end); p != end; p = NextItem(end, &end)) {
        std::size_t length = static_cast<std::size_t>(end - p);
        if (IsOwnItem(p, length)) {
            if (out != nullptr) {
                if (length >= size) {
                    return false;
                }
                std::memcpy(out, p, length);
                out[length] = '\0';
            }
            return true;
        }
    }
    return false;
}

__attribute__((constructor)) void Load() {
    int savedErrno = errno;
    realExecve = reinterpret_cast<ExecveFunction>(dlsym(RTLD_NEXT, "execve"));
    realExecvpe = reinterpret_cast<ExecvpeFunction>(dlsym(RTLD_NEXT, "execvpe"));
    realSpawn = reinterpret_cast<SpawnFunction>(dlsym(RTLD_NEXT, "posix_spawn"));
    realSpawnp = reinterpret_cast<SpawnFunction>(dlsym(RTLD_NEXT, "posix_spawnp"));
    realWait = reinterpret_cast<WaitFunction>(dlsym(RTLD_NEXT, "wait"));
    realWaitpid = reinterpret_cast<WaitpidFunction>(dlsym(RTLD_NEXT, "waitpid"));
    realWait3 = reinterpret_cast<Wait3Function>(dlsym(RTLD_NEXT, "wait3"));
    realWait4 = reinterpret_cast<Wait4Function>(dlsym(RTLD_NEXT, "wait4"));
    realWaitid = reinterpret_cast<WaitidFunction>(dlsym(RTLD_NEXT, "waitid"));
    const char* preload = getenv("LD_PRELOAD");
    enabled = realExecve != nullptr && realExecvpe != nullptr && realSpawn != nullptr &&
              realSpawnp != nullptr && Save(savedSocket, "QZ_INTERCEPT_SOCKET") &&
              Save(savedRelay, "QZ_INTERCEPT_RELAY") && Save(savedTools, "QZ_INTERCEPT_TOOLS") &&
              Save(savedParents, "QZ_INTERCEPT_PARENTS") && Save(savedMasq, "QZ_INTERCEPT_MASQ") &&
              savedSocket.present && savedRelay.present && savedTools.present &&
              ValueOf(savedRelay)[0] == '/' && preload != nullptr &&
              FindOwnEntry(preload, ownLibrary, sizeof(ownLibrary));
    directEnabled = enabled && realWait != nullptr && realWaitpid != nullptr &&
                    realWait3 != nullptr && realWait4 != nullptr && realWaitid != nullptr;
    errno = savedErrno;
}

/// Whether this process is qzrelay itself (started through the masquerade folder with the
/// library still preloaded): its own starts are the real tools and pass through.
bool IsRelayProcess() {
    int known = __atomic_load_n(&relayProcess, __ATOMIC_RELAXED);
    if (known == 0) {
        struct stat self {};
        struct stat relay {};
        bool same = stat("/proc/self/exe", &self) == 0 && stat(ValueOf(savedRelay), &relay) == 0 &&
                    self.st_dev == relay.st_dev && self.st_ino == relay.st_ino;
        known = same ? 1 : 2;
        __atomic_store_n(&relayProcess, known, __ATOMIC_RELAXED);
    }
    return known == 1;
}

/// Whether name is one of the ','-separated names of list (comm names are cut at 15 bytes, so
/// a name of exactly 15 bytes matches a longer entry that starts with it).
bool InNameList(const char* list, const char* name, bool comm) {
    std::size_t nameLength = std::strlen(name);
    const char* p = list;
    while (*p != '\0') {
        const char* end = std::strchr(p, ',');
        if (end == nullptr) {
            end = p + std::strlen(p);
        }
        std::size_t length = static_cast<std::size_t>(end - p);
        if (length > 0 && std::strncmp(p, name, nameLength) == 0 &&
            (length == nameLength || (comm && nameLength == 15 && length > 15))) {
            return true;
        }
        p = *end == ',' ? end + 1 : end;
    }
    return false;
}

bool IsShell(const char* name) {
    return std::strcmp(name, "sh") == 0 || std::strcmp(name, "bash") == 0 ||
           std::strcmp(name, "dash") == 0;
}

/// The decimal text of value into out (room for 24 bytes).
const char* DecimalText(unsigned long long value, char* out) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = 0; i < count; ++i) {
        out[i] = digits[count - 1 - i];
    }
    out[count] = '\0';
    return out;
}

/// Opens /proc/<pid>/<file> (file a short name) for reading; -1 when it cannot.
int OpenProcFile(pid_t pid, const char* file) {
    char path[64] = "/proc/";
    char digits[24];
    std::size_t at = std::strlen(path);
    const char* text = DecimalText(static_cast<unsigned long long>(pid), digits);
    std::size_t length = std::strlen(text);
    std::memcpy(path + at, text, length);
    at += length;
    path[at++] = '/';
    if (at + std::strlen(file) >= sizeof(path)) {
        return -1;
    }
    std::memcpy(path + at, file, std::strlen(file) + 1);
    return open(path, O_RDONLY | O_CLOEXEC);
}

/// Reads /proc/<pid>/<file> into out (NUL-ended, a last newline dropped); false when it cannot.
bool ReadProcFile(pid_t pid, const char* file, char* out, std::size_t size) {
    int fd = OpenProcFile(pid, file);
    if (fd < 0) {
        return false;
    }
    ssize_t n = read(fd, out, size - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    out[n] = '\0';
    if (out[n - 1] == '\n') {
        out[n - 1] = '\0';
    }
    return true;
}

/// The parent of process pid (from /proc/<pid>/stat: "pid (comm) state ppid ..."); 0 unknown.
pid_t ParentOf(pid_t pid) {
    char stat[512];
    if (!ReadProcFile(pid, "stat", stat, sizeof(stat))) {
        return 0;
    }
    const char* close = std::strrchr(stat, ')');
    if (close == nullptr || close[1] != ' ' || close[2] == '\0' || close[3] != ' ') {
        return 0;
    }
    pid_t parent = 0;
    for (const char* p = close + 4; *p >= '0' && *p <= '9'; ++p) {
        parent = parent * 10 + (*p - '0');
    }
    return parent;
}

/// QZ_INTERCEPT_PARENTS: whether this process's starts are examined. A shell started by an
/// allowed process, directly or through other shells (a subshell of a pipeline), counts as that
/// process: ninja runs every command through /bin/sh -c, make every recipe line with shell
/// syntax.
bool ParentAllowed() {
    int known = __atomic_load_n(&parentAllowed, __ATOMIC_RELAXED);
    if (known == 0) {
        const char* list = ValueOf(savedParents);
        bool allowed = !savedParents.present || list[0] == '\0' ||
                       InNameList(list, program_invocation_short_name, false);
        // A shell (or a subshell of one) counts as the process that started it.
        pid_t ancestor = getppid();
        for (int depth = 0;
             !allowed && IsShell(program_invocation_short_name) && depth < 8 && ancestor > 1;
             ++depth) {
            char name[64];
            if (!ReadProcFile(ancestor, "comm", name, sizeof(name))) {
                break;
            }
            if (InNameList(list, name, true)) {
                allowed = true;
            } else if (!IsShell(name)) {
                break;
            }
            ancestor = ParentOf(ancestor);
        }
        known = allowed ? 1 : 2;
        __atomic_store_n(&parentAllowed, known, __ATOMIC_RELAXED);
    }
    return known == 1;
}

/// The absolute form of path (relative to the working folder when it does not start with '/').
bool AbsolutePath(const char* path, char* out, std::size_t size) {
    if (path[0] == '/') {
        return CopyText(out, size, path);
    }
    if (getcwd(out, size) == nullptr) {
        return false;
    }
    std::size_t length = std::strlen(out);
    std::size_t pathLength = std::strlen(path);
    if (length + 1 + pathLength >= size) {
        return false;
    }
    out[length] = '/';
    std::memcpy(out + length + 1, path, pathLength + 1);
    return true;
}

/// Whether the program at path (as the call names it, with a '/') is one of the build's tools.
/// A file that cannot be executed is none: the real call fails for it with the error its caller
/// expects (a shell then tries the next folder of PATH), where qzrelay would start and end 127.
bool IsTool(const char* path) {
    if (path == nullptr || path[0] == '\0' || !ParentAllowed()) {
        return false;
    }
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || access(path, X_OK) != 0) {
        return false;
    }
    char absolute[kPathMax];
    if (!AbsolutePath(path, absolute, sizeof(absolute))) {
        return false;
    }
    const char* base = Basename(absolute);
    const char* p = ValueOf(savedTools);
    char pattern[kPathMax];
    while (*p != '\0') {
        const char* end = std::strchr(p, ':');
        if (end == nullptr) {
            end = p + std::strlen(p);
        }
        std::size_t length = static_cast<std::size_t>(end - p);
        if (length > 0 && length < sizeof(pattern)) {
            std::memcpy(pattern, p, length);
            pattern[length] = '\0';
            bool byPath = std::memchr(pattern, '/', length) != nullptr;
            if (fnmatch(pattern, byPath ? absolute : base, 0) == 0) {
                return true;
            }
        }
        p = *end == ':' ? end + 1 : end;
    }
    return false;
}

bool SameFolder(const char* folder, std::size_t length, const char* other) {
    while (length > 1 && folder[length - 1] == '/') {
        --length;
    }
    std::size_t otherLength = std::strlen(other);
    while (otherLength > 1 && other[otherLength - 1] == '/') {
        --otherLength;
    }
    return length == otherLength && std::strncmp(folder, other, length) == 0;
}

/// The program an execvp-style call of file would start, into out: file itself when it holds a
/// '/', otherwise the first executable regular file of that name in PATH (the masquerade folder
/// skipped: its entries are qzrelay). When there is none, denied tells whether an entry of that
/// name exists that cannot be executed (the search then fails with EACCES rather than ENOENT).
bool SearchPath(const char* file, char* out, std::size_t size, bool* denied = nullptr) {
    if (file == nullptr || file[0] == '\0') {
        return false;
    }
    if (std::strchr(file, '/') != nullptr) {
        return CopyText(out, size, file);
    }
    const char* path = getenv("PATH");
    if (path == nullptr) {
        path = "/bin:/usr/bin";
    }
    std::size_t fileLength = std::strlen(file);
    const char* masq = savedMasq.present ? ValueOf(savedMasq) : "";
    const char* p = path;
    for (;;) {
        const char* end = std::strchr(p, ':');
        if (end == nullptr) {
            end = p + std::strlen(p);
        }
        std::size_t length = static_cast<std::size_t>(end - p);
        bool skip = masq[0] != '\0' && length > 0 && SameFolder(p, length, masq);
        if (!skip && length + 1 + fileLength < size) {
            if (length == 0) {
                std::memcpy(out, file, fileLength + 1); // an empty entry is the working folder
            } else {
                std::memcpy(out, p, length);
                out[length] = '/';
                std::memcpy(out + length + 1, file, fileLength + 1);
            }
            struct stat info {};
            const bool exists = stat(out, &info) == 0;
            if (exists && S_ISREG(info.st_mode) && access(out, X_OK) == 0) {
                if (length == 0) {
                    // "./file", so that the relay does not search PATH for it again.
                    if (fileLength + 2 >= size) {
                        return false;
                    }
                    std::memmove(out + 2, out, fileLength + 1);
                    out[0] = '.';
                    out[1] = '/';
                }
                return true;
            }
            if (exists && denied != nullptr) {
                *denied = true;
            }
        }
        if (*end == '\0') {
            return false;
        }
        p = end + 1;
    }
}

bool UsesMasquerade() {
    return savedMasq.present && ValueOf(savedMasq)[0] != '\0';
}

/// Whether path names an entry of the masquerade folder (a caller that searched PATH itself,
/// as a shell does, found the link there).
bool InMasquerade(const char* path) {
    const char* slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
    return UsesMasquerade() && slash != nullptr && slash != path &&
           SameFolder(path, static_cast<std::size_t>(slash - path), ValueOf(savedMasq));
}

/// For a start of a masquerade link by path: the program of that name beyond the folder, as the
/// caller's own search would have found it without the folder, into out. When there is none,
/// false, with the error the search would have ended with (what a plain start reports, where
/// the link would have started qzrelay without a tool).
bool BeyondMasquerade(const char* path, char* out, std::size_t size, int* error) {
    bool denied = false;
    if (SearchPath(Basename(path), out, size, &denied)) {
        return true;
    }
    *error = denied ? EACCES : ENOENT;
    return false;
}

std::size_t CountOf(char* const* list) {
    std::size_t count = 0;
    if (list != nullptr) {
        while (list[count] != nullptr) {
            ++count;
        }
    }
    return count;
}

constexpr std::size_t kPreloadBuffer = 16384;
constexpr char kPreloadName[] = "LD_PRELOAD=";
constexpr std::size_t kPreloadNameLength = sizeof(kPreloadName) - 1;

/// The LD_PRELOAD entry without this library: written to preloadEntry (kPreloadBuffer bytes),
/// which is returned; null when nothing is left; entry itself when the rest does not fit.
char* PreloadWithoutOwn(char* entry, char* preloadEntry) {
    const char* value = entry + kPreloadNameLength;
    std::size_t at = kPreloadNameLength;
    std::memcpy(preloadEntry, kPreloadName, kPreloadNameLength);
    const char* end = value;
    for (const char* p = NextItem(value, &end); p != end; p = NextItem(end, &end)) {
        std::size_t length = static_cast<std::size_t>(end - p);
        if (IsOwnItem(p, length)) {
            continue;
        }
        if (at + length + 2 >= kPreloadBuffer) {
            return entry;
        }
        if (at > kPreloadNameLength) {
            preloadEntry[at++] = ':';
        }
        std::memcpy(preloadEntry + at, p, length);
        at += length;
    }
    preloadEntry[at] = '\0';
    return at > kPreloadNameLength ? preloadEntry : nullptr;
}

/// Fills out (room for CountOf(envp) + 7 entries) with envp, the saved QZ_INTERCEPT_* entries
/// put back where missing, and LD_PRELOAD holding this library (forRelay: without it, so that
/// qzrelay starts unburdened). preloadEntry is room for a rebuilt "LD_PRELOAD=..." entry.
void BuildEnvironment(char* const* envp, char** out, char* preloadEntry, bool forRelay) {
    bool have[5] = {false, false, false, false, false};
    bool havePreload = false;
    std::size_t count = 0;
    for (std::size_t i = 0; envp != nullptr && envp[i] != nullptr; ++i) {
        char* entry = envp[i];
        for (std::size_t k = 0; k < 5; ++k) {
            if (kSaved[k]->present &&
                StartsWithName(entry, kSaved[k]->entry, kSaved[k]->nameLength)) {
                have[k] = true;
            }
        }
        if (StartsWithName(entry, kPreloadName, kPreloadNameLength)) {
            if (havePreload) {
                continue; // a second LD_PRELOAD would be ignored by the loader anyway
            }
            havePreload = true;
            const char* value = entry + kPreloadNameLength;
            bool hasOwn = FindOwnEntry(value, nullptr, 0);
            if (forRelay && hasOwn) {
                // Without our entry; the variable goes when nothing is left.
                if (char* rest = PreloadWithoutOwn(entry, preloadEntry)) {
                    out[count++] = rest;
                }
                continue;
            }
            if (!forRelay && !hasOwn) {
                std::size_t ownLength = std::strlen(ownLibrary);
                std::size_t valueLength = std::strlen(value);
                if (kPreloadNameLength + ownLength + 1 + valueLength < kPreloadBuffer) {
                    std::memcpy(preloadEntry, kPreloadName, kPreloadNameLength);
                    std::memcpy(preloadEntry + kPreloadNameLength, ownLibrary, ownLength);
                    preloadEntry[kPreloadNameLength + ownLength] = ':';
                    std::memcpy(preloadEntry + kPreloadNameLength + ownLength + 1, value,
                                valueLength + 1);
                    out[count++] = preloadEntry;
                    continue;
                }
            }
        }
        out[count++] = entry;
    }
    for (std::size_t k = 0; k < 5; ++k) {
        if (kSaved[k]->present && !have[k]) {
            out[count++] = kSaved[k]->entry;
        }
    }
    if (!havePreload && !forRelay) {
        std::size_t ownLength = std::strlen(ownLibrary);
        std::memcpy(preloadEntry, kPreloadName, kPreloadNameLength);
        std::memcpy(preloadEntry + kPreloadNameLength, ownLibrary, ownLength + 1);
        out[count++] = preloadEntry;
    }
    out[count] = nullptr;
}

/// Fills out (room for CountOf(argv) + 3 entries) with qzrelay's arguments for the start of
/// program with argv.
void BuildRelayArguments(const char* program, char* const* argv, const char** out) {
    std::size_t count = 0;
    out[count++] = ValueOf(savedRelay);
    out[count++] = program;
    out[count++] = argv != nullptr && argv[0] != nullptr ? argv[0] : program;
    for (std::size_t i = 1; argv != nullptr && argv[0] != nullptr && argv[i] != nullptr; ++i) {
        out[count++] = argv[i];
    }
    out[count] = nullptr;
}

// The room the lists need; alloca in the wrapper itself, so they live until the real call.
#define QZ_ENVIRONMENT(name, envp, forRelay)                                                       \
    char** name = static_cast<char**>(alloca((CountOf(envp) + 8) * sizeof(char*)));                \
    char* name##Preload = static_cast<char*>(alloca(kPreloadBuffer));                              \
    BuildEnvironment(envp, name, name##Preload, forRelay)

#define QZ_RELAY_ARGUMENTS(name, program, argv)                                                    \
    const char** name = static_cast<const char**>(alloca((CountOf(argv) + 4) * sizeof(char*)));    \
    BuildRelayArguments(program, argv, name)

/// Fills out (room for CountOf(envp) + 1 entries) with the environment a tool runs with, as
/// qzrelay gives it: no QZ_INTERCEPT_* variable, the masquerade folder out of PATH and this
/// library out of LD_PRELOAD, so that what the tool starts is not caught again. pathEntry has
/// room for the PATH entry, preloadEntry kPreloadBuffer bytes.
void BuildToolEnvironment(char* const* envp, char** out, char* pathEntry, char* preloadEntry) {
    constexpr char kPrefix[] = "QZ_INTERCEPT_";
    constexpr char kPathName[] = "PATH=";
    const char* masq = UsesMasquerade() ? ValueOf(savedMasq) : nullptr;
    std::size_t count = 0;
    bool havePath = false;
    bool havePreload = false;
    for (std::size_t i = 0; envp != nullptr && envp[i] != nullptr; ++i) {
        char* entry = envp[i];
        if (StartsWithName(entry, kPrefix, sizeof(kPrefix) - 1)) {
            continue;
        }
        if (!havePath && masq != nullptr && StartsWithName(entry, kPathName, 5)) {
            havePath = true;
            std::size_t at = 5;
            std::memcpy(pathEntry, kPathName, 5);
            bool first = true;
            for (const char* p = entry + 5;;) {
                const char* end = std::strchr(p, ':');
                if (end == nullptr) {
                    end = p + std::strlen(p);
                }
                std::size_t length = static_cast<std::size_t>(end - p);
                if (length == 0 || !SameFolder(p, length, masq)) {
                    if (!first) {
                        pathEntry[at++] = ':';
                    }
                    std::memcpy(pathEntry + at, p, length);
                    at += length;
                    first = false;
                }
                if (*end == '\0') {
                    break;
                }
                p = end + 1;
            }
            pathEntry[at] = '\0';
            out[count++] = pathEntry;
            continue;
        }
        if (StartsWithName(entry, kPreloadName, kPreloadNameLength)) {
            if (havePreload) {
                continue; // a second LD_PRELOAD would be ignored by the loader anyway
            }
            havePreload = true;
            if (char* rest = PreloadWithoutOwn(entry, preloadEntry)) {
                out[count++] = rest;
            }
            continue;
        }
        out[count++] = entry;
    }
    out[count] = nullptr;
}

std::size_t PathEntryRoom(char* const* envp) {
    for (std::size_t i = 0; envp != nullptr && envp[i] != nullptr; ++i) {
        if (StartsWithName(envp[i], "PATH=", 5)) {
            return std::strlen(envp[i]) + 1;
        }
    }
    return 1;
}

#define QZ_TOOL_ENVIRONMENT(name, envp)                                                            \
    char** name = static_cast<char**>(alloca((CountOf(envp) + 1) * sizeof(char*)));                \
    char* name##Path = static_cast<char*>(alloca(PathEntryRoom(envp)));                            \
    char* name##Preload = static_cast<char*>(alloca(kPreloadBuffer));                              \
    BuildToolEnvironment(envp, name, name##Path, name##Preload)

// ---- Direct runs ----

/// A tool this process started itself in a slot: the broker's connection, kept until the
/// process has waited for the tool and reported its end.
struct DirectRun {
    pid_t pid; // 0: free; -1: taken, being filled or emptied
    int fd;
    unsigned step;
};
constexpr std::size_t kDirectRuns = 256;
DirectRun directRuns[kDirectRuns];
int directCount; // entries not free

/// Replies and reports are small and the broker answers at once; a broker that does not within
/// this time is taken as gone (the start then goes through qzrelay).
constexpr int kBrokerTimeoutMs = 10000;

/// Bytes to the broker through a small buffer on the stack.
struct FrameWriter {
    int fd;
    char buffer[2048];
    std::size_t used;
    bool failed;

    void Flush() {
        std::size_t at = 0;
        while (!failed && at < used) {
            ssize_t n = send(fd, buffer + at, used - at, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failed = true;
                break;
            }
            at += static_cast<std::size_t>(n);
        }
        used = 0;
    }
    void Put(const char* data, std::size_t size) {
        while (size > 0 && !failed) {
            std::size_t room = sizeof(buffer) - used;
            std::size_t chunk = size < room ? size : room;
            std::memcpy(buffer + used, data, chunk);
            used += chunk;
            data += chunk;
            size -= chunk;
            if (used == sizeof(buffer)) {
                Flush();
            }
        }
    }
    /// A string with its NUL.
    void Field(const char* text) { Put(text, std::strlen(text) + 1); }
};

void PutLength(FrameWriter& writer, std::size_t payload) {
    const unsigned char header[4] = {static_cast<unsigned char>(payload & 0xff),
                                     static_cast<unsigned char>((payload >> 8) & 0xff),
                                     static_cast<unsigned char>((payload >> 16) & 0xff),
                                     static_cast<unsigned char>((payload >> 24) & 0xff)};
    writer.Put(reinterpret_cast<const char*>(header), 4);
}

/// A connection to the broker with time limits on its reads and writes; -1 when there is none
/// (or its backlog is full: this process must not wait for it).
int ConnectBroker() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!CopyText(address.sun_path, sizeof(address.sun_path), ValueOf(savedSocket))) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    int flags = 0;
    timeval limit{kBrokerTimeoutMs / 1000, 0};
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        (flags = fcntl(fd, F_GETFL)) < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool ReceiveExact(int fd, char* out, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        ssize_t n = recv(fd, out + at, size - at, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

enum class Answer { Relay, Local, Slot };

/// Sends ASK for the start of program (absolute) with argv and reads the broker's answer; the
/// step of a SLOT into step.
Answer Ask(int fd, const char* program, char* const* argv, unsigned* step) {
    char cwd[kPathMax];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) {
        return Answer::Relay;
    }
    char pid[24];
    char argc[24];
    DecimalText(static_cast<unsigned long long>(getpid()), pid);
    std::size_t count = CountOf(argv);
    const char* first = count > 0 ? argv[0] : program;
    DecimalText(count > 0 ? count : 1, argc);
    const char* head[] = {"ASK", "1", pid, cwd, program, argc};
    std::size_t payload = 0;
    for (const char* field : head) {
        payload += std::strlen(field) + 1;
    }
    payload += std::strlen(first) + 1;
    for (std::size_t i = 1; i < count; ++i) {
        payload += std::strlen(argv[i]) + 1;
        if (payload > 4 * 1024 * 1024) {
            return Answer::Relay; // qzrelay runs what is too large to ask about
        }
    }
    FrameWriter writer{fd, {}, 0, false};
    PutLength(writer, payload);
    for (const char* field : head) {
        writer.Field(field);
    }
    writer.Field(first);
    for (std::size_t i = 1; i < count; ++i) {
        writer.Field(argv[i]);
    }
    writer.Flush();
    unsigned char header[4];
    char reply[256];
    if (writer.failed || !ReceiveExact(fd, reinterpret_cast<char*>(header), 4)) {
        return Answer::Relay;
    }
    const std::size_t size = header[0] | (header[1] << 8) | (header[2] << 16) |
                             (static_cast<std::size_t>(header[3]) << 24);
    if (size == 0 || size >= sizeof(reply) || !ReceiveExact(fd, reply, size) ||
        reply[size - 1] != '\0') {
        return Answer::Relay;
    }
    reply[size] = '\0';
    const char* kind = reply;
    const char* second = reply + std::strlen(reply) + 1;
    const bool twoFields =
        second < reply + size && second + std::strlen(second) + 1 == reply + size;
    if (std::strcmp(kind, "LOCAL") == 0 && twoFields) {
        return Answer::Local;
    }
    if (std::strcmp(kind, "SLOT") == 0 && twoFields && second[0] >= '1' && second[0] <= '9') {
        unsigned long long value = 0;
        for (const char* p = second; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9' || value > 100000000ULL) {
                return Answer::Relay;
            }
            value = value * 10 + static_cast<unsigned>(*p - '0');
        }
        *step = static_cast<unsigned>(value);
        return Answer::Slot;
    }
    return Answer::Relay; // BUSY, or an answer that makes no sense here
}

/// Sends a frame of the given fields (best effort: a broker that is gone no longer matters).
void SendFields(int fd, const char* const* fields, std::size_t count) {
    std::size_t payload = 0;
    for (std::size_t i = 0; i < count; ++i) {
        payload += std::strlen(fields[i]) + 1;
    }
    FrameWriter writer{fd, {}, 0, false};
    PutLength(writer, payload);
    for (std::size_t i = 0; i < count; ++i) {
        writer.Field(fields[i]);
    }
    writer.Flush();
}

void SendDone(int fd, unsigned step, bool signalled, int number) {
    char stepText[24];
    char numberText[24];
    const char* fields[] = {"DONE", DecimalText(step, stepText), signalled ? "signal" : "exit",
                            DecimalText(static_cast<unsigned>(number), numberText)};
    SendFields(fd, fields, 4);
}

/// A free entry, taken; null when all are in use.
DirectRun* TakeDirectEntry() {
    for (DirectRun& run : directRuns) {
        pid_t expected = 0;
        if (__atomic_compare_exchange_n(&run.pid, &expected, -1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            __atomic_add_fetch(&directCount, 1, __ATOMIC_RELAXED);
            return &run;
        }
    }
    return nullptr;
}

void ReleaseDirectEntry(DirectRun* run) {
    __atomic_store_n(&run->pid, 0, __ATOMIC_RELEASE);
    __atomic_sub_fetch(&directCount, 1, __ATOMIC_RELAXED);
}

/// After a wait call reaped pid with status: the end of a direct run goes to the broker.
/// Reports the end of the direct run of pid, when there is one; exactly one caller wins it.
bool ReportEnd(pid_t pid, bool signalled, int number) {
    for (DirectRun& run : directRuns) {
        pid_t expected = pid;
        if (__atomic_compare_exchange_n(&run.pid, &expected, -1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            int savedErrno = errno;
            SendDone(run.fd, run.step, signalled, number);
            close(run.fd);
            errno = savedErrno;
            ReleaseDirectEntry(&run);
            return true;
        }
    }
    return false;
}

/// Ends reaped while a spawn had not noted its child yet: a build tool that reaps in a SIGCHLD
/// handler, or in another thread, may reap a quick tool before the spawn's wrapper has returned.
/// The spawn looks here once it has noted its child.
struct EarlyEnd {
    pid_t pid; // 0: none; -1: being written
    bool signalled;
    int number;
    unsigned serial; // of earlySerial when written: a spawn looks only at ends after its start
};
constexpr std::size_t kEarlyEnds = 64;
EarlyEnd earlyEnds[kEarlyEnds];
unsigned earlySerial;
int filling; // direct runs taken whose child is not noted yet

void ReportHandedOff(pid_t pid, bool signalled, int number);

void Reaped(pid_t pid, bool signalled, int number) {
    if (pid <= 0) {
        return;
    }
    if (__atomic_load_n(&directCount, __ATOMIC_SEQ_CST) > 0) {
        if (ReportEnd(pid, signalled, number)) {
            return;
        }
        if (__atomic_load_n(&filling, __ATOMIC_SEQ_CST) > 0) {
            const unsigned serial = __atomic_add_fetch(&earlySerial, 1, __ATOMIC_SEQ_CST);
            EarlyEnd& end = earlyEnds[serial % kEarlyEnds];
            __atomic_store_n(&end.pid, -1, __ATOMIC_SEQ_CST);
            end.signalled = signalled;
            end.number = number;
            end.serial = serial;
            __atomic_store_n(&end.pid, pid, __ATOMIC_SEQ_CST);
            // The spawn may have noted its child meanwhile, and looked before this end was there.
            if (ReportEnd(pid, signalled, number)) {
                pid_t expected = pid;
                __atomic_compare_exchange_n(&end.pid, &expected, 0, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST);
                return;
            }
        }
    }
    ReportHandedOff(pid, signalled, number);
}

/// After a spawn has noted child: its end, if it was reaped before (since serial).
void ReportEarlyEnd(pid_t child, unsigned serial) {
    for (EarlyEnd& end : earlyEnds) {
        if (__atomic_load_n(&end.pid, __ATOMIC_SEQ_CST) != child) {
            continue;
        }
        const bool signalled = end.signalled;
        const int number = end.number;
        const bool recent = static_cast<int>(end.serial - serial) > 0;
        pid_t expected = child;
        if (__atomic_compare_exchange_n(&end.pid, &expected, 0, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST) &&
            recent) {
            ReportEnd(child, signalled, number);
        }
    }
}

void ReapedStatus(pid_t pid, int status) {
    if (pid > 0 && WIFEXITED(status)) {
        Reaped(pid, false, WEXITSTATUS(status));
    } else if (pid > 0 && WIFSIGNALED(status)) {
        Reaped(pid, true, WTERMSIG(status));
    }
}

// ---- Runs handed off through an exec ----

/// The runs table beside the broker's socket (see the broker's side for its layout), mapped on
/// first use; null when there is none.
std::int32_t* execRuns;
bool execRunsMissing;
constexpr std::size_t kExecRuns = 1024;
constexpr std::size_t kExecRunsSize = kExecRuns * 8;

std::int32_t* ExecRuns() {
    std::int32_t* runs = __atomic_load_n(&execRuns, __ATOMIC_ACQUIRE);
    if (runs != nullptr || __atomic_load_n(&execRunsMissing, __ATOMIC_RELAXED)) {
        return runs;
    }
    char path[sizeof(sockaddr_un::sun_path) + 8];
    const char* socketPath = ValueOf(savedSocket);
    const char* slash = std::strrchr(socketPath, '/');
    std::int32_t* mapped = nullptr;
    if (slash != nullptr && static_cast<std::size_t>(slash - socketPath) + 6 < sizeof(path)) {
        std::size_t length = static_cast<std::size_t>(slash - socketPath) + 1;
        std::memcpy(path, socketPath, length);
        std::memcpy(path + length, "runs", 5);
        int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        struct stat info {};
        if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
            static_cast<std::size_t>(info.st_size) >= kExecRunsSize) {
            void* address = mmap(nullptr, kExecRunsSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            mapped = address == MAP_FAILED ? nullptr : static_cast<std::int32_t*>(address);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    if (mapped == nullptr) {
        __atomic_store_n(&execRunsMissing, true, __ATOMIC_RELAXED);
        return nullptr;
    }
    std::int32_t* expected = nullptr;
    if (!__atomic_compare_exchange_n(&execRuns, &expected, mapped, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        munmap(mapped, kExecRunsSize); // another thread mapped it first
        return expected;
    }
    return mapped;
}

/// Whether the system can execute the file itself (an ELF program or a "#!" script); one it
/// cannot is left to qzrelay, which runs it with /bin/sh.
bool DirectlyExecutable(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char head[4] = {};
    ssize_t n;
    while ((n = read(fd, head, sizeof(head))) < 0 && errno == EINTR) {
    }
    close(fd);
    return (n >= 2 && head[0] == '#' && head[1] == '!') || (n == 4 && std::memcmp(head,
                                                                                  "\x7f"
                                                                                  "ELF",
                                                                                  4) == 0);
}

/// Whether the library is loaded into process pid: its memory map names a file of our name (the
/// map names the file itself, where LD_PRELOAD may name a link to it).
bool LibraryLoadedIn(pid_t pid) {
    int fd = OpenProcFile(pid, "maps");
    if (fd < 0) {
        return false;
    }
    // Scanned in pieces, each starting with the end of the one before, so a name is never cut.
    constexpr char name[] = "/libqzintercept.so\n";
    const std::size_t nameLength = sizeof(name) - 1;
    char buffer[4096 + kPathMax];
    std::size_t kept = 0;
    bool found = false;
    for (;;) {
        ssize_t n = read(fd, buffer + kept, 4096);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::size_t size = kept + static_cast<std::size_t>(n);
        for (std::size_t i = 0; i + nameLength <= size && !found; ++i) {
            found = std::memcmp(buffer + i, name, nameLength) == 0;
        }
        if (found) {
            break;
        }
        kept = nameLength < size ? nameLength : size;
        std::memmove(buffer, buffer + size - kept, kept);
    }
    close(fd);
    return found;
}

/// Before an exec of tool program (absolute form in absolute): when the broker gives a local
/// slot at once and the parent, which will reap this process, can report the end, the run is
/// handed off and this process replaces itself by the tool. Returns only when the exec was not
/// made (false: leave it to qzrelay) or failed (true, errno as the exec left it).
bool ExecDirect(const char* program, char* const argv[], char* const envp[]) {
    std::int32_t* runs = nullptr;
    char absolute[kPathMax];
    const char* relative = program[0] == '.' && program[1] == '/' ? program + 2 : program;
    if (!directEnabled || !AbsolutePath(relative, absolute, sizeof(absolute)) ||
        !DirectlyExecutable(program) || (runs = ExecRuns()) == nullptr ||
        !LibraryLoadedIn(getppid())) {
        return false;
    }
    const pid_t self = getpid();
    std::size_t index = 0;
    for (; index < kExecRuns; ++index) {
        std::int32_t expected = 0;
        if (__atomic_compare_exchange_n(&runs[2 * index], &expected, -1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            break;
        }
    }
    if (index == kExecRuns) {
        return false;
    }
    int fd = ConnectBroker();
    unsigned step = 0;
    Answer answer = fd >= 0 ? Ask(fd, absolute, argv, &step) : Answer::Relay;
    if (answer != Answer::Slot) {
        __atomic_store_n(&runs[2 * index], 0, __ATOMIC_SEQ_CST);
        if (fd >= 0) {
            close(fd);
        }
        if (answer == Answer::Relay) {
            return false;
        }
    }
    QZ_TOOL_ENVIRONMENT(environment, envp);
    if (answer == Answer::Slot) {
        __atomic_store_n(&runs[2 * index + 1], static_cast<std::int32_t>(step), __ATOMIC_SEQ_CST);
        __atomic_store_n(&runs[2 * index], self, __ATOMIC_SEQ_CST);
        char stepText[24];
        char pidText[24];
        char indexText[24];
        const char* fields[] = {"HANDOFF", DecimalText(step, stepText),
                                DecimalText(static_cast<unsigned>(self), pidText),
                                DecimalText(index, indexText)};
        SendFields(fd, fields, 4);
    }
    realExecve(program, argv, environment);
    if (answer == Answer::Slot) {
        // Not replaced: this process goes on as itself, and the step ends as a failed start.
        int error = errno;
        std::int32_t expected = self;
        __atomic_compare_exchange_n(&runs[2 * index], &expected, 0, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        SendDone(fd, step, false, error == ENOENT ? 127 : 126);
        close(fd);
        errno = error;
    }
    return true;
}

/// After a wait call reaped pid: the end of a run handed off to it through an exec goes to the
/// broker on a connection of its own.
void ReportHandedOff(pid_t pid, bool signalled, int number) {
    std::int32_t* runs = enabled ? ExecRuns() : nullptr;
    if (runs == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < kExecRuns; ++i) {
        if (__atomic_load_n(&runs[2 * i], __ATOMIC_SEQ_CST) != pid) {
            continue;
        }
        const std::int32_t step = __atomic_load_n(&runs[2 * i + 1], __ATOMIC_SEQ_CST);
        std::int32_t expected = pid;
        if (!__atomic_compare_exchange_n(&runs[2 * i], &expected, 0, false, __ATOMIC_SEQ_CST,
                                         __ATOMIC_SEQ_CST)) {
            continue;
        }
        int savedErrno = errno;
        int fd = ConnectBroker();
        if (fd >= 0) {
            char stepText[24];
            char pidText[24];
            char numberText[24];
            const char* fields[] = {"REAPED", DecimalText(static_cast<unsigned>(step), stepText),
                                    DecimalText(static_cast<unsigned>(pid), pidText),
                                    signalled ? "signal" : "exit",
                                    DecimalText(static_cast<unsigned>(number), numberText)};
            SendFields(fd, fields, 5);
            close(fd);
        }
        errno = savedErrno;
        return;
    }
}

/// Counts a spawn's entry as filled however it leaves.
struct Filled {
    ~Filled() { __atomic_sub_fetch(&filling, 1, __ATOMIC_SEQ_CST); }
};

/// Tries the start of tool program (absolute) without qzrelay: asks the broker and, when it
/// lets this process start the tool, starts it with real and the tool's environment. Returns
/// false when qzrelay must start it; otherwise *result is what the call returns.
bool SpawnDirect(SpawnFunction real, pid_t* pid, const char* program,
                 const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attributes,
                 char* const argv[], char* const envp[], int* result) {
    if (!directEnabled) {
        return false;
    }
    char absolute[kPathMax];
    const char* relative = program[0] == '.' && program[1] == '/' ? program + 2 : program;
    if (!AbsolutePath(relative, absolute, sizeof(absolute)) || !DirectlyExecutable(program)) {
        return false;
    }
    DirectRun* entry = TakeDirectEntry();
    if (entry == nullptr) {
        return false;
    }
    __atomic_add_fetch(&filling, 1, __ATOMIC_SEQ_CST);
    const unsigned serial = __atomic_load_n(&earlySerial, __ATOMIC_SEQ_CST);
    Filled filled;
    int fd = ConnectBroker();
    unsigned step = 0;
    Answer answer = fd >= 0 ? Ask(fd, absolute, argv, &step) : Answer::Relay;
    if (answer != Answer::Slot) {
        if (fd >= 0) {
            close(fd);
        }
        ReleaseDirectEntry(entry);
        if (answer == Answer::Relay) {
            return false;
        }
    }
    pid_t child = 0;
    QZ_TOOL_ENVIRONMENT(environment, envp);
    *result = real(&child, program, actions, attributes, argv, environment);
    if (pid != nullptr && *result == 0) {
        *pid = child;
    }
    if (answer == Answer::Local) {
        return true;
    }
    if (*result != 0) {
        // Never started: the step ends as a failed start, and the caller sees the error.
        SendDone(fd, step, false, *result == ENOENT ? 127 : 126);
        close(fd);
        ReleaseDirectEntry(entry);
        return true;
    }
    char stepText[24];
    char pidText[24];
    const char* fields[] = {"STARTED", DecimalText(step, stepText),
                            DecimalText(static_cast<unsigned>(child), pidText)};
    SendFields(fd, fields, 3);
    entry->fd = fd;
    entry->step = step;
    __atomic_store_n(&entry->pid, child, __ATOMIC_SEQ_CST);
    ReportEarlyEnd(child, serial);
    return true;
}

int Execve(const char* path, char* const argv[], char* const envp[]) {
    int savedErrno = errno;
    if (!enabled || IsRelayProcess()) {
        errno = savedErrno;
        if (realExecve == nullptr) {
            errno = ENOSYS;
            return -1;
        }
        return realExecve(path, argv, envp);
    }
    char beyond[kPathMax];
    if (InMasquerade(path)) {
        int error = 0;
        if (!BeyondMasquerade(path, beyond, sizeof(beyond), &error)) {
            errno = error;
            return -1;
        }
        path = beyond;
    }
    if (path != nullptr && IsTool(path)) {
        errno = savedErrno;
        if (ExecDirect(path, argv, envp)) {
            return -1;
        }
        QZ_RELAY_ARGUMENTS(arguments, path, argv);
        QZ_ENVIRONMENT(relayEnvironment, envp, true);
        errno = savedErrno;
        realExecve(ValueOf(savedRelay), const_cast<char* const*>(arguments), relayEnvironment);
        // No relay to start: the tool runs as it would have without us.
    }
    QZ_ENVIRONMENT(environment, envp, false);
    errno = savedErrno;
    return realExecve(path, argv, environment);
}

int Execvpe(const char* file, char* const argv[], char* const envp[]) {
    int savedErrno = errno;
    if (!enabled || IsRelayProcess()) {
        errno = savedErrno;
        if (realExecvpe == nullptr) {
            errno = ENOSYS;
            return -1;
        }
        return realExecvpe(file, argv, envp);
    }
    char program[kPathMax];
    bool denied = false;
    bool found = SearchPath(file, program, sizeof(program), &denied);
    if (!found && UsesMasquerade() && file != nullptr && file[0] != '\0' &&
        std::strchr(file, '/') == nullptr) {
        // Nowhere beyond the masquerade folder: the search would reach the folder's link, which
        // has no tool to start. A plain search ends here.
        errno = denied ? EACCES : ENOENT;
        return -1;
    }
    if (found && IsTool(program)) {
        errno = savedErrno;
        if (ExecDirect(program, argv, envp)) {
            return -1;
        }
        QZ_RELAY_ARGUMENTS(arguments, program, argv);
        QZ_ENVIRONMENT(relayEnvironment, envp, true);
        errno = savedErrno;
        realExecve(ValueOf(savedRelay), const_cast<char* const*>(arguments), relayEnvironment);
    }
    QZ_ENVIRONMENT(environment, envp, false);
    if (found && UsesMasquerade()) {
        // The program found beyond the masquerade folder, so that a start this process may not
        // relay (QZ_INTERCEPT_PARENTS) is not caught by the folder instead. A file without a
        // format the system knows goes on to the search below, which runs it with /bin/sh.
        errno = savedErrno;
        realExecve(program, argv, environment);
        if (errno != ENOEXEC) {
            return -1;
        }
    }
    errno = savedErrno;
    return realExecvpe(file, argv, environment);
}

int Spawn(bool search, pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
          const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
    SpawnFunction real = search ? realSpawnp : realSpawn;
    if (real == nullptr) {
        return ENOSYS;
    }
    int savedErrno = errno;
    if (!enabled || IsRelayProcess()) {
        errno = savedErrno;
        return real(pid, file, actions, attributes, argv, envp);
    }
    char program[kPathMax];
    bool denied = false;
    bool found = search ? SearchPath(file, program, sizeof(program), &denied)
                        : file != nullptr && CopyText(program, sizeof(program), file);
    if (search && !found && UsesMasquerade() && file != nullptr && file[0] != '\0' &&
        std::strchr(file, '/') == nullptr) {
        errno = savedErrno;
        return denied ? EACCES : ENOENT; // as in Execvpe
    }
    if (!search && found && InMasquerade(program)) {
        int error = 0;
        if (!BeyondMasquerade(file, program, sizeof(program), &error)) {
            errno = savedErrno;
            return error;
        }
        file = program;
    }
    if (found && IsTool(program)) {
        int result = 0;
        // The program as found, so that a search does not run into the masquerade folder.
        if (SpawnDirect(search ? realSpawnp : realSpawn, pid, program, actions, attributes, argv,
                        envp, &result)) {
            errno = savedErrno;
            return result;
        }
        QZ_RELAY_ARGUMENTS(arguments, program, argv);
        QZ_ENVIRONMENT(relayEnvironment, envp, true);
        errno = savedErrno;
        result = realSpawn(pid, ValueOf(savedRelay), actions, attributes,
                           const_cast<char* const*>(arguments), relayEnvironment);
        if (result == 0) {
            errno = savedErrno;
            return 0;
        }
    }
    QZ_ENVIRONMENT(environment, envp, false);
    if (search && found && UsesMasquerade()) {
        real = realSpawn; // the program beyond the masquerade folder, as in Execvpe
        file = program;
    }
    errno = savedErrno;
    int result = real(pid, file, actions, attributes, argv, environment);
    errno = savedErrno;
    return result;
}

/// The arguments of an execl-style call, up to the terminating null pointer, on the caller's
/// stack; envp receives the one after it for execle.
#define QZ_COLLECT_ARGUMENTS(name, first, withEnvironment, envp)                                   \
    std::size_t name##Count = 0;                                                                   \
    /* glibc declares the first argument never null; a caller may pass one all the same, so        \
       the value is hidden from the optimiser before the test. */                                  \
    const char* name##First = first;                                                               \
    __asm__("" : "+r"(name##First));                                                               \
    if (name##First != nullptr) {                                                                  \
        va_list count;                                                                             \
        va_start(count, first);                                                                    \
        for (name##Count = 1; va_arg(count, const char*) != nullptr; ++name##Count) {              \
        }                                                                                          \
        va_end(count);                                                                             \
    }                                                                                              \
    char** name = static_cast<char**>(alloca((name##Count + 1) * sizeof(char*)));                  \
    {                                                                                              \
        va_list collect;                                                                           \
        va_start(collect, first);                                                                  \
        name[0] = const_cast<char*>(name##First);                                                  \
        for (std::size_t i = 1; i <= name##Count; ++i) {                                           \
            name[i] = va_arg(collect, char*);                                                      \
        }                                                                                          \
        if (withEnvironment) {                                                                     \
            envp = va_arg(collect, char**);                                                        \
        }                                                                                          \
        va_end(collect);                                                                           \
    }

/// The system call itself, should the C library's wait call not be found.
pid_t RawWait4(pid_t which, int* status, int options, struct rusage* usage) {
    return static_cast<pid_t>(syscall(SYS_wait4, which, status, options, usage));
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int execve(const char* path, char* const argv[],
                                                  char* const envp[]) {
    return Execve(path, argv, envp);
}

__attribute__((visibility("default"))) int execv(const char* path, char* const argv[]) {
    return Execve(path, argv, environ);
}

__attribute__((visibility("default"))) int execvpe(const char* file, char* const argv[],
                                                   char* const envp[]) {
    return Execvpe(file, argv, envp);
}

__attribute__((visibility("default"))) int execvp(const char* file, char* const argv[]) {
    return Execvpe(file, argv, environ);
}

__attribute__((visibility("default"))) int execl(const char* path, const char* arg, ...) {
    char** envp = nullptr;
    QZ_COLLECT_ARGUMENTS(arguments, arg, false, envp);
    (void)envp;
    return Execve(path, arguments, environ);
}

__attribute__((visibility("default"))) int execlp(const char* file, const char* arg, ...) {
    char** envp = nullptr;
    QZ_COLLECT_ARGUMENTS(arguments, arg, false, envp);
    (void)envp;
    return Execvpe(file, arguments, environ);
}

__attribute__((visibility("default"))) int execle(const char* path, const char* arg, ...) {
    char** envp = nullptr;
    QZ_COLLECT_ARGUMENTS(arguments, arg, true, envp);
    return Execve(path, arguments, envp);
}

__attribute__((visibility("default"))) int posix_spawn(pid_t* pid, const char* path,
                                                       const posix_spawn_file_actions_t* actions,
                                                       const posix_spawnattr_t* attributes,
                                                       char* const argv[], char* const envp[]) {
    return Spawn(false, pid, path, actions, attributes, argv, envp);
}

__attribute__((visibility("default"))) pid_t wait(int* status) {
    int own = 0;
    pid_t pid = realWait != nullptr ? realWait(&own) : RawWait4(-1, &own, 0, nullptr);
    if (status != nullptr && pid > 0) {
        *status = own;
    }
    ReapedStatus(pid, own);
    return pid;
}

__attribute__((visibility("default"))) pid_t waitpid(pid_t which, int* status, int options) {
    int own = 0;
    pid_t pid = realWaitpid != nullptr ? realWaitpid(which, &own, options)
                                       : RawWait4(which, &own, options, nullptr);
    if (status != nullptr && pid > 0) {
        *status = own;
    }
    ReapedStatus(pid, own);
    return pid;
}

__attribute__((visibility("default"))) pid_t wait3(int* status, int options, struct rusage* usage) {
    int own = 0;
    pid_t pid =
        realWait3 != nullptr ? realWait3(&own, options, usage) : RawWait4(-1, &own, options, usage);
    if (status != nullptr && pid > 0) {
        *status = own;
    }
    ReapedStatus(pid, own);
    return pid;
}

__attribute__((visibility("default"))) pid_t wait4(pid_t which, int* status, int options,
                                                   struct rusage* usage) {
    int own = 0;
    pid_t pid = realWait4 != nullptr ? realWait4(which, &own, options, usage)
                                     : RawWait4(which, &own, options, usage);
    if (status != nullptr && pid > 0) {
        *status = own;
    }
    ReapedStatus(pid, own);
    return pid;
}

__attribute__((visibility("default"))) int waitid(idtype_t type, id_t id, siginfo_t* info,
                                                  int options) {
    int result = realWaitid != nullptr
                     ? realWaitid(type, id, info, options)
                     : static_cast<int>(syscall(SYS_waitid, type, id, info, options, nullptr));
    if (result == 0 && info != nullptr && (options & WNOWAIT) == 0 && info->si_pid > 0) {
        if (info->si_code == CLD_EXITED) {
            Reaped(info->si_pid, false, info->si_status);
        } else if (info->si_code == CLD_KILLED || info->si_code == CLD_DUMPED) {
            Reaped(info->si_pid, true, info->si_status);
        }
    }
    return result;
}

__attribute__((visibility("default"))) int posix_spawnp(pid_t* pid, const char* file,
                                                        const posix_spawn_file_actions_t* actions,
                                                        const posix_spawnattr_t* attributes,
                                                        char* const argv[], char* const envp[]) {
    return Spawn(true, pid, file, actions, attributes, argv, envp);
}

} // extern "C"
