#pragma once

// Reading and writing the pipes of a child (ChildProcess owns them), and waiting on several
// handles at once for data. Handles are the plain numbers of Handles.h.

#include "platform/Handles.h"
#include "platform/Result.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace qz::platform {

/// The two ends of a pipe that is not a child's (a child's pipes belong to its ChildProcess).
struct PipeEnds {
    THandle read = kInvalidHandle;
    THandle write = kInvalidHandle;
};

/// Creates a pipe whose ends are not inherited by children; the caller closes both with
/// CloseHandle. Fails with the system error.
Result<PipeEnds> CreatePipe();

/// Makes reads of the handle come back at once (std::nullopt from ReadSome) instead of blocking.
Result<> SetNonBlocking(THandle handle);

/// Reads what is available, up to size bytes: the number of bytes read, 0 at the end of the data
/// (every writer closed), std::nullopt when a non-blocking handle has nothing yet. Fails with the
/// system error.
Result<std::optional<std::size_t>> ReadSome(THandle handle, void* buffer, std::size_t size);

/// Writes the whole buffer. Fails with the system error (EPIPE when the reader has gone).
Result<> WriteAllTo(THandle handle, const void* buffer, std::size_t size);

/// Waits up to timeoutMs (-1: without limit) until one of the handles can be read without
/// blocking (data, end of data or an error); kInvalidHandle entries are ignored. One flag per
/// handle, none set on timeout. Fails with the system error of the wait.
Result<std::vector<bool>> WaitReadable(const std::vector<THandle>& handles, int timeoutMs);

} // namespace qz::platform
