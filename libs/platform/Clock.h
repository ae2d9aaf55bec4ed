#pragma once

// The monotonic millisecond clock and the local wall-clock time.

#include <cstdint>

namespace qz::platform {

/// Milliseconds of a monotonic clock (unaffected by changes of the wall clock); its start point
/// is unspecified.
std::uint64_t MonotonicMilliseconds();

/// The monotonic clock truncated to 32 bits: it wraps after 49.7 days, so compare two readings
/// by their difference as a signed 32-bit number.
inline std::uint32_t TickCount() {
    return static_cast<std::uint32_t>(MonotonicMilliseconds());
}

/// A local calendar time.
struct LocalTimeParts {
    int year = 0;   ///< e.g. 2026
    int month = 0;  ///< 1..12
    int day = 0;    ///< 1..31
    int hour = 0;   ///< 0..23
    int minute = 0; ///< 0..59
    int second = 0; ///< 0..60 (60 only in a leap second)
    int millisecond = 0;
};

/// The current local time in the system's time zone.
LocalTimeParts CurrentLocalTime();

/// The local time of a moment given in seconds since 1970-01-01 UTC.
LocalTimeParts LocalTimeFromUnixSeconds(std::int64_t seconds);

} // namespace qz::platform
