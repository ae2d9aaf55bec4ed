#pragma once

// Operations on a raw open file handle (one that File::Detach handed out). A handle is an opaque
// number; the platform owns its meaning. Failures are returned as system error codes (0 is
// success).

#include "platform/Handles.h"

#include <cstdint>
#include <string>

namespace qz::platform {

/// A file handle is a kernel handle; CloseHandle (Handles.h) closes it.
using FileHandle = THandle;

enum class SeekOrigin { Begin, Current, End };

/// The size of the open file in bytes.
int FileHandleSize(FileHandle handle, std::int64_t& size);

/// Moves the file position; newPosition receives the position from the start.
int SeekFileHandle(FileHandle handle, std::int64_t offset, SeekOrigin origin,
                   std::int64_t& newPosition);

/// Makes the current position the end of the file (truncating or extending it).
int SetEndOfFileHandle(FileHandle handle);

/// Writes the file's buffered data to the storage device.
int FlushFileHandle(FileHandle handle);

} // namespace qz::platform
