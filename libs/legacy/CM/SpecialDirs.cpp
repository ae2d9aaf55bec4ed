#include "SpecialDirs.h"

#include "EnvUtils.h"
#include "ExceptionWatch.h"
#include "Exceptions.h"
#include "Format.h"

#include <cerrno>

namespace qz {

namespace {

struct SpecialFolder {
    const char* description;
    const char* variable;     ///< the variable that names the folder
    const char* homeFallback; ///< below $HOME when the variable is unset; nullptr: fixed default
    const char* fixedDefault;
};

constexpr SpecialFolder kFolders[] = {
    {"Common Application Data", "PROGRAMDATA", nullptr, "/var/lib"},
    {"Local Application Data", "XDG_DATA_HOME", ".local/share", nullptr},
    {"Application Data", "XDG_CONFIG_HOME", ".config", nullptr},
};

// The folder, or the errno that tells why it cannot be had.
int LookUp(const SpecialFolder& folder, std::string& path) {
    path = GetEnv(folder.variable);
    if (path.empty()) {
        if (folder.fixedDefault != nullptr) {
            path = folder.fixedDefault;
        } else {
            std::string home = GetEnv("HOME");
            if (home.empty()) {
                return ENOENT;
            }
            path = PathResolve(home, folder.homeFallback);
        }
    }
    if (!PathIsAbsolute(path)) {
        return EINVAL;
    }
    path = PathWithoutSeparator(PathNormalize(path));
    return FolderIsPresent(path) ? 0 : ENOENT;
}

std::string SpecialFolderPath(const SpecialFolder& folder) {
    std::string path;
    int error = LookUp(folder, path);
    if (error == 0) {
        return path;
    }
    try {
        Raise(Format("SHGetFolderPath returned 0x%X", static_cast<unsigned>(error)));
    } catch (const Exception&) {
        RaiseWithContext(Format("Unable to get special path: %s", folder.description));
    }
}

} // namespace

std::string CommonAppDataFolder() {
    UnloggedExceptionsScope unlogged;
    for (std::size_t i = 0;; ++i) {
        try {
            return SpecialFolderPath(kFolders[i]);
        } catch (const Exception&) {
            if (i + 1 == std::size(kFolders)) {
                throw;
            }
        }
    }
}

} // namespace qz
