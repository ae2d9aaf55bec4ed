#include "platform/Console.h"

#include "ObjectFile.h"

#include <cerrno>
#include <unistd.h>

namespace qz::platform {

void WriteStdHandle(StdHandle handle, std::string_view bytes) {
    int fd = handle == StdHandle::Error ? STDERR_FILENO : STDOUT_FILENO;
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

bool StdOutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

unsigned ConsoleOutputCodePage() {
    return 65001;
}

void ExitProcessNow(int exitCode) {
    detail::ReleaseNamesAtExit();
    _exit(exitCode);
}

} // namespace qz::platform
