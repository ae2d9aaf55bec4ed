#include "UniqueFd.h"

#include <unistd.h>

namespace qz::platform::detail {

void CloseDescriptor(int fd) {
    (void)close(fd);
}

} // namespace qz::platform::detail
