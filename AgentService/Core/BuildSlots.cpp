#include "BuildSlots.h"

#include "CM/DiagLog.h"
#include "CM/Exceptions.h"

#include <algorithm>

namespace qz::agent {

TBuildSlotTable::TBuildSlotTable(TMutexProbe probe, TTickSource ticks)
    : probe_(std::move(probe)), ticks_(std::move(ticks)) {
    if (!probe_) {
        probe_ = [](const std::string& name) { return TWinMutex::Query(name); };
    }
    if (!ticks_) {
        ticks_ = [] { return GetTickCount(); };
    }
}

int TBuildSlotTable::Request(const TSlotLimits& limits, const TSlotRequest& request, TGuid& id) {
    Sweep();
    if (limits.updatePending) {
        return srUpdatePending;
    }
    if (limits.onlineProcessors < limits.minCoresPerBuild) {
        return srNotEnoughCores;
    }
    if (static_cast<int>(slots_.size()) >= std::max(limits.maxConcurrentBuilds, 0)) {
        return srMaxBuildsReached;
    }
    auto slot = std::make_unique<TBuildSlot>();
    slot->id = NewGuid();
    slot->displayName = request.displayName;
    slot->senderSession = request.senderSession;
    slot->console = request.console;
    slot->startTime = Now();
    slot->startTick = ticks_();
    // Created now, so that the build-system process finds it from its first moment on.
    slot->stopEvent = std::make_unique<TWinEvent>(NullDaclSecurityAttributes(),
                                                  StopEventName(slot->id), true, false);
    id = slot->id;
    slots_.push_back(std::move(slot));
    return srGranted;
}

int TBuildSlotTable::Sweep() {
    const std::uint32_t now = ticks_();
    auto end = std::remove_if(slots_.begin(), slots_.end(), [&](std::unique_ptr<TBuildSlot>& slot) {
        if (!Expired(*slot, now)) {
            return false;
        }
        LogLine("Build slot released: " + GuidToText(slot->id), 0);
        if (onReleased) {
            onReleased(*slot);
        }
        return true;
    });
    int dropped = static_cast<int>(slots_.end() - end);
    slots_.erase(end, slots_.end());
    return dropped;
}

bool TBuildSlotTable::Expired(TBuildSlot& slot, std::uint32_t now) {
    TWinMutex::TState state = BuildMutexState(slot);
    if (state == TWinMutex::TState::Owned || state == TWinMutex::TState::OwnedByCaller) {
        slot.buildSystemSeen = true;
        return false;
    }
    if (slot.buildSystemSeen) {
        return true; // released, abandoned, or its last holder closed it
    }
    TConsoleState console = slot.console ? slot.console->State() : TConsoleState::Ended;
    if (console == TConsoleState::Connected) {
        slot.consoleGone = false;
        return false;
    }
    if (console == TConsoleState::Closed) {
        // The build started and is over (a build shorter than a sweep is never seen owned), or
        // it was given up: no build-system process of it runs.
        return true;
    }
    if (!slot.consoleGone) {
        slot.consoleGone = true;
        slot.consoleGoneTick = now;
    }
    return TickDifference(now, slot.consoleGoneTick) >=
           static_cast<std::int32_t>(kEndedConsoleGrace);
}

TWinMutex::TState TBuildSlotTable::BuildMutexState(const TBuildSlot& slot) {
    std::vector<std::string> names{BuildMutexName(slot.id, -2)};
    if (slot.senderSession >= 0) {
        names.push_back(BuildMutexName(slot.id, slot.senderSession));
    }
    TWinMutex::TState result = TWinMutex::TState::NotFound;
    for (const std::string& name : names) {
        TWinMutex::TState state = TWinMutex::TState::NotFound;
        try {
            state = probe_(name);
        } catch (const std::exception& e) {
            // A name another user took over tells nothing about the build.
            LogWarning(std::string("Cannot query build mutex: ") + e.what());
        }
        if (state == TWinMutex::TState::Owned || state == TWinMutex::TState::OwnedByCaller) {
            return state;
        }
        if (state != TWinMutex::TState::NotFound) {
            result = state;
        }
    }
    return result;
}

std::optional<TGuid> TBuildSlotTable::Stop(const TGuid& id) {
    TBuildSlot* slot = nullptr;
    if (IsNullGuid(id)) {
        if (slots_.size() != 1) {
            return std::nullopt;
        }
        slot = slots_.front().get();
    } else {
        slot = Find(id);
    }
    if (slot == nullptr) {
        return std::nullopt;
    }
    slot->stopRequested = true;
    slot->stopEvent->SetEvent();
    LogLine("Build told to stop: " + GuidToText(slot->id), 0);
    return slot->id;
}

TBuildSlot* TBuildSlotTable::Find(const TGuid& id) {
    for (auto& slot : slots_) {
        if (slot->id == id) {
            return slot.get();
        }
    }
    return nullptr;
}

std::string TBuildSlotTable::BuildMutexName(const TGuid& id, std::int32_t session) {
    std::string base = "TamrelBuildMutex_" + GuidToText(id);
    if (session >= 0) {
        return "Session\\" + std::to_string(session) + "\\" + base;
    }
    return "Global\\" + base;
}

std::string TBuildSlotTable::StopEventName(const TGuid& id) {
    return "Global\\Orvane_Build_" + GuidToText(id) + "_StopEvent";
}

} // namespace qz::agent
