// NotifyServiceManager (declared in ServiceProcess.h): the service manager's notification
// protocol is one datagram of "NAME=value" lines to the unix socket named by $NOTIFY_SOCKET (a
// path, or "@" for a name in the abstract namespace). Sending it here spares every program of
// the project from loading libsystemd for it.

#include "UniqueFd.h"
#include "platform/ServiceProcess.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace qz::platform {

void NotifyServiceManager(const std::string& state) {
    const char* address = std::getenv("NOTIFY_SOCKET");
    if (address == nullptr || (address[0] != '/' && address[0] != '@')) {
        // Not started by a service manager, or an address kind this side does not speak.
        return;
    }
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    std::size_t length = std::strlen(address);
    bool abstract = address[0] == '@';
    // A path needs room for its ending NUL; an abstract name is counted by the length alone.
    if (length < 2 || length + (abstract ? 0 : 1) > sizeof(socketAddress.sun_path)) {
        return;
    }
    std::memcpy(socketAddress.sun_path, address, length);
    if (abstract) {
        socketAddress.sun_path[0] = '\0';
    }
    auto addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));
    detail::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return;
    }
    // Best effort, as the manager may be gone: a failed send changes nothing for the program.
    (void)sendto(fd.Get(), state.data(), state.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&socketAddress), addressLength);
}

} // namespace qz::platform
