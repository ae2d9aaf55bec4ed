#include "platform/Clock.h"

#include <ctime>

namespace qz::platform {

namespace {

// localtime_r need not read the time-zone settings itself; do it once.
void LoadTimeZone() {
    static const bool loaded = [] {
        tzset();
        return true;
    }();
    (void)loaded;
}

LocalTimeParts ToParts(const struct tm& local, int millisecond) {
    LocalTimeParts parts;
    parts.year = local.tm_year + 1900;
    parts.month = local.tm_mon + 1;
    parts.day = local.tm_mday;
    parts.hour = local.tm_hour;
    parts.minute = local.tm_min;
    parts.second = local.tm_sec;
    parts.millisecond = millisecond;
    return parts;
}

} // namespace

std::uint64_t MonotonicMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

LocalTimeParts CurrentLocalTime() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    LoadTimeZone();
    struct tm local {};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    return ToParts(local, static_cast<int>(now.tv_nsec / 1000000));
}

LocalTimeParts LocalTimeFromUnixSeconds(std::int64_t seconds) {
    LoadTimeZone();
    struct tm local {};
    time_t value = static_cast<time_t>(seconds);
    localtime_r(&value, &local);
    return ToParts(local, 0);
}

} // namespace qz::platform
