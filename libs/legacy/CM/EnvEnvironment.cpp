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

// EnvUtils.h, environment.

namespace qz {

std::string GetEnv(const std::string& name) {
    // The platform copies the whole value at once, so no size negotiation is needed.
    return platform::ReadEnvironmentVariable(name).value_or(std::string());
}

void SetEnv(const std::string& name, const std::string& value) {
    if (auto done = platform::WriteEnvironmentVariable(name, value); !done) {
        RaiseOsError(Format("Failed to set environment variable '%S' (Ansi)", name),
                     done.error().code);
    }
}

void UnsetEnv(const std::string& name) {
    if (auto done = platform::RemoveEnvironmentVariable(name); !done) {
        RaiseOsError(Format("Failed to remove environment variable '%s'", name), done.error().code);
    }
}

std::u16string EnvironmentBlockText() {
    std::u16string block;
    for (const std::string& entry : platform::EnvironmentEntries()) {
        block += Utf8ToWide(entry);
        block += u'\0';
    }
    block += u'\0';
    return block;
}

namespace {

template <typename Visit>
void ForEachBlockEntry(std::u16string_view block, Visit visit) {
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t end = block.find(u'\0', start);
        if (end == std::u16string_view::npos) {
            end = block.size(); // a block without its final zero still ends here
        }
        if (end == start) {
            return;
        }
        visit(WideToUtf8(block.substr(start, end - start)));
        start = end + 1;
    }
}

} // namespace

void EnvironmentBlockToMap(std::u16string_view block, std::map<std::string, std::string>& map) {
    map.clear();
    ForEachBlockEntry(block, [&](const std::string& entry) {
        std::string name;
        std::string value;
        SplitAtChar(entry, '=', name, value);
        map.insert_or_assign(std::move(name), std::move(value));
    });
}

void EnvironmentBlockToList(std::u16string_view block, std::vector<std::string>& list) {
    ForEachBlockEntry(block, [&](const std::string& entry) { list.push_back(entry); });
}

} // namespace qz
