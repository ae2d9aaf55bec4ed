#pragma once

// Facts about program files: whether a file can be started, whether two paths name one file,
// which file a program name stands for in a PATH value, and whether the system's dynamic loader
// will load a library preloaded through the environment (LD_PRELOAD) into the program.

#include "platform/Result.h"

#include <string>
#include <string_view>

namespace qz::platform {

/// Whether path names a regular file this process may execute.
bool IsExecutableFile(const std::string& path);

/// Whether the two paths name the same file (after symbolic links); false when either is gone.
bool IsSameFile(const std::string& path, const std::string& other);

/// How FindProgramInPath looks, beyond the PATH value. Every member has an initializer, so that
/// a caller names just those it sets: {.startFolder = folder}.
struct ProgramSearch {
    /// The folder the program will run in: relative entries of the PATH value (the empty entry
    /// among them) and a relative name holding '/' count from it. Empty: from ours.
    std::string startFolder{};
    /// An entry naming this folder (trailing '/' aside) is passed over, as written.
    std::string skipFolder{};
    /// A file that is this one (by any name, IsSameFile) is passed over.
    std::string skipFile{};
};

/// The program file a shell starts for name: a name holding '/' is that file (counted from the
/// start folder when relative); any other is looked up in the folders of pathValue (separated
/// by ':', an empty entry meaning ".") in order. Only a regular file this process may execute
/// counts. Empty when nothing does, and for an empty name.
std::string FindProgramInPath(const std::string& name, std::string_view pathValue,
                              const ProgramSearch& search = {});

/// How the system starts a program file, as far as a preloaded library is concerned.
enum class ProgramLoading {
    Dynamic, ///< through the dynamic loader, which loads the preloaded libraries into it
    Static,  ///< without a dynamic loader (a static executable): nothing is preloaded
    SetId,   ///< set-user-id or set-group-id for this process: the loader runs in secure mode
             ///< and ignores the preloaded libraries
    Unknown, ///< no executable this system's loader knows (not ELF of our byte order and word
             ///< size, damaged, or a script whose interpreter is none of these)
};

/// How the program file at path is loaded. A script ("#!") answers for its interpreter (up to
/// four levels). A set-id bit counts only where it changes this process's ids and the file
/// system honours it. Fails with the system error when the file cannot be opened or read.
Result<ProgramLoading> ProgramLoadingOf(const std::string& path);

} // namespace qz::platform
