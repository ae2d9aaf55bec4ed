#include "platform/FileSystem.h"

#include "UniqueFd.h"
#include "platform/Environment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
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

int FileModificationTime(const std::string& path, long long& nanoseconds) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return errno;
    }
    nanoseconds = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return 0;
}

int WritePrivateFile(const std::string& path, std::string_view contents) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    detail::UniqueFd owner(fd);
    std::size_t done = 0;
    // The umask can only take bits away; fchmod makes the mode exact all the same.
    int error = fchmod(fd, 0600) == 0 ? 0 : errno;
    while (error == 0 && done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (int closeError = owner.Close(); closeError != 0 && error == 0) {
        error = closeError;
    }
    if (error != 0) {
        unlink(path.c_str());
    }
    return error;
}

int ReadPrivateFile(const std::string& path, std::int64_t maxSize, std::string& contents) {
    int fd;
    // O_NONBLOCK: a FIFO planted under the name must not block the open.
    do {
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    detail::UniqueFd owner(fd);
    struct stat info {};
    int error = 0;
    if (fstat(fd, &info) != 0) {
        error = errno;
    } else if (!S_ISREG(info.st_mode)) {
        error = EINVAL;
    } else if (info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        error = EPERM;
    } else if (info.st_size > maxSize) {
        error = EFBIG;
    }
    if (error == 0) {
        contents.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < contents.size()) {
            ssize_t n = read(fd, contents.data() + done, contents.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    return error;
}

bool PathIsRegularFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool PathIsWriteProtected(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        return false;
    }
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool FolderIsWritable(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(path.c_str(), W_OK | X_OK) == 0;
}

int MakeFolder(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

int MakeFolder(const std::string& path, unsigned mode) {
    // Owner-only first: the umask can only take bits away, and the final bits come from chmod.
    if (mkdir(path.c_str(), 0700) != 0) {
        return errno;
    }
    if (chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
        int error = errno;
        rmdir(path.c_str());
        return error;
    }
    return 0;
}

int MakeUniquePrivateFolder(const std::string& prefix, std::string& path) {
    std::string pattern = prefix + "XXXXXX";
    // mkdtemp creates the folder with mode 0700 (the umask can only take bits away).
    if (mkdtemp(pattern.data()) == nullptr) {
        return errno;
    }
    path = pattern;
    return 0;
}

bool WildcardMatches(const std::string& pattern, const std::string& name) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

int MakeSymbolicLink(const std::string& target, const std::string& path) {
    return symlink(target.c_str(), path.c_str()) == 0 ? 0 : errno;
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

int ListFolder(const std::string& path, std::vector<FolderEntry>& entries) {
    entries.clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return errno;
    }
    int error = 0;
    for (;;) {
        errno = 0;
        dirent* entry = readdir(dir);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        FolderEntry item;
        item.name = entry->d_name;
        struct stat info {};
        if (fstatat(dirfd(dir), entry->d_name, &info, 0) == 0) {
            item.kind = S_ISDIR(info.st_mode) ? PathKind::Folder : PathKind::File;
            item.modifiedNs =
                static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        }
        entries.push_back(std::move(item));
    }
    closedir(dir);
    return error;
}

int FilePermissions(const std::string& path, unsigned& mode) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return errno;
    }
    mode = st.st_mode & 07777;
    return 0;
}

int SetFilePermissions(const std::string& path, unsigned mode) {
    return chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0 ? 0 : errno;
}

int ReplaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

} // namespace qz::platform
