#include "TestSupport.h"
#include "platform/ServiceProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// A datagram socket standing in for the service manager, bound to a path or (name starting
// with '@') to an abstract name.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& name) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        bool abstract = name[0] == '@';
        if (abstract) {
            address.sun_path[0] = '\0';
        }
        auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                             (abstract ? 0 : 1));
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    }
    ~NotifyListener() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    bool Bound() const { return bound_; }

    // The next datagram, or "" when none comes within the deadline.
    std::string Receive(int deadlineMs = 5000) {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, deadlineMs) != 1) {
            return {};
        }
        char buffer[512];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceNotify, ReachesAManagerListeningOnAPath) {
    test::TempDir dir;
    std::string path = dir / "notify";
    NotifyListener manager(path);
    ASSERT_TRUE(manager.Bound());
    test::ScopedEnv socketName("NOTIFY_SOCKET", path);
    NotifyServiceManager("READY=1");
    EXPECT_EQ(manager.Receive(), "READY=1");
    NotifyServiceManager("STOPPING=1");
    EXPECT_EQ(manager.Receive(), "STOPPING=1");
}

TEST(ServiceNotify, ReachesAManagerListeningOnAnAbstractName) {
    std::string name = "@qz-notify-test-" + std::to_string(getpid());
    NotifyListener manager(name);
    ASSERT_TRUE(manager.Bound());
    test::ScopedEnv socketName("NOTIFY_SOCKET", name);
    NotifyServiceManager("READY=1");
    EXPECT_EQ(manager.Receive(), "READY=1");
}

TEST(ServiceNotify, WithoutAUsableManagerItDoesNothing) {
    // None of these may fail, raise, hang or leave a descriptor behind.
    test::TempDir dir;
    std::string tooLong = "/" + std::string(200, 'x');
    for (const std::string& value :
         {std::string(), std::string("relative/path"), std::string("@"), std::string("/"),
          dir / "nobody-listens", tooLong, std::string("vsock:2:1234")}) {
        test::ScopedEnv socketName("NOTIFY_SOCKET", value);
        NotifyServiceManager("READY=1");
    }
    test::ScopedEnv unset("NOTIFY_SOCKET", std::nullopt);
    NotifyServiceManager("READY=1");
}

} // namespace
} // namespace qz::platform
