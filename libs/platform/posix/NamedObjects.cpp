#include "platform/NamedObjects.h"

#include "ObjectFile.h"
#include "UniqueFd.h"
#include "platform/AsciiText.h"
#include "platform/Clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/futex.h>
#include <mutex>
#include <optional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {

namespace {

// Function-local, so that the settings work from static initialisers of other units.
struct Config {
    std::mutex lock;
    std::string prefix;
    std::string directory;
    int directoryFd = -1;
    std::string directoryOfFd;
};

Config& TheConfig() {
    static Config* config = new Config; // never destroyed: used until the process ends
    return *config;
}

bool IsPlainChar(unsigned char c, bool allowDot) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '{' || c == '}' || (allowDot && c == '.');
}

std::string Escape(std::string_view text, bool allowDot) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (IsPlainChar(c, allowDot)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string(fallback);
}

std::string Format(const char* format, long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

bool StartsWith(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && text.substr(0, head.size()) == head;
}

// Reads a decimal session number followed by a backslash; returns false when malformed.
bool TakeSession(std::string_view& rest, long& session) {
    size_t slash = rest.find('\\');
    if (slash == 0 || slash == std::string_view::npos || slash > 9) {
        return false;
    }
    long value = 0;
    for (char c : rest.substr(0, slash)) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    session = value;
    rest.remove_prefix(slash + 1);
    return true;
}

bool UidTrusted(uid_t uid) {
    if (uid == geteuid() || uid == 0) {
        return true;
    }
    std::vector<std::uint32_t> owners = TrustedObjectOwners();
    return std::find(owners.begin(), owners.end(), uid) != owners.end();
}

std::int64_t MonotonicMs() {
    return static_cast<std::int64_t>(MonotonicMilliseconds());
}

// The group of shared objects from "TamrelObjectGroup" (a number or a group name); 0 with gid
// set, 0 with hasGroup false when none is configured, or EINVAL when it names no group.
int ConfiguredGroup(bool& hasGroup, gid_t& gid) {
    hasGroup = false;
    std::string group = EnvOr("TamrelObjectGroup", "");
    if (group.empty()) {
        return 0;
    }
    // Digits only: a sign or a trailing letter makes it a group name to look up.
    std::optional<gid_t> number =
        group[0] >= '0' && group[0] <= '9' ? ParseInteger<gid_t>(group) : std::nullopt;
    if (number && *number != static_cast<gid_t>(-1)) {
        gid = *number;
        hasGroup = true;
        return 0;
    }
    std::vector<char> buffer(4096);
    for (;;) {
        struct group entry {};
        struct group* found = nullptr;
        int rc = getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found) {
            return EINVAL; // no such group: never fall back to a world-writable object
        }
        gid = found->gr_gid;
        hasGroup = true;
        return 0;
    }
}

bool IsPersistentFile(std::string_view fileName, std::string_view prefix) {
    std::string head = std::string(prefix) + ".g.";
    return fileName == head + "Tamrel_SessionData_0" || fileName == head + "Tamrel_SessionThreads";
}

} // namespace

std::string ObjectPrefix() {
    Config& config = TheConfig();
    std::lock_guard lock(config.lock);
    if (config.prefix.empty()) {
        config.prefix = Escape(EnvOr("TamrelObjectPrefix", "tamrel"), false);
    }
    return config.prefix;
}

void SetObjectPrefix(std::string prefix) {
    Config& config = TheConfig();
    std::lock_guard lock(config.lock);
    config.prefix = Escape(prefix.empty() ? "tamrel" : prefix, false);
}

std::string ObjectDirectory() {
    Config& config = TheConfig();
    std::lock_guard lock(config.lock);
    if (config.directory.empty()) {
        config.directory = EnvOr("TamrelObjectDir", "/dev/shm");
    }
    return config.directory;
}

void SetObjectDirectory(std::string directory) {
    Config& config = TheConfig();
    std::lock_guard lock(config.lock);
    config.directory = directory.empty() ? std::string("/dev/shm") : std::move(directory);
}

long CurrentSessionNumber() {
    static const long session = [] {
        long value = -1;
        if (FILE* file = std::fopen("/proc/self/sessionid", "re")) {
            unsigned long id = 0;
            if (std::fscanf(file, "%lu", &id) == 1 && id != 4294967295UL) {
                value = static_cast<long>(id);
            }
            std::fclose(file);
        }
        return value;
    }();
    return session;
}

Result<std::string> ObjectFileName(std::string_view name) {
    std::string_view rest = name;
    long session = -2; // -2: local namespace
    if (StartsWith(rest, "\\Sessions\\")) {
        rest.remove_prefix(10);
        if (!TakeSession(rest, session) || !StartsWith(rest, "BaseNamedObjects\\")) {
            return Fail(EINVAL, "object name");
        }
        rest.remove_prefix(17);
    } else if (StartsWith(rest, "\\BaseNamedObjects\\")) {
        rest.remove_prefix(18);
    }
    if (StartsWith(rest, "Global\\")) {
        rest.remove_prefix(7);
        session = -1;
    } else if (StartsWith(rest, "Local\\")) {
        rest.remove_prefix(6);
    } else if (StartsWith(rest, "Session\\")) {
        rest.remove_prefix(8);
        if (!TakeSession(rest, session)) {
            return Fail(EINVAL, "object name");
        }
    }
    if (rest.empty()) {
        return Fail(EINVAL, "object name");
    }
    if (session == -2) {
        session = CurrentSessionNumber();
    }
    std::string result = ObjectPrefix();
    result += session < 0 ? std::string(".g.") : Format(".s%ld.", session);
    result += Escape(rest, true);
    if (result.size() > 255) {
        return Fail(ENAMETOOLONG, "object name");
    }
    return result;
}

int SweepObjectLeftovers() {
    int dirFd = detail::DirectoryFd();
    if (dirFd < 0) {
        return 0;
    }
    std::string prefix = ObjectPrefix();
    std::string head = prefix + ".";
    std::string tmpHead = prefix + ".tmp.";
    detail::UniqueFd dupFd(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    DIR* dir = dupFd ? fdopendir(dupFd.Get()) : nullptr;
    if (!dir) {
        return 0;
    }
    dupFd.Release(); // the stream owns it now: closedir closes it
    rewinddir(dir);
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string_view fileName(entry->d_name);
        if (StartsWith(fileName, head) && !IsPersistentFile(fileName, prefix)) {
            names.emplace_back(fileName);
        }
    }
    closedir(dir);
    int removed = 0;
    time_t now = time(nullptr);
    for (const std::string& fileName : names) {
        struct stat st {};
        if (fstatat(dirFd, fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            continue;
        }
        if (StartsWith(fileName, tmpHead)) {
            // A creator links its temporary file within milliseconds; an old one is a crash.
            if (now - st.st_mtime > 60 && unlinkat(dirFd, fileName.c_str(), 0) == 0) {
                ++removed;
            }
            continue;
        }
        detail::UniqueFd file(
            openat(dirFd, fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!file) {
            continue;
        }
        const int fd = file.Get();
        struct stat held {};
        if (detail::FlockNoWait(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 &&
            fstatat(dirFd, fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_ino == held.st_ino && st.st_dev == held.st_dev &&
            unlinkat(dirFd, fileName.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

std::string ProbeKernelObjectSupport() {
    // futex_waitv with a value that does not match must fail at once with EAGAIN.
    std::uint32_t word = 1;
    struct futex_waitv waiter {};
    waiter.val = 0;
    waiter.uaddr = reinterpret_cast<std::uintptr_t>(&word);
    waiter.flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
    long rc = syscall(SYS_futex_waitv, &waiter, 1, 0, nullptr, CLOCK_MONOTONIC);
    if (rc != -1 || errno != EAGAIN) {
        return errno == ENOSYS
                   ? "The kernel does not offer futex_waitv (Linux 5.16 or later is required)"
                   : std::string("The kernel's futex_waitv does not work as expected: ") +
                         std::strerror(errno);
    }
    detail::UniqueFd pidFd(static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0)));
    if (!pidFd) {
        return std::string("The kernel does not offer pidfd_open (Linux 5.3 or later is "
                           "required): ") +
               std::strerror(errno);
    }
    return {};
}

std::vector<std::uint32_t> TrustedObjectOwners() {
    std::vector<std::uint32_t> owners;
    auto add = [&owners](std::uint32_t uid) {
        if (std::find(owners.begin(), owners.end(), uid) == owners.end()) {
            owners.push_back(uid);
        }
    };
    add(geteuid());
    add(0);
    std::string list = EnvOr("TamrelObjectOwners", "");
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
        if (std::optional<uid_t> uid = ParseInteger<uid_t>(item)) {
            add(*uid);
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return owners;
}

std::uint32_t EffectiveUserId() {
    return geteuid();
}

namespace detail {

std::atomic<const char*> g_testKillPoint{nullptr};

void SetTestKillPoint(const char* name) {
    g_testKillPoint.store(name, std::memory_order_relaxed);
}

void KillAtPoint(const char* name) {
    const char* point = g_testKillPoint.load(std::memory_order_relaxed);
    if (point && std::strcmp(point, name) == 0) {
        kill(getpid(), SIGKILL);
    }
}

int FlockNoWait(int fd, int operation) {
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno == EWOULDBLOCK ? EAGAIN : errno;
        }
    }
}

int FlockBounded(int fd, int operation, int limitMs) {
    // Only a closer or the janitor holds an exclusive lock legitimately, for microseconds; any
    // other holder (another user of a shared object) must not stall us for longer than the bound.
    const std::int64_t deadline = MonotonicMs() + limitMs;
    for (int delayMs = 0;; delayMs = delayMs < 8 ? delayMs + 1 : 8) {
        int rc = FlockNoWait(fd, operation);
        if (rc != EAGAIN) {
            return rc;
        }
        if (MonotonicMs() >= deadline) {
            return EBUSY;
        }
        if (delayMs == 0) {
            sched_yield();
        } else {
            timespec pause{0, delayMs * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
}

int DirectoryFd() {
    std::string directory = ObjectDirectory();
    Config& config = TheConfig();
    std::lock_guard lock(config.lock);
    if (config.directoryFd >= 0 && config.directoryOfFd == directory) {
        return config.directoryFd;
    }
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // The old descriptor stays open: other threads may still be using it.
    config.directoryFd = fd;
    config.directoryOfFd = directory;
    return fd;
}

// ---- The open object files of this process --------------------------------------------------

namespace {

// Every object file this process has open, so that an exit without destructors (ExitProcessNow)
// can still give the names up as their last closer would. Taken for good by the exit pass.
struct OpenFiles {
    std::timed_mutex lock;
    std::vector<ObjectFile*> files;
};

OpenFiles& TheOpenFiles() {
    static OpenFiles* open = new OpenFiles; // never destroyed: used until the process ends
    return *open;
}

void Track(ObjectFile* file) {
    OpenFiles& open = TheOpenFiles();
    std::lock_guard guard(open.lock);
    open.files.push_back(file);
}

void Untrack(ObjectFile* file) {
    OpenFiles& open = TheOpenFiles();
    std::lock_guard guard(open.lock);
    std::erase(open.files, file);
}

// Drops the lifetime lock of a handle whose description stays open (a kept mapping holds it, or
// the process ends without closing it). A child made by fork shares its parent's description:
// unlocking it would drop the parent's lock too, so it leaves it. Whether the lock was dropped.
bool DropOwnLock(const ObjectFile& file) {
    if (file.fd < 0 || file.persistent || file.openerPid != getpid()) {
        return false;
    }
    flock(file.fd, LOCK_UN);
    return true;
}

// Unlinks the object's name when no description anywhere holds its lifetime lock any more. The
// caller has dropped its own lock. A fresh description is used: a child made by fork shares the
// caller's description (and its lock) with its parent, so an exclusive lock taken through it
// would be granted while the other process still uses the object.
void UnlinkIfLastHolder(const std::string& fileName, dev_t device, ino_t inode) {
    int dirFd = DirectoryFd();
    if (dirFd < 0) {
        return;
    }
    detail::UniqueFd probe(
        openat(dirFd, fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!probe) {
        return;
    }
    struct stat held {};
    struct stat named {};
    if (fstat(probe.Get(), &held) == 0 && held.st_ino == inode && held.st_dev == device &&
        FlockNoWait(probe.Get(), LOCK_EX) == 0 &&
        fstatat(dirFd, fileName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == inode && named.st_dev == device) {
        unlinkat(dirFd, fileName.c_str(), 0);
    }
}

} // namespace

void ReleaseNamesAtExit() {
    OpenFiles& open = TheOpenFiles();
    // Never released: the process ends next, and no other thread may close a file meanwhile. A
    // child made by fork may have inherited the lock held by a thread it does not have: then the
    // names stay for the janitor rather than the exit hanging.
    if (!open.lock.try_lock_for(std::chrono::seconds(1))) {
        return;
    }
    for (ObjectFile* file : open.files) {
        if (DropOwnLock(*file)) {
            UnlinkIfLastHolder(file->fileName, file->device, file->inode);
        }
    }
}

ObjectFile::ObjectFile(ObjectFile&& other) noexcept {
    *this = std::move(other);
}

ObjectFile& ObjectFile::operator=(ObjectFile&& other) noexcept {
    if (this != &other) {
        Close();
        if (other.fd >= 0 && !other.persistent) {
            Untrack(&other);
            Track(this);
        }
        fd = other.fd;
        view = other.view;
        size = other.size;
        fileName = std::move(other.fileName);
        device = other.device;
        inode = other.inode;
        openerPid = other.openerPid;
        existed = other.existed;
        persistent = other.persistent;
        other.fd = -1;
        other.view = nullptr;
    }
    return *this;
}

ObjectFile::~ObjectFile() {
    Close();
}

void ObjectFile::Close() {
    if (view) {
        munmap(view, size);
        view = nullptr;
    }
    if (fd < 0) {
        return;
    }
    if (!persistent) {
        Untrack(this);
    }
    detail::UniqueFd(std::exchange(fd, -1)).Reset();
    if (!persistent) {
        UnlinkIfLastHolder(fileName, device, inode);
    }
}

void ObjectFile::Abandon() {
    // The mapping stays, and with it the open file description and its lifetime lock: dropped
    // by hand, the name goes as at any close once nobody else holds the object.
    view = nullptr;
    DropOwnLock(*this);
    Close();
}

namespace {

// Opens the existing object under its name and takes the shared lock; ENOENT when the name is
// free, EAGAIN when the name was replaced meanwhile (retry). Everything another user could have
// planted is checked before anything can block: the kind of file, its owner, its mode and its
// size; the lock is only tried, within a bound.
int OpenExisting(int dirFd, const ObjectRequest& request, const std::string& fileName,
                 ObjectFile& out) {
    // O_NONBLOCK: a squatted FIFO or device must not block the open itself.
    int fd = openat(dirFd, fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ELOOP ? EACCES : errno;
    }
    detail::UniqueFd owner(fd); // until out takes it
    auto fail = [](int code) { return code; };
    struct stat held {};
    if (fstat(fd, &held) != 0) {
        return fail(errno);
    }
    if (!S_ISREG(held.st_mode) || !UidTrusted(held.st_uid) ||
        (held.st_mode & ~static_cast<mode_t>(S_IFMT | 0666)) != 0) {
        return fail(EACCES); // a squatted name, or not an object file of ours
    }
    if (held.st_size <= 0 || static_cast<std::uint64_t>(held.st_size) < request.size ||
        static_cast<std::uint64_t>(held.st_size) > kMaxObjectSize) {
        return fail(EPROTOTYPE);
    }
    // Objects kept until reboot need no lifetime lock: nobody unlinks them.
    if (!request.persistent) {
        if (int rc = FlockBounded(fd, LOCK_SH, kLockWaitMs)) {
            return fail(rc);
        }
        struct stat named {};
        if (fstatat(dirFd, fileName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_ino != held.st_ino || named.st_dev != held.st_dev) {
            return fail(EAGAIN); // the last closer unlinked it between our open and our lock
        }
    }
    size_t size = static_cast<size_t>(held.st_size);
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        return fail(errno);
    }
    if (request.check) {
        if (int rc = request.check(view, size)) {
            munmap(view, size);
            return fail(rc);
        }
    }
    out.fd = owner.Release();
    out.view = view;
    out.size = size;
    out.fileName = fileName;
    out.device = held.st_dev;
    out.inode = held.st_ino;
    out.openerPid = getpid();
    out.existed = true;
    out.persistent = request.persistent;
    return 0;
}

// Sets the mode (and group) of a new shared object; fails rather than publish an object that is
// more open than configured.
int SetSharedMode(int fd) {
    bool hasGroup = false;
    gid_t gid = 0;
    if (int rc = ConfiguredGroup(hasGroup, gid)) {
        return rc;
    }
    if (hasGroup && fchown(fd, static_cast<uid_t>(-1), gid) != 0) {
        return errno;
    }
    // fchmod, not the creation mode: the umask would strip the bits.
    return fchmod(fd, hasGroup ? 0660 : 0666) == 0 ? 0 : errno;
}

// Builds the object under a temporary name and links it into place; EEXIST when another process
// published the name first.
int CreateNew(int dirFd, const ObjectRequest& request, const std::string& fileName,
              ObjectFile& out) {
    std::string tmpName = ObjectPrefix() + ".tmp.";
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        static std::atomic<unsigned> counter{0};
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, "%d.%u.%lx", getpid(), counter++,
                      static_cast<unsigned long>(clock()));
        std::string candidate = tmpName + suffix;
        fd = openat(dirFd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
        if (fd >= 0) {
            tmpName = candidate;
        } else if (errno != EEXIST) {
            return errno;
        }
    }
    if (fd < 0) {
        return EEXIST;
    }
    detail::UniqueFd owner(fd); // until out takes it
    auto fail = [&](int code) {
        unlinkat(dirFd, tmpName.c_str(), 0);
        return code;
    };
    // Lock while the file is still 0600: once it is shared, another user could take the
    // exclusive lock first.
    if (!request.persistent) {
        if (int rc = FlockNoWait(fd, LOCK_SH)) {
            return fail(rc);
        }
    }
    // Allocate now so that a full file system fails here and not with SIGBUS on first touch.
    if (int rc = posix_fallocate(fd, 0, static_cast<off_t>(request.size))) {
        return fail(rc);
    }
    void* view = mmap(nullptr, request.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        return fail(errno);
    }
    if (request.init) {
        request.init(view, request.size);
    }
    // Undoes init's effects before the view goes: a mutex locked at creation must be unlocked
    // first, since a held robust mutex must never be unmapped.
    auto discard = [&] {
        if (request.discard) {
            request.discard(view, request.size);
        }
        munmap(view, request.size);
    };
    if (request.access == ObjectAccess::Shared) {
        if (int rc = SetSharedMode(fd)) {
            discard();
            return fail(rc);
        }
    }
    TestKillPoint("create-before-link");
    struct stat held {};
    if (fstat(fd, &held) != 0 || linkat(dirFd, tmpName.c_str(), dirFd, fileName.c_str(), 0) != 0) {
        int rc = errno;
        discard();
        return fail(rc);
    }
    unlinkat(dirFd, tmpName.c_str(), 0);
    out.fd = owner.Release();
    out.view = view;
    out.size = request.size;
    out.fileName = fileName;
    out.device = held.st_dev;
    out.inode = held.st_ino;
    out.openerPid = getpid();
    out.existed = false;
    out.persistent = request.persistent;
    return 0;
}

} // namespace

int OpenObject(const ObjectRequest& request, ObjectFile& out) {
    auto named = ObjectFileName(request.name);
    if (!named) {
        return named.error().code;
    }
    const std::string& fileName = *named;
    int dirFd = DirectoryFd();
    if (dirFd < 0) {
        return errno ? errno : ENOENT;
    }
    if (request.create && request.size == 0) {
        return EINVAL;
    }
    // Open first: with fs.protected_regular an O_CREAT open of another user's file fails.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int rc = OpenExisting(dirFd, request, fileName, out);
        if (rc == EAGAIN) {
            continue;
        }
        if (rc == ENOENT && request.create) {
            rc = CreateNew(dirFd, request, fileName, out);
            if (rc == EEXIST) {
                continue;
            }
        }
        if (rc == 0 && !out.persistent) {
            Track(&out);
        }
        return rc;
    }
    return EAGAIN;
}

} // namespace detail

} // namespace qz::platform
