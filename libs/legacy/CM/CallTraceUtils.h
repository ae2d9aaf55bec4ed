#pragma once

// Compact call traces for the diagnostic log: the call sites found on a thread's stack, written
// as addresses relative in text to a fixed reference function of the program, with repeated
// neighbours folded into one entry and a repeat count.
//
// Text form: ["($CALLTRACE:"] reference ":" entry ("," entry)* [")"]. Addresses are upper-case
// hexadecimal with as many digits as a pointer has (16 on 64-bit systems); each entry leaves out
// the leading digits it shares with the previous entry's text (the first is compared with all
// zeros) and carries "*" and the count when the address repeated.

#include <cstdint>
#include <string>
#include <vector>

namespace qz {

/// CallTrace option: leave out the "($CALLTRACE:" marker and the closing ")".
inline constexpr int kCallTraceNoMarker = 0x02;

/// At most this many entries; a repeat count stops growing at kCallTraceMaxRepeat.
inline constexpr std::size_t kCallTraceMaxEntries = 128;
inline constexpr std::uint32_t kCallTraceMaxRepeat = 0x100000;

struct CallTraceEntry {
    std::uintptr_t address;
    std::uint32_t count;
};

/// Folds consecutive equal addresses into entries (up to kCallTraceMaxEntries).
std::vector<CallTraceEntry> FoldCallSites(const std::vector<std::uintptr_t>& addresses);

/// The text of a folded trace after the reference address.
std::string FormatCallTrace(std::uintptr_t reference, const std::vector<CallTraceEntry>& entries,
                            int options);

/// The trace of the calling thread: firstAddress (when not 0) as entry 1, then the call sites
/// found on the stack from stackPointer (0: the caller's own frame) up to the stack's base.
/// Never raises: a failure yields "Failed to generate call trace: " + its message.
std::string CallTrace(std::uintptr_t firstAddress, std::uintptr_t stackPointer, int options);

/// The trace of call sites collected elsewhere (another thread's sample).
std::string CallTraceOf(std::uintptr_t firstAddress, const std::vector<std::uintptr_t>& sites,
                        int options);

/// The reference function whose address starts every trace.
std::uintptr_t CallTraceReference();

} // namespace qz
