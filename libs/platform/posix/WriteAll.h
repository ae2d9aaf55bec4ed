#pragma once

// Writing a whole buffer to a file descriptor. Internal to this folder, not part of the
// OS-neutral interface.

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace qz::platform::detail {

/// Writes size bytes of data to fd, resuming after short writes and interruptions. Returns 0, or
/// the errno of the write that failed. Async-signal-safe (a forked child may call it).
inline int WriteAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace qz::platform::detail
