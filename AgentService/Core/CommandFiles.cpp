#include "CommandFiles.h"

#include "CM/DiagLog.h"
#include "CM/Exceptions.h"
#include "NV/AgentReg.h"
#include "platform/NamedObjects.h"

#include <algorithm>
#include <cstring>

namespace qz::agent {

namespace {

bool OwnedByOneOf(const platform::FolderFileFacts& file, const std::vector<std::uint32_t>& owners) {
    return std::find(owners.begin(), owners.end(), file.owner) != owners.end();
}

} // namespace

std::string CommandFileName(const TGuid& id) {
    return GuidToText(id) + std::string(kCommandFileSuffix);
}

bool IsStaleCommandFile(const platform::FolderFileFacts& file, const TStaleCommandFileRule& rule) {
    std::string_view name = file.name;
    if (name.size() <= kCommandFileSuffix.size() || !name.ends_with(kCommandFileSuffix)) {
        return false;
    }
    TGuid id{};
    if (!TextToGuid(name.substr(0, name.size() - kCommandFileSuffix.size()), id)) {
        return false;
    }
    // Known by its id, whatever the case of its hexadecimal digits.
    if (rule.known.count(CommandFileName(id)) != 0 || rule.known.count(std::string(name)) != 0) {
        return false;
    }
    if (!OwnedByOneOf(file, rule.owners)) {
        return false;
    }
    return file.modifiedNs <= rule.nowNs - kStaleCommandFileAgeNs;
}

TCommandFiles::TCommandFiles(TFolderSource folder, std::vector<std::uint32_t> owners)
    : folder_(std::move(folder)), owners_(std::move(owners)) {
    if (!folder_) {
        folder_ = [] { return nv::TAgentReg(nv::aroAllowReadOnly).AgentTempFolder(); };
    }
    if (owners_.empty()) {
        owners_ = platform::TrustedObjectOwners();
    }
}

void TCommandFiles::BuildEnded(const TGuid& id, std::shared_ptr<TConsoleLink> console) {
    if (console && console->State() == TConsoleState::Connected) {
        waiting_.push_back({id, std::move(console)});
        return;
    }
    Remove(id);
}

void TCommandFiles::Sweep() {
    auto gone = std::stable_partition(waiting_.begin(), waiting_.end(), [](TWaiting& waiting) {
        return waiting.console->State() == TConsoleState::Connected;
    });
    std::vector<TGuid> ended;
    for (auto it = gone; it != waiting_.end(); ++it) {
        ended.push_back(it->id);
    }
    waiting_.erase(gone, waiting_.end());
    for (const TGuid& id : ended) {
        Remove(id);
    }
}

int TCommandFiles::RemoveStale(const std::vector<TGuid>& known, std::int64_t nowNs) {
    std::string folder = Folder();
    if (folder.empty()) {
        return 0;
    }
    TStaleCommandFileRule rule{owners_, {}, nowNs};
    for (const TGuid& id : known) {
        rule.known.insert(CommandFileName(id));
    }
    int removed = 0;
    platform::FolderTreeResult result =
        platform::DeleteFolderFiles(folder, [&](const platform::FolderFileFacts& file) {
            if (!IsStaleCommandFile(file, rule)) {
                return false;
            }
            ++removed;
            return true;
        });
    if (result.error != 0 && result.error != ENOENT) { // a folder never made holds nothing
        LogWarning("Cannot remove old build command files in '" + folder +
                   "': " + std::strerror(result.error));
    }
    if (removed > 0) {
        LogLine("Old build command files removed: " + std::to_string(removed), 0);
    }
    return removed;
}

void TCommandFiles::Remove(const TGuid& id) {
    std::string folder = Folder();
    if (folder.empty()) {
        return;
    }
    const std::string name = CommandFileName(id);
    platform::FolderTreeResult result = platform::DeleteFolderFiles(
        folder,
        [this](const platform::FolderFileFacts& file) { return OwnedByOneOf(file, owners_); },
        name);
    if (result.error != 0 && result.error != ENOENT) {
        LogWarning("Cannot remove the build command file '" + folder + "/" + name +
                   "': " + std::strerror(result.error));
    } else if (result.matched) {
        LogLine("Build command file removed: " + name, lfVerboseOnly);
    }
}

std::string TCommandFiles::Folder() {
    try {
        return folder_();
    } catch (const Exception& e) {
        LogLine("Build command files left alone: " + e.Message(), lfVerboseOnly);
        return {};
    }
}

} // namespace qz::agent
