#include "GrowingSharedStream.h"

#include "DiagLog.h"
#include "Exceptions.h"
#include "Format.h"
#include "Threads.h"
#include "platform/NamedObjects.h"
#include "platform/NativeThread.h"
#include "platform/SharedSection.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

namespace qz {

namespace {

constexpr const char* kGrowEventSuffix = "SharedStream_GrowEvent";
constexpr const char* kHeaderSuffix = "SharedStream_Data";
constexpr const char* kSectionSuffix = "SharedStream_Section_";

// Sections below a page or above 1 GiB are no layout this system writes.
constexpr std::uint32_t kMinSectionSize = 0x1000;
constexpr std::uint32_t kMaxSectionSize = 0x40000000;

// How long Read, Write and Truncate wait for the header's lock.
constexpr std::uint32_t kLockTimeout = 30000;

// The status a missing section reports, as the native open would.
constexpr int kStatusObjectNameNotFound = static_cast<int>(0xC0000034);

int SectionShift(std::uint32_t sectionSize) {
    if (sectionSize == 0 || !std::has_single_bit(sectionSize)) {
        Raise(Format("Cannot convert size to shift-value: %d", sectionSize));
    }
    return std::countr_zero(sectionSize);
}

// The header's 64-bit fields sit at offsets 12, 20 and 28: 4-byte aligned and inside one cache
// line, where x86-64 and arm64 access them atomically. They are reached by offset, since the
// packed structure cannot hand out references to them.
std::int64_t* Field64(SharedStreamHeader* header, std::size_t offset) {
    return reinterpret_cast<std::int64_t*>(reinterpret_cast<char*>(header) + offset);
}

std::int64_t Load64(SharedStreamHeader* header, std::size_t offset) {
    return __atomic_load_n(Field64(header, offset), __ATOMIC_ACQUIRE);
}

void Store64(SharedStreamHeader* header, std::size_t offset, std::int64_t value) {
    __atomic_store_n(Field64(header, offset), value, __ATOMIC_RELEASE);
}

constexpr std::size_t kSizeField = offsetof(SharedStreamHeader, Size);
constexpr std::size_t kCapacityField = offsetof(SharedStreamHeader, Capacity);
constexpr std::size_t kRequestedField = offsetof(SharedStreamHeader, RequestedCapacity);

std::atomic<std::int32_t>& GenerationOf(SharedStreamHeader* header) {
    return *reinterpret_cast<std::atomic<std::int32_t>*>(reinterpret_cast<char*>(header) +
                                                         offsetof(SharedStreamHeader, Generation));
}

SpinLockRecord& LockOf(SharedStreamHeader* header) {
    return *reinterpret_cast<SpinLockRecord*>(reinterpret_cast<char*>(header) +
                                              offsetof(SharedStreamHeader, Lock));
}

// Re-raises a failure of Read or Write with the stream's context, keeping the silent-abort
// class and the system error code.
[[noreturn]] void RaiseStreamFailure(const char* context) {
    RaiseWithContext(context);
}

class THeaderLock {
public:
    explicit THeaderLock(TGrowingSharedStream& stream) : stream_(stream) { stream_.Lock(); }
    ~THeaderLock() { stream_.Unlock(); }
    THeaderLock(const THeaderLock&) = delete;
    THeaderLock& operator=(const THeaderLock&) = delete;

private:
    TGrowingSharedStream& stream_;
};

} // namespace

std::string CurrentSessionDirectory() {
    long session = platform::CurrentSessionNumber();
    return session < 0 ? std::string("\\BaseNamedObjects\\")
                       : Format("\\Sessions\\%d\\BaseNamedObjects\\", static_cast<int>(session));
}

int CurrentSessionNumber() {
    long session = platform::CurrentSessionNumber();
    return session < 0 ? SessionGlobal : static_cast<int>(session);
}

std::string MakeSessionObjectName(const TGuid& guid, int sessionNumber, const std::string& suffix,
                                  bool kernelForm) {
    std::string base = "Tamrel_" + GuidToText(guid) + "_" + suffix;
    if (sessionNumber == SessionGlobal) {
        return (kernelForm ? "\\BaseNamedObjects\\" : "Global\\") + base;
    }
    if (sessionNumber >= 0) {
        return kernelForm ? Format("\\Sessions\\%d\\BaseNamedObjects\\", sessionNumber) + base
                          : Format("Session\\%d\\", sessionNumber) + base;
    }
    return kernelForm ? CurrentSessionDirectory() + base : base;
}

class TGrowingSharedStream::TGrowThread : public TSafeThread {
public:
    explicit TGrowThread(TGrowingSharedStream& stream)
        : TSafeThread(false, false, 64 * 1024), stream_(stream) {}
    ~TGrowThread() override { StopThread(); }

protected:
    void Execute() override {
        RaisePriority();
        stream_.GrowThreadLoop();
    }

private:
    TGrowingSharedStream& stream_;
};

TGrowingSharedStream::TGrowingSharedStream(const TGuid& guid, int sessionNumber, bool owner,
                                           std::uint32_t sectionSize, std::int64_t maxCapacity)
    : owner_(owner), guid_(guid), sessionNumber_(sessionNumber), maxCapacity_(maxCapacity) {
    const platform::ObjectAccess shared = platform::ObjectAccess::Shared;
    if (owner_) {
        sectionShift_ = SectionShift(sectionSize);
        if (sectionSize < kMinSectionSize || sectionSize > kMaxSectionSize) {
            Raise(Format("Invalid shared stream section size: %d", sectionSize));
        }
        sectionSize_ = sectionSize;
        growEvent_ = std::make_unique<TWinEvent>(NullDaclSecurityAttributes(),
                                                 ObjectName(kGrowEventSuffix, false), false, false);
        std::string name = ObjectName(kHeaderSuffix, false);
        auto block = platform::SharedSection::Open(name, sizeof(SharedStreamHeader), true, shared);
        // Another live owner (or a squatter) holding this name is refused: sharing it would let
        // two owners grow and truncate the same stream.
        int rc = !block ? block.error().code : (*block)->AlreadyExisted() ? EEXIST : 0;
        if (rc != 0) {
            RaiseOsError(Format("Failed to create file mapping: %s", name), rc);
        }
        headerBlock_ = std::move(*block);
        header_ = static_cast<SharedStreamHeader*>(headerBlock_->Data());
        header_->SectionSize = sectionSize_;
    } else {
        growEvent_ = std::make_unique<TWinEvent>(ObjectName(kGrowEventSuffix, false), false);
        std::string name = ObjectName(kHeaderSuffix, false);
        auto block = platform::SharedSection::Open(name, sizeof(SharedStreamHeader), false, shared);
        if (!block) {
            RaiseOsError(Format("Failed to open file mapping: %s", name), block.error().code);
        }
        headerBlock_ = std::move(*block);
        header_ = static_cast<SharedStreamHeader*>(headerBlock_->Data());
        std::uint32_t stored = header_->SectionSize;
        sectionSize_ = stored == 0 ? kDefaultSectionSize : stored;
        sectionShift_ = SectionShift(sectionSize_);
        if (sectionSize_ < kMinSectionSize || sectionSize_ > kMaxSectionSize) {
            Raise(Format("Shared stream is damaged: section size %d", sectionSize_));
        }
        lastGeneration_ = GenerationOf(header_).load();
    }
    if (maxCapacity_ < sectionSize_) {
        maxCapacity_ = sectionSize_;
    }
    if (owner_) {
        Grow(sectionSize_);
        growThread_ = CreateThread<TGrowThread>(*this);
    }
}

TGrowingSharedStream::~TGrowingSharedStream() {
    stopping_ = true;
    if (growThread_) {
        try {
            growEvent_->SetEvent();
        } catch (const Exception&) {
        }
        growThread_->WaitFor();
        growThread_.reset();
    }
    views_.clear();
    sections_.clear();
    header_ = nullptr;
    headerBlock_.reset();
}

std::string TGrowingSharedStream::ObjectName(const std::string& suffix, bool kernelForm) const {
    return MakeSessionObjectName(guid_, sessionNumber_, suffix, kernelForm);
}

void TGrowingSharedStream::Lock() {
    // Bounded: a live process that never lets go (stopped, or hostile) must not hang this one.
    if (SpinLock(LockOf(header_), kLockTimeout, slAbandonWarning) == kSpinTimedOut) {
        Raise("Timed out waiting for the lock of the shared stream");
    }
}

void TGrowingSharedStream::Unlock() {
    SpinUnlock(LockOf(header_));
}

std::int64_t TGrowingSharedStream::DataSize() const {
    return Load64(header_, kSizeField);
}

std::int64_t TGrowingSharedStream::Capacity() const {
    return Load64(header_, kCapacityField);
}

std::int32_t TGrowingSharedStream::Generation() const {
    return GenerationOf(header_).load(std::memory_order_acquire);
}

void TGrowingSharedStream::CheckHeader(std::int64_t& size, std::int64_t& capacity) const {
    size = DataSize();
    capacity = Capacity();
    if (capacity < 0 || (capacity & (sectionSize_ - 1)) != 0 || size < 0 || size > capacity) {
        Raise(Format("Shared stream is damaged: size %d, capacity %d", size, capacity));
    }
}

void TGrowingSharedStream::Grow(std::int64_t requiredSize) {
    std::lock_guard guard(sectionLock_);
    if (requiredSize > maxCapacity_) {
        Raise(Format("Shared stream cannot grow to %d bytes (limit %d bytes)", requiredSize,
                     maxCapacity_));
    }
    std::int64_t needed = (requiredSize + sectionSize_ - 1) >> sectionShift_;
    while (static_cast<std::int64_t>(sections_.size()) < needed) {
        std::string name = ObjectName(kSectionSuffix + std::to_string(sections_.size()), false);
        auto section =
            platform::SharedSection::Open(name, sectionSize_, true, platform::ObjectAccess::Shared);
        if (!section) {
            RaiseOsError(Format("Failed to create file mapping backed by system swapfile (%d "
                                "bytes), object name is %s",
                                sectionSize_, name),
                         section.error().code);
        }
        sections_.push_back(std::move(*section));
        Store64(header_, kCapacityField,
                static_cast<std::int64_t>(sections_.size()) << sectionShift_);
    }
}

void TGrowingSharedStream::RequestGrow(std::int64_t requiredSize) {
    THeaderLock lock(*this);
    if (Load64(header_, kRequestedField) < requiredSize) {
        Store64(header_, kRequestedField, requiredSize);
    }
    for (int attempt = 0; attempt < 1000; ++attempt) {
        growEvent_->SetEvent();
        if (Capacity() >= requiredSize) {
            return;
        }
        // The owner's grow thread runs at high priority; most requests are served before the
        // first sleep would end, so look again after a yield first.
        if (attempt < 20) {
            platform::YieldProcessor();
            if (Capacity() >= requiredSize) {
                return;
            }
        }
        platform::SleepMilliseconds(10);
    }
    Raise("Failed to request reallocation of shared stream (timed out)");
}

void TGrowingSharedStream::GrowThreadLoop() {
    for (;;) {
        try {
            growEvent_->WaitFor(INFINITE);
        } catch (const Exception& e) {
            LogWarning("Shared stream grow thread cannot wait\r\n" + e.Message());
            return;
        }
        if (stopping_) {
            return;
        }
        // The request comes from another process: grow no further than the limit, so that a
        // request beyond it still serves every smaller one.
        std::int64_t requested = Load64(header_, kRequestedField);
        requested = std::clamp<std::int64_t>(requested, 0, maxCapacity_);
        try {
            Grow(requested);
        } catch (const Exception& e) {
            LogWarning("Failed to grow shared stream\r\n" + e.Message());
        }
    }
}

std::unique_ptr<platform::SharedSection> TGrowingSharedStream::MapSection(std::int64_t index) {
    std::string name = ObjectName(kSectionSuffix + std::to_string(index), true);
    auto section =
        platform::SharedSection::Open(name, sectionSize_, false, platform::ObjectAccess::Shared);
    if (!section && section.error().code == ENOENT) {
        throw EAbort(NtStatusMessage(Format("Failed to open section \"%s\" of shared stream", name),
                                     kStatusObjectNameNotFound));
    }
    if (!section) {
        RaiseOsError(Format("Failed to open section \"%s\" of shared stream", name),
                     section.error().code);
    }
    return std::move(*section);
}

void TGrowingSharedStream::RefreshViews() {
    if (owner_) {
        return;
    }
    std::int32_t generation = Generation();
    if (generation != lastGeneration_) {
        views_.clear();
        lastGeneration_ = generation;
    }
}

char* TGrowingSharedStream::SectionView(std::int64_t index) {
    if (owner_) {
        std::lock_guard guard(sectionLock_);
        if (index < 0 || index >= static_cast<std::int64_t>(sections_.size())) {
            throw EAbort(Format("Shared stream is damaged: section %d is missing", index));
        }
        return static_cast<char*>(sections_[static_cast<std::size_t>(index)]->Data());
    }
    for (std::size_t i = 0; i < views_.size(); ++i) {
        if (views_[i].index == index) {
            if (i != 0) {
                std::rotate(views_.begin(), views_.begin() + static_cast<std::ptrdiff_t>(i),
                            views_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            }
            return static_cast<char*>(views_.front().section->Data());
        }
    }
    auto section = MapSection(index);
    if (views_.size() >= 2) {
        views_.pop_back();
    }
    views_.insert(views_.begin(), TCachedView{index, std::move(section)});
    return static_cast<char*>(views_.front().section->Data());
}

template <typename Copy>
void TGrowingSharedStream::Transfer(std::int64_t position, std::int64_t count, Copy copy) {
    std::int64_t done = 0;
    while (done < count) {
        std::int64_t at = position + done;
        std::int64_t index = at >> sectionShift_;
        std::int64_t offset = at & (sectionSize_ - 1);
        std::int64_t chunk = std::min<std::int64_t>(count - done, sectionSize_ - offset);
        char* view = SectionView(index);
        copy(view + offset, done, chunk);
        done += chunk;
    }
}

std::int64_t TGrowingSharedStream::Read(void* buffer, std::int64_t count) {
    try {
        THeaderLock lock(*this);
        RefreshViews();
        std::int64_t size = 0;
        std::int64_t capacity = 0;
        CheckHeader(size, capacity);
        std::int64_t n =
            std::clamp<std::int64_t>(size - position_, 0, std::max<std::int64_t>(count, 0));
        if (n > 0) {
            if (position_ < 0) {
                Raise(Format("Cannot map view of mapped stream: Invalid position/size requested "
                             "(position = %d, size = %d, stream size = %d)",
                             position_, n, size));
            }
            char* out = static_cast<char*>(buffer);
            Transfer(position_, n, [out](char* view, std::int64_t done, std::int64_t chunk) {
                std::memcpy(out + done, view, static_cast<std::size_t>(chunk));
            });
            position_ += n;
        }
        return n;
    } catch (const Exception&) {
        RaiseStreamFailure("Failed to read from shared stream");
    }
}

std::int64_t TGrowingSharedStream::Write(const void* buffer, std::int64_t count) {
    try {
        if (count <= 0) {
            return 0;
        }
        THeaderLock lock(*this);
        RefreshViews();
        std::int64_t size = 0;
        std::int64_t capacity = 0;
        CheckHeader(size, capacity);
        std::int64_t end = position_ + count;
        if (position_ < 0 || end < position_) {
            Raise(Format("Cannot map view of mapped stream: Invalid position/size requested "
                         "(position = %d, size = %d, stream size = %d)",
                         position_, count, size));
        }
        if (end > capacity) {
            if (owner_) {
                Grow(end);
            } else {
                RequestGrow(end);
            }
        }
        const char* in = static_cast<const char*>(buffer);
        Transfer(position_, count, [in](char* view, std::int64_t done, std::int64_t chunk) {
            std::memcpy(view, in + done, static_cast<std::size_t>(chunk));
        });
        position_ = end;
        if (end > DataSize()) {
            Store64(header_, kSizeField, end);
        }
        return count;
    } catch (const Exception&) {
        RaiseStreamFailure("Failed to write to shared stream");
    }
}

std::int64_t TGrowingSharedStream::Seek(std::int64_t offset, SeekOrigin origin) {
    // Only a seek from the end reads the shared header.
    position_ = SeekTarget(offset, origin, position_, origin == SeekOrigin::End ? DataSize() : 0);
    return position_;
}

void TGrowingSharedStream::SetSize(std::int64_t) {
    Raise("Cannot set the size of a shared stream");
}

void TGrowingSharedStream::Truncate() {
    QZ_ASSERT(owner_);
    THeaderLock lock(*this);
    std::lock_guard guard(sectionLock_);
    Store64(header_, kCapacityField, sectionSize_);
    Store64(header_, kSizeField, 0);
    Store64(header_, kRequestedField, 0);
    if (sections_.size() > 1) {
        GenerationOf(header_).fetch_add(1);
        // Trimmed before the section lock is released: a grow in between would otherwise
        // compute the capacity from sections that are about to go.
        sections_.resize(1);
    }
}

} // namespace qz
