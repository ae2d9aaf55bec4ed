#include "EnvUtils.h"
#include "Exceptions.h"
#include "StringLists.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemInfo.h"
#include "platform/Uuid.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>

// EnvUtils.h, tick counter and local times.

namespace qz {

std::uint32_t GetTickCount() {
    return platform::TickCount();
}

std::int32_t TickDifference(std::uint32_t later, std::uint32_t earlier) {
    return static_cast<std::int32_t>(later - earlier);
}

namespace {

constexpr std::int64_t kMillisecondsPerDay = 86400000;

// Days from 1970-01-01 of a civil date (proleptic Gregorian calendar); a day past the month's
// end counts on into the next month.
std::int64_t DaysFromCivil(int year, int month, int day) {
    using namespace std::chrono;
    const sys_days first{std::chrono::year{year} /
                         std::chrono::month{static_cast<unsigned>(month)} / 1};
    return (first + days{day - 1}).time_since_epoch().count();
}

void CivilFromDays(std::int64_t count, int& year, int& month, int& day) {
    using namespace std::chrono;
    const year_month_day date{sys_days{days{count}}};
    year = static_cast<int>(date.year());
    month = static_cast<int>(static_cast<unsigned>(date.month()));
    day = static_cast<int>(static_cast<unsigned>(date.day()));
}

const std::int64_t kDateTimeEpochDays = DaysFromCivil(1899, 12, 30);

} // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    std::int64_t days = DaysFromCivil(year, month, day) - kDateTimeEpochDays;
    std::int64_t milliseconds =
        ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    return static_cast<double>(days) +
           static_cast<double>(milliseconds) / static_cast<double>(kMillisecondsPerDay);
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute,
                    int& second, int& millisecond) {
    std::int64_t total = std::llround(value * static_cast<double>(kMillisecondsPerDay));
    std::int64_t days = total / kMillisecondsPerDay;
    std::int64_t rest = total % kMillisecondsPerDay;
    if (rest < 0) {
        rest += kMillisecondsPerDay;
        --days;
    }
    CivilFromDays(days + kDateTimeEpochDays, year, month, day);
    hour = static_cast<int>(rest / 3600000);
    minute = static_cast<int>(rest / 60000 % 60);
    second = static_cast<int>(rest / 1000 % 60);
    millisecond = static_cast<int>(rest % 1000);
}

TDateTime Now() {
    platform::LocalTimeParts now = platform::CurrentLocalTime();
    return EncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                          now.millisecond);
}

std::string DateTimeToText(TDateTime value) {
    int year, month, day, hour, minute, second, millisecond;
    DecodeDateTime(value, year, month, day, hour, minute, second, millisecond);
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", year, month, day, hour, minute, second);
}

std::string NowText() {
    platform::LocalTimeParts now = platform::CurrentLocalTime();
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
}

} // namespace qz
