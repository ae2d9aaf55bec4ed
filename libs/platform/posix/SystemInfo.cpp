#include "platform/SystemInfo.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/utsname.h>
#include <unistd.h>

namespace qz::platform {

int HostName(std::string& name) {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) {
        return errno;
    }
    name = buffer;
    return 0;
}

bool KernelVersion(int& major, int& minor) {
    struct utsname info {};
    if (uname(&info) != 0) {
        return false;
    }
    return std::sscanf(info.release, "%d.%d", &major, &minor) == 2;
}

int OnlineProcessorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count < 1 ? 1 : static_cast<int>(count);
}

} // namespace qz::platform
