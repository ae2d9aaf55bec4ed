#include "platform/Pipe.h"

#include "WriteAll.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qz::platform {

Result<PipeEnds> CreatePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return FailWithLastError("create a pipe");
    }
    return PipeEnds{fds[0], fds[1]};
}

Result<std::optional<std::size_t>> ReadSome(THandle handle, void* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = read(static_cast<int>(handle), buffer, size);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        if (errno != EINTR) {
            return FailWithLastError("read a pipe");
        }
    }
}

Result<> SetNonBlocking(THandle handle) {
    int fd = static_cast<int>(handle);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return FailWithLastError("make a descriptor non-blocking");
    }
    return {};
}

Result<> WriteAllTo(THandle handle, const void* buffer, std::size_t size) {
    if (int error = detail::WriteAll(static_cast<int>(handle), buffer, size)) {
        return Fail(error, "write a pipe");
    }
    return {};
}

Result<std::vector<bool>> WaitReadable(const std::vector<THandle>& handles, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(handles.size());
    for (THandle h : handles) {
        fds.push_back(pollfd{h < 0 ? -1 : static_cast<int>(h), POLLIN, 0});
    }
    int n;
    while ((n = poll(fds.data(), fds.size(), timeoutMs)) < 0) {
        if (errno != EINTR) {
            return FailWithLastError("wait for pipes");
        }
    }
    std::vector<bool> ready(handles.size(), false);
    for (std::size_t i = 0; i < fds.size(); ++i) {
        ready[i] = fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
    }
    return ready;
}

} // namespace qz::platform
