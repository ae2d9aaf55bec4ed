#pragma once

// Releasing kernel handles and mapped views: what the handle and view lists call when they own
// what their entries hold.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>

namespace qz::platform {

/// A kernel handle of the system (a file descriptor on POSIX).
using THandle = std::intptr_t;

/// The value that names no handle.
inline constexpr THandle kInvalidHandle = -1;

/// Closes a handle. Fails when the system refused (EBADF for an invalid or already closed
/// handle). The handle is gone afterwards either way. Any thread.
Result<> CloseHandle(THandle handle);

/// Unmaps a view of size bytes at address that a mapping call returned. Fails when the system
/// refused. Any thread.
Result<> UnmapView(void* address, std::size_t size);

} // namespace qz::platform
