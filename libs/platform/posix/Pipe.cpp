#include "platform/Pipe.h"

#include "WriteAll.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qz::platform {

int CreatePipe(PipeEnds& ends) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return errno;
    }
    ends.read = fds[0];
    ends.write = fds[1];
    return 0;
}

int SetNonBlocking(THandle handle) {
    int fd = static_cast<int>(handle);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    return 0;
}

int ReadSome(THandle handle, void* buffer, std::size_t size, std::size_t& done) {
    done = 0;
    for (;;) {
        ssize_t n = read(static_cast<int>(handle), buffer, size);
        if (n >= 0) {
            done = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno != EINTR) {
            return errno == EWOULDBLOCK ? EAGAIN : errno;
        }
    }
}

int WriteAllTo(THandle handle, const void* buffer, std::size_t size) {
    return detail::WriteAll(static_cast<int>(handle), buffer, size);
}

int WaitReadable(const std::vector<THandle>& handles, int timeoutMs, std::vector<bool>& ready) {
    std::vector<pollfd> fds;
    fds.reserve(handles.size());
    for (THandle h : handles) {
        fds.push_back(pollfd{h < 0 ? -1 : static_cast<int>(h), POLLIN, 0});
    }
    ready.assign(handles.size(), false);
    int n;
    while ((n = poll(fds.data(), fds.size(), timeoutMs)) < 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        ready[i] = fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
    }
    return 0;
}

} // namespace qz::platform
