#include "platform/LocalSocket.h"

#include "UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qz::platform {
namespace {

/// A new stream socket (close-on-exec) and the address of path for it.
Result<std::pair<int, sockaddr_un>> SocketFor(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path) ||
        path.find('\0') != std::string::npos) {
        return Fail(ENAMETOOLONG, "socket path \"" + path + "\" does not fit a socket address");
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailWithLastError("socket for " + path);
    }
    return std::pair<int, sockaddr_un>(fd, address);
}

} // namespace

Result<THandle> ListenLocalSocket(const std::string& path, int backlog) {
    auto made = SocketFor(path);
    if (!made) {
        return tl::unexpected(made.error());
    }
    auto [fd, address] = *made;
    detail::UniqueFd owner(fd);
    // The owner alone may connect: the socket is made under a umask that leaves it 0600.
    mode_t previous = umask(0177);
    int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int bindError = errno;
    umask(previous);
    if (bound != 0) {
        return Fail(bindError, "bind " + path);
    }
    if (listen(fd, backlog) != 0) {
        int error = errno;
        unlink(path.c_str());
        return Fail(error, "listen " + path);
    }
    return owner.Release();
}

Result<THandle> AcceptLocalConnection(THandle listener) {
    for (;;) {
        int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EINTR && errno != ECONNABORTED) {
            return FailWithLastError("accept");
        }
    }
}

Result<THandle> ConnectLocalSocket(const std::string& path) {
    auto made = SocketFor(path);
    if (!made) {
        return tl::unexpected(made.error());
    }
    auto [fd, address] = *made;
    detail::UniqueFd owner(fd);
    // A unix-domain connect completes at once or fails; an interrupted one is not resumed by
    // calling it again (EALREADY/EISCONN), so it counts as a failure.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return FailWithLastError("connect " + path);
    }
    return owner.Release();
}

Result<std::pair<THandle, THandle>> CreateLocalSocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return FailWithLastError("socketpair");
    }
    return std::pair<THandle, THandle>(fds[0], fds[1]);
}

Result<unsigned> LocalPeerUid(THandle connection) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(static_cast<int>(connection), SOL_SOCKET, SO_PEERCRED, &credentials, &size) !=
        0) {
        return FailWithLastError("SO_PEERCRED");
    }
    return static_cast<unsigned>(credentials.uid);
}

unsigned CurrentUserId() {
    return static_cast<unsigned>(getuid());
}

Result<> SendAll(THandle connection, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = send(static_cast<int>(connection), bytes + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError("send");
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

Result<std::size_t> ReceiveExact(THandle connection, void* data, std::size_t size) {
    char* bytes = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = recv(static_cast<int>(connection), bytes + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError("recv");
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace qz::platform
