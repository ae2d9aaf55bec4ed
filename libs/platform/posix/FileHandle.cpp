#include "platform/FileHandle.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

int FileHandleSize(FileHandle handle, std::int64_t& size) {
    struct stat info {};
    if (fstat(static_cast<int>(handle), &info) != 0) {
        return errno;
    }
    size = info.st_size;
    return 0;
}

int SeekFileHandle(FileHandle handle, std::int64_t offset, SeekOrigin origin,
                   std::int64_t& newPosition) {
    int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                 : origin == SeekOrigin::Current ? SEEK_CUR
                                                 : SEEK_END;
    off_t position = lseek(static_cast<int>(handle), offset, whence);
    if (position < 0) {
        return errno;
    }
    newPosition = position;
    return 0;
}

int SetEndOfFileHandle(FileHandle handle) {
    off_t position = lseek(static_cast<int>(handle), 0, SEEK_CUR);
    if (position < 0) {
        return errno;
    }
    return ftruncate(static_cast<int>(handle), position) == 0 ? 0 : errno;
}

int FlushFileHandle(FileHandle handle) {
    return fsync(static_cast<int>(handle)) == 0 ? 0 : errno;
}

} // namespace qz::platform
