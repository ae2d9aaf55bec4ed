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

// EnvUtils.h, command line.

namespace qz {

std::string QuoteCommandLineArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            // Backslashes before a quote are doubled, and the quote itself is escaped.
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote are doubled so that they stay literal.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string BuildCommandLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        line += QuoteCommandLineArgument(argument);
    }
    return line;
}

std::vector<std::string> SplitCommandLine(std::string_view text,
                                          std::vector<std::string>* rawTexts) {
    std::vector<std::string> tokens;
    size_t i = 0;
    const size_t n = text.size();
    while (true) {
        while (i < n && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        if (i >= n) {
            return tokens;
        }
        size_t start = i;
        std::string token;
        bool quoted = false;
        while (i < n) {
            size_t backslashes = 0;
            while (i < n && text[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < n && text[i] == '"') {
                token.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    token += '"';
                    ++i;
                } else if (quoted && i + 1 < n && text[i + 1] == '"') {
                    token += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            token.append(backslashes, '\\');
            if (i >= n || (!quoted && (text[i] == ' ' || text[i] == '\t'))) {
                break;
            }
            token += text[i++];
        }
        tokens.push_back(std::move(token));
        if (rawTexts) {
            rawTexts->emplace_back(text.substr(start, i - start));
        }
    }
}

std::string ProcessCommandLine() {
    return BuildCommandLine(platform::ProcessArguments());
}

} // namespace qz
