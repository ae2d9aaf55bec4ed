#include "platform/WaitAny.h"

#include "Futex.h"

#include <atomic>
#include <cerrno>

namespace qz::platform {

namespace {

// Infinite waits sleep in slices, so that a setter killed between its store and its wake-up
// cannot leave a waiter asleep for good.
constexpr std::int64_t kSliceNs = 1000000000;

} // namespace

WaitResult Waitable::BlockingTake(std::uint32_t) {
    return {WaitStatus::Failed, -1, EINVAL};
}

namespace detail {

// The words of one sleep: up to 64 objects and the thread's cancel word, on the stack.
struct Entries {
    futex_waitv items[kMaxWaitObjects + 1];
    std::size_t size = 0;

    void Add(const futex_waitv& entry) { items[size++] = entry; }
    bool Empty() const { return size == 0; }
};

struct WaitEngine {
    static Waitable::Take TryTake(Waitable* object) { return object->TryTake(); }
    static bool IsReady(Waitable* object) { return object->IsReady(); }
    static void Untake(Waitable* object) { object->Untake(); }
    static std::uint32_t* Word(Waitable* object, bool& shared) { return object->Word(shared); }
    static std::uint32_t Stamp(Waitable* object) { return object->Stamp(); }
    static Waitable::Take TryTakeSince(Waitable* object, std::uint32_t stamp) {
        return object->TryTakeSince(stamp);
    }
    static bool IsDamaged(Waitable* object) { return object->IsDamaged(); }
    static WaitResult BlockingTake(Waitable* object, std::uint32_t timeoutMs) {
        return object->BlockingTake(timeoutMs);
    }

    // Sleeps until one of the words leaves its idle value, the slice ends or the deadline
    // passes. Returns 0 or an unexpected errno.
    static int Sleep(Entries& entries, std::int64_t deadline) {
        std::int64_t until = MonotonicNanoseconds() + kSliceNs;
        if (deadline >= 0 && deadline < until) {
            until = deadline;
        }
        timespec limit = ToTimespec(until);
        long rc = syscall(SYS_futex_waitv, entries.items, entries.size, 0, &limit, CLOCK_MONOTONIC);
        int error = rc < 0 ? errno : 0;
        if (rc >= 0 || error == EAGAIN || error == EINTR || error == ETIMEDOUT) {
            return 0;
        }
        return error;
    }

    static futex_waitv Entry(Waitable* object, std::uint32_t stamp) {
        bool shared = false;
        std::uint32_t idle = 0;
        std::uint32_t* word = object->SleepWord(stamp, shared, idle);
        futex_waitv entry{};
        entry.val = idle;
        entry.uaddr = reinterpret_cast<std::uintptr_t>(word);
        entry.flags = FUTEX_32 | (shared ? 0 : FUTEX_PRIVATE_FLAG);
        return entry;
    }

    // The calling thread's cancel word joins every sleep, so that a cancelled thread stops
    // waiting at once.
    static void AddCancelWord(Entries& entries) {
        futex_waitv entry{};
        entry.val = 0;
        entry.uaddr = reinterpret_cast<std::uintptr_t>(CurrentCancelWord());
        entry.flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
        entries.Add(entry);
    }

    static bool Cancelled() {
        return std::atomic_ref(*CurrentCancelWord()).load(std::memory_order_acquire) != 0;
    }

    static WaitResult WaitAnyOf(Waitable* const* objects, std::size_t count,
                                std::int64_t deadline) {
        Entries entries;
        std::uint32_t stamps[kMaxWaitObjects];
        for (std::size_t i = 0; i < count; ++i) {
            stamps[i] = Stamp(objects[i]);
        }
        for (;;) {
            if (Cancelled()) {
                return {WaitStatus::Failed, -1, ECANCELED};
            }
            for (std::size_t i = 0; i < count; ++i) {
                Waitable::Take take = TryTakeSince(objects[i], stamps[i]);
                if (take == Waitable::Take::Damaged) {
                    return {WaitStatus::Failed, static_cast<int>(i), EUCLEAN};
                }
                if (take != Waitable::Take::NotReady) {
                    return {take == Waitable::Take::Taken ? WaitStatus::Signaled
                                                          : WaitStatus::Abandoned,
                            static_cast<int>(i), 0};
                }
            }
            if (deadline >= 0 && MonotonicNanoseconds() >= deadline) {
                return {WaitStatus::TimedOut, -1, 0};
            }
            if (entries.Empty()) {
                // Built only when the first pass found nothing: a ready object costs no setup.
                for (std::size_t i = 0; i < count; ++i) {
                    entries.Add(Entry(objects[i], stamps[i]));
                }
                AddCancelWord(entries);
            }
            if (int rc = Sleep(entries, deadline)) {
                return {WaitStatus::Failed, -1, rc};
            }
        }
    }

    static WaitResult WaitAllOf(Waitable* const* objects, std::size_t count,
                                std::int64_t deadline) {
        Entries entries;
        for (;;) {
            if (Cancelled()) {
                return {WaitStatus::Failed, -1, ECANCELED};
            }
            entries.size = 0;
            for (std::size_t i = 0; i < count; ++i) {
                std::uint32_t stamp = Stamp(objects[i]); // before the look: no signal slips by
                if (IsDamaged(objects[i])) {
                    return {WaitStatus::Failed, static_cast<int>(i), EUCLEAN};
                }
                if (!IsReady(objects[i])) {
                    entries.Add(Entry(objects[i], stamp));
                }
            }
            if (entries.Empty()) {
                // All looked ready: take them in order, roll back when one was lost meanwhile.
                std::size_t taken = 0;
                int abandoned = -1;
                for (; taken < count; ++taken) {
                    Waitable::Take take = TryTake(objects[taken]);
                    if (take == Waitable::Take::NotReady || take == Waitable::Take::Damaged) {
                        break;
                    }
                    if (take == Waitable::Take::Abandoned && abandoned < 0) {
                        abandoned = static_cast<int>(taken);
                    }
                }
                if (taken == count) {
                    return abandoned >= 0 ? WaitResult{WaitStatus::Abandoned, abandoned, 0}
                                          : WaitResult{WaitStatus::Signaled, 0, 0};
                }
                while (taken > 0) {
                    Untake(objects[--taken]);
                }
                continue;
            }
            if (deadline >= 0 && MonotonicNanoseconds() >= deadline) {
                return {WaitStatus::TimedOut, -1, 0};
            }
            AddCancelWord(entries);
            if (int rc = Sleep(entries, deadline)) {
                return {WaitStatus::Failed, -1, rc};
            }
        }
    }
};

} // namespace detail

WaitResult WaitAny(Waitable* const* objects, std::size_t count, bool waitAll,
                   std::uint32_t timeoutMs) {
    if (count == 0 || count > kMaxWaitObjects) {
        return {WaitStatus::Failed, -1, EINVAL};
    }
    for (std::size_t i = 0; i < count; ++i) {
        bool shared = false;
        if (!objects[i]) {
            return {WaitStatus::Failed, -1, EBADF};
        }
        if (!detail::WaitEngine::Word(objects[i], shared)) {
            if (count != 1) {
                return {WaitStatus::Failed, -1, EINVAL};
            }
            return detail::WaitEngine::BlockingTake(objects[0], timeoutMs);
        }
    }
    std::int64_t deadline = -1;
    if (timeoutMs != kWaitInfinite) {
        deadline = detail::MonotonicNanoseconds() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    }
    if (waitAll && count > 1) {
        return detail::WaitEngine::WaitAllOf(objects, count, deadline);
    }
    return detail::WaitEngine::WaitAnyOf(objects, count, deadline);
}

WaitResult SignalAndWait(Waitable& toSignal, Waitable& toWait, std::uint32_t timeoutMs) {
    if (auto signalled = toSignal.Signal(); !signalled) {
        return {WaitStatus::Failed, -1, signalled.error().code};
    }
    Waitable* object = &toWait;
    return WaitAny(&object, 1, false, timeoutMs);
}

} // namespace qz::platform
