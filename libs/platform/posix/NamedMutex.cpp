#include "platform/NamedMutex.h"

#include "Futex.h"
#include "ObjectFile.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>

namespace qz::platform {

namespace {

// Layout of a mutex file: magic "TKMX", version, kind at 0..7, reserved to 63, then a robust,
// process-shared, recursive pthread mutex at 64. Its first word is the kernel's robust-futex
// word: owner TID | 0x80000000 (waiters) | 0x40000000 (owner died).
struct MutexBlock {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t kind;
    std::uint8_t reserved[56];
    pthread_mutex_t mutex;
};
static_assert(sizeof(pthread_mutex_t) == 40, "the lock word query assumes glibc's layout");
static_assert(offsetof(MutexBlock, mutex) == 64);

using detail::kMutexMagic;
constexpr std::uint16_t kMutexVersion = 1;
constexpr std::uint32_t kOwnerDied = 0x40000000;
constexpr std::uint32_t kTidMask = 0x3FFFFFFF;

void InitMutex(pthread_mutex_t* mutex, bool shared) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&attr, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void InitBlock(MutexBlock* block, bool shared) {
    block->version = kMutexVersion;
    block->kind = 1;
    InitMutex(&block->mutex, shared);
    std::atomic_ref(block->magic).store(kMutexMagic, std::memory_order_release);
}

// glibc's type field of a robust, process-shared, recursive mutex, as our own initialisation
// writes it. A file another user can write may hold any other value, which would change how
// glibc treats the lock (no longer robust, say).
int ExpectedKind() {
    static const int kind = [] {
        pthread_mutex_t mutex;
        InitMutex(&mutex, true);
        int value = mutex.__data.__kind;
        pthread_mutex_destroy(&mutex);
        return value;
    }();
    return kind;
}

bool KindIntact(pthread_mutex_t* mutex) {
    return std::atomic_ref(mutex->__data.__kind).load(std::memory_order_relaxed) == ExpectedKind();
}

int CheckBlock(const void* view, std::size_t size) {
    if (size < sizeof(MutexBlock)) {
        return EPROTOTYPE;
    }
    auto* block = static_cast<MutexBlock*>(const_cast<void*>(view));
    if (std::atomic_ref(block->magic).load(std::memory_order_acquire) != kMutexMagic ||
        block->version != kMutexVersion || block->kind != 1) {
        return EPROTOTYPE;
    }
    return KindIntact(&block->mutex) ? 0 : EUCLEAN;
}

// The lock word sits at the start of glibc's pthread_mutex_t; check once that it holds the
// owner's TID as the kernel's robust-futex protocol says.
bool LockWordReadable() {
    static const bool readable = [] {
        pthread_mutex_t mutex;
        InitMutex(&mutex, true);
        auto word = [&] {
            return std::atomic_ref(*reinterpret_cast<std::uint32_t*>(&mutex)).load();
        };
        pthread_mutex_lock(&mutex);
        bool ok = (word() & kTidMask) == static_cast<std::uint32_t>(gettid());
        pthread_mutex_unlock(&mutex);
        ok = ok && word() == 0;
        pthread_mutex_destroy(&mutex);
        return ok;
    }();
    return readable;
}

MutexState StateOf(pthread_mutex_t* mutex) {
    std::uint32_t word =
        std::atomic_ref(*reinterpret_cast<std::uint32_t*>(mutex)).load(std::memory_order_acquire);
    if (word & kOwnerDied) {
        return MutexState::Abandoned;
    }
    std::uint32_t tid = word & kTidMask;
    if (tid == 0) {
        return MutexState::Free;
    }
    return tid == static_cast<std::uint32_t>(gettid()) ? MutexState::OwnedByCaller
                                                       : MutexState::Owned;
}

} // namespace

struct Mutex::Impl {
    detail::ObjectFile file;
    std::unique_ptr<MutexBlock> privateBlock;
    MutexBlock* block = nullptr;
    std::atomic<int> lockedHere{0}; // acquisitions through this handle's mapping not yet released
    bool ownedAtCreation = false;

    ~Impl() {
        // Only the mapping a lock was taken through is on its owner's robust list; a handle that
        // never acquired (a query) unmaps as usual.
        if (lockedHere.load() > 0 && HeldByLiveThreadOfThisProcess()) {
            // Never unmap a held robust mutex: its owner's robust list points into it, and the
            // kernel must still be able to mark it abandoned when the owner ends.
            file.Abandon();
            (void)privateBlock.release();
        }
    }

    bool HeldByLiveThreadOfThisProcess() const {
        if (!block) {
            return false;
        }
        std::uint32_t word = std::atomic_ref(*reinterpret_cast<std::uint32_t*>(&block->mutex))
                                 .load(std::memory_order_acquire);
        std::uint32_t tid = word & kTidMask;
        return tid != 0 && !(word & kOwnerDied) &&
               syscall(SYS_tgkill, getpid(), static_cast<pid_t>(tid), 0) == 0;
    }
};

Result<std::unique_ptr<Mutex>> Mutex::Create(std::string_view name, ObjectAccess access) {
    return Create(name, access, false);
}

Result<std::unique_ptr<Mutex>> Mutex::Create(std::string_view name, ObjectAccess access,
                                             bool initiallyOwned) {
    auto impl = std::make_unique<Impl>();
    if (name.empty()) {
        impl->privateBlock = std::make_unique<MutexBlock>();
        impl->block = impl->privateBlock.get();
        InitBlock(impl->block, false);
        if (initiallyOwned) {
            pthread_mutex_lock(&impl->block->mutex);
            impl->ownedAtCreation = true;
            impl->lockedHere.fetch_add(1);
        }
    } else {
        detail::ObjectRequest request;
        request.name = name;
        request.size = detail::kMutexFileSize;
        request.access = access;
        Impl* state = impl.get();
        request.init = [initiallyOwned, state](void* view, std::size_t) {
            auto* block = static_cast<MutexBlock*>(view);
            InitBlock(block, true);
            // Locked before the name is published: nobody can take it first.
            if (initiallyOwned) {
                state->ownedAtCreation = pthread_mutex_lock(&block->mutex) == 0;
                if (state->ownedAtCreation) {
                    state->lockedHere.fetch_add(1);
                }
            }
        };
        request.discard = [state](void* view, std::size_t) {
            // Never unmap a held robust mutex: unlock the unpublished one first.
            if (state->ownedAtCreation) {
                pthread_mutex_unlock(&static_cast<MutexBlock*>(view)->mutex);
                state->ownedAtCreation = false;
                state->lockedHere.fetch_sub(1);
            }
        };
        request.check = CheckBlock;
        if (int rc = detail::OpenObject(request, impl->file)) {
            return Fail(rc, "mutex " + std::string(name));
        }
        impl->block = static_cast<MutexBlock*>(impl->file.view);
    }
    return std::unique_ptr<Mutex>(new Mutex(std::move(impl)));
}

Result<std::unique_ptr<Mutex>> Mutex::Open(std::string_view name) {
    if (name.empty()) {
        return Fail(EINVAL, "mutex without a name");
    }
    auto impl = std::make_unique<Impl>();
    detail::ObjectRequest request;
    request.name = name;
    request.size = sizeof(MutexBlock);
    request.create = false;
    request.check = CheckBlock;
    if (int rc = detail::OpenObject(request, impl->file)) {
        return Fail(rc, "mutex " + std::string(name));
    }
    impl->block = static_cast<MutexBlock*>(impl->file.view);
    return std::unique_ptr<Mutex>(new Mutex(std::move(impl)));
}

Result<MutexState> Mutex::Query(std::string_view name) {
    if (!LockWordReadable()) {
        return Fail(ENOTSUP, "mutex state");
    }
    auto mutex = Open(name);
    if (!mutex) {
        return tl::unexpected(std::move(mutex.error()));
    }
    return (*mutex)->State();
}

Mutex::Mutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Mutex::~Mutex() = default;

WaitResult Mutex::Acquire(std::uint32_t timeoutMs) {
    pthread_mutex_t* mutex = &impl_->block->mutex;
    if (!KindIntact(mutex)) {
        return {WaitStatus::Failed, -1, EUCLEAN};
    }
    int rc;
    if (timeoutMs == 0) {
        rc = pthread_mutex_trylock(mutex);
    } else {
        // Sleep in slices so that a cancelled thread (NativeThread::Cancel) stops waiting.
        const std::int64_t deadline =
            timeoutMs == kWaitInfinite
                ? -1
                : detail::MonotonicNanoseconds() + static_cast<std::int64_t>(timeoutMs) * 1000000;
        for (;;) {
            if (std::atomic_ref(*detail::CurrentCancelWord()).load() != 0) {
                return {WaitStatus::Failed, -1, ECANCELED};
            }
            std::int64_t until = detail::MonotonicNanoseconds() + 1000000000;
            if (deadline >= 0 && deadline < until) {
                until = deadline;
            }
            timespec limit = detail::ToTimespec(until);
            rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &limit);
            if (rc != ETIMEDOUT || (deadline >= 0 && until == deadline)) {
                break;
            }
        }
    }
    switch (rc) {
    case 0:
        impl_->lockedHere.fetch_add(1);
        return {WaitStatus::Signaled, 0, 0};
    case EOWNERDEAD:
        // Mark it usable again at once: unlocking an inconsistent mutex poisons it for good.
        pthread_mutex_consistent(mutex);
        impl_->lockedHere.fetch_add(1);
        return {WaitStatus::Abandoned, 0, 0};
    case EBUSY:
    case ETIMEDOUT:
        return {WaitStatus::TimedOut, -1, 0};
    default:
        return {WaitStatus::Failed, -1, rc};
    }
}

Result<> Mutex::Release() {
    if (!KindIntact(&impl_->block->mutex)) {
        return Fail(EUCLEAN, "release");
    }
    if (int rc = pthread_mutex_unlock(&impl_->block->mutex)) {
        return Fail(rc, "release");
    }
    impl_->lockedHere.fetch_sub(1);
    return {};
}

MutexState Mutex::State() const {
    return StateOf(&impl_->block->mutex);
}

bool Mutex::AlreadyExisted() const {
    return impl_->file.existed;
}

bool Mutex::OwnedAtCreation() const {
    return impl_->ownedAtCreation;
}

Waitable::Take Mutex::TryTake() {
    WaitResult result = Acquire(0);
    if (result.status == WaitStatus::Signaled) {
        return Take::Taken;
    }
    return result.status == WaitStatus::Abandoned ? Take::Abandoned : Take::NotReady;
}

bool Mutex::IsReady() const {
    return State() != MutexState::Owned;
}

std::uint32_t* Mutex::Word(bool&) {
    return nullptr;
}

WaitResult Mutex::BlockingTake(std::uint32_t timeoutMs) {
    return Acquire(timeoutMs);
}

} // namespace qz::platform
