#include "platform/ProcessAncestry.h"

#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// The first bytes of /proc/<pid>/<file> (pid 0: self); empty when it cannot be read.
std::string ReadProcFile(int pid, const char* file) {
    std::string path = pid == 0 ? "/proc/self/" : "/proc/" + std::to_string(pid) + "/";
    path += file;
    detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return {};
    }
    char buffer[512];
    ssize_t n;
    while ((n = read(fd.Get(), buffer, sizeof(buffer))) < 0 && errno == EINTR) {
    }
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

int ParentProcessId(int pid) {
    if (pid == 0) {
        return static_cast<int>(getppid());
    }
    if (pid < 0) {
        return 0;
    }
    // "pid (name) state ppid ...": the name may hold blanks and parentheses, so the fields
    // count from the last ')'.
    const std::string stat = ReadProcFile(pid, "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.size() < close + 5) {
        return 0;
    }
    std::string_view rest = std::string_view(stat).substr(close + 4);
    int parent = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
    if (error != std::errc() || end == rest.data() ||
        (end < rest.data() + rest.size() && *end != ' ')) {
        return 0;
    }
    return parent;
}

std::string ProcessShortName(int pid) {
    if (pid < 0) {
        return {};
    }
    std::string name = ReadProcFile(pid, "comm");
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

Result<THandle> OpenProcessEndHandle(int pid) {
    if (pid <= 0) {
        return Fail(ESRCH, "no process " + std::to_string(pid));
    }
    // A pidfd polls readable once the process has ended, and is always close-on-exec.
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return Fail(errno, "cannot watch process " + std::to_string(pid));
    }
    return fd;
}

} // namespace qz::platform
