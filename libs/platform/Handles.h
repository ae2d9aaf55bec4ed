#pragma once

// Releasing kernel handles and mapped views: what the handle and view lists call when they own
// what their entries hold.

#include <cstddef>
#include <cstdint>

namespace qz::platform {

/// A kernel handle of the system (a file descriptor on POSIX).
using THandle = std::intptr_t;

/// The value that names no handle.
inline constexpr THandle kInvalidHandle = -1;

/// Closes a handle. Returns false when the system refused (an invalid or already closed handle);
/// the reason is then in LastSystemError. The handle is gone afterwards either way. Any thread.
bool CloseHandle(THandle handle);

/// Unmaps a view of size bytes at address that a mapping call returned. Returns false when the
/// system refused; the reason is then in LastSystemError. Any thread.
bool UnmapView(void* address, std::size_t size);

} // namespace qz::platform
