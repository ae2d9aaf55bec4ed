#include "platform/FileHandle.h"

#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

Result<std::int64_t> FileHandleSize(FileHandle handle) {
    struct stat info {};
    if (fstat(static_cast<int>(handle), &info) != 0) {
        return FailWithLastError("size");
    }
    return static_cast<std::int64_t>(info.st_size);
}

Result<std::int64_t> SeekFileHandle(FileHandle handle, std::int64_t offset, SeekOrigin origin) {
    int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                 : origin == SeekOrigin::Current ? SEEK_CUR
                                                 : SEEK_END;
    off_t position = lseek(static_cast<int>(handle), offset, whence);
    if (position < 0) {
        return FailWithLastError("seek");
    }
    return static_cast<std::int64_t>(position);
}

Result<> SetEndOfFileHandle(FileHandle handle) {
    off_t position = lseek(static_cast<int>(handle), 0, SEEK_CUR);
    if (position < 0 || ftruncate(static_cast<int>(handle), position) != 0) {
        return FailWithLastError("truncate");
    }
    return {};
}

Result<> FlushFileHandle(FileHandle handle) {
    if (fsync(static_cast<int>(handle)) != 0) {
        return FailWithLastError("flush");
    }
    return {};
}

} // namespace qz::platform
