#include "StreamUtils.h"

#include "ByteOrder.h"
#include "EnvUtils.h"
#include "Exceptions.h"
#include "Format.h"
#include "platform/NativeThread.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qz {

namespace {

constexpr int kRetryIntervalMs = 50;
constexpr std::int64_t kHeapLimit = 0xC000;
constexpr std::int64_t kCopySlice = 1 << 20;

platform::FileOpenRequest RequestFor(std::uint16_t mode, std::uint16_t options) {
    platform::FileOpenRequest request;
    if (mode == FileMode::Create) {
        request.access = platform::FileAccess::ReadWrite;
        request.share = platform::FileShare::None;
        request.disposition = platform::FileDisposition::CreateAlways;
    } else {
        switch (mode & 3) {
        case 0:
            request.access = platform::FileAccess::Read;
            break;
        case 1:
            request.access = platform::FileAccess::Write;
            break;
        default:
            request.access = platform::FileAccess::ReadWrite;
            break;
        }
        switch (mode & 0xF0) {
        case FileMode::ShareDenyWrite:
            request.share = platform::FileShare::Read;
            break;
        case FileMode::ShareDenyRead:
            request.share = platform::FileShare::Write;
            break;
        case FileMode::ShareDenyNone:
            request.share = platform::FileShare::ReadWrite;
            break;
        default:
            request.share = platform::FileShare::None;
            break;
        }
        if (options & FileOption::CreateAlways) {
            request.disposition = platform::FileDisposition::CreateAlways;
        } else if (options & FileOption::OpenAlways) {
            request.disposition = platform::FileDisposition::OpenAlways;
        } else {
            request.disposition = platform::FileDisposition::OpenExisting;
        }
    }
    request.shareDelete = (options & FileOption::ShareDelete) != 0;
    request.hints.writeThrough = (options & FileOption::WriteThrough) != 0;
    request.hints.noBuffering = (options & FileOption::NoBuffering) != 0;
    request.hints.sequentialScan = (options & FileOption::SequentialScan) != 0;
    request.hints.randomAccess = (options & FileOption::RandomAccess) != 0;
    request.hints.deleteOnClose = (options & FileOption::DeleteOnClose) != 0;
    request.hints.temporary = (options & FileOption::Temporary) != 0;
    return request;
}

// The system's text for a file error; a refused sharing check gets words a user understands
// rather than the text of the lock call's error number.
std::string FileErrorText(const platform::Failure& error) {
    if (error.kind == platform::FailureKind::SharingViolation) {
        return "The file is in use by another process";
    }
    return platform::SystemErrorText(error.code);
}

[[noreturn]] void RaiseFileError(std::string_view text, const platform::Failure& error) {
    throw EOSError(std::string(text) + ": " + FileErrorText(error) + " (" +
                       std::to_string(error.code) + ")",
                   error.code);
}

} // namespace

// ---------------------------------------------------------------------------------------------

TFileStreamEx::TFileStreamEx(std::string fileName, std::uint16_t mode, int waitSeconds,
                             std::uint16_t options)
    : fileName_(std::move(fileName)), options_(options), created_(mode == FileMode::Create) {
    QZ_ASSERT(waitSeconds >= 0);
    const platform::FileOpenRequest request = RequestFor(mode, options);
    const bool writes = request.access != platform::FileAccess::Read;
    int attemptsLeft = waitSeconds * 20 + 1;
    bool foldersCreated = false;
    bool retryNow = false;
    for (;;) {
        if (!retryNow) {
            --attemptsLeft;
        }
        retryNow = false;
        platform::Result<> opened = file_.Open(fileName_, request);
        if (opened) {
            break;
        }
        const platform::Failure& error = opened.error();
        bool missing = error.kind == platform::FailureKind::NotFound ||
                       error.kind == platform::FailureKind::PathNotFound;
        if (missing || attemptsLeft <= 0) {
            if ((options_ & FileOption::CreateFolders) && !foldersCreated) {
                foldersCreated = true;
                try {
                    ForceFolders(PathFolder(fileName_));
                } catch (const Exception&) {
                    // The open that follows reports the failure in the file's own words.
                }
                retryNow = true;
                continue;
            }
            if (error.kind == platform::FailureKind::AccessDenied && (created_ || writes) &&
                platform::IsReadOnlyFile(fileName_)) {
                RaiseFileError(Format(created_ ? "Cannot overwrite a read-only file: %s"
                                               : "Cannot open a read-only file for writing: %s",
                                      fileName_),
                               error);
            }
            if (created_) {
                RaiseFileError(Format("Cannot create file: %s", fileName_), error);
            }
            Raise(Format("Cannot open file: %s", fileName_));
        }
        platform::SleepMilliseconds(kRetryIntervalMs);
    }
    waitedMs_ = std::max<std::int64_t>(0, std::int64_t(waitSeconds) * 1000 -
                                              std::int64_t(attemptsLeft) * kRetryIntervalMs);
}

TFileStreamEx::~TFileStreamEx() {
    if (options_ & FileOption::KeepHandleOpen) {
        file_.Detach();
    }
}

std::int64_t TFileStreamEx::Read(void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    std::size_t done = 0;
    if (auto read = file_.ReadAt(position_, buffer, std::size_t(count), done); !read) {
        throw EOSError(Format("Failed to %s file '%s' (%d bytes at position %d): %s", "read from",
                              fileName_, count, position_ + std::int64_t(done),
                              FileErrorText(read.error())),
                       read.error().code);
    }
    position_ += std::int64_t(done);
    return std::int64_t(done);
}

std::int64_t TFileStreamEx::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    std::size_t done = 0;
    platform::Result<> written = file_.WriteAt(position_, buffer, std::size_t(count), done);
    position_ += std::int64_t(done);
    if (!written) {
        throw EOSError(Format("Failed to %s file '%s' (%d bytes at position %d): %s", "write to",
                              fileName_, count, position_, FileErrorText(written.error())),
                       written.error().code);
    }
    return std::int64_t(done);
}

std::int64_t TFileStreamEx::Seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current) {
        base = position_;
    } else if (origin == SeekOrigin::End) {
        base = Size();
    }
    if (base + offset < 0) {
        RaiseOsError(Format("Failed to set file pointer for handle 0x0%x", Handle()), EINVAL);
    }
    position_ = base + offset;
    return position_;
}

void TFileStreamEx::SetSize(std::int64_t size) {
    if (auto resized = file_.SetSize(size); !resized) {
        RaiseFileError(Format("Failed to set end of file for handle 0x0%x", Handle()),
                       resized.error());
    }
    position_ = std::min(position_, size);
}

std::int64_t TFileStreamEx::Size() {
    platform::Result<std::int64_t> size = file_.Size();
    if (!size) {
        RaiseFileError(Format("Failed to get file size for handle 0x0%x", Handle()), size.error());
    }
    return *size;
}

void TFileStreamEx::Flush() {
    if (auto flushed = file_.Flush(); !flushed) {
        RaiseFileError("Failed to flush file buffers", flushed.error());
    }
}

// ---------------------------------------------------------------------------------------------

TVirtualStream::TVirtualStream(std::uint16_t options) : options_(options) {
    if (options & VirtualStreamOption::Step4M) {
        largestStep_ = 4 << 20;
    } else if (options & VirtualStreamOption::Step1M) {
        largestStep_ = 1 << 20;
    } else if (options & VirtualStreamOption::Step256K) {
        largestStep_ = 256 << 10;
    } else {
        largestStep_ = 64 << 10;
    }
}

TVirtualStream::~TVirtualStream() {
    ReleaseBlock();
}

std::int64_t TVirtualStream::Read(void* buffer, std::int64_t count) {
    std::int64_t n = std::min(count, size_ - position_);
    if (n <= 0) {
        return 0;
    }
    std::memcpy(buffer, Memory() + position_, std::size_t(n));
    position_ += n;
    return n;
}

std::int64_t TVirtualStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    std::int64_t end = position_ + count;
    if (end > size_) {
        if (end > capacity_ || kind_ == MemoryKind::None) {
            Reallocate(end, false);
        }
        if (position_ > size_) {
            std::memset(Memory() + size_, 0, std::size_t(position_ - size_));
        }
        size_ = end;
    }
    std::memcpy(Memory() + position_, buffer, std::size_t(count));
    position_ = end;
    return count;
}

std::int64_t TVirtualStream::Seek(std::int64_t offset, SeekOrigin origin) {
    position_ = std::max<std::int64_t>(0, SeekTarget(offset, origin, position_, size_));
    return position_;
}

void TVirtualStream::SetSize(std::int64_t size) {
    QZ_ASSERT(size >= 0);
    std::int64_t old = size_;
    Reallocate(size, false);
    size_ = size;
    if (size > old) {
        std::memset(Memory() + old, 0, std::size_t(size - old));
    }
    position_ = std::min(position_, size_);
}

void TVirtualStream::SetSizeExact(std::int64_t size) {
    QZ_ASSERT(size >= 0);
    std::int64_t old = size_;
    Reallocate(size, true);
    size_ = size;
    if (size > old) {
        std::memset(Memory() + old, 0, std::size_t(size - old));
    }
    position_ = std::min(position_, size_);
}

void TVirtualStream::SetExternalMemory(void* memory, std::int64_t size, ReleaseFunction release) {
    ReleaseBlock();
    memory_ = memory;
    kind_ = MemoryKind::External;
    release_ = std::move(release);
    size_ = capacity_ = size;
    position_ = 0;
}

bool TVirtualStream::SameContent(TVirtualStream& other) const {
    return size_ == other.size_ &&
           (size_ == 0 || std::memcmp(Memory(), other.Memory(), std::size_t(size_)) == 0);
}

void TVirtualStream::Assign(TStream& source) {
    if (&source == this) {
        position_ = 0;
        return;
    }
    std::int64_t size = source.Size();
    SetSize(size);
    source.SetPosition(0);
    if (size > 0) {
        source.ReadBuffer(Memory(), size);
    }
    position_ = 0;
}

std::string TVirtualStream::AsString() const {
    return size_ == 0 ? std::string() : std::string(Memory(), std::size_t(size_));
}

std::string_view TVirtualStream::View() const {
    return size_ == 0 ? std::string_view() : std::string_view(Memory(), std::size_t(size_));
}

void TVirtualStream::SetContent(std::string_view bytes) {
    SetSize(std::int64_t(bytes.size()));
    if (!bytes.empty()) {
        std::memcpy(Memory(), bytes.data(), bytes.size());
    }
    position_ = 0;
}

std::string TVirtualStream::ReadSizedString() {
    std::uint8_t bytes[4];
    ReadBuffer(bytes, 4);
    std::uint32_t length = Load32(bytes);
    // Check against what is left before allocating, so a damaged length cannot ask for 4 GB.
    if (std::int64_t(length) > size_ - position_) {
        Raise("Stream read error");
    }
    std::string text(length, '\0');
    ReadBuffer(text.data(), length);
    return text;
}

std::int64_t TVirtualStream::CapacityFor(std::int64_t size, bool exact) const {
    if (exact || (options_ & VirtualStreamOption::ExactCapacity)) {
        return size;
    }
    std::int64_t step = 4096;
    while (step < size && step < largestStep_) {
        step *= 2;
    }
    return (size + step - 1) / step * step;
}

void TVirtualStream::ReleaseBlock() {
    switch (kind_) {
    case MemoryKind::None:
        break;
    case MemoryKind::Heap:
        std::free(memory_);
        break;
    case MemoryKind::Virtual:
        platform::ReleaseVirtualMemory(memory_, std::size_t(capacity_));
        break;
    case MemoryKind::External:
        if (release_) {
            release_(memory_);
        }
        release_ = nullptr;
        break;
    }
    memory_ = nullptr;
    capacity_ = 0;
    kind_ = MemoryKind::None;
}

void TVirtualStream::Reallocate(std::int64_t size, bool exact) {
    try {
        if (size > 0 && (options_ & VirtualStreamOption::Locked)) {
            Raise("Cannot resize a locked stream");
        }
        if (size > 0 && kind_ == MemoryKind::External) {
            Raise("Cannot resize an external memory stream");
        }
        if (size == 0) {
            if (!(options_ & VirtualStreamOption::KeepMemory)) {
                ReleaseBlock();
            }
            return;
        }
        std::int64_t capacity = CapacityFor(size, exact);
        if (kind_ != MemoryKind::None &&
            (capacity == capacity_ ||
             ((options_ & VirtualStreamOption::NeverShrink) && capacity_ >= capacity))) {
            return;
        }
        bool fromHeap = (options_ & VirtualStreamOption::AlwaysHeap) ||
                        (!(options_ & VirtualStreamOption::AlwaysVirtual) && capacity < kHeapLimit);
        if (!fromHeap && kind_ == MemoryKind::Virtual) {
            // The system moves the pages instead of copying them: the peak commit stays at one
            // copy and growing large streams costs no copying at all.
            auto moved = platform::ResizeVirtualMemory(memory_, std::size_t(capacity_),
                                                       std::size_t(capacity));
            if (!moved) {
                RaiseOsError("Cannot allocate virtual memory", moved.error().code);
            }
            memory_ = *moved;
            capacity_ = capacity;
            return;
        }
        void* block = nullptr;
        if (fromHeap) {
            block = std::malloc(std::size_t(capacity));
            if (block == nullptr) {
                RaiseOsError("Cannot allocate memory", ENOMEM);
            }
        } else {
            auto allocated = platform::AllocateVirtualMemory(std::size_t(capacity));
            if (!allocated) {
                RaiseOsError("Cannot allocate virtual memory", allocated.error().code);
            }
            block = *allocated;
        }
        std::int64_t keep = std::min(size_, capacity);
        if (kind_ == MemoryKind::Virtual) {
            for (std::int64_t done = 0; done < keep; done += kCopySlice) {
                std::int64_t n = std::min(kCopySlice, keep - done);
                std::memcpy(static_cast<char*>(block) + done, Memory() + done, std::size_t(n));
                if (n == kCopySlice) {
                    platform::DecommitVirtualMemory(Memory() + done, std::size_t(n));
                }
            }
        } else if (keep > 0) {
            std::memcpy(block, memory_, std::size_t(keep));
        }
        ReleaseBlock();
        memory_ = block;
        capacity_ = capacity;
        kind_ = fromHeap ? MemoryKind::Heap : MemoryKind::Virtual;
    } catch (...) {
        RaiseWithContext(Format("Failed to reallocate virtual stream (to %d bytes)", size));
    }
}

// ---------------------------------------------------------------------------------------------

TMappedViewCache::TMappedViewCache(int viewShift, int maxViews, MapViewFunction mapView)
    : viewShift_(viewShift), mask_((std::int64_t(1) << viewShift) - 1),
      maxViews_(std::size_t(std::max(1, maxViews))), mapView_(std::move(mapView)) {}

void TMappedViewCache::Read(void* buffer, std::int64_t& position, std::int64_t size,
                            std::int64_t count) {
    auto* out = static_cast<char*>(buffer);
    Transfer(position, size, count, false, [&out](char* view, std::size_t n) {
        std::memcpy(out, view, n);
        out += n;
    });
}

void TMappedViewCache::Write(const void* buffer, std::int64_t& position, std::int64_t size,
                             std::int64_t count) {
    const auto* in = static_cast<const char*>(buffer);
    Transfer(position, size, count, true, [&in](char* view, std::size_t n) {
        std::memcpy(view, in, n);
        in += n;
    });
}

template <typename Copy>
void TMappedViewCache::Transfer(std::int64_t& position, std::int64_t size, std::int64_t count,
                                bool writing, Copy copy) {
    if (position < 0 || count < 0 || position + count > size) {
        Raise(Format("Cannot map view of mapped stream: Invalid position/size requested "
                     "(position = %s, size = %s, stream size = %s)",
                     position, count, size));
    }
    const std::int64_t start = position;
    try {
        while (count > 0) {
            std::int64_t offset = position & mask_;
            std::int64_t n = std::min(count, mask_ + 1 - offset);
            const platform::MappedView& view = View(position >> viewShift_);
            if (std::int64_t(view.Length()) < offset + n) {
                Raise("The mapped view ends before the requested range");
            }
            if (writing) {
                view.Prefault(std::size_t(offset), std::size_t(n), true);
            }
            copy(view.Address() + offset, std::size_t(n));
            position += n;
            count -= n;
        }
    } catch (...) {
        std::int64_t total = position - start + count;
        RaiseWithContext(
            writing ? Format("Failed to write %s bytes at %s to mapped view", total, start)
                    : Format("Failed to read %s bytes at %s from mapped view", total, start));
    }
}

const platform::MappedView& TMappedViewCache::View(std::int64_t viewIndex) {
    if (!views_.empty() && views_.front().first == viewIndex) {
        return views_.front().second;
    }
    auto found = std::find_if(views_.begin(), views_.end(),
                              [viewIndex](const auto& entry) { return entry.first == viewIndex; });
    if (found != views_.end()) {
        std::rotate(views_.begin(), found, found + 1);
        return views_.front().second;
    }
    while (views_.size() >= maxViews_) {
        views_.pop_back();
    }
    platform::MappedView view = mapView_(viewIndex);
    views_.emplace(views_.begin(), viewIndex, std::move(view));
    return views_.front().second;
}

void TMappedViewCache::ReleaseViews() {
    views_.clear();
}

std::vector<std::int64_t> TMappedViewCache::CachedViews() const {
    std::vector<std::int64_t> indexes;
    for (const auto& entry : views_) {
        indexes.push_back(entry.first);
    }
    return indexes;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Writable views need a handle that may also read, so write-only opens ask for both; the sharing
// check is the same for both accesses.
std::uint16_t MappableMode(std::uint16_t mode) {
    return mode != FileMode::Create && (mode & 3) == FileMode::Write
               ? std::uint16_t((mode & ~3) | FileMode::ReadWrite)
               : mode;
}

} // namespace

TMappedFileStream::TMappedFileStream(std::string fileName, std::uint16_t mode, int waitSeconds,
                                     std::uint16_t options)
    : TFileStreamEx(std::move(fileName), MappableMode(mode), waitSeconds, options),
      writable_(mode == FileMode::Create || (mode & 3) != 0),
      cache_(kViewShift, kMaxViews, [this](std::int64_t viewIndex) { return MapView(viewIndex); }) {
    size_ = TFileStreamEx::Size();
    dataEnd_ = size_;
}

TMappedFileStream::~TMappedFileStream() {
    try {
        Close();
    } catch (...) {
        // A destructor cannot report; Close is there for callers that need to know.
    }
}

std::int64_t TMappedFileStream::Read(void* buffer, std::int64_t count) {
    try {
        std::int64_t n = std::min(count, size_ - position_);
        if (n <= 0) {
            return 0;
        }
        EnsureMapping(size_);
        cache_.Read(buffer, position_, size_, n);
        return n;
    } catch (...) {
        RaiseWithContext(Format("Failed to read from mapped file: %s", FileName()));
    }
}

std::int64_t TMappedFileStream::Write(const void* buffer, std::int64_t count) {
    if (!writable_) {
        Raise("Cannot write to a read-only mapped file.");
    }
    try {
        if (count <= 0) {
            return 0;
        }
        if (position_ + count > size_) {
            SetLogicalSize(position_ + count);
        }
        EnsureMapping(size_);
        std::int64_t viaViews = std::clamp<std::int64_t>(dataEnd_ - position_, 0, count);
        if (viaViews > 0) {
            cache_.Write(buffer, position_, size_, viaViews);
        }
        if (viaViews < count) {
            // Bytes beyond everything the file has held go in with a plain write. Through a view,
            // each fresh page would first be read in as zeros and then faulted writable, which
            // costs several times the write itself; views see the same pages either way.
            std::int64_t rest = count - viaViews;
            std::size_t done = 0;
            platform::Result<> written = File().WriteAt(
                position_, static_cast<const char*>(buffer) + viaViews, std::size_t(rest), done);
            if (!written) {
                RaiseFileError(
                    Format("Failed to write %s bytes at %s to the file", rest, position_),
                    written.error());
            }
            position_ += rest;
            dataEnd_ = position_;
        }
        return count;
    } catch (...) {
        RaiseWithContext(Format("Failed to write to mapped file: %s", FileName()));
    }
}

std::int64_t TMappedFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const std::int64_t target = SeekTarget(offset, origin, position_, size_);
    if (target < 0) {
        RaiseOsError(Format("Failed to set file pointer for handle 0x0%x", Handle()), EINVAL);
    }
    position_ = target;
    return position_;
}

void TMappedFileStream::SetSize(std::int64_t size) {
    QZ_ASSERT(size >= 0);
    if (!writable_ && size > size_) {
        Raise("Cannot write to a read-only mapped file.");
    }
    SetLogicalSize(size);
    position_ = std::min(position_, size_);
}

void TMappedFileStream::Flush() {
    ReleaseMapping();
    TFileStreamEx::Flush();
}

void TMappedFileStream::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    try {
        ReleaseMapping();
        if (writable_ && TFileStreamEx::Size() != size_) {
            TFileStreamEx::SetSize(size_);
        }
    } catch (...) {
        RaiseWithContext(Format("Failed to close mapped file: %s", FileName()));
    }
}

void TMappedFileStream::SetLogicalSize(std::int64_t size) {
    if (size == size_) {
        return;
    }
    size_ = size;
    if (sizeChanged_) {
        sizeChanged_(size_);
    }
}

void TMappedFileStream::EnsureMapping(std::int64_t size) {
    if (mappingSize_ >= size && mappingSize_ > 0) {
        return;
    }
    ReleaseMapping();
    std::int64_t mappingSize = size;
    if (writable_) {
        std::int64_t viewSize = cache_.ViewSize();
        mappingSize = (size + viewSize - 1) / viewSize * viewSize;
        // Views beyond the end of a file cannot be touched, so the file grows with its mapping.
        if (TFileStreamEx::Size() < mappingSize) {
            TFileStreamEx::SetSize(mappingSize);
        }
    }
    mappingSize_ = mappingSize;
}

void TMappedFileStream::ReleaseMapping() {
    cache_.ReleaseViews();
    mappingSize_ = 0;
}

platform::MappedView TMappedFileStream::MapView(std::int64_t viewIndex) {
    if (mappingSize_ <= 0) {
        Raise("Failed to obtain mapping object handle while mapping view");
    }
    std::int64_t offset = viewIndex << kViewShift;
    std::int64_t length = std::min(cache_.ViewSize(), mappingSize_ - offset);
    platform::MappedView view;
    if (length <= 0) {
        RaiseOsError(Format("Failed to map view of file mapping 0x0%x at position %d:%d (%d bytes)",
                            Handle(), std::uint32_t(offset >> 32), std::uint32_t(offset),
                            cache_.ViewSize()),
                     EINVAL);
    }
    if (auto mapped = view.Map(File(), offset, std::size_t(length), writable_); !mapped) {
        RaiseOsError(Format("Failed to map view of file mapping 0x0%x at position %d:%d (%d bytes)",
                            Handle(), std::uint32_t(offset >> 32), std::uint32_t(offset), length),
                     mapped.error().code);
    }
    return view;
}

// ---------------------------------------------------------------------------------------------

void EnsureSize(TStream& stream, std::int64_t size) {
    if (stream.Size() < size) {
        std::int64_t position = stream.Position();
        stream.SetSize(size);
        stream.SetPosition(position);
    }
}

void WriteByte(TStream& stream, std::uint8_t value) {
    stream.WriteBuffer(&value, 1);
}

void WriteString(TStream& stream, std::string_view text) {
    stream.WriteBuffer(text.data(), std::int64_t(text.size()));
}

namespace {

// UTF-16 bytes of either byte order; a dangling odd byte becomes the substitute character.
std::u16string Utf16FromBytes(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2 + 1);
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        auto lo = std::uint8_t(bytes[i + (bigEndian ? 1 : 0)]);
        auto hi = std::uint8_t(bytes[i + (bigEndian ? 0 : 1)]);
        units += char16_t(lo | (hi << 8));
    }
    if (i < bytes.size()) {
        units += char16_t(0xFFFD);
    }
    return units;
}

} // namespace

std::string ReadFileText(const std::string& fileName, std::uint32_t options, std::int64_t limit) {
    std::unique_ptr<TFileStreamEx> file;
    try {
        file = std::make_unique<TFileStreamEx>(fileName, FileMode::Read | FileMode::ShareDenyWrite);
    } catch (...) {
        RaiseWithContext("Failed to read file.");
    }
    std::string bytes;
    try {
        std::int64_t count = std::min(file->Size(), std::max<std::int64_t>(0, limit));
        bytes.resize(std::size_t(count));
        // The file may shrink while it is read; keep what was there.
        bytes.resize(std::size_t(file->Read(bytes.data(), count)));
    } catch (...) {
        RaiseWithContext(Format("Failed to read file: %s", fileName));
    }
    if (!(options & ReadFileTextOption::DecodeBom)) {
        return bytes;
    }
    std::string_view view(bytes);
    if (view.size() > 1 && view.substr(0, 2) == "\xFF\xFE") {
        return WideToCodePage(Utf16FromBytes(view.substr(2), false), SystemAnsiCodePage());
    }
    if (view.size() > 1 && view.substr(0, 2) == "\xFE\xFF") {
        return WideToCodePage(Utf16FromBytes(view.substr(2), true), SystemAnsiCodePage());
    }
    if (view.size() > 2 && view.substr(0, 3) == "\xEF\xBB\xBF") {
        return WideToCodePage(Utf8ToWide(view.substr(3)), SystemAnsiCodePage());
    }
    return bytes;
}

} // namespace qz
