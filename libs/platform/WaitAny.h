#pragma once

// Waiting for kernel objects: events, mutexes and processes are Waitable; WaitAny blocks until
// one of up to 64 of them is signalled (or all, with waitAll), with a timeout in milliseconds.

#include "platform/Result.h"

#include <cstddef>
#include <cstdint>

namespace qz::platform {

inline constexpr std::uint32_t kWaitInfinite = 0xFFFFFFFF;
inline constexpr std::size_t kMaxWaitObjects = 64;

enum class WaitStatus {
    Signaled,  ///< the object at index was signalled (and taken, for auto-reset events)
    Abandoned, ///< the mutex at index was taken after its owner died without releasing it
    TimedOut,
    Failed, ///< error holds the system error code
};

struct WaitResult {
    WaitStatus status = WaitStatus::Failed;
    int index = -1;
    int error = 0;
};

namespace detail {
struct WaitEngine;
}

/// Something a thread can wait for. Objects are used from any thread; a Waitable must outlive
/// every wait that names it.
class Waitable {
public:
    virtual ~Waitable() = default;

    /// Signals the object: sets an event, releases a mutex. Fails with EPERM for objects that
    /// cannot be signalled (processes) or a mutex the caller does not own.
    virtual Result<> Signal() = 0;

protected:
    friend struct detail::WaitEngine;

    enum class Take {
        NotReady,
        Taken,
        Abandoned,
        Damaged, ///< the object's shared state holds a value no object of ours writes
    };

    /// Takes the object without blocking when it is signalled.
    virtual Take TryTake() = 0;
    /// Whether TryTake would succeed now (it may still lose a race).
    virtual bool IsReady() const = 0;
    /// Gives back a Taken result (wait-all rolls back a partial take).
    virtual void Untake() {}
    /// The 32-bit futex word a waiter sleeps on while it holds IdleValue, and whether the word is
    /// shared between processes; null when the object can only be waited on alone (BlockingTake).
    virtual std::uint32_t* Word(bool& shared) = 0;
    virtual std::uint32_t IdleValue() const { return 0; }
    /// Waits for an object without a futex word (a mutex), alone.
    virtual WaitResult BlockingTake(std::uint32_t timeoutMs);
    /// A stamp read when a wait begins, before the first TryTakeSince: an object that can be
    /// signalled and cleared again while a waiter sleeps (a manual-reset event) counts its signals,
    /// so that the waiter still sees the signal it slept through.
    virtual std::uint32_t Stamp() const { return 0; }
    /// TryTake for a wait that began at stamp.
    virtual Take TryTakeSince(std::uint32_t) { return TryTake(); }
    /// The word a wait that began at stamp sleeps on, and the value it holds while nothing
    /// happened. By default Word and IdleValue.
    virtual std::uint32_t* SleepWord(std::uint32_t, bool& shared, std::uint32_t& idle) {
        idle = IdleValue();
        return Word(shared);
    }
    /// Whether the shared state is damaged (the wait then fails instead of sleeping).
    virtual bool IsDamaged() const { return false; }
};

/// Waits until one object is signalled (the lowest signalled index wins) or, with waitAll, until
/// all are signalled at once (index 0). count must be 1..64. Objects without a futex word
/// (mutexes) can only be waited on alone; otherwise the result is Failed with EINVAL.
WaitResult WaitAny(Waitable* const* objects, std::size_t count, bool waitAll,
                   std::uint32_t timeoutMs);

/// Signals one object and then waits for another. No wake-up is lost between the two: events
/// keep their state and the kernel re-checks the waited word when it queues the waiter.
WaitResult SignalAndWait(Waitable& toSignal, Waitable& toWait, std::uint32_t timeoutMs);

} // namespace qz::platform
