#include "platform/SystemInfo.h"

#include <climits>
#include <cstdio>
#include <sys/utsname.h>
#include <unistd.h>

namespace qz::platform {

Result<std::string> HostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) {
        return FailWithLastError("host name");
    }
    return std::string(buffer);
}

Result<KernelVersionNumber> KernelVersion() {
    struct utsname info {};
    if (uname(&info) != 0) {
        return FailWithLastError("kernel version");
    }
    KernelVersionNumber version;
    if (std::sscanf(info.release, "%d.%d", &version.major, &version.minor) != 2) {
        return Fail(0, std::string("kernel release \"") + info.release + "\" has no version number",
                    FailureKind::Corrupt);
    }
    return version;
}

int OnlineProcessorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count < 1 ? 1 : static_cast<int>(count);
}

} // namespace qz::platform
