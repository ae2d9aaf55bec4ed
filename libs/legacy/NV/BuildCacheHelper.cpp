#include "BuildCacheHelper.h"

#include "AgentReg.h"
#include "BuildCacheSettings.h"
#include "CM/DiagLog.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/FolderTree.h"

#include <cerrno>

namespace qz::nv {

namespace {

constexpr const char* kNoRightsLine =
    "Please note that user has no administrative rights so cannot clear cache.";

bool RefusedFolderName(const std::string& folder) {
    return folder.empty() || folder == "." || folder == "/" || folder == "\\";
}

platform::FolderTreeResult DeleteMatchingEntries(const std::string& folder,
                                                 const std::string& mask) {
    if (RefusedFolderName(folder)) {
        return {};
    }
    if (mask == "*" || mask == "*.*") {
        return platform::DeleteMatchingEntries(folder, [](std::string_view) { return true; });
    }
    return platform::DeleteMatchingEntries(
        folder, [&mask](std::string_view name) { return MatchesMask(name, mask); });
}

void Warn(const std::string& text) {
    LogWaitWarning(text);
}

// A folder tree step: the folder, when present, must be gone afterwards.
bool DeleteTreeStep(const std::string& folder) {
    if (FolderIsPresent(folder) && !TBuildCacheHelper::DeleteFolderTree(folder)) {
        Warn("Cache clean failed on attempt to delete " + folder);
        return false;
    }
    return true;
}

} // namespace

bool TBuildCacheHelper::ClearBuildCache(const LineWriter& writeLine) {
    auto write = [&](const std::string& line) {
        if (writeLine) {
            writeLine(line);
        } else {
            platform::WriteStdHandle(platform::StdHandle::Output, line + "\r\n");
        }
    };
    bool result = false;
    try {
        if (!HasAgentWriteAccess()) {
            write(kNoRightsLine);
        } else {
            result = DeleteCacheData();
        }
    } catch (const Exception& e) {
        write("Error: " + e.Message());
        result = false;
    }
    return result;
}

bool TBuildCacheHelper::DeleteCacheData() {
    TBuildCacheSettings settings;
    return DeleteCacheData(settings);
}

bool TBuildCacheHelper::DeleteCacheData(const TBuildCacheSettings& settings) {
    bool result = true;
    result = DeleteTreeStep(PathResolve(settings.CacheDirectoryLocation(), "FileCache/")) && result;
    result = DeleteTreeStep(PathResolve(settings.DataFolder(), "Intermediate")) && result;

    // The snapshot step fails when the folder cannot be read or a matching entry stays; a
    // folder without snapshots is fine.
    const std::string& dbFolder = settings.DbLocation();
    if (FolderIsPresent(dbFolder)) {
        platform::FolderTreeResult deleted = DeleteMatchingEntries(dbFolder, "*.rdb");
        if (!deleted.opened || !deleted.complete) {
            Warn("Cache clean failed on attempt to delete *.rdb files in " + dbFolder);
            result = false;
        }
    }

    std::string file = settings.TaskExtraInfoFile();
    if (platform::QueryEntryKind(file) == platform::EntryKind::File) {
        platform::Result<> removed = platform::RemoveFile(file);
        if (!removed && removed.error().code != ENOENT) {
            Warn("Cache clean failed on attempt to delete " + file);
            result = false;
        }
    }

    file = PathResolve(settings.DataFolder(), "sync_timestamp");
    if (platform::QueryEntryKind(file) == platform::EntryKind::File) {
        (void)platform::RemoveFile(file);
    }
    return result;
}

bool TBuildCacheHelper::DeleteMatching(const std::string& folder, const std::string& mask) {
    return DeleteMatchingEntries(folder, mask).matched;
}

bool TBuildCacheHelper::DeleteFolderTree(const std::string& folder) {
    DeleteMatching(folder, "*.*");
    return !RefusedFolderName(folder) && platform::RemoveFolderOrLink(folder).has_value();
}

} // namespace qz::nv
