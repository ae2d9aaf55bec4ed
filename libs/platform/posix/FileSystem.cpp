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

namespace {

// The outcome of a call that set a system error code (0: success).
Result<> FromCode(int code, std::string context) {
    if (code != 0) {
        return Fail(code, std::move(context));
    }
    return {};
}

} // namespace

Result<long long> FileModificationTime(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return FailWithLastError("stat " + path);
    }
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

Result<> WritePrivateFile(const std::string& path, std::string_view contents) {
    const std::string context = "write private file " + path;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        return FailWithLastError(context);
    }
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return FailWithLastError(context);
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
    return FromCode(error, context);
}

Result<std::string> ReadPrivateFile(const std::string& path, std::int64_t maxSize) {
    const std::string context = "read private file " + path;
    int fd;
    // O_NONBLOCK: a FIFO planted under the name must not block the open.
    do {
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return FailWithLastError(context);
    }
    detail::UniqueFd owner(fd);
    struct stat info {};
    int error = 0;
    std::string contents;
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
    if (error != 0) {
        return Fail(error, context);
    }
    return contents;
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

Result<> MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0) {
        return FailWithLastError("create folder " + path);
    }
    return {};
}

Result<> MakeFolder(const std::string& path, unsigned mode) {
    // Owner-only first: the umask can only take bits away, and the final bits come from chmod.
    if (mkdir(path.c_str(), 0700) != 0) {
        return FailWithLastError("create folder " + path);
    }
    if (chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
        int error = errno;
        rmdir(path.c_str());
        return Fail(error, "create folder " + path);
    }
    return {};
}

Result<std::string> MakeUniquePrivateFolder(const std::string& prefix) {
    std::string pattern = prefix + "XXXXXX";
    // mkdtemp creates the folder with mode 0700 (the umask can only take bits away).
    if (mkdtemp(pattern.data()) == nullptr) {
        return FailWithLastError("create folder " + pattern);
    }
    return pattern;
}

bool WildcardMatches(const std::string& pattern, const std::string& name) {
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

Result<> MakeSymbolicLink(const std::string& target, const std::string& path) {
    if (symlink(target.c_str(), path.c_str()) != 0) {
        return FailWithLastError("create symbolic link " + path);
    }
    return {};
}

Result<> RemoveFile(const std::string& path) {
    if (unlink(path.c_str()) != 0) {
        return FailWithLastError("remove " + path);
    }
    return {};
}

Result<> RenameNoReplace(const std::string& from, const std::string& to) {
    const std::string context = "rename " + from + " to " + to;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    int error = errno;
    if (error != EINVAL && error != ENOSYS) {
        return Fail(error, context);
    }
    // Some file systems cannot rename without replacing atomically; check first instead (a
    // target created in between is then replaced).
    struct stat info {};
    if (lstat(to.c_str(), &info) == 0) {
        return Fail(EEXIST, context);
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        return FailWithLastError(context);
    }
    return {};
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

Result<std::vector<FolderEntry>> ListFolder(const std::string& path) {
    const std::string context = "list folder " + path;
    std::vector<FolderEntry> entries;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return FailWithLastError(context);
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
    if (error != 0) {
        return Fail(error, context);
    }
    return entries;
}

Result<unsigned> FilePermissions(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return FailWithLastError("stat " + path);
    }
    return static_cast<unsigned>(st.st_mode & 07777);
}

Result<> SetFilePermissions(const std::string& path, unsigned mode) {
    if (chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
        return FailWithLastError("set permissions of " + path);
    }
    return {};
}

Result<> ReplaceFile(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return FailWithLastError("replace " + to + " with " + from);
    }
    return {};
}

} // namespace qz::platform
