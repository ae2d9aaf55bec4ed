#pragma once

// Waits with deadlock warnings, wrappers of kernel mutexes and events, the naming and access
// rules of objects shared between processes, machine-wide thread UIDs and the spinlock that
// lives in shared memory and works across processes.

#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/WaitAny.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qz {

/// A kernel object one can wait for (event, mutex, process). Not owned by the holder.
using THandle = platform::Waitable*;

inline constexpr std::uint32_t INFINITE = 0xFFFFFFFF;

/// Wait flags.
inline constexpr std::uint8_t wfDeadlockWarning = 1;  ///< infinite waits warn every 20 s
inline constexpr std::uint8_t wfAbandonedWarning = 2; ///< report an abandoned mutex
inline constexpr std::uint8_t wfTimeoutResult = 4;    ///< a timeout returns -1, not raises
inline constexpr std::uint8_t wfKeepWaiting = 8;      ///< TWaitObjectThread: wait again

/// Waits for the handles (any one, or all with waitAll) and returns the index of the signalled
/// (or abandoned) one. With setFirst, exactly one handle may be given; setFirst is signalled and
/// the handle waited for in one step. Raises "No objects to wait for specified." for an empty
/// list, "Wait operation timed out after %dms" on a timeout without wfTimeoutResult (which gives
/// -1), and "Wait operation failed" (OS-error form) when the wait fails. Any thread.
int WaitForObjects(const std::vector<THandle>& handles, bool waitAll, THandle setFirst,
                   std::uint8_t flags, std::uint32_t timeout);

/// WaitForObjects on one handle; false only when it timed out (with wfTimeoutResult).
bool WaitForObject(THandle handle, std::uint32_t timeout, std::uint8_t flags,
                   THandle setFirst = nullptr);

/// The length of one wait slice of wfDeadlockWarning (20000 ms); tests shorten it.
void SetWaitWarningSlice(std::uint32_t milliseconds);

/// Security attributes of a new object: with a null access list it is open to every local user.
struct TSecurityAttributes {
    bool inheritable = false;
    bool nullDacl = false;
};

/// The attributes (not inheritable) with a null access list, one instance per process.
const TSecurityAttributes* NullDaclSecurityAttributes();

/// "Global\" + name.
std::string MakeGlobalName(const std::string& name);

/// A critical section that spins (up to 1000 attempts, yielding) before it blocks.
class TFastMutex {
public:
    void Enter();
    void Leave();
    // Standard lockable names, for std::lock_guard.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::mutex mutex_;
};

/// A kernel mutex, named or unnamed, created not owned.
class TWinMutex {
public:
    /// Creates or opens the mutex; raises "Failed to create mutex object" or
    /// "Failed to create mutex object: '%s'" (OS-error form).
    TWinMutex(const TSecurityAttributes* attributes, const std::string& name);
    /// As above; with initiallyOwned a mutex this call creates is owned by the calling thread
    /// from the start (Owned() tells), while an existing one is only opened.
    TWinMutex(const TSecurityAttributes* attributes, const std::string& name, bool initiallyOwned);
    /// The handle stays valid until destruction; a mutex still owned is abandoned, not released.
    ~TWinMutex();
    TWinMutex(const TWinMutex&) = delete;
    TWinMutex& operator=(const TWinMutex&) = delete;

    /// WaitForObject on the mutex: true when acquired (or abandoned and taken).
    bool Acquire(std::uint32_t timeout, std::uint8_t flags);
    /// Releases one level; raises "Failed to release mutex object" when not owned.
    void Release();

    THandle Handle() const { return mutex_.get(); }
    /// True while the calling process's Acquire calls outnumber its releases.
    bool Owned() const { return owned_ > 0; }
    bool AlreadyExisted() const { return alreadyExisted_; }

    /// The state of the named mutex without acquiring it; NotFound when no such mutex exists.
    enum class TState { NotFound, Free, Owned, OwnedByCaller, Abandoned };
    static TState Query(const std::string& name);

private:
    std::unique_ptr<platform::Mutex> mutex_;
    int owned_ = 0;
    bool alreadyExisted_ = false;
};

/// A kernel event, named or unnamed, auto-reset or manual-reset.
class TWinEvent {
public:
    /// Creates or opens the event; raises "Failed to create event object" or
    /// "Failed to create event object: '%s'" (OS-error form).
    TWinEvent(const TSecurityAttributes* attributes, const std::string& name, bool manualReset,
              bool initiallySet);
    /// Opens an existing event; raises "Failed to open event '%s'" (OS-error form).
    TWinEvent(const std::string& name, bool inheritable);
    ~TWinEvent();
    TWinEvent(const TWinEvent&) = delete;
    TWinEvent& operator=(const TWinEvent&) = delete;

    /// Raises "Failed to set event object 0x0%x" on failure.
    void SetEvent();
    void ResetEvent();
    /// True when signalled, false on timeout; raises "Error waiting for event" on failure.
    bool WaitFor(std::uint32_t timeout);

    THandle Handle() const { return event_.get(); }
    bool AlreadyExisted() const { return alreadyExisted_; }

private:
    std::unique_ptr<platform::Event> event_;
    bool alreadyExisted_ = false;
};

/// A machine-wide thread identity.
using ThreadUid = std::uint32_t;

/// The calling thread's UID, allocated on first use. Raises "Failed to open/create session
/// data" (+ CR LF + inner message), "Failed to allocate thread UID mutex: %s" or "Failed to
/// perform initial lock on thread UID mutex: %s".
ThreadUid CurrentThreadUid();

/// True when the thread that owns the UID has ended (also for a UID never handed out); false for
/// the caller's own UID. A failed check is written to the diagnostic log and gives false.
bool IsThreadUidTerminated(ThreadUid uid);

/// A spinlock in memory shared between processes: two little-endian 32-bit words.
struct SpinLockRecord {
    std::uint32_t owner; ///< UID of the holder; 0 free; 0xFFFFFFFF resource corrupt
    std::uint32_t level; ///< recursion count of the holder
};
static_assert(sizeof(SpinLockRecord) == 8);

inline constexpr std::uint32_t kSpinLockCorrupt = 0xFFFFFFFF;

/// Spinlock flags.
inline constexpr std::uint32_t slCheckOwner = 1;      ///< SpinTryLock: look for a dead owner
inline constexpr std::uint32_t slAbandonWarning = 2;  ///< log a takeover from a dead owner
inline constexpr std::uint32_t slSleepAndCheck = 4;   ///< check every attempt, sleep 1 ms
inline constexpr std::uint32_t slDeadlockWarning = 8; ///< deadlock warnings with a timeout too

/// Results of SpinLock and SpinTryLock.
inline constexpr int kSpinNotTaken = 0;
inline constexpr int kSpinTakenOver = 1; ///< locked after taking over from a dead owner
inline constexpr int kSpinLocked = 2;
inline constexpr int kSpinTimedOut = 3;

/// One attempt; 0, 1 or 2. Raises the corrupt-resource and invalid-level messages.
int SpinTryLock(SpinLockRecord& record, std::uint32_t flags);
/// Locks within the timeout (ms or INFINITE); 1, 2 or 3.
int SpinLock(SpinLockRecord& record, std::uint32_t timeout, std::uint32_t flags);
/// Releases one level; raises the invalid-level and not-owned messages.
void SpinUnlock(SpinLockRecord& record);

/// The period of SpinLock's possible-deadlock warnings (10000 ms); tests shorten it.
void SetSpinLockWarningPeriod(std::uint32_t milliseconds);

/// Raises a clear error when the kernel lacks what the named objects need.
void CheckKernelObjectSupport();

/// Start-up of the named-object layer: removes leftovers of crashed processes and opens the
/// thread-UID scheme. A failure of the scheme is written to the diagnostic log ("FATAL ERROR:
/// Failed to initialize session: ") and start-up continues: a program that never needs a thread
/// UID still runs, and the first use of one opens the scheme again and raises the same clear
/// error ("Failed to open/create session data") when it still fails.
void InitializeNamedObjects();

} // namespace qz
