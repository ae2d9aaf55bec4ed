#pragma once

// One named object file: creation without half-built objects (temporary file + link), an exact
// "already existed" flag, a shared flock per handle and unlinking by the last closer. Used by the
// sections, events and mutexes of this folder; not part of the OS-neutral interface.

#include "platform/NamedObjects.h"

#include <cstddef>
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
    /// Closes the descriptor but keeps the mapping for the life of the process (a held robust
    /// mutex must never be unmapped). The name stays until the janitor finds it unheld.
    void Abandon();
};

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

/// Opens or creates the object; 0 or an errno value.
int OpenObject(const ObjectRequest& request, ObjectFile& out);

/// The object directory's descriptor (opened once per directory).
int DirectoryFd();

} // namespace qz::platform::detail
