#pragma once

// Anonymous pipes for capturing a child's output, and waiting on several handles at once for
// data. Handles are the plain numbers of Handles.h; CloseHandle closes them.

#include "platform/Handles.h"

#include <cstddef>
#include <vector>

namespace qz::platform {

struct PipeEnds {
    THandle read = kInvalidHandle;
    THandle write = kInvalidHandle;
};

/// Creates a pipe whose ends are not inherited by children (a child gets its end through
/// ChildStartOptions). 0 or the system error code.
int CreatePipe(PipeEnds& ends);

/// Makes reads of the handle return EAGAIN instead of blocking. 0 or the system error code.
int SetNonBlocking(THandle handle);

/// Reads what is available, up to size bytes: 0 with done > 0 for data, 0 with done == 0 at the
/// end of the data (every writer closed), EAGAIN when a non-blocking handle has nothing yet, or
/// another system error code.
int ReadSome(THandle handle, void* buffer, std::size_t size, std::size_t& done);

/// Writes the whole buffer. 0 or the system error code.
int WriteAllTo(THandle handle, const void* buffer, std::size_t size);

/// Waits up to timeoutMs (-1: without limit) until one of the handles can be read without
/// blocking (data, end of data or an error); kInvalidHandle entries are ignored. ready receives
/// one flag per handle. 0 (also on timeout, with no flag set) or the system error code.
int WaitReadable(const std::vector<THandle>& handles, int timeoutMs, std::vector<bool>& ready);

} // namespace qz::platform
