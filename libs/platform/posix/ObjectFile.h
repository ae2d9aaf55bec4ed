#pragma once

// One named object file: creation without half-built objects (temporary file + link), an exact
// "already existed" flag, a shared flock per handle and unlinking by the last closer. Used by the
// sections, events and mutexes of this folder; not part of the OS-neutral interface.

#include "platform/NamedObjects.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace qz::platform::detail {

struct ObjectFile {
    int fd = -1;
    void* view = nullptr;
    std::size_t size = 0;
    std::string fileName;
    dev_t device = 0;
    ino_t inode = 0;
    pid_t openerPid = 0;
    bool existed = false;
    bool persistent = false; ///< never unlinked by a closer

    ObjectFile() = default;
    ObjectFile(ObjectFile&& other) noexcept;
    ObjectFile& operator=(ObjectFile&& other) noexcept;
    ~ObjectFile();
    ObjectFile(const ObjectFile&) = delete;
    ObjectFile& operator=(const ObjectFile&) = delete;

    /// Unmaps, closes and unlinks the name when no other handle exists anywhere.
    void Close();
    /// Closes the descriptor (and unlinks as Close does) but keeps the mapping for the life of
    /// the process: a held robust mutex must never be unmapped.
    void Abandon();
};

/// For an exit that runs no destructors: drops this process's lifetime locks on the object
/// files it has open and unlinks the names nobody else holds, as their last closer would. No
/// object file may be opened or closed afterwards (the calling thread ends the process next;
/// other threads that try wait for that).
void ReleaseNamesAtExit();

/// Fills a freshly created object before it becomes visible under its name.
using ObjectInit = std::function<void(void* view, std::size_t size)>;
/// Checks an existing object's content; returns 0 or an error code (EPROTOTYPE: wrong kind).
using ObjectCheck = std::function<int(const void* view, std::size_t size)>;

struct ObjectRequest {
    std::string_view name;
    std::size_t size = 0; ///< size to create; an existing object must be at least this big
    bool create = true;   ///< false: open only (ENOENT when it does not exist)
    ObjectAccess access = ObjectAccess::Private;
    bool persistent = false;
    ObjectInit init;
    /// Undoes what init did (for example a lock it took) when the new object is not published.
    ObjectInit discard;
    ObjectCheck check;
};

/// The largest object file an opener maps (a file another user can write may have been grown).
inline constexpr std::uint64_t kMaxObjectSize = std::uint64_t(1) << 30;
/// How long an opener tries for its shared lock before it gives up with EBUSY.
inline constexpr int kLockWaitMs = 1000;

/// Magic words at the start of the object files that carry a header; a section never opens a
/// file that starts with one of them at that kind's size.
inline constexpr std::uint32_t kEventMagic = 0x56454B54; // "TKEV" in little-endian memory
inline constexpr std::uint32_t kMutexMagic = 0x584D4B54; // "TKMX"
inline constexpr std::size_t kEventFileSize = 64;
inline constexpr std::size_t kMutexFileSize = 128;

/// Opens or creates the object; 0 or an errno value.
int OpenObject(const ObjectRequest& request, ObjectFile& out);

/// The object directory's descriptor (opened once per directory).
int DirectoryFd();

/// flock without waiting, retried on EINTR; 0, EAGAIN when another holder conflicts, or errno.
int FlockNoWait(int fd, int operation);
/// flock with non-blocking tries for at most limitMs; 0, EBUSY when the bound passed, or errno.
int FlockBounded(int fd, int operation, int limitMs);

/// Test hook: a process that reaches the named point kills itself with SIGKILL, so that tests can
/// end a process between two steps that are otherwise never apart ("event-set-before-wake",
/// "create-before-link"). nullptr: none.
void SetTestKillPoint(const char* name);

extern std::atomic<const char*> g_testKillPoint;
void KillAtPoint(const char* name);

inline void TestKillPoint(const char* name) {
    if (g_testKillPoint.load(std::memory_order_relaxed) != nullptr) {
        KillAtPoint(name);
    }
}

} // namespace qz::platform::detail
