#pragma once

// Deleting what lies below a folder without ever following a symbolic link: every entry is
// reached relative to a folder that is already open, so a link, or a folder swapped for a link
// while the deletion runs, is removed itself and nothing outside the tree is touched. Folders
// on another file system (mount points) are not entered, and nesting deeper than
// kFolderTreeMaxDepth is not entered either (each level holds one descriptor). Nothing here
// raises.

#include "platform/Result.h"

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

/// What the name is, without following a link in its last component: a link counts as a
/// file.
enum class EntryKind { Missing, File, Folder };
EntryKind QueryEntryKind(const std::string& path);

} // namespace qz::platform
