#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace qz::platform {

int LastSystemError() {
    return errno;
}

void SetLastSystemError(int code) {
    errno = code;
}

std::string SystemErrorText(int code) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

std::string SystemErrorName(int code) {
    const char* name = strerrorname_np(code);
    return name ? std::string(name) : std::string();
}

} // namespace qz::platform
