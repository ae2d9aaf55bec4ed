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

// EnvUtils.h, strings.

namespace qz {

namespace {

using platform::LowerAscii;

bool SameChar(char a, char b, bool exact) {
    return exact ? a == b : LowerAscii(a) == LowerAscii(b);
}

} // namespace

bool SplitAtChar(std::string_view text, char character, std::string& before, std::string& after) {
    std::size_t at = text.find(character);
    if (at == std::string_view::npos) {
        before = std::string(text);
        after.clear();
        return false;
    }
    before = std::string(text.substr(0, at));
    after = std::string(text.substr(at + 1));
    return true;
}

bool TextStartsAt(std::string_view text, std::size_t position, std::string_view part, bool exact) {
    if (position < 1 || position - 1 > text.size() || part.size() > text.size() - (position - 1)) {
        return false;
    }
    for (std::size_t k = 0; k < part.size(); ++k) {
        if (!SameChar(text[position - 1 + k], part[k], exact)) {
            return false;
        }
    }
    return true;
}

bool TextEndsWith(std::string_view text, std::string_view part, bool exact) {
    return part.size() <= text.size() &&
           TextStartsAt(text, text.size() - part.size() + 1, part, exact);
}

std::size_t FindText(std::string_view part, std::string_view text, std::size_t from) {
    if (part.empty() || from < 1) {
        return 0;
    }
    for (std::size_t position = from; position + part.size() <= text.size() + 1; ++position) {
        if (TextStartsAt(text, position, part, false)) {
            return position;
        }
    }
    return 0;
}

std::string ReplaceAllText(std::string_view text, std::string_view oldPart,
                           std::string_view newPart, bool exact) {
    if (oldPart.empty()) {
        return std::string(text);
    }
    std::string result;
    std::size_t position = 1;
    while (position <= text.size()) {
        if (TextStartsAt(text, position, oldPart, exact)) {
            result += newPart;
            position += oldPart.size();
        } else {
            result += text[position - 1];
            ++position;
        }
    }
    return result;
}

std::string Quote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted.append(text);
    quoted += '"';
    return quoted;
}

std::string QuoteIfNeeded(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return std::string(text);
    }
    return Quote(text);
}

std::string FirstToken(std::string_view commandLine, std::size_t* consumed) {
    std::size_t start = commandLine.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        if (consumed) {
            *consumed = commandLine.size();
        }
        return {};
    }
    std::string token;
    std::size_t end;
    if (commandLine[start] == '"') {
        std::size_t close = commandLine.find('"', start + 1);
        if (close == std::string_view::npos) {
            Raise("Closing quotation mark not found.");
        }
        token = std::string(commandLine.substr(start + 1, close - start - 1));
        end = close + 1;
    } else {
        end = commandLine.find_first_of(" \t", start);
        if (end == std::string_view::npos) {
            end = commandLine.size();
        }
        token = std::string(commandLine.substr(start, end - start));
    }
    if (consumed) {
        *consumed = end;
    }
    return token;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
    // Greedy matching with one backtrack point (the last "*") runs in O(n * m) at worst.
    std::size_t n = 0;
    std::size_t m = 0;
    std::size_t starMask = std::string_view::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < mask.size() &&
                   ((mask[m] == '?' && name[n] != '.') || SameChar(mask[m], name[n], false))) {
            ++m;
            ++n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') {
        ++m;
    }
    return m == mask.size();
}

bool TryTextToInt(std::string_view text, std::int32_t& value) {
    const std::size_t start = text.find_first_not_of(" \t");
    text.remove_prefix(start == std::string_view::npos ? text.size() : start);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && (text.front() == '$' || LowerAscii(text.front()) == 'x')) {
        base = 16;
        text.remove_prefix(1);
    } else if (text.size() > 1 && text[0] == '0' && LowerAscii(text[1]) == 'x') {
        base = 16;
        text.remove_prefix(2);
    }
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        return false;
    }
    std::optional<std::uint32_t> magnitude = platform::ParseInteger<std::uint32_t>(text, base);
    if (!magnitude || (base == 10 && *magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu))) {
        return false;
    }
    value = static_cast<std::int32_t>(negative ? 0u - *magnitude : *magnitude);
    return true;
}

std::int64_t HexToInt64(std::string_view text) {
    // Digits only: no sign, no prefix, at most 16 of them (leading zeros count).
    std::optional<std::uint64_t> bits;
    if (!text.empty() && text.size() <= 16 && text.front() != '+') {
        bits = platform::ParseInteger<std::uint64_t>(text, 16);
    }
    if (!bits) {
        Raise(Format("Invalid hexadecimal string: \"%s\"", text));
    }
    return static_cast<std::int64_t>(*bits);
}

std::string BoolToText(bool value) {
    return value ? "true" : "false";
}

} // namespace qz
