#include "platform/Handles.h"

#include "UniqueFd.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace qz::platform {

bool CloseHandle(THandle handle) {
    if (handle < 0) {
        errno = EBADF;
        return false;
    }
    // On Linux the descriptor is released even when close reports EINTR (counted as success);
    // retrying could close a descriptor another thread has just been given.
    if (int error = detail::CloseDescriptor(static_cast<int>(handle))) {
        errno = error;
        return false;
    }
    return true;
}

bool UnmapView(void* address, std::size_t size) {
    return ::munmap(address, size) == 0;
}

} // namespace qz::platform
