#include "UniqueFd.h"

#include <cerrno>
#include <unistd.h>

namespace qz::platform::detail {

int CloseDescriptor(int fd) {
    return close(fd) == 0 || errno == EINTR ? 0 : errno;
}

} // namespace qz::platform::detail
