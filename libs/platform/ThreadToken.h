#pragma once

// Machine-wide thread identities ("thread UIDs"): a 32-bit number unique on the machine, taken
// from a shared counter (first value 1; 0 and 0xFFFFFFFF are never handed out), together with a
// token that its thread holds for its whole life, so that any process can tell whether the
// thread that owns a UID has ended. Cross-process spinlocks use it to detect dead owners.

#include <cstdint>

namespace qz::platform {

/// The step that failed.
enum class TokenFailure {
    None,
    SessionData, ///< the shared counter block or the token table could not be opened
    Allocate,    ///< no free token (the table holds 4096 live threads per prefix)
    InitialLock, ///< the token could not be taken
};

/// Opens the shared counter and the token table (idempotent, thread-safe). 0 or the error code.
int OpenThreadTokens();

/// The calling thread's UID, allocated on first use and released when the thread ends. On
/// failure returns the error code and the failing step, and uid stays 0.
int CurrentThreadToken(std::uint32_t& uid, TokenFailure& failure);

/// Whether the thread that owned the UID has ended: a UID that was never handed out, or whose
/// thread is gone, gives true; the caller's own UID gives false. A live thread is never reported
/// ended. Returns 0 or the error code (the answer is then false).
int IsThreadTokenEnded(std::uint32_t uid, bool& ended);

/// The number of live tokens in the table (tests and diagnostics).
int LiveThreadTokens();

} // namespace qz::platform
