#pragma once

// Futex calls shared by the events, process watches and waits of this folder.

#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qz::platform::detail {

/// Wakes every waiter of the word (shared: the word lives in memory shared between processes).
inline void FutexWakeAll(std::uint32_t* word, bool shared) {
    syscall(SYS_futex, word, shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
            0);
}

/// The calling thread's cancel word: 0, or 1 once NativeThread::Cancel asked it to stop waiting.
std::uint32_t* CurrentCancelWord();

inline std::int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline timespec ToTimespec(std::int64_t nanoseconds) {
    timespec result{};
    result.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    result.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return result;
}

} // namespace qz::platform::detail
