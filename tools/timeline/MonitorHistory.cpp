#include "MonitorHistory.h"

#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <tuple>
#include <vector>

namespace qz::timeline {

namespace {

// The day number of a day folder's name, or -1 for any other name.
std::int64_t DayOf(const std::string& name) {
    std::int64_t day = -1;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), day);
    bool digitsOnly = !name.empty() && std::all_of(name.begin(), name.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
    return error == std::errc() && end == name.data() + name.size() && digitsOnly ? day : -1;
}

} // namespace

std::string LocalHistoryFolder(const std::string& agentFolder) {
    return PathWithSeparator(agentFolder) + "History/Local";
}

std::string NewestMonitorFile(const std::string& historyFolder) {
    platform::Result<std::vector<platform::FolderEntry>> days = platform::ListFolder(historyFolder);
    if (!days) {
        RaiseOsError("Cannot read the monitor history folder " + historyFolder, days.error().code);
    }
    std::string newest;
    std::tuple<std::int64_t, std::int64_t, std::string> best{-1, -1, ""};
    for (const platform::FolderEntry& dayEntry : *days) {
        std::int64_t day = DayOf(dayEntry.name);
        if (day < 0 || dayEntry.kind != platform::PathKind::Folder) {
            continue;
        }
        std::string folder = PathWithSeparator(historyFolder) + dayEntry.name;
        platform::Result<std::vector<platform::FolderEntry>> files = platform::ListFolder(folder);
        if (!files) {
            continue; // a day folder removed meanwhile, or unreadable: the others still count
        }
        for (const platform::FolderEntry& file : *files) {
            if (file.kind != platform::PathKind::File || !PathHasExtension(file.name, ".nv_mon")) {
                continue;
            }
            std::tuple<std::int64_t, std::int64_t, std::string> key{file.modifiedNs, day,
                                                                    file.name};
            if (newest.empty() || key > best) {
                best = key;
                newest = folder + "/" + file.name;
            }
        }
    }
    if (newest.empty()) {
        Raise("No monitor data file in " + historyFolder);
    }
    return newest;
}

} // namespace qz::timeline
