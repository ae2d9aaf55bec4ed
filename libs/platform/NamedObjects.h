#pragma once

// Where the named kernel objects of the system live and how their names are formed: the
// namespace rules, the file prefix that keeps parallel test runs apart, the access modes of
// shared and private objects, the janitor for leftovers of crashed processes, and the start-up
// probe for the kernel facilities the objects need.
//
// A name is given as the system writes it: "Global\Tamrel_{GUID}_X", "Session\3\X",
// "Local\X", a bare "X" (the current session), or the kernel forms "\BaseNamedObjects\..." and
// "\Sessions\3\BaseNamedObjects\X". Every named object is one file "<prefix>.<ns>.<name>" in the
// object directory, where ns is "g" (global) or "s<n>" (session n).

#include "platform/Result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz::platform {

/// Who may use an object created by this process.
enum class ObjectAccess {
    Private, ///< the creating user only (mode 0600)
    Shared,  ///< every local user (mode 0666), or the configured group (mode 0660)
};

/// The file-name prefix of every named object ("tamrel" unless the environment variable
/// "TamrelObjectPrefix" or SetObjectPrefix says otherwise). Characters other than letters, digits,
/// "_" and "-" are escaped. Tests set a unique prefix so that parallel runs never share objects.
std::string ObjectPrefix();
void SetObjectPrefix(std::string prefix);

/// The folder of the object files ("/dev/shm" unless "TamrelObjectDir" or SetObjectDirectory
/// says otherwise). It must be on a file system that supports shared mappings and flock.
std::string ObjectDirectory();
void SetObjectDirectory(std::string directory);

/// The login-session number of the process (the kernel's audit session id), or -1 when the
/// process has none (services, containers); the local namespace is then the global one.
long CurrentSessionNumber();

/// The file name (without folder) for an object name; fails with EINVAL for an empty or
/// malformed name, ENAMETOOLONG when the file name would exceed 255 bytes.
Result<std::string> ObjectFileName(std::string_view name);

/// The user ids whose existing objects this process uses: its own effective one, root's and
/// those listed in "TamrelObjectOwners" (comma-separated; an entry that is not a number is
/// skipped), in that order and without repeats. A service that answers its clients through
/// objects they created can publish it, so that a client it cannot answer learns so at once.
std::vector<std::uint32_t> TrustedObjectOwners();

/// The effective user id of this process.
std::uint32_t EffectiveUserId();

/// Removes leftovers of crashed processes under the current prefix: object files that no
/// process holds open any more (except the machine-wide thread-identity objects, which live until
/// reboot) and half-built temporary files older than a minute. Returns the number removed.
int SweepObjectLeftovers();

/// Checks that the kernel offers what the named objects need (vectored futex waits, pidfds).
/// Returns an empty text when it does, else a message that says what is missing.
std::string ProbeKernelObjectSupport();

} // namespace qz::platform
