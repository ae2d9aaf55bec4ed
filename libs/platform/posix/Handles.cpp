#include "platform/Handles.h"

#include "UniqueFd.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace qz::platform {

Result<> CloseHandle(THandle handle) {
    if (handle < 0) {
        return Fail(EBADF, "close");
    }
    // On Linux the descriptor is released even when close reports EINTR (counted as success);
    // retrying could close a descriptor another thread has just been given.
    if (int error = detail::CloseDescriptor(static_cast<int>(handle))) {
        return Fail(error, "close");
    }
    return {};
}

Result<> UnmapView(void* address, std::size_t size) {
    if (::munmap(address, size) != 0) {
        return FailWithLastError("unmap");
    }
    return {};
}

} // namespace qz::platform
