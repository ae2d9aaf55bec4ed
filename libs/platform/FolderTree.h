#pragma once

// Deleting what lies below a folder without ever following a symbolic link: every entry is
// reached relative to a folder that is already open, so a link, or a folder swapped for a link
// while the deletion runs, is removed itself and nothing outside the tree is touched. Folders
// on another file system (mount points) are not entered, and nesting deeper than
// kFolderTreeMaxDepth is not entered either (each level holds one descriptor). Nothing here
// raises.

#include "platform/Result.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qz::platform {

/// The deepest level below the starting folder that the deletion enters.
inline constexpr int kFolderTreeMaxDepth = 256;

/// What a deletion of entries did.
struct FolderTreeResult {
    bool opened = false;   ///< the folder could be opened and read
    bool matched = false;  ///< at least one entry (at any level) matched
    bool complete = false; ///< every matched entry is gone
    int error = 0;         ///< the system error code of the first failure, 0 when none
};

/// Deletes the entries of a folder whose names match: a matching file, link or other
/// non-folder is unlinked; a matching subfolder has its own matching entries deleted the same
/// way and is then removed (which fails while it still holds something). "." and ".." are
/// skipped. The folder itself is opened without following a link in its last component (a
/// trailing "/" is ignored), so a folder that is a link is not entered. Failures do not stop
/// the enumeration.
FolderTreeResult DeleteMatchingEntries(const std::string& folder,
                                       const std::function<bool(std::string_view)>& matches);

/// Removes an empty folder, or, when the name (a trailing "/" ignored) is a symbolic link or
/// any other non-folder, that name itself. Fails with ENOTEMPTY for a folder that still holds
/// something, ENOENT when nothing has the name.
Result<> RemoveFolderOrLink(const std::string& path);

/// A regular file directly in a folder, as the file itself is (a link is never followed).
struct FolderFileFacts {
    std::string_view name;
    std::uint32_t owner = 0;     ///< the user id that owns it
    std::int64_t modifiedNs = 0; ///< last modification, nanoseconds since 1970 (UTC)
};

/// Unlinks the regular files directly in a folder whose facts match. Links (whatever they
/// point to), folders and every other kind of entry are neither removed nor followed, and
/// nothing below the folder is entered. The folder is opened as DeleteMatchingEntries opens it.
/// With onlyName given, just that name is looked at and the folder is not read; a name that is
/// empty, "." or ".." or holds a "/" fails with EINVAL. A file that vanishes meanwhile counts
/// as gone.
FolderTreeResult DeleteFolderFiles(const std::string& folder,
                                   const std::function<bool(const FolderFileFacts&)>& matches,
                                   std::string_view onlyName = {});

/// What the name is, without following a link in its last component: a link counts as a
/// file.
enum class EntryKind { Missing, File, Folder };
EntryKind QueryEntryKind(const std::string& path);

} // namespace qz::platform
