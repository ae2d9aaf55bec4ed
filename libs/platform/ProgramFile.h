#pragma once

// Facts about program files: whether a file can be started, whether two paths name one file,
// and whether the system's dynamic loader will load a library preloaded through the environment
// (LD_PRELOAD) into the program.

#include "platform/Result.h"

#include <string>

namespace qz::platform {

/// Whether path names a regular file this process may execute.
bool IsExecutableFile(const std::string& path);

/// Whether the two paths name the same file (after symbolic links); false when either is gone.
bool IsSameFile(const std::string& path, const std::string& other);

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
