#pragma once

// Loading shared libraries at run time and looking up their symbols.

#include <string>

namespace qz::platform {

/// An opaque loaded-library handle; nullptr stands for the running program itself.
using LibraryHandle = void*;

/// What a failed call reported: the loader's text and a system error code.
struct LibraryError {
    std::string text;
    int code = 0;
};

/// Loads a library by file name or path (the loader's search rules apply to a bare name);
/// nullptr on failure with the error filled in. The caller owns the handle.
LibraryHandle OpenLibrary(const std::string& name, LibraryError& error);

/// The address of an exported symbol; nullptr on failure with the error filled in. The handle
/// nullptr looks in the running program and everything it has loaded.
void* FindLibrarySymbol(LibraryHandle library, const std::string& name, LibraryError& error);

/// Releases a handle from OpenLibrary; false on failure with the error filled in.
bool CloseLibrary(LibraryHandle library, LibraryError& error);

/// The file path of a loaded library (the executable for nullptr); false with the error filled
/// in when it cannot be told.
bool LibraryFilePath(LibraryHandle library, std::string& path, LibraryError& error);

/// Releases memory that a loaded library allocated from the C heap and handed to us.
void FreeLibraryMemory(void* memory);

} // namespace qz::platform
