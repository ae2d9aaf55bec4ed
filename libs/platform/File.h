#pragma once

// A file handle: opening with access, sharing and disposition, positioned reads and writes, size
// changes and flushing. Failures are returned as Result values (the system's error code and, for
// an open, what kind of failure it is: FailureKind); the callers turn them into their own
// messages.
//
// Sharing between handles (of this process or of others) is checked when a handle opens and
// holds until it closes. See docs/linux.md for how the sharing modes map to advisory locks.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qz::platform {

enum class FileAccess { Read, Write, ReadWrite };

/// What other handles may do with the file while this handle is open.
enum class FileShare { None, Read, Write, ReadWrite };

enum class FileDisposition {
    OpenExisting, ///< fails when the file is missing
    CreateAlways, ///< creates the file, or truncates it when it exists
    OpenAlways,   ///< opens the file, or creates it when it is missing
};

/// Attribute and access-pattern hints.
struct FileHints {
    bool writeThrough = false;   ///< every write reaches the device before it returns
    bool noBuffering = false;    ///< accepted, no effect (arbitrary offsets must keep working)
    bool sequentialScan = false; ///< the file is read front to back
    bool randomAccess = false;   ///< the file is read at random places
    bool deleteOnClose = false;  ///< the file is removed when this handle closes
    bool temporary = false;      ///< accepted, no effect
};

struct FileOpenRequest {
    FileAccess access = FileAccess::Read;
    FileShare share = FileShare::ReadWrite;
    bool shareDelete = false; ///< others may delete or rename (always so on this system)
    FileDisposition disposition = FileDisposition::OpenExisting;
    FileHints hints;
};

/// An open file. Move-only; closes on destruction unless detached. Used by one thread at a time.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    /// Opens the file (closing any file held before). On failure the handle stays closed and the
    /// failure's kind tells a missing file, a missing folder, a refused access and a refused
    /// sharing apart. A CreateAlways open truncates only once the sharing check has passed.
    Result<> Open(const std::string& path, const FileOpenRequest& request);

    /// Closes the handle (removing the file when it was opened with deleteOnClose).
    void Close();

    /// Gives up ownership: the handle stays open and this object becomes closed. Returns it.
    int Detach();

    bool IsOpen() const { return fd_ >= 0; }

    /// The system's handle number (for messages).
    int Handle() const { return fd_; }

    /// Reads up to count bytes at offset; done receives the number read (fewer only at the end
    /// of the file), also when a later part of the read fails.
    Result<> ReadAt(std::int64_t offset, void* buffer, std::size_t count, std::size_t& done);

    /// Writes count bytes at offset; done receives the number written (all of them on success,
    /// those written before the failure otherwise).
    Result<> WriteAt(std::int64_t offset, const void* buffer, std::size_t count, std::size_t& done);

    /// The size of the file in bytes.
    Result<std::int64_t> Size() const;

    /// Sets the end of the file (truncating or extending with zeros).
    Result<> SetSize(std::int64_t size);

    /// Flushes the file's data to the device.
    Result<> Flush();

private:
    int fd_ = -1;
    std::string deletePath_;
};

/// True when the file exists and this process may not write it.
bool IsReadOnlyFile(const std::string& path);

} // namespace qz::platform
