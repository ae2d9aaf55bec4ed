#include "Lists.h"

#include "ByteOrder.h"
#include "StringLists.h"

namespace qz {

std::uint32_t StringHash(std::string_view text) {
    const std::int64_t length = static_cast<std::int64_t>(text.size());
    if (length == 0) {
        return 0;
    }
    std::uint32_t a = static_cast<std::uint32_t>(length - 2);
    for (std::int64_t offset = 0; offset < length - 2; offset += 4) {
        // Past the text come its terminating zero and zeros.
        std::uint8_t word[4] = {};
        text.copy(reinterpret_cast<char*>(word), 4, static_cast<std::size_t>(offset));
        a ^= Load32(word);
    }
    a &= 0xDFDFDFDFu;
    return (a + (a >> 10) + (a >> 20)) & 0x3FFu;
}

std::uint32_t ShortStringHash(std::string_view text) {
    std::uint32_t h = StringHash(text);
    return (h ^ (h >> 5)) & 0x1Fu;
}

int CompareKeyText(std::string_view a, std::string_view b, bool caseInsensitive) {
    return CompareListStrings(a, b, !caseInsensitive);
}

bool SameKeyText(std::string_view a, std::string_view b, bool caseInsensitive) {
    return SameListStrings(a, b, !caseInsensitive);
}

namespace lists_detail {

void RaiseIndexError(const char* className, std::int64_t index) {
    Raise(std::string(className) + ": " + Format("List index out of bounds (%d)", index));
}

void RaiseCapacityError(const char* className, std::int64_t capacity) {
    Raise(std::string(className) + ": " + Format("List capacity out of bounds (%d)", capacity));
}

void RaiseListDuplicate(const char* className) {
    Raise(std::string(className) + ": List does not allow duplicates.");
}

void RaiseHashDuplicate(const char* className) {
    Raise(std::string(className) + ": Hashtable does not allow duplicates.");
}

void RaiseSortedAppend(const char* className) {
    Raise(std::string(className) + ": Cannot add multiple items to a sorted list.");
}

void RaiseSortedSetKey(const char* className) {
    Raise(std::string(className) + ": Cannot set value of an index field in a sorted/hashed list");
}

void RaiseOverwrite(const char* className, bool destruction) {
    std::string text =
        std::string(className) +
        (destruction ? " <- memory overwrite or redundant object destruction detected"
                     : " <- memory overwrite detected");
    AssertionFailure(__FILE__, __LINE__, text.c_str());
}

TDuplicates DuplicatesOf(std::uint16_t options) {
    const std::uint16_t bits = options & kDuplicatesBits;
    QZ_ASSERT(std::popcount(bits) <= 1);
    if (bits == ListOption::RejectDuplicates) {
        return TDuplicates::Reject;
    }
    if (bits == ListOption::AcceptDuplicates) {
        return TDuplicates::Accept;
    }
    return TDuplicates::Ignore;
}

int GrowCapacity(int capacity) {
    if (capacity > 64) {
        return capacity * 2;
    }
    if (capacity > 8) {
        return capacity + 16;
    }
    return capacity + 4;
}

} // namespace lists_detail

} // namespace qz
