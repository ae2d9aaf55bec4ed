#pragma once

// Auto-reset and manual-reset events, named (shared between processes) or unnamed (inside the
// process). An auto-reset event releases one waiter per Set and resets itself; a manual-reset
// event stays set until Reset and releases every waiter, also every waiter that was asleep when
// Set ran and that wakes up only after a Reset that followed at once.

#include "platform/NamedObjects.h"
#include "platform/WaitAny.h"

#include <memory>
#include <string_view>

namespace qz::platform {

class Event : public Waitable {
public:
    /// Opens the event of that name or creates it (manualReset and initiallySet apply only to a
    /// new one); an empty name makes an unnamed event. Fails with EPROTOTYPE when the name
    /// belongs to another kind of object.
    static Result<std::unique_ptr<Event>> Create(std::string_view name, bool manualReset,
                                                 bool initiallySet, ObjectAccess access);

    /// Opens an existing event; fails with ENOENT when there is none.
    static Result<std::unique_ptr<Event>> Open(std::string_view name);

    ~Event() override;

    /// Sets the event and wakes its waiters.
    Result<> Set();
    /// Clears the event.
    Result<> Reset();
    /// True when the event is set (without taking it).
    bool IsSet() const;

    bool IsManualReset() const;
    /// True when the name was in use when this object opened it.
    bool AlreadyExisted() const;

    Result<> Signal() override { return Set(); }

protected:
    Take TryTake() override;
    bool IsReady() const override;
    void Untake() override;
    std::uint32_t* Word(bool& shared) override;
    std::uint32_t Stamp() const override;
    Take TryTakeSince(std::uint32_t stamp) override;
    std::uint32_t* SleepWord(std::uint32_t stamp, bool& shared, std::uint32_t& idle) override;
    bool IsDamaged() const override;

private:
    struct Impl;
    explicit Event(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::platform
