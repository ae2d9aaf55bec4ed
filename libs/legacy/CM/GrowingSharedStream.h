#pragma once

// A byte stream in shared memory that one process (the owner) creates and grows in fixed-size,
// separately named sections, and that other processes (openers) read and append to. It carries
// the packet channels of the local communication layer and the build event stream. This unit
// also fixes how shared objects of the layer are named and which namespace a session number
// selects.
//
// Shared objects of a stream with GUID g (created by the owner, open to every local user):
//   "Tamrel_{g}_SharedStream_GrowEvent"  auto-reset event the owner's grow thread waits on
//   "Tamrel_{g}_SharedStream_Data"       the 52-byte header (SharedStreamHeader)
//   "Tamrel_{g}_SharedStream_Section_n"  section n: stream bytes n*SectionSize .. +SectionSize-1
//
// Every value read from the header is treated as untrusted: sizes outside their bounds or a
// missing section make the stream report itself damaged rather than read or write out of range.

#include "EnvUtils.h"
#include "NvObjects.h"
#include "Stream.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz {

namespace platform {
class SharedSection;
}

/// Session numbers of MakeSessionObjectName.
inline constexpr int SessionGlobal = -2; ///< the machine-wide namespace
inline constexpr int SessionLocal = -1;  ///< the caller's own namespace

/// "Tamrel_" + "{GUID}" + "_" + suffix in the namespace of the session number: "Global\" +
/// base, "Session\<n>\" + base, or the bare base for SessionLocal. The kernel form is
/// "\BaseNamedObjects\" + base, "\Sessions\<n>\BaseNamedObjects\" + base, or
/// CurrentSessionDirectory() + base. Both forms name the same object.
std::string MakeSessionObjectName(const TGuid& guid, int sessionNumber, const std::string& suffix,
                                  bool kernelForm);

/// The kernel directory of the caller's namespace: "\Sessions\<n>\BaseNamedObjects\" inside a
/// login session, else "\BaseNamedObjects\".
std::string CurrentSessionDirectory();

/// The login session of the process, or SessionGlobal when it has none (services, containers).
int CurrentSessionNumber();

/// The 52-byte header block every process maps read-write (little-endian). The 64-bit fields
/// are only 4-byte aligned; the stream reads and writes them through atomic helpers.
#pragma pack(push, 4)
struct SharedStreamHeader {
    std::uint32_t reserved0;
    SpinLockRecord Lock;
    std::int64_t Size;              ///< bytes written (end of data)
    std::int64_t Capacity;          ///< section count * SectionSize
    std::int64_t RequestedCapacity; ///< the largest capacity an opener asked for
    std::int32_t Generation;        ///< incremented whenever sections are dropped
    std::uint32_t reserved40;
    std::uint32_t SectionSize; ///< a power of two, written by the owner at creation
    std::uint32_t reserved48;
};
#pragma pack(pop)
static_assert(sizeof(SharedStreamHeader) == 52 && offsetof(SharedStreamHeader, SectionSize) == 44);

/// The default section size of a stream (2 MiB), also used when the header says 0.
inline constexpr std::uint32_t kDefaultSectionSize = 0x200000;
/// The default bound of a stream's growth (16 GiB).
inline constexpr std::int64_t kDefaultMaxStreamCapacity = std::int64_t(16) << 30;

class TGrowingSharedStream : public TStream {
public:
    /// The owner (owner true) creates the grow event, the header and section 0 and starts the grow
    /// thread; an opener opens the event and the header (the section size given is then not
    /// used). maxCapacity bounds what the owner's grow thread will create (rounded up to whole
    /// sections). Raises "Failed to open event '%s'", "Failed to open file mapping: %s",
    /// "Cannot convert size to shift-value: %d", the creation errors of the event and the header,
    /// and "Shared stream is damaged: %s" for a header an opener cannot use.
    TGrowingSharedStream(const TGuid& guid, int sessionNumber, bool owner,
                         std::uint32_t sectionSize,
                         std::int64_t maxCapacity = kDefaultMaxStreamCapacity);
    /// Stops and joins the grow thread (owner) and releases every object.
    ~TGrowingSharedStream() override;
    TGrowingSharedStream(const TGrowingSharedStream&) = delete;
    TGrowingSharedStream& operator=(const TGrowingSharedStream&) = delete;

    /// Reads at the position, at most up to Size. Errors are raised as "Failed to read from shared
    /// stream" + CR LF + the inner message (a missing section keeps the silent-abort class).
    std::int64_t Read(void* buffer, std::int64_t count) override;
    /// Writes at the position, growing the stream (opener: asks the owner and waits up to about
    /// 10 s, "Failed to request reallocation of shared stream (timed out)"). Errors are raised as
    /// "Failed to write to shared stream" + CR LF + the inner message.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    /// Origin Begin, Current or End (= Size); the position is not bounded.
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    /// Not supported (raises); use Truncate.
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return DataSize(); }

    /// Size read from the header without the lock.
    std::int64_t DataSize() const;
    /// Owner only: empties the stream and drops every section but the first.
    void Truncate();

    bool IsOwner() const { return owner_; }
    const TGuid& Guid() const { return guid_; }
    int SessionNumber() const { return sessionNumber_; }
    std::uint32_t SectionSize() const { return sectionSize_; }
    std::int64_t Capacity() const;
    std::int32_t Generation() const;
    std::int64_t MaxCapacity() const { return maxCapacity_; }
    /// The header block (for tests and diagnostics).
    SharedStreamHeader& Header() const { return *header_; }

    /// The lock of the header, taken around every Read, Write and Truncate. Re-entrant for the
    /// same thread; callers that need several operations to be atomic take it themselves. A lock
    /// held elsewhere for 30 s raises "Timed out waiting for the lock of the shared stream".
    void Lock();
    void Unlock();

private:
    class TGrowThread;
    struct TCachedView {
        std::int64_t index;
        std::unique_ptr<platform::SharedSection> section;
    };

    std::string ObjectName(const std::string& suffix, bool kernelForm) const;
    void Grow(std::int64_t requiredSize);
    void RequestGrow(std::int64_t requiredSize);
    void GrowThreadLoop();
    void RefreshViews();
    char* SectionView(std::int64_t index);
    std::unique_ptr<platform::SharedSection> MapSection(std::int64_t index);
    void CheckHeader(std::int64_t& size, std::int64_t& capacity) const;
    template <typename Copy>
    void Transfer(std::int64_t position, std::int64_t count, Copy copy);

    bool owner_;
    TGuid guid_;
    int sessionNumber_;
    std::int64_t position_ = 0;
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<platform::SharedSection>> sections_; // owner
    TFastMutex sectionLock_;                                         // owner
    std::unique_ptr<TGrowThread> growThread_;                        // owner
    std::unique_ptr<TWinEvent> growEvent_;
    std::unique_ptr<platform::SharedSection> headerBlock_;
    SharedStreamHeader* header_ = nullptr;
    std::vector<TCachedView> views_; // most recently used first, at most two
    std::int32_t lastGeneration_ = 0;
    std::uint32_t sectionSize_ = kDefaultSectionSize;
    int sectionShift_ = 0;
    std::int64_t maxCapacity_;
};

} // namespace qz
