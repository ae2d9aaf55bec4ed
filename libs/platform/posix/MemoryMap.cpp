#include "platform/MemoryMap.h"

#include "platform/File.h"

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {

MappedView::~MappedView() {
    Unmap();
}

MappedView::MappedView(MappedView&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), length_(std::exchange(other.length_, 0)) {}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
    if (this != &other) {
        Unmap();
        address_ = std::exchange(other.address_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

Result<> MappedView::Map(const File& file, std::int64_t offset, std::size_t length, bool writable) {
    Unmap();
    int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    int flags = MAP_SHARED;
    void* address = ::mmap(nullptr, length, protection, flags, file.Handle(), offset);
    if (address == MAP_FAILED) {
        return FailWithLastError("map");
    }
    address_ = address;
    length_ = length;
    return {};
}

void MappedView::Unmap() {
    if (address_ != nullptr) {
        ::munmap(address_, length_);
        address_ = nullptr;
        length_ = 0;
    }
}

void MappedView::Prefault(std::size_t offset, std::size_t length, bool forWriting) const {
    if (address_ == nullptr || length == 0 || offset >= length_) {
        return;
    }
    std::size_t page = AllocationGranularity();
    std::size_t begin = offset / page * page;
    std::size_t end = std::min(offset + length, length_);
    // Kernels before 5.14 do not know these requests and answer EINVAL; faults then do the work.
    ::madvise(Address() + begin, end - begin,
              forWriting ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
}

std::size_t AllocationGranularity() {
    static const std::size_t pageSize = std::size_t(::sysconf(_SC_PAGESIZE));
    return pageSize;
}

Result<void*> AllocateVirtualMemory(std::size_t size) {
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return FailWithLastError("allocate");
    }
    return block;
}

Result<void*> ResizeVirtualMemory(void* address, std::size_t oldSize, std::size_t newSize) {
    void* block = ::mremap(address, oldSize, newSize, MREMAP_MAYMOVE);
    if (block == MAP_FAILED) {
        return FailWithLastError("resize");
    }
    return block;
}

void DecommitVirtualMemory(void* address, std::size_t size) {
    ::madvise(address, size, MADV_DONTNEED);
}

void ReleaseVirtualMemory(void* address, std::size_t size) {
    ::munmap(address, size);
}

} // namespace qz::platform
