#pragma once

// Operations on a raw open file handle (one that File::Detach handed out). A handle is an opaque
// number; the platform owns its meaning. Failures are returned as Result values.

#include "platform/Handles.h"
#include "platform/Result.h"

#include <cstdint>
#include <string>

namespace qz::platform {

/// A file handle is a kernel handle; CloseHandle (Handles.h) closes it.
using FileHandle = THandle;

enum class SeekOrigin { Begin, Current, End };

/// The size of the open file in bytes.
Result<std::int64_t> FileHandleSize(FileHandle handle);

/// Moves the file position; the new position from the start.
Result<std::int64_t> SeekFileHandle(FileHandle handle, std::int64_t offset, SeekOrigin origin);

/// Makes the current position the end of the file (truncating or extending it).
Result<> SetEndOfFileHandle(FileHandle handle);

/// Writes the file's buffered data to the storage device.
Result<> FlushFileHandle(FileHandle handle);

} // namespace qz::platform
