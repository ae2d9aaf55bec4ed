// The user's home folder, apart from the other process facts: the user database lookup behind it
// would otherwise come along into every program that links those, qzrelay's static link among
// them.
#include "platform/ProcessInfo.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace qz::platform {

std::string UserHomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return home;
    }
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return "";
}

} // namespace qz::platform
