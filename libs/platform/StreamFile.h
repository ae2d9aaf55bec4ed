#pragma once

// Files read and written front to back in pieces, for data too large to hold in memory at once
// (the build cache's blobs). A reader opens a regular file only (never a device or pipe whose
// reading could block); a writer creates a new private file (mode 0600, never through a symbolic
// link or over an existing name) that the caller renames into place when it is complete.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qz::platform {

/// A regular file read from its start. Move-only; closes on destruction.
class StreamReader {
public:
    StreamReader() = default;
    ~StreamReader();
    StreamReader(StreamReader&& other) noexcept;
    StreamReader& operator=(StreamReader&& other) noexcept;
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    /// Opens the file (following symbolic links); EINVAL when it is not a regular file.
    static Result<StreamReader> Open(const std::string& path);

    /// The file's size when it was opened.
    std::uint64_t Size() const { return size_; }

    /// Reads up to count bytes from where the last read ended; 0 at the end of the file.
    Result<std::size_t> Read(void* buffer, std::size_t count);

    void Close();

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string path_;
};

/// A new private file written front to back, through a buffer (small pieces cost no system call
/// each). Unless Commit succeeded, the destructor removes it.
class StreamWriter {
public:
    StreamWriter() = default;
    ~StreamWriter();
    StreamWriter(StreamWriter&& other) noexcept;
    StreamWriter& operator=(StreamWriter&& other) noexcept;
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    /// Creates the file: EEXIST when the name exists (whatever it is). sizeHint, when not 0,
    /// reserves the space up front (a full disk then fails here, not half way).
    static Result<StreamWriter> Create(const std::string& path, std::uint64_t sizeHint = 0);

    /// Appends all the bytes (a failure may belong to bytes buffered before).
    Result<void> Write(std::string_view bytes);

    /// Bytes written so far.
    std::uint64_t Written() const { return written_; }

    /// Closes the file, with the permission bits given, and renames it to target (replacing a
    /// file there in one step). After a failure the file is removed.
    Result<void> Commit(const std::string& target, unsigned mode = 0600);

    /// Closes and removes the file.
    void Discard();

    const std::string& Path() const { return path_; }

private:
    Result<void> Flush();
    Result<void> WriteOut(std::string_view bytes);

    int fd_ = -1;
    std::uint64_t written_ = 0;
    std::string path_;
    std::string buffer_;
};

} // namespace qz::platform
