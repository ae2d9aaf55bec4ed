#include "platform/File.h"

#include "UniqueFd.h"
#include "platform/FileHandle.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace qz::platform {

namespace {

std::string FolderPart(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

bool FolderExists(const std::string& folder) {
    struct stat info {};
    return folder.empty() || (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

tl::unexpected<Failure> OpenFailure(int code, const std::string& path) {
    std::string context = "open " + path;
    switch (code) {
    case ENOENT:
        // Tell a missing file from a missing folder, as callers create folders only for the latter
        // two kinds.
        return Fail(code, std::move(context),
                    FolderExists(FolderPart(path)) ? FailureKind::NotFound
                                                   : FailureKind::PathNotFound);
    case ENOTDIR:
    case ENAMETOOLONG:
        return Fail(code, std::move(context), FailureKind::PathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return Fail(code, std::move(context), FailureKind::AccessDenied);
    case EWOULDBLOCK:
        return Fail(code, std::move(context), FailureKind::SharingViolation);
    default:
        return Fail(code, std::move(context));
    }
}

// The advisory lock a handle holds for its sharing mode. Handles that let others write take none:
// a log file written under "others may read" must stay readable by handles that themselves
// allow everything, and flock has only two lock kinds to express that with.
int SharingLock(const FileOpenRequest& request) {
    switch (request.share) {
    case FileShare::None:
        return LOCK_EX;
    case FileShare::Read:
        return request.access == FileAccess::Read ? LOCK_SH : LOCK_EX;
    case FileShare::Write:
    case FileShare::ReadWrite:
        return 0;
    }
    return 0;
}

} // namespace

File::~File() {
    Close();
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), deletePath_(std::move(other.deletePath_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        deletePath_ = std::move(other.deletePath_);
    }
    return *this;
}

Result<> File::Open(const std::string& path, const FileOpenRequest& request) {
    Close();
    int flags = O_CLOEXEC;
    switch (request.access) {
    case FileAccess::Read:
        flags |= O_RDONLY;
        break;
    case FileAccess::Write:
        flags |= O_WRONLY;
        break;
    case FileAccess::ReadWrite:
        flags |= O_RDWR;
        break;
    }
    // Truncation waits for the sharing check, so a refused open never destroys another
    // handle's data.
    if (request.disposition != FileDisposition::OpenExisting) {
        flags |= O_CREAT;
    }
    if (request.hints.writeThrough) {
        flags |= O_DSYNC;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return OpenFailure(errno, path);
    }
    detail::UniqueFd owner(fd); // until the object takes it
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        return OpenFailure(S_ISDIR(info.st_mode) ? EISDIR : errno, path);
    }
    if (int lock = SharingLock(request); lock != 0) {
        if (::flock(fd, lock | LOCK_NB) != 0) {
            return OpenFailure(errno, path);
        }
    }
    if (request.disposition == FileDisposition::CreateAlways && info.st_size != 0 &&
        ::ftruncate(fd, 0) != 0) {
        return OpenFailure(errno, path);
    }
    if (request.hints.sequentialScan) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    } else if (request.hints.randomAccess) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    }
    fd_ = owner.Release();
    if (request.hints.deleteOnClose) {
        deletePath_ = path;
    }
    return {};
}

void File::Close() {
    if (fd_ < 0) {
        return;
    }
    if (!deletePath_.empty()) {
        ::unlink(deletePath_.c_str());
        deletePath_.clear();
    }
    detail::UniqueFd(std::exchange(fd_, -1)).Reset();
}

int File::Detach() {
    deletePath_.clear();
    return std::exchange(fd_, -1);
}

Result<> File::ReadAt(std::int64_t offset, void* buffer, std::size_t count, std::size_t& done) {
    done = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::pread(fd_, bytes + done, count - done, offset + std::int64_t(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError("read");
        }
        if (n == 0) {
            break;
        }
        done += std::size_t(n);
    }
    return {};
}

Result<> File::WriteAt(std::int64_t offset, const void* buffer, std::size_t count,
                       std::size_t& done) {
    done = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (done < count) {
        ssize_t n = ::pwrite(fd_, bytes + done, count - done, offset + std::int64_t(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError("write");
        }
        if (n == 0) {
            return Fail(ENOSPC, "write");
        }
        done += std::size_t(n);
    }
    return {};
}

Result<std::int64_t> File::Size() const {
    return FileHandleSize(fd_);
}

Result<> File::SetSize(std::int64_t size) {
    int result;
    do {
        result = ::ftruncate(fd_, size);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return FailWithLastError("set size");
    }
    return {};
}

Result<> File::Flush() {
    return FlushFileHandle(fd_);
}

bool IsReadOnlyFile(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0;
}

} // namespace qz::platform
