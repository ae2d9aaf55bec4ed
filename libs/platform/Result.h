#pragma once

// How the platform layer reports failure. An operation that can fail returns Result<T>: either
// its value or a Failure, which holds the system error code and what was being done. Callers
// test it like a pointer (`if (!result)`), read the value with `*result` or `result->`, and the
// failure with `result.error()`.

#include "platform/SystemError.h"

#include <string>
#include <tl/expected.hpp>
#include <utility>

namespace qz::platform {

/// What a caller may act on beyond the code. Most failures are Other; the file units tell the
/// kinds apart that callers handle differently (create the folders, wait for another handle).
enum class FailureKind {
    Other,
    NotFound,         ///< the file does not exist
    PathNotFound,     ///< a folder of the path does not exist
    AccessDenied,     ///< no permission, a read-only file system, or the name is a folder
    SharingViolation, ///< another handle's sharing mode excludes this open
    Corrupt,          ///< data that was read does not parse; the context says where and why
    Exhausted,        ///< a fixed-size table has no free entry
};

/// Why an operation failed.
struct Failure {
    int code = 0;        ///< the system error code (errno); 0 when the failure is not the system's
    std::string context; ///< what was being done, for example "open /etc/x"; may be empty
    FailureKind kind = FailureKind::Other;

    /// "context: system text" (or either part alone when the other is empty). A Corrupt failure's
    /// context says all there is to say and stands alone.
    std::string Text() const {
        std::string system =
            code != 0 && kind != FailureKind::Corrupt ? SystemErrorText(code) : std::string();
        if (context.empty()) {
            return system;
        }
        return system.empty() ? context : context + ": " + system;
    }
};

template <class T = void>
using Result = tl::expected<T, Failure>;

/// A failed Result with the given code, context and kind.
inline tl::unexpected<Failure> Fail(int code, std::string context = {},
                                    FailureKind kind = FailureKind::Other) {
    return tl::unexpected<Failure>(Failure{code, std::move(context), kind});
}

/// Success when ok is true, else a failure with the given code and context.
inline Result<> FailUnless(bool ok, int code, std::string context = {}) {
    if (!ok) {
        return Fail(code, std::move(context));
    }
    return {};
}

/// A failed Result with the calling thread's last system error.
inline tl::unexpected<Failure> FailWithLastError(std::string context = {}) {
    return Fail(LastSystemError(), std::move(context));
}

} // namespace qz::platform
