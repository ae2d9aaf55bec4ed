#pragma once

// Machine-wide thread identities ("thread UIDs"): a 32-bit number unique on the machine, taken
// from a shared counter (first value 1; 0 and 0xFFFFFFFF are never handed out), together with a
// token that its thread holds for its whole life, so that any process can tell whether the
// thread that owns a UID has ended. Cross-process spinlocks use it to detect dead owners.

#include "platform/Result.h"

#include <cstdint>

namespace qz::platform {

/// Opens the shared counter and the token table (idempotent, thread-safe).
Result<> OpenThreadTokens();

/// The calling thread's UID (never 0), allocated on first use and released when the thread ends.
/// Fails with the kind Exhausted when no token is free (the table holds 4096 live threads per
/// prefix), with the kind Other when the shared counter block or the token table cannot be
/// opened.
Result<std::uint32_t> CurrentThreadToken();

/// Whether the thread that owned the UID has ended: a UID that was never handed out, or whose
/// thread is gone, gives true; the caller's own UID gives false. A live thread is never reported
/// ended. Fails when the token table cannot be opened.
Result<bool> IsThreadTokenEnded(std::uint32_t uid);

/// The number of live tokens in the table (tests and diagnostics).
int LiveThreadTokens();

} // namespace qz::platform
