#include "platform/StreamFile.h"

#include "UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {

StreamReader::~StreamReader() {
    Close();
}

StreamReader::StreamReader(StreamReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), path_(std::move(other.path_)) {}

StreamReader& StreamReader::operator=(StreamReader&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        path_ = std::move(other.path_);
    }
    return *this;
}

Result<StreamReader> StreamReader::Open(const std::string& path) {
    StreamReader reader;
    reader.path_ = path;
    // O_NONBLOCK: a FIFO under the name must not block the open; it is refused below.
    do {
        reader.fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (reader.fd_ < 0 && errno == EINTR);
    if (reader.fd_ < 0) {
        return FailWithLastError("open " + path);
    }
    struct stat info {};
    if (fstat(reader.fd_, &info) != 0) {
        return FailWithLastError("examine " + path);
    }
    if (!S_ISREG(info.st_mode)) {
        return Fail(EINVAL, path + " is not a regular file");
    }
    int flags = fcntl(reader.fd_, F_GETFL);
    if (flags >= 0) {
        (void)fcntl(reader.fd_, F_SETFL, flags & ~O_NONBLOCK);
    }
    (void)posix_fadvise(reader.fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    reader.size_ = static_cast<std::uint64_t>(info.st_size);
    return reader;
}

Result<std::size_t> StreamReader::Read(void* buffer, std::size_t count) {
    if (fd_ < 0) {
        return Fail(EBADF, "read a closed file");
    }
    for (;;) {
        ssize_t n = read(fd_, buffer, count);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            return FailWithLastError("read " + path_);
        }
    }
}

void StreamReader::Close() {
    if (fd_ >= 0) {
        (void)detail::CloseDescriptor(fd_);
        fd_ = -1;
    }
}

StreamWriter::~StreamWriter() {
    Discard();
}

StreamWriter::StreamWriter(StreamWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), written_(other.written_), path_(std::move(other.path_)) {}

StreamWriter& StreamWriter::operator=(StreamWriter&& other) noexcept {
    if (this != &other) {
        Discard();
        fd_ = std::exchange(other.fd_, -1);
        written_ = other.written_;
        path_ = std::move(other.path_);
        buffer_ = std::move(other.buffer_);
    }
    return *this;
}

namespace {

constexpr std::size_t kWriteBuffer = std::size_t(1) << 20;

} // namespace

Result<StreamWriter> StreamWriter::Create(const std::string& path, std::uint64_t sizeHint) {
    StreamWriter writer;
    do {
        writer.fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (writer.fd_ < 0 && errno == EINTR);
    if (writer.fd_ < 0) {
        return FailWithLastError("create " + path);
    }
    writer.path_ = path;
    if (fchmod(writer.fd_, 0600) != 0) {
        return FailWithLastError("set the mode of " + path);
    }
    if (sizeHint > 0) {
        int error = posix_fallocate(writer.fd_, 0, static_cast<off_t>(sizeHint));
        // EOPNOTSUPP/EINVAL: the file system cannot reserve; the writes will tell.
        if (error != 0 && error != EOPNOTSUPP && error != EINVAL) {
            return Fail(error, "reserve " + std::to_string(sizeHint) + " bytes for " + path);
        }
    }
    return writer;
}

Result<void> StreamWriter::Write(std::string_view bytes) {
    if (fd_ < 0) {
        return Fail(EBADF, "write a closed file");
    }
    written_ += bytes.size();
    if (buffer_.size() + bytes.size() < kWriteBuffer) {
        buffer_.append(bytes);
        return {};
    }
    Result<void> flushed = Flush();
    if (!flushed) {
        return flushed;
    }
    if (bytes.size() < kWriteBuffer) {
        buffer_.append(bytes);
        return {};
    }
    return WriteOut(bytes); // large pieces go out at once
}

Result<void> StreamWriter::Flush() {
    Result<void> written = WriteOut(buffer_);
    buffer_.clear();
    return written;
}

Result<void> StreamWriter::WriteOut(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailWithLastError("write " + path_);
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

Result<void> StreamWriter::Commit(const std::string& target, unsigned mode) {
    if (fd_ < 0) {
        return Fail(EBADF, "commit a closed file");
    }
    if (Result<void> flushed = Flush(); !flushed) {
        Discard();
        return flushed;
    }
    // A reservation beyond what was written is given back.
    if (ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
        Result<void> failed = FailWithLastError("set the size of " + path_);
        Discard();
        return failed;
    }
    if (fchmod(fd_, mode & 07777) != 0) {
        Result<void> failed = FailWithLastError("set the mode of " + path_);
        Discard();
        return failed;
    }
    int fd = std::exchange(fd_, -1);
    if (int error = detail::CloseDescriptor(fd); error != 0) {
        Result<void> failed = Fail(error, "close " + path_);
        unlink(path_.c_str());
        path_.clear();
        return failed;
    }
    if (std::rename(path_.c_str(), target.c_str()) != 0) {
        Result<void> failed = FailWithLastError("rename " + path_ + " to " + target);
        unlink(path_.c_str());
        path_.clear();
        return failed;
    }
    path_.clear();
    return {};
}

void StreamWriter::Discard() {
    buffer_.clear();
    if (fd_ >= 0) {
        (void)detail::CloseDescriptor(fd_);
        fd_ = -1;
    }
    if (!path_.empty()) {
        unlink(path_.c_str());
        path_.clear();
    }
}

} // namespace qz::platform
