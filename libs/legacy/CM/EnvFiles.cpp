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

// EnvUtils.h, files and folders.

namespace qz {

bool FileIsPresent(const std::string& path) {
    return platform::QueryPathKind(path) == platform::PathKind::File;
}

bool FileIsPresent(const std::u16string& path) {
    return FileIsPresent(WideToUtf8(path));
}

bool FolderIsPresent(const std::string& path) {
    return platform::QueryPathKind(path) == platform::PathKind::Folder;
}

bool FolderIsPresent(const std::u16string& path) {
    return FolderIsPresent(WideToUtf8(path));
}

bool FileIsReadOnly(const std::string& path) {
    return platform::PathIsWriteProtected(path);
}

bool FileIsReadOnly(const std::u16string& path) {
    return FileIsReadOnly(WideToUtf8(path));
}

namespace {

bool CreateFolderChain(const std::string& path) {
    std::string folder = PathWithoutSeparator(path);
    if (folder.empty() || folder == "/" || FolderIsPresent(folder)) {
        return false;
    }
    std::string parent = PathWithoutSeparator(PathFolder(folder));
    bool created = false;
    if (!parent.empty() && parent != folder) {
        created = CreateFolderChain(parent);
    }
    platform::Result<> made = platform::MakeFolder(folder);
    if (made) {
        return true;
    }
    if (made.error().code == EEXIST && FolderIsPresent(folder)) {
        return created; // made by someone else meanwhile
    }
    RaiseOsError(Format("Cannot create directory '%s'", folder), made.error().code);
}

} // namespace

bool ForceFolders(const std::string& path, const std::optional<std::string>& context) {
    try {
        return CreateFolderChain(path);
    } catch (const Exception&) {
        if (context) {
            RaiseWithContext(Format("Failed to create directory (%s): %s", *context, path));
        }
        RaiseWithContext(Format("Failed to create directory: %s", path));
    }
}

std::string CurrentDirectory() {
    std::string folder = platform::CurrentFolder();
    if (folder.empty()) {
        RaiseOsError("Failed to get current directory");
    }
    return folder;
}

std::string TempFolder() {
    std::string folder = platform::SystemTempFolder();
    if (folder.empty()) {
        Raise("Failed to get temporary directory");
    }
    ForceFolders(folder, std::string("temporary directory"));
    return PathWithSeparator(folder);
}

void DeleteFileChecked(const std::string& path, bool missingIsError) {
    platform::Result<> removed = platform::RemoveFile(path);
    if (removed) {
        return;
    }
    const int error = removed.error().code;
    if (error == ENOENT && !missingIsError) {
        return;
    }
    std::string text = Format("Failed to delete file '%s'", path);
    if ((error == EACCES || error == EPERM) && FileIsReadOnly(path)) {
        text += "\r\nCannot delete a read-only file";
    }
    RaiseOsError(text, error);
}

void MoveFileChecked(const std::string& from, const std::string& to) {
    if (platform::Result<> moved = platform::RenameNoReplace(from, to); !moved) {
        RaiseOsError(Format("Failed to move file '%s' to '%s'", from, to), moved.error().code);
    }
}

} // namespace qz
