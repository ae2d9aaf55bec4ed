#pragma once

// Loading shared libraries at run time and looking up their symbols. A failure holds a system
// error code and, as its context, the loader's own text.

#include "platform/Result.h"

#include <string>

namespace qz::platform {

/// An opaque loaded-library handle; nullptr stands for the running program itself.
using LibraryHandle = void*;

/// Loads a library by file name or path (the loader's search rules apply to a bare name). The
/// caller owns the handle, which is never nullptr.
Result<LibraryHandle> OpenLibrary(const std::string& name);

/// The address of an exported symbol, never nullptr (a null address fails). The handle nullptr
/// looks in the running program and everything it has loaded.
Result<void*> FindLibrarySymbol(LibraryHandle library, const std::string& name);

/// Releases a handle from OpenLibrary.
Result<> CloseLibrary(LibraryHandle library);

/// The file path of a loaded library (the executable for nullptr).
Result<std::string> LibraryFilePath(LibraryHandle library);

/// Releases memory that a loaded library allocated from the C heap and handed to us.
void FreeLibraryMemory(void* memory);

} // namespace qz::platform
