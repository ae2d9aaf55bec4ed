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
    /// mutex. Fails with EPROTOTYPE when the name belongs to another kind.
    static Result<std::unique_ptr<Mutex>> Create(std::string_view name, ObjectAccess access);
    /// As Create; with initiallyOwned a mutex that this call creates is owned by the calling
    /// thread before any other process can open it (OwnedAtCreation tells). An existing mutex is
    /// opened without taking it.
    static Result<std::unique_ptr<Mutex>> Create(std::string_view name, ObjectAccess access,
                                                 bool initiallyOwned);

    /// Opens an existing mutex; fails with ENOENT when there is none.
    static Result<std::unique_ptr<Mutex>> Open(std::string_view name);

    /// The state of a named mutex without acquiring it and without creating it; fails with
    /// ENOENT when no mutex of that name exists.
    static Result<MutexState> Query(std::string_view name);

    /// Releasing the handle of a mutex this process still holds keeps its memory mapped for the
    /// rest of the process, so that the kernel can still mark it abandoned.
    ~Mutex() override;

    /// Acquires the mutex (recursively for its owner) within the timeout.
    WaitResult Acquire(std::uint32_t timeoutMs);
    /// Releases one level; fails with EPERM when the calling thread does not own it.
    Result<> Release();
    /// The state without acquiring.
    MutexState State() const;

    bool AlreadyExisted() const;
    /// True when Create made the mutex already owned by the calling thread.
    bool OwnedAtCreation() const;

    Result<> Signal() override { return Release(); }

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
