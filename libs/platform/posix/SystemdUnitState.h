#pragma once

// How systemd's unit states read as service states. Internal to this folder, not part of the
// OS-neutral interface; the tests check the table without a running systemd.

#include "platform/ServiceControl.h"

#include <string_view>

namespace qz::platform::detail {

/// The state of a unit from its LoadState, ActiveState and FreezerState properties (an empty
/// FreezerState: a systemd without freezing). A unit systemd cannot find is not installed; a
/// frozen unit is paused and the freezing and thawing transitions are the pause and continue
/// transitions; "activating" and "deactivating" are the start and stop transitions, "failed"
/// and "inactive" stopped, "active" and "reloading" running; anything else is unknown.
inline ServiceState MapUnitState(std::string_view loadState, std::string_view activeState,
                                 std::string_view freezerState) {
    if (loadState == "not-found") {
        return ServiceState::NotInstalled;
    }
    if (activeState == "active" || activeState == "reloading") {
        if (freezerState == "frozen") {
            return ServiceState::Paused;
        }
        if (freezerState == "freezing") {
            return ServiceState::PausePending;
        }
        if (freezerState == "thawing") {
            return ServiceState::ContinuePending;
        }
        return ServiceState::Running;
    }
    if (activeState == "inactive" || activeState == "failed") {
        return ServiceState::Stopped;
    }
    if (activeState == "activating") {
        return ServiceState::StartPending;
    }
    if (activeState == "deactivating") {
        return ServiceState::StopPending;
    }
    return ServiceState::Unknown;
}

/// The state a supervised service's pid file tells on its second line, for a service that
/// holds the file ("" and "running": running); Unknown for any other word.
inline ServiceState MapPidFileState(std::string_view word) {
    if (word.empty() || word == "running") {
        return ServiceState::Running;
    }
    if (word == "starting") {
        return ServiceState::StartPending;
    }
    if (word == "stopping") {
        return ServiceState::StopPending;
    }
    if (word == "pausing") {
        return ServiceState::PausePending;
    }
    if (word == "paused") {
        return ServiceState::Paused;
    }
    if (word == "continuing") {
        return ServiceState::ContinuePending;
    }
    return ServiceState::Unknown;
}

} // namespace qz::platform::detail
