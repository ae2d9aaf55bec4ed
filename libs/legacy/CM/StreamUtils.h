#pragma once

// The byte streams that files, packets and shared memory rest on:
//  - TFileStreamEx: a file stream that opens with a retry window, creates missing folders on
//    request, explains failures in plain words and reports every failed read or write;
//  - TVirtualStream: a growable memory stream, small blocks from the heap and large ones from the
//    system's virtual memory, growing in rounded steps;
//  - TMappedFileStream with TMappedViewCache: a file stream that reads and writes through a small
//    least-recently-used cache of mapped views;
//  - TLargeStreamAdapter: a 64-bit size and position view over another stream;
//  - helpers: EnsureSize, WriteByte, WriteString and ReadFileText.
// The compact count encodings live with the stream interface in Stream.h.
//
// A stream is used by one thread at a time; none of these classes takes a lock.

#include "Stream.h"
#include "platform/File.h"
#include "platform/MemoryMap.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz {

/// Open modes of TFileStreamEx: Create, or an access (low 2 bits) or-ed with a sharing mode.
namespace FileMode {
constexpr std::uint16_t Create = 0xFFFF; ///< read and write, no sharing, always created anew
constexpr std::uint16_t Read = 0x0000;
constexpr std::uint16_t Write = 0x0001;
constexpr std::uint16_t ReadWrite = 0x0002;
constexpr std::uint16_t ShareExclusive = 0x0010; ///< others may do nothing (as 0x00)
constexpr std::uint16_t ShareDenyWrite = 0x0020; ///< others may read
constexpr std::uint16_t ShareDenyRead = 0x0030;  ///< others may write
constexpr std::uint16_t ShareDenyNone = 0x0040;  ///< others may read and write
} // namespace FileMode

/// The option word of TFileStreamEx.
namespace FileOption {
constexpr std::uint16_t CreateFolders = 0x0001; ///< create missing folders once and retry
constexpr std::uint16_t WriteThrough = 0x0002;
constexpr std::uint16_t NoBuffering = 0x0004;
constexpr std::uint16_t SequentialScan = 0x0008;
constexpr std::uint16_t DeleteOnClose = 0x0010;
constexpr std::uint16_t Temporary = 0x0020;
constexpr std::uint16_t Overlapped = 0x0040; ///< accepted, no effect
constexpr std::uint16_t KeepHandleOpen = 0x0100;
constexpr std::uint16_t RandomAccess = 0x0400;
constexpr std::uint16_t ShareDelete = 0x0800;
constexpr std::uint16_t CreateAlways = 0x1000; ///< with a normal mode: create or truncate
constexpr std::uint16_t OpenAlways = 0x2000;   ///< with a normal mode: open or create
} // namespace FileOption

/// A stream over a file handle.
///
/// Opening: up to waitSeconds * 20 + 1 attempts, 50 ms apart, while the file is in use by another
/// handle. A missing file or folder fails at once (after creating the folders once with
/// CreateFolders). Failures: "Cannot open file: %s" (general Exception) for normal modes;
/// "Cannot create file: %s", "Cannot overwrite a read-only file: %s" and "Cannot open a read-only
/// file for writing: %s" as EOSError with the system's text and code.
/// Reads return fewer bytes only at the end of the file; failed reads and writes raise EOSError
/// "Failed to read from|write to file '%s' (%d bytes at position %d): %s".
class TFileStreamEx : public TStream {
public:
    TFileStreamEx(std::string fileName, std::uint16_t mode, int waitSeconds = 0,
                  std::uint16_t options = 0);
    /// Closes the handle unless KeepHandleOpen is set.
    ~TFileStreamEx() override;
    TFileStreamEx(const TFileStreamEx&) = delete;
    TFileStreamEx& operator=(const TFileStreamEx&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override;

    /// Flushes the file's buffers to the device; raises EOSError "Failed to flush file buffers".
    virtual void Flush();

    const std::string& FileName() const { return fileName_; }
    std::uint16_t Options() const { return options_; }
    /// True when opened with FileMode::Create.
    bool Created() const { return created_; }
    /// Milliseconds spent waiting for the file to become available.
    std::int64_t WaitedMs() const { return waitedMs_; }
    /// The system's handle number.
    int Handle() const { return file_.Handle(); }

protected:
    platform::File& File() { return file_; }

private:
    std::string fileName_;
    std::uint16_t options_;
    bool created_;
    std::int64_t waitedMs_ = 0;
    std::int64_t position_ = 0;
    platform::File file_;
};

/// Option bits of TVirtualStream.
namespace VirtualStreamOption {
constexpr std::uint16_t Step256K = 0x0001; ///< largest rounding step 256 KB (default 64 KB)
constexpr std::uint16_t Step1M = 0x0002;   ///< largest rounding step 1 MB
constexpr std::uint16_t Step4M = 0x0004;   ///< largest rounding step 4 MB (highest bit wins)
constexpr std::uint16_t NeverShrink = 0x0008;
constexpr std::uint16_t AlwaysHeap = 0x0010;
constexpr std::uint16_t AlwaysVirtual = 0x0020; ///< else blocks under 48 KB come from the heap
constexpr std::uint16_t ExactCapacity = 0x0040;
constexpr std::uint16_t Locked = 0x0080;     ///< resizing to a non-zero size is refused
constexpr std::uint16_t KeepMemory = 0x0100; ///< size 0 keeps the block
} // namespace VirtualStreamOption

/// A growable memory stream. Its block comes from the heap (under 48 KB) or from the system's
/// virtual memory, or is external memory handed in by its owner. Capacity grows in steps that
/// double from 4096 bytes up to the largest rounding step. Resizing failures raise "Failed to
/// reallocate virtual stream (to %d bytes)" with the reason on the next line ("Cannot resize a
/// locked stream", "Cannot resize an external memory stream", or the system's error).
class TVirtualStream : public TStream {
public:
    enum class MemoryKind { None = 0, Heap = 1, Virtual = 2, External = 3 };
    using ReleaseFunction = std::function<void(void* memory)>;

    explicit TVirtualStream(std::uint16_t options = 0);
    ~TVirtualStream() override;
    TVirtualStream(const TVirtualStream&) = delete;
    TVirtualStream& operator=(const TVirtualStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    /// Sets the size (new bytes read as zeros); the position is clamped to it.
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return size_; }

    /// Sets the size with a capacity of exactly that many bytes.
    void SetSizeExact(std::int64_t size);
    /// Lets the stream show size bytes of memory it does not own; release (may be empty) is
    /// called with the address when the stream lets go of it. The stream cannot be resized then.
    void SetExternalMemory(void* memory, std::int64_t size, ReleaseFunction release);

    /// Equal sizes and equal bytes.
    bool SameContent(TVirtualStream& other) const;
    /// Copies the whole of source (from its start) into this stream; the position becomes 0.
    void Assign(TStream& source);
    /// The whole content as a byte string.
    std::string AsString() const;
    /// The whole content without a copy; valid until the stream is next resized or destroyed.
    std::string_view View() const;
    /// Replaces the whole content with bytes; the position becomes 0.
    void SetContent(std::string_view bytes);
    /// Reads a 32-bit little-endian length, then that many bytes; raises "Stream read error"
    /// when the stream holds fewer.
    std::string ReadSizedString();
    bool IsEmpty() const { return size_ == 0; }

    char* Memory() const { return static_cast<char*>(memory_); }
    std::int64_t Capacity() const { return capacity_; }
    MemoryKind Kind() const { return kind_; }
    std::uint16_t Options() const { return options_; }
    std::int64_t LargestStep() const { return largestStep_; }

protected:
    /// Makes the block fit a stream of size bytes (the reallocation step).
    virtual void Reallocate(std::int64_t size, bool exact);

private:
    std::int64_t CapacityFor(std::int64_t size, bool exact) const;
    void ReleaseBlock();

    std::uint16_t options_;
    std::int64_t largestStep_;
    void* memory_ = nullptr;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    std::int64_t capacity_ = 0;
    MemoryKind kind_ = MemoryKind::None;
    ReleaseFunction release_;
};

/// A small least-recently-used cache of mapped views of one file. Views are 2^viewShift bytes at
/// multiples of that size; at most maxViews stay mapped, the least recently used is unmapped
/// first. The map function maps one view by its index (it may map less than a whole view at the
/// end of a read-only file).
class TMappedViewCache {
public:
    using MapViewFunction = std::function<platform::MappedView(std::int64_t viewIndex)>;

    TMappedViewCache(int viewShift, int maxViews, MapViewFunction mapView);

    /// Copies count bytes at position into buffer, view by view, and advances position. Raises
    /// "Cannot map view of mapped stream: Invalid position/size requested (...)" when the range
    /// ends beyond size, and "Failed to read %s bytes at %s from mapped view" with the reason on
    /// the next line when mapping fails.
    void Read(void* buffer, std::int64_t& position, std::int64_t size, std::int64_t count);
    /// The same in the other direction ("Failed to write %s bytes at %s to mapped view").
    void Write(const void* buffer, std::int64_t& position, std::int64_t size, std::int64_t count);
    /// Unmaps every cached view.
    void ReleaseViews();

    std::int64_t ViewSize() const { return mask_ + 1; }
    /// The indexes of the cached views, most recently used first.
    std::vector<std::int64_t> CachedViews() const;

private:
    template <typename Copy>
    void Transfer(std::int64_t& position, std::int64_t size, std::int64_t count, bool writing,
                  Copy copy);
    const platform::MappedView& View(std::int64_t viewIndex);

    int viewShift_;
    std::int64_t mask_;
    std::size_t maxViews_;
    MapViewFunction mapView_;
    // Most recently used first; a handful of entries, so a vector beats any index.
    std::vector<std::pair<std::int64_t, platform::MappedView>> views_;
};

/// A file stream that reads and writes through mapped views (256 KB views, 2 kept). The logical
/// size starts as the file's size; a writable stream's file grows in whole views and is cut back
/// to the logical size when the stream closes. A write-only mode opens the file for reading too
/// (views need it). Writes beyond the bytes the file has held go in with plain writes, which the
/// views see; writes over existing bytes go through the views. Failures: "Failed to read from
/// mapped file: %s", "Failed to write to mapped file: %s" (with the reason on the next line),
/// "Cannot write to a read-only mapped file.".
class TMappedFileStream : public TFileStreamEx {
public:
    static constexpr int kViewShift = 18;
    static constexpr int kMaxViews = 2;
    using SizeChangedFunction = std::function<void(std::int64_t newSize)>;

    TMappedFileStream(std::string fileName, std::uint16_t mode, int waitSeconds = 0,
                      std::uint16_t options = 0);
    /// Closes as Close does, without raising.
    ~TMappedFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    /// Sets the logical size; the position is clamped to it.
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return size_; }
    /// Releases all views and the mapping, then flushes the file.
    void Flush() override;

    /// Releases views and mapping and cuts the file to the logical size when writable; raises
    /// "Failed to close mapped file: %s". Further use of the stream is not allowed.
    void Close();

    bool Writable() const { return writable_; }
    /// Called with the new logical size whenever it changes.
    void SetSizeChanged(SizeChangedFunction callback) { sizeChanged_ = std::move(callback); }
    const TMappedViewCache& Cache() const { return cache_; }
    /// The size the current mapping covers (0 when there is none).
    std::int64_t MappingSize() const { return mappingSize_; }

private:
    void SetLogicalSize(std::int64_t size);
    void EnsureMapping(std::int64_t size);
    void ReleaseMapping();
    platform::MappedView MapView(std::int64_t viewIndex);

    bool writable_;
    bool closed_ = false;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    std::int64_t mappingSize_ = 0;
    // The end of the bytes the file has held (its size at opening, then the end of the furthest
    // write); beyond it the file is zeros that no page holds yet.
    std::int64_t dataEnd_ = 0;
    SizeChangedFunction sizeChanged_;
    TMappedViewCache cache_;
};

/// A stream with a 64-bit size and position view over another stream, owned or not. Reads,
/// writes, seeks and size changes go to the wrapped stream.
class TLargeStreamAdapter : public TStream {
public:
    /// Wraps a stream the caller keeps alive.
    explicit TLargeStreamAdapter(TStream& stream) : stream_(&stream) {}
    /// Wraps and owns a stream.
    explicit TLargeStreamAdapter(std::unique_ptr<TStream> stream)
        : stream_(stream.get()), owned_(std::move(stream)) {}

    std::int64_t Read(void* buffer, std::int64_t count) override {
        return stream_->Read(buffer, count);
    }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        return stream_->Write(buffer, count);
    }
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        return stream_->Seek(offset, origin);
    }
    void SetSize(std::int64_t size) override { stream_->SetSize(size); }
    std::int64_t Size() override { return Size64(); }

    virtual std::int64_t Size64() { return stream_->Size(); }
    virtual std::int64_t Position64() { return stream_->Position(); }
    virtual void SetPosition64(std::int64_t position) { stream_->SetPosition(position); }

    TStream& Stream() const { return *stream_; }
    bool OwnsStream() const { return owned_ != nullptr; }

private:
    TStream* stream_;
    std::unique_ptr<TStream> owned_;
};

/// A TLargeStreamAdapter that owns a stream of a known class and gives typed access to it.
template <typename TWrapped>
class TOwningStreamAdapter : public TLargeStreamAdapter {
public:
    explicit TOwningStreamAdapter(std::unique_ptr<TWrapped> stream)
        : TLargeStreamAdapter(std::unique_ptr<TStream>(stream.release())) {}

    TWrapped& Wrapped() const { return static_cast<TWrapped&>(Stream()); }
};

class TDecompressStream;
class TGrowingSharedStream;
/// The adapter over a decompressing stream; it owns what it wraps.
using TDecompressStreamAdapter = TOwningStreamAdapter<TDecompressStream>;
/// The adapter over a growing shared stream; it owns what it wraps.
using TGrowingSharedStreamAdapter = TOwningStreamAdapter<TGrowingSharedStream>;

/// If the stream is smaller than size, sets its size to size and restores its position.
void EnsureSize(TStream& stream, std::int64_t size);

/// Writes one byte.
void WriteByte(TStream& stream, std::uint8_t value);

/// Writes the string's bytes, without terminator or length.
void WriteString(TStream& stream, std::string_view text);

/// Options of ReadFileText.
namespace ReadFileTextOption {
constexpr std::uint32_t DecodeBom = 0x01; ///< decode UTF-16 and UTF-8 text marked by a BOM
} // namespace ReadFileTextOption

/// Reads up to limit bytes of a file from its start (opened for reading, others may read, no
/// waiting). With DecodeBom, text that starts with a UTF-16 byte-order mark (FF FE or FE FF) is
/// converted to the system code page and a UTF-8 mark is dropped; invalid sequences become the
/// substitute character. Raises "Failed to read file." with the open error on the next line, or
/// "Failed to read file: %s" with the reason on the next line.
std::string ReadFileText(const std::string& fileName, std::uint32_t options,
                         std::int64_t limit = INT64_MAX);

} // namespace qz
