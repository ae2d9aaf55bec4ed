#include "NvObjects.h"

#include "DiagHooks.h"
#include "Exceptions.h"
#include "Format.h"
#include "platform/Clock.h"
#include "platform/NamedObjects.h"
#include "platform/NativeThread.h"
#include "platform/SystemError.h"
#include "platform/ThreadToken.h"

#include <atomic>
#include <cerrno>
#include <thread>

namespace qz {

namespace {

std::atomic<std::uint32_t> g_warningSlice{20000};
std::atomic<std::uint32_t> g_spinWarningPeriod{10000};

platform::ObjectAccess AccessOf(const TSecurityAttributes* attributes) {
    return attributes && attributes->nullDacl ? platform::ObjectAccess::Shared
                                              : platform::ObjectAccess::Private;
}

std::string StatusText(int code) {
    std::string name = platform::SystemErrorName(code);
    return name.empty() ? Format("STATUS 0x%.8X", static_cast<std::uint32_t>(code)) : name;
}

platform::WaitResult WaitOnce(const THandle* handles, std::size_t count, bool waitAll,
                              THandle setFirst, std::uint32_t timeout) {
    if (setFirst) {
        return platform::SignalAndWait(*setFirst, *handles[0], timeout);
    }
    return platform::WaitAny(handles, count, waitAll, timeout);
}

int WaitFor(const THandle* handles, std::size_t count, bool waitAll, THandle setFirst,
            std::uint8_t flags, std::uint32_t timeout) {
    if (count == 0) {
        Raise("No objects to wait for specified.");
    }
    if (setFirst) {
        QZ_ASSERT(count == 1);
    }
    const bool sliced = (flags & wfDeadlockWarning) && timeout == INFINITE;
    bool warned = false;
    platform::WaitResult result;
    for (;;) {
        result =
            WaitOnce(handles, count, waitAll, setFirst, sliced ? g_warningSlice.load() : timeout);
        if (result.status == platform::WaitStatus::TimedOut && sliced) {
            diag::LogWaitWarning("Wait State Warning (possible deadlock)");
            warned = true;
            setFirst = nullptr; // set once; later slices only wait
            continue;
        }
        break;
    }
    if (warned && (result.status == platform::WaitStatus::Signaled ||
                   result.status == platform::WaitStatus::Abandoned)) {
        diag::LogWaitWarning("Wait State Ended (deadlock condition avoided)");
    }
    switch (result.status) {
    case platform::WaitStatus::Signaled:
        return result.index;
    case platform::WaitStatus::Abandoned:
        if (flags & wfAbandonedWarning) {
            std::string text = "Wait State Warning (wait abandoned)";
            if (count > 1) {
                text += Format("\r\nAbandoned object index is %d", result.index);
            }
            diag::LogWaitWarning(text);
        }
        return result.index;
    case platform::WaitStatus::TimedOut:
        if (flags & wfTimeoutResult) {
            return -1;
        }
        Raise(Format("Wait operation timed out after %dms", timeout));
    case platform::WaitStatus::Failed:
        RaiseOsError("Wait operation failed", result.error);
    }
    RaiseOsError("Wait operation failed with an unknown error", result.error);
}

} // namespace

int WaitForObjects(const std::vector<THandle>& handles, bool waitAll, THandle setFirst,
                   std::uint8_t flags, std::uint32_t timeout) {
    return WaitFor(handles.data(), handles.size(), waitAll, setFirst, flags, timeout);
}

bool WaitForObject(THandle handle, std::uint32_t timeout, std::uint8_t flags, THandle setFirst) {
    return WaitFor(&handle, 1, false, setFirst, flags, timeout) != -1;
}

void SetWaitWarningSlice(std::uint32_t milliseconds) {
    g_warningSlice = milliseconds ? milliseconds : 20000;
}

void SetSpinLockWarningPeriod(std::uint32_t milliseconds) {
    g_spinWarningPeriod = milliseconds ? milliseconds : 10000;
}

const TSecurityAttributes* NullDaclSecurityAttributes() {
    static const TSecurityAttributes attributes{false, true};
    return &attributes;
}

std::string MakeGlobalName(const std::string& name) {
    return "Global\\" + name;
}

void TFastMutex::Enter() {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (mutex_.try_lock()) {
            return;
        }
        platform::YieldProcessor();
    }
    mutex_.lock();
}

void TFastMutex::Leave() {
    mutex_.unlock();
}

TWinMutex::TWinMutex(const TSecurityAttributes* attributes, const std::string& name)
    : TWinMutex(attributes, name, false) {}

TWinMutex::TWinMutex(const TSecurityAttributes* attributes, const std::string& name,
                     bool initiallyOwned) {
    auto mutex = platform::Mutex::Create(name, AccessOf(attributes), initiallyOwned);
    if (!mutex) {
        if (name.empty()) {
            RaiseOsError("Failed to create mutex object", mutex.error().code);
        }
        RaiseOsError(Format("Failed to create mutex object: '%s'", name), mutex.error().code);
    }
    mutex_ = std::move(*mutex);
    alreadyExisted_ = mutex_->AlreadyExisted();
    if (mutex_->OwnedAtCreation()) {
        owned_ = 1;
    }
}

TWinMutex::~TWinMutex() = default;

bool TWinMutex::Acquire(std::uint32_t timeout, std::uint8_t flags) {
    bool acquired = WaitForObject(mutex_.get(), timeout, flags);
    if (acquired) {
        ++owned_;
    }
    return acquired;
}

void TWinMutex::Release() {
    if (auto released = mutex_->Release(); !released) {
        RaiseOsError("Failed to release mutex object", released.error().code);
    }
    if (owned_ > 0) {
        --owned_;
    }
}

TWinMutex::TState TWinMutex::Query(const std::string& name) {
    auto state = platform::Mutex::Query(name);
    if (!state && state.error().code == ENOENT) {
        return TState::NotFound;
    }
    if (!state) {
        RaiseOsError(Format("Failed to query mutex: '%s'", name), state.error().code);
    }
    switch (*state) {
    case platform::MutexState::Free:
        return TState::Free;
    case platform::MutexState::Owned:
        return TState::Owned;
    case platform::MutexState::OwnedByCaller:
        return TState::OwnedByCaller;
    case platform::MutexState::Abandoned:
        return TState::Abandoned;
    }
    return TState::Free;
}

TWinEvent::TWinEvent(const TSecurityAttributes* attributes, const std::string& name,
                     bool manualReset, bool initiallySet) {
    auto event = platform::Event::Create(name, manualReset, initiallySet, AccessOf(attributes));
    if (!event) {
        if (name.empty()) {
            RaiseOsError("Failed to create event object", event.error().code);
        }
        RaiseOsError(Format("Failed to create event object: '%s'", name), event.error().code);
    }
    event_ = std::move(*event);
    alreadyExisted_ = event_->AlreadyExisted();
}

TWinEvent::TWinEvent(const std::string& name, bool /*inheritable: descriptors are not inherited*/) {
    auto event = platform::Event::Open(name);
    if (!event) {
        RaiseOsError(Format("Failed to open event '%s'", name), event.error().code);
    }
    event_ = std::move(*event);
    alreadyExisted_ = true;
}

TWinEvent::~TWinEvent() = default;

void TWinEvent::SetEvent() {
    if (auto set = event_->Set(); !set) {
        RaiseOsError(Format("Failed to set event object 0x0%x",
                            reinterpret_cast<std::uintptr_t>(event_.get())),
                     set.error().code);
    }
}

void TWinEvent::ResetEvent() {
    event_->Reset();
}

bool TWinEvent::WaitFor(std::uint32_t timeout) {
    THandle handle = event_.get();
    platform::WaitResult result = platform::WaitAny(&handle, 1, false, timeout);
    switch (result.status) {
    case platform::WaitStatus::Signaled:
    case platform::WaitStatus::Abandoned:
        return true;
    case platform::WaitStatus::TimedOut:
        return false;
    default:
        RaiseOsError("Error waiting for event", result.error);
    }
}

ThreadUid CurrentThreadUid() {
    platform::Result<std::uint32_t> uid = platform::CurrentThreadToken();
    if (uid) {
        return *uid;
    }
    const int rc = uid.error().code;
    if (uid.error().kind == platform::FailureKind::Exhausted) {
        throw EOSError(Format("Failed to allocate thread UID mutex: %s", StatusText(rc)), rc);
    }
    try {
        throw EOSError(Format("Failed to open/create session data: %s", StatusText(rc)), rc);
    } catch (...) {
        RaiseWithContext("Failed to open/create session data");
    }
}

bool IsThreadUidTerminated(ThreadUid uid) {
    platform::Result<bool> ended = platform::IsThreadTokenEnded(uid);
    if (!ended) {
        diag::LogText("Failed to check if session thread has terminated: Failed to open mutex: " +
                      StatusText(ended.error().code));
        return false;
    }
    return *ended;
}

namespace {

std::atomic_ref<std::uint32_t> Owner(SpinLockRecord& record) {
    return std::atomic_ref(record.owner);
}

// Only the owner writes the level; other threads read it only for messages.
std::int32_t Level(SpinLockRecord& record) {
    return static_cast<std::int32_t>(std::atomic_ref(record.level).load(std::memory_order_relaxed));
}

void SetLevel(SpinLockRecord& record, std::int32_t level) {
    std::atomic_ref(record.level)
        .store(static_cast<std::uint32_t>(level), std::memory_order_relaxed);
}

std::string DeadlockReport(SpinLockRecord& record, ThreadUid me) {
    std::uint32_t tid = platform::CurrentThreadId();
    std::string name = diag::ThreadName(tid);
    std::string thread = name.empty() ? Format("%u", tid) : Format("%u (%s)", tid, name);
    return Format("\r\nPID=%u   TID=%s   Build=%s\r\n\r\n", platform::CurrentProcessId(), thread,
                  diag::BuildNumber()) +
           Format("Lock Level:%d\r\nLocking Thread ID:%u\r\nAttempted lock thread ID:%u\r\n",
                  Level(record), Owner(record).load(), me) +
           "Attempted lock call trace:\r\n" + diag::CallTrace();
}

} // namespace

int SpinTryLock(SpinLockRecord& record, std::uint32_t flags) {
    const ThreadUid me = CurrentThreadUid();
    std::uint32_t old = 0;
    Owner(record).compare_exchange_strong(old, me, std::memory_order_acquire);
    if (old == kSpinLockCorrupt) {
        Raise("Spinlock: Failed to lock, resource marked as corrupt.");
    }
    if (old == 0) {
        if (std::int32_t level = Level(record); level != 0) {
            Raise(Format("Spinlock: Invalid lock level (%d) while locking.", level));
        }
        SetLevel(record, 1);
        return kSpinLocked;
    }
    if (old == me) {
        std::int32_t level = Level(record);
        if (level <= 0) {
            Raise(Format("Spinlock: Invalid lock level (%d) while re-locking.", level));
        }
        SetLevel(record, level + 1);
        return kSpinLocked;
    }
    if (!(flags & slCheckOwner)) {
        return kSpinNotTaken;
    }
    std::uint32_t dead = old;
    if (IsThreadUidTerminated(old) &&
        Owner(record).compare_exchange_strong(dead, me, std::memory_order_acquire)) {
        if (flags & slAbandonWarning) {
            diag::LogSection("Abandoned Spinlock Warning",
                             "Current lock call trace:\r\n" + diag::CallTrace());
        }
        SetLevel(record, 1);
        return kSpinTakenOver;
    }
    return kSpinNotTaken;
}

int SpinLock(SpinLockRecord& record, std::uint32_t timeout, std::uint32_t flags) {
    if (int result = SpinTryLock(record, flags & ~slCheckOwner)) {
        return result;
    }
    const std::uint32_t start = platform::TickCount();
    std::uint32_t lastWarning = start;
    bool warned = false;
    std::uint8_t attempt = 1;
    int result = kSpinNotTaken;
    for (;;) {
        // A dead-owner check opens shared state; do it only every 256th attempt unless the
        // caller sleeps between attempts anyway.
        bool check = (flags & slSleepAndCheck) || attempt == 0;
        ++attempt;
        result = SpinTryLock(record, check ? flags | slCheckOwner : flags & ~slCheckOwner);
        if (result != kSpinNotTaken) {
            break;
        }
        if (flags & slSleepAndCheck) {
            platform::SleepMilliseconds(1);
        } else {
            platform::YieldProcessor();
        }
        std::uint32_t now = platform::TickCount();
        if ((timeout == INFINITE || (flags & slDeadlockWarning)) &&
            static_cast<std::int32_t>(now - lastWarning) >=
                static_cast<std::int32_t>(g_spinWarningPeriod.load())) {
            diag::LogSection("Spinlock - Possible Deadlock",
                             DeadlockReport(record, CurrentThreadUid()));
            lastWarning = now;
            warned = true;
        }
        if (timeout != INFINITE && now - start > timeout) {
            result = kSpinTimedOut;
            break;
        }
    }
    if (warned) {
        diag::LogSection("Spinlock - Deadlock Avoided", result == kSpinTakenOver ? "Lock abandoned"
                                                        : result == kSpinLocked  ? "Locked"
                                                                                 : "Timed out");
    }
    return result;
}

void SpinUnlock(SpinLockRecord& record) {
    const ThreadUid me = CurrentThreadUid();
    std::uint32_t owner = Owner(record).load(std::memory_order_relaxed);
    std::int32_t level = Level(record);
    // Check the owner before touching the level: a stray unlock by another thread must not
    // lower the holder's count.
    if (owner != me) {
        Raise(Format("Spinlock: Failed to unlock, not owned by current thread (current thread "
                     "is %d, locking thread is %d, lock level is %d)",
                     me, owner, level));
    }
    --level;
    if (level < 0) {
        Raise(Format("Spinlock: Invalid lock level (%d) while unlocking.", level));
    }
    SetLevel(record, level);
    if (level > 0) {
        return;
    }
    std::uint32_t expected = me;
    if (!Owner(record).compare_exchange_strong(expected, 0, std::memory_order_release)) {
        Raise(Format("Spinlock: Failed to unlock, not owned by current thread (current thread "
                     "is %d, locking thread is %d, lock level is %d)",
                     me, expected, level));
    }
}

void CheckKernelObjectSupport() {
    std::string missing = platform::ProbeKernelObjectSupport();
    if (!missing.empty()) {
        Raise("Named kernel objects are not available: " + missing);
    }
}

void InitializeNamedObjects() {
    platform::SweepObjectLeftovers();
    try {
        if (platform::Result<> opened = platform::OpenThreadTokens(); !opened) {
            const int rc = opened.error().code;
            try {
                throw EOSError(Format("Failed to open/create session data: %s", StatusText(rc)),
                               rc);
            } catch (...) {
                RaiseWithContext("Failed to open/create session data");
            }
        }
    } catch (const Exception& e) {
        diag::LogText("FATAL ERROR: Failed to initialize session: " + e.Message());
    }
}

} // namespace qz
