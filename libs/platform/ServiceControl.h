#pragma once

// The state of a named system service, and starting and stopping it.
//
// A service name is the one the product uses ("Orvane BuildCache"). Two supervisors can answer
// for it, asked in this order:
//  1. The project's own supervision: a key "SOFTWARE\Tamrel\Services\<unit>" in the machine
//     settings store (HKEY_LOCAL_MACHINE) with the text value "PidFile" (the service's pid file)
//     and, optionally, "Start" (a command line, run by /bin/sh, that starts the service). The
//     service holds a process-owned write lock (fcntl F_SETLK, the whole file) on its pid file
//     for as long as it lives, and writes its pid on the first line; an optional second line
//     tells a transition ("starting", "stopping", "pausing", "paused", "continuing"; "running"
//     or nothing: running). The kernel names the lock's holder, so a file nobody holds (the
//     leftover of a dead service) is stopped, a holder that has not yet written its own pid is
//     starting, and a reused pid never reads as the service. Stopping sends SIGTERM to the
//     holder.
//  2. systemd, over its D-Bus interface on the system bus: the unit ServiceUnitName(name). A
//     machine without a system bus (a container, a CI runner) has the service not installed.
//
// The query needs only read access to either. Starting and stopping return as soon as the
// request is made; callers that need the end state poll QueryServiceState. Nothing here raises.
//
// A start or stop that fails returns the system error code (errno) with a context that is a
// whole message for the user: it already says why, in words, so it is shown as it is rather
// than through Failure::Text.

#include "platform/Result.h"

#include <string>

namespace qz::platform {

/// The nine states a service can be in, in the order of their numeric values.
enum class ServiceState {
    Unknown,      ///< any other state, or the supervisor's answer could not be read
    NotInstalled, ///< no supervisor knows the service
    Running,
    Stopped,
    StopPending,
    StartPending,
    ContinuePending,
    PausePending,
    Paused,
};

/// The systemd unit of a service: the name in lower case, blanks as "-", then ".service"
/// ("Orvane BuildCache" is "orvane-buildcache.service").
std::string ServiceUnitName(const std::string& serviceName);

/// The settings-store key of the project's own supervision for a service, below
/// HKEY_LOCAL_MACHINE: "SOFTWARE\Tamrel\Services\" + the unit name.
std::string SupervisedServiceKey(const std::string& serviceName);

/// The service's current state; never fails (an unreadable answer is Unknown).
ServiceState QueryServiceState(const std::string& serviceName);

/// Asks the supervisor to start the service; a running service is left alone (success).
Result<> StartService(const std::string& serviceName);

/// Asks the supervisor to stop the service; a service that is not running is left alone
/// (success).
Result<> StopService(const std::string& serviceName);

} // namespace qz::platform
