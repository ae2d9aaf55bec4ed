#pragma once

// Questions and changes about names in the file system: what a path is, creating folders,
// deleting and renaming files, the temporary folder. Failures are returned as Result values
// (the system error code and what was being done) so that callers build their own messages.

#include "platform/Result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz::platform {

enum class PathKind { Missing, File, Folder };

/// What the path names, following symbolic links. Anything that is not a folder counts as a
/// file; a path that cannot be examined counts as missing.
PathKind QueryPathKind(const std::string& path);

/// The time of the last change of the file's content, in nanoseconds since 1970, following
/// symbolic links. Fails with ENOENT when it does not exist.
Result<long long> FileModificationTime(const std::string& path);

/// True when the path names a regular file (following symbolic links): not a folder, device,
/// pipe or socket, whose opening could block or never end.
bool PathIsRegularFile(const std::string& path);

/// True when the path exists and carries no write permission bit at all (owner, group, others).
bool PathIsWriteProtected(const std::string& path);

/// True when the path names a folder in which this process may create files.
bool FolderIsWritable(const std::string& path);

/// Creates one folder (mode 0777 before the umask); fails with EEXIST when the name exists,
/// whatever it is.
Result<> MakeFolder(const std::string& path);

/// Creates one folder with exactly the permission bits given (setgid and sticky included),
/// whatever the umask; it is never more open than that meanwhile. The setgid bit stays only when
/// this process may set it (a member of the folder's group). Fails with EEXIST when the name
/// exists, whatever it is; nothing is left behind on another failure.
Result<> MakeFolder(const std::string& path, unsigned mode);

/// Creates a new folder with a unique name beginning with prefix (a path: "/tmp/qz-"), mode
/// exactly 0700 whatever the umask, and returns its name.
Result<std::string> MakeUniquePrivateFolder(const std::string& prefix);

/// Whether name matches the shell wildcard pattern ("*", "?", "[...]"; a "/" is matched by the
/// wildcards like any other character, and a leading "." needs no special care).
bool WildcardMatches(const std::string& pattern, const std::string& name);

/// Creates a symbolic link at path that points to target.
Result<> MakeSymbolicLink(const std::string& target, const std::string& path);

/// Removes a file name (not a folder).
Result<> RemoveFile(const std::string& path);

/// Renames a file or folder; fails with EEXIST when the target exists, and with EXDEV when both
/// names are on different file systems (nothing is copied).
Result<> RenameNoReplace(const std::string& from, const std::string& to);

/// Writes a file only this user may read, for data such as a whole environment that lands in a
/// folder other users can write: any old name is removed first, and the file is created anew
/// (never through a symbolic link, never over a file another user planted) with mode exactly
/// 0600 whatever the umask. A failure after the create removes the file again.
/// Fails with EEXIST when someone recreated the name in between.
Result<> WritePrivateFile(const std::string& path, std::string_view contents);

/// Reads a file that WritePrivateFile wrote: without following a symbolic link (ELOOP), only a
/// regular file (EINVAL), owned by this user with no access for others (EPERM), of at most
/// maxSize bytes (EFBIG). The file's contents.
Result<std::string> ReadPrivateFile(const std::string& path, std::int64_t maxSize);

/// The system temporary folder: $TMPDIR when set and not empty, else "/tmp". No trailing "/".
std::string SystemTempFolder();

/// The current directory; empty when it cannot be read.
std::string CurrentFolder();

/// One name in a folder.
struct FolderEntry {
    std::string name;
    PathKind kind = PathKind::Missing; ///< following a symbolic link, as QueryPathKind
    std::int64_t modifiedNs = 0;       ///< last modification, nanoseconds since 1970 (UTC)
};

/// The names in a folder except "." and "..", in no particular order. Fails when the folder
/// cannot be opened or read (an entry that vanishes meanwhile counts as missing).
Result<std::vector<FolderEntry>> ListFolder(const std::string& path);

/// The permission bits of a file (0755, ...), following links.
Result<unsigned> FilePermissions(const std::string& path);

/// Sets the permission bits of a file.
Result<> SetFilePermissions(const std::string& path, unsigned mode);

/// Renames a file over another in one step (readers see the old or the new file, never none).
Result<> ReplaceFile(const std::string& from, const std::string& to);

} // namespace qz::platform
