#include "platform/Handles.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

namespace qz::platform {

bool CloseHandle(THandle handle) {
    if (handle < 0) {
        errno = EBADF;
        return false;
    }
    // On Linux the descriptor is released even when close reports EINTR; retrying could close a
    // descriptor another thread has just been given.
    return ::close(static_cast<int>(handle)) == 0 || errno == EINTR;
}

bool UnmapView(void* address, std::size_t size) {
    return ::munmap(address, size) == 0;
}

} // namespace qz::platform
