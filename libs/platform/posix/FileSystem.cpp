#include "platform/FileSystem.h"

#include "platform/Environment.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

PathKind QueryPathKind(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        return PathKind::Missing;
    }
    return S_ISDIR(info.st_mode) ? PathKind::Folder : PathKind::File;
}

bool PathIsWriteProtected(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        return false;
    }
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

int MakeFolder(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

int RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    int error = errno;
    if (error != EINVAL && error != ENOSYS) {
        return error;
    }
    // Some file systems cannot rename without replacing atomically; check first instead (a
    // target created in between is then replaced).
    struct stat info {};
    if (lstat(to.c_str(), &info) == 0) {
        return EEXIST;
    }
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::string SystemTempFolder() {
    std::string folder = ReadEnvironmentVariable("TMPDIR").value_or("");
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder.empty() ? std::string("/tmp") : folder;
}

std::string CurrentFolder() {
    std::string buffer(256, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

} // namespace qz::platform
