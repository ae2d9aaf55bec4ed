#include "platform/FolderTree.h"

#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

namespace {

using detail::UniqueFd;

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// Records a failure: the first error is the one told.
void Failed(FolderTreeResult& result, int error) {
    result.complete = false;
    if (result.error == 0) {
        result.error = error;
    }
}

// Calls visit with the folder's descriptor for every entry of the open folder but "." and "..".
void ForEachEntry(UniqueFd folder, FolderTreeResult& result,
                  const std::function<void(int, const dirent&)>& visit) {
    DIR* dir = fdopendir(folder.Get());
    if (dir == nullptr) {
        Failed(result, errno);
        return;
    }
    const int fd = folder.Release(); // the stream owns it now: closedir closes it
    while (true) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                Failed(result, errno);
            }
            break;
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            visit(fd, *entry);
        }
    }
    closedir(dir);
}

struct Walk {
    const std::function<bool(std::string_view)>& matches;
    FolderTreeResult result;

    void Fail(int error) { Failed(result, error); }

    // Deletes the matching entries of the open folder (on device dev) at the given depth.
    void Entries(UniqueFd folder, dev_t dev, int depth) {
        ForEachEntry(std::move(folder), result, [&](int fd, const dirent& entry) {
            if (!matches(entry.d_name)) {
                return;
            }
            result.matched = true;
            if (entry.d_type != DT_DIR && entry.d_type != DT_UNKNOWN) {
                if (unlinkat(fd, entry.d_name, 0) != 0 && errno != ENOENT) {
                    Fail(errno);
                }
                return;
            }
            Subfolder(fd, dev, entry.d_name, depth);
        });
    }

    void Subfolder(int parent, dev_t dev, const char* name, int depth) {
        UniqueFd child(openat(parent, name, kOpenFolderFlags));
        if (!child) {
            int error = errno;
            if (error == ENOTDIR || error == ELOOP) {
                // Not a folder (or no longer one): a file or a link, removed as a name.
                if (unlinkat(parent, name, 0) != 0 && errno != ENOENT) {
                    Fail(errno);
                }
                return;
            }
            if (error == ENOENT) {
                return;
            }
            // Unreadable: it can still go if it is empty.
            if (unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
                Fail(error);
            }
            return;
        }
        struct stat info {};
        if (fstat(child.Get(), &info) != 0) {
            Fail(errno);
            return;
        }
        if (info.st_dev != dev) {
            // A mount point: its contents belong to another file system.
            Fail(EXDEV);
            return;
        }
        if (depth >= kFolderTreeMaxDepth) {
            Fail(ELOOP);
            return;
        }
        Entries(std::move(child), dev, depth + 1);
        if (unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
            Fail(errno);
        }
    }
};

// Unlinks the name in the open folder when it is a regular file whose facts match.
void DeleteFileIfMatching(int folder, const char* name,
                          const std::function<bool(const FolderFileFacts&)>& matches,
                          FolderTreeResult& result) {
    struct stat info {};
    if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            Failed(result, errno);
        }
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        return;
    }
    FolderFileFacts facts;
    facts.name = name;
    facts.owner = static_cast<std::uint32_t>(info.st_uid);
    facts.modifiedNs =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (!matches(facts)) {
        return;
    }
    result.matched = true;
    // unlinkat removes the name itself: should it have become a link meanwhile, the link goes
    // and its target stays.
    if (unlinkat(folder, name, 0) != 0 && errno != ENOENT) {
        Failed(result, errno);
    }
}

} // namespace

FolderTreeResult DeleteFolderFiles(const std::string& folder,
                                   const std::function<bool(const FolderFileFacts&)>& matches,
                                   std::string_view onlyName) {
    FolderTreeResult result;
    const bool single = !onlyName.empty();
    if (single &&
        (onlyName == "." || onlyName == ".." || onlyName.find('/') != std::string_view::npos ||
         onlyName.find('\0') != std::string_view::npos)) {
        result.error = EINVAL;
        return result;
    }
    std::string path = WithoutTrailingSlashes(folder);
    UniqueFd fd(path.empty() ? -1 : open(path.c_str(), kOpenFolderFlags));
    if (!fd) {
        result.error = path.empty() ? ENOENT : errno;
        return result;
    }
    result.opened = true;
    result.complete = true;
    if (single) {
        DeleteFileIfMatching(fd.Get(), std::string(onlyName).c_str(), matches, result);
        return result;
    }
    ForEachEntry(std::move(fd), result, [&](int folderFd, const dirent& entry) {
        DeleteFileIfMatching(folderFd, entry.d_name, matches, result);
    });
    return result;
}

FolderTreeResult DeleteMatchingEntries(const std::string& folder,
                                       const std::function<bool(std::string_view)>& matches) {
    Walk walk{matches, {}};
    std::string path = WithoutTrailingSlashes(folder);
    UniqueFd fd(path.empty() ? -1 : open(path.c_str(), kOpenFolderFlags));
    if (!fd) {
        walk.result.error = path.empty() ? ENOENT : errno;
        return walk.result;
    }
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0) {
        walk.result.error = errno;
        return walk.result;
    }
    walk.result.opened = true;
    walk.result.complete = true;
    walk.Entries(std::move(fd), info.st_dev, 1);
    return walk.result;
}

Result<> RemoveFolderOrLink(const std::string& path) {
    std::string name = WithoutTrailingSlashes(path);
    if (name.empty()) {
        return Fail(ENOENT, "remove");
    }
    if (rmdir(name.c_str()) == 0) {
        return {};
    }
    if (errno != ENOTDIR) {
        return FailWithLastError("remove");
    }
    if (unlink(name.c_str()) != 0) {
        return FailWithLastError("remove");
    }
    return {};
}

EntryKind QueryEntryKind(const std::string& path) {
    struct stat info {};
    std::string name = WithoutTrailingSlashes(path);
    if (name.empty() || lstat(name.c_str(), &info) != 0) {
        return EntryKind::Missing;
    }
    return S_ISDIR(info.st_mode) ? EntryKind::Folder : EntryKind::File;
}

} // namespace qz::platform
