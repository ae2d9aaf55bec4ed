#pragma once

// The systemd side of ServiceControl, with the client library named: the layer loads
// libsystemd's bus client on first use instead of linking it. Internal to this folder; the tests
// name a library that is missing or lacks the functions.

#include "platform/Result.h"
#include "platform/ServiceControl.h"

#include <optional>
#include <string>

namespace qz::platform::detail {

/// The library the bus client is loaded from.
inline constexpr const char* kSystemdLibrary = "libsystemd.so.0";

/// The unit's state through the bus client of libraryName; NotInstalled when the library cannot
/// be loaded (no systemd to know it) or there is no system bus.
ServiceState QuerySystemdUnit(const std::string& libraryName, const std::string& unit);

/// Calls a unit method ("StartUnit", "StopUnit") through the bus client of libraryName. A
/// library that cannot be loaded fails with ENOENT and a sentence that names it and why.
Result<> CallSystemdUnit(const std::string& libraryName, const std::string& unit,
                         const char* method);

/// Why the bus client of libraryName cannot be loaded; nothing when it can.
std::optional<Failure> SystemdLibraryFailure(const std::string& libraryName);

} // namespace qz::platform::detail
