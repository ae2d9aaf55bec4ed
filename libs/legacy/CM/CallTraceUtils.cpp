#include "CallTraceUtils.h"

#include "ExceptionWatch.h"
#include "Format.h"
#include "platform/Diagnostics.h"

#include <exception>

namespace qz {

namespace {

constexpr int kDigits = static_cast<int>(sizeof(std::uintptr_t) * 2);

std::string Hex(std::uintptr_t address) {
    static const std::string format = "%." + std::to_string(kDigits) + "X";
    return Format(format, static_cast<std::uint64_t>(address));
}

} // namespace

std::vector<CallTraceEntry> FoldCallSites(const std::vector<std::uintptr_t>& addresses) {
    std::vector<CallTraceEntry> entries;
    for (std::uintptr_t address : addresses) {
        if (!entries.empty() && entries.back().address == address) {
            if (entries.back().count < kCallTraceMaxRepeat) {
                ++entries.back().count;
            }
            continue;
        }
        if (entries.size() == kCallTraceMaxEntries) {
            break;
        }
        entries.push_back(CallTraceEntry{address, 1});
    }
    return entries;
}

std::string FormatCallTrace(std::uintptr_t reference, const std::vector<CallTraceEntry>& entries,
                            int options) {
    bool marker = (options & kCallTraceNoMarker) == 0;
    std::string text = marker ? "($CALLTRACE:" : "";
    text += Hex(reference) + ":";
    std::string previous(kDigits, '0');
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string current = Hex(entries[i].address);
        size_t shared = 0;
        while (shared < current.size() - 1 && current[shared] == previous[shared]) {
            ++shared;
        }
        if (i > 0) {
            text += ',';
        }
        text += current.substr(shared);
        if (entries[i].count > 1) {
            text += "*" + std::to_string(entries[i].count);
        }
        previous = current;
    }
    if (marker) {
        text += ")";
    }
    return text;
}

std::string CallTraceOf(std::uintptr_t firstAddress, const std::vector<std::uintptr_t>& sites,
                        int options) {
    try {
        std::vector<std::uintptr_t> all;
        if (firstAddress != 0) {
            all.push_back(firstAddress);
        }
        all.insert(all.end(), sites.begin(), sites.end());
        return FormatCallTrace(CallTraceReference(), FoldCallSites(all), options);
    } catch (const std::exception& e) {
        return std::string("Failed to generate call trace: ") + e.what();
    }
}

std::string CallTrace(std::uintptr_t firstAddress, std::uintptr_t stackPointer, int options) {
    try {
        if (stackPointer == 0) {
            stackPointer = platform::diag::CurrentStackPointer();
        }
        std::vector<std::uintptr_t> sites;
        // Repeats fold into one entry, so scan further than the entry limit.
        platform::diag::ScanCallSites(stackPointer, sites, kCallTraceMaxEntries * 8);
        return CallTraceOf(firstAddress, sites, options);
    } catch (const std::exception& e) {
        return std::string("Failed to generate call trace: ") + e.what();
    }
}

std::uintptr_t CallTraceReference() {
    return reinterpret_cast<std::uintptr_t>(&CallTraceReference);
}

} // namespace qz
