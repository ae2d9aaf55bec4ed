#pragma once

// Mapped views of files and blocks of the system's virtual memory. Failures are returned as
// Result values; the callers turn them into their own messages.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>

namespace qz::platform {

class File;

/// A mapped range of a file. Move-only; unmaps on destruction.
class MappedView {
public:
    MappedView() = default;
    ~MappedView();
    MappedView(MappedView&& other) noexcept;
    MappedView& operator=(MappedView&& other) noexcept;
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;

    /// Maps length bytes of the file at offset (a multiple of the allocation granularity), for
    /// reading or for reading and writing. Writes reach the file. Unmaps any view held before.
    Result<> Map(const File& file, std::int64_t offset, std::size_t length, bool writable);

    void Unmap();

    /// Asks the system to make the pages of a range of the view present (writable when
    /// forWriting) in one call rather than one fault per page; a hint, failures are ignored.
    void Prefault(std::size_t offset, std::size_t length, bool forWriting) const;

    char* Address() const { return static_cast<char*>(address_); }
    std::size_t Length() const { return length_; }

private:
    void* address_ = nullptr;
    std::size_t length_ = 0;
};

/// The alignment that view offsets need.
std::size_t AllocationGranularity();

/// Takes size bytes of committed, zero-filled read-write memory from the system; the block's
/// address.
Result<void*> AllocateVirtualMemory(std::size_t size);

/// Grows or shrinks a block taken by AllocateVirtualMemory without copying its bytes; the block
/// may move: its new address. The bytes up to the smaller size are kept. On failure the block
/// stays as it was.
Result<void*> ResizeVirtualMemory(void* address, std::size_t oldSize, std::size_t newSize);

/// Gives the pages of a range back to the system; the range reads as zeros afterwards.
void DecommitVirtualMemory(void* address, std::size_t size);

/// Returns a block taken by AllocateVirtualMemory.
void ReleaseVirtualMemory(void* address, std::size_t size);

} // namespace qz::platform
