#pragma once

// Recursive mutexes, named (shared between processes) or unnamed, that survive the death of
// their owner: when the owning thread or process ends without releasing, the next acquirer gets
// the mutex with the status Abandoned, and a query sees the abandoned state without acquiring.

#include "platform/NamedObjects.h"
#include "platform/WaitAny.h"

#include <atomic>
#include <memory>
#include <string_view>

namespace qz::platform {

enum class MutexState {
    Free,
    Owned,         ///< held by another thread
    OwnedByCaller, ///< held by the calling thread
    Abandoned,     ///< its owner ended while holding it; nobody has taken it since
};

class Mutex : public Waitable {
public:
    /// Opens the mutex of that name or creates it, not owned; an empty name makes an unnamed
    /// mutex. 0 or the system error code (EPROTOTYPE: the name belongs to another kind).
    static int Create(std::string_view name, ObjectAccess access, std::unique_ptr<Mutex>& out);
    /// As Create; with initiallyOwned a mutex that this call creates is owned by the calling
    /// thread before any other process can open it (OwnedAtCreation tells). An existing mutex is
    /// opened without taking it.
    static int Create(std::string_view name, ObjectAccess access, bool initiallyOwned,
                      std::unique_ptr<Mutex>& out);

    /// Opens an existing mutex; ENOENT when there is none.
    static int Open(std::string_view name, std::unique_ptr<Mutex>& out);

    /// The state of a named mutex without acquiring it and without creating it; ENOENT when no
    /// mutex of that name exists.
    static int Query(std::string_view name, MutexState& state);

    /// Releasing the handle of a mutex this process still holds keeps its memory mapped for the
    /// rest of the process, so that the kernel can still mark it abandoned.
    ~Mutex() override;

    /// Acquires the mutex (recursively for its owner) within the timeout.
    WaitResult Acquire(std::uint32_t timeoutMs);
    /// Releases one level; EPERM when the calling thread does not own it.
    int Release();
    /// The state without acquiring.
    MutexState State() const;

    bool AlreadyExisted() const;
    /// True when Create made the mutex already owned by the calling thread.
    bool OwnedAtCreation() const;

    int Signal() override { return Release(); }

protected:
    Take TryTake() override;
    bool IsReady() const override;
    std::uint32_t* Word(bool& shared) override;
    WaitResult BlockingTake(std::uint32_t timeoutMs) override;

private:
    struct Impl;
    explicit Mutex(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::platform
