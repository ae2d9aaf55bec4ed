#include "BuildCacheSettings.h"

#include "AgentReg.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/SpecialDirs.h"
#include "CM/StreamUtils.h"
#include "JsonDocument.h"
#include "platform/FileSystem.h"

namespace qz::nv {

namespace {

constexpr const char* kConfigFileName = "buildcache_service_config.json";
constexpr const char* kTaskExtraInfoName = "TaskExtraInfo.db";
constexpr const char* kDataFolderPlaceholder = "%PROGRAMDATA%/Orvane/BuildCache";
constexpr const char* kWindowsDataFolderPlaceholder = "%PROGRAMDATA%\\Orvane\\BuildCache";

// The whole file, opened for reading while denying writers, so that a half-written file is not
// read; any failure to open raises "Cannot open file <path>".
std::string ReadConfigFile(const std::string& path) {
    std::string text;
    // A pipe or device in the file's place would block the open or never end.
    if (FileIsPresent(path) && !platform::PathIsRegularFile(path)) {
        Raise("Cannot open file " + path);
    }
    try {
        TFileStreamEx stream(path, FileMode::Read | FileMode::ShareDenyWrite);
        std::int64_t size = stream.Size();
        text.resize(static_cast<std::size_t>(size));
        text.resize(static_cast<std::size_t>(stream.Read(text.data(), size)));
    } catch (const Exception&) {
        Raise("Cannot open file " + path);
    }
    return text;
}

std::string FolderValue(const std::optional<std::string>& text, const std::string& dataFolder) {
    if (!text || text->empty() || *text == kDataFolderPlaceholder ||
        *text == kWindowsDataFolderPlaceholder) {
        return dataFolder;
    }
    return *text;
}

} // namespace

TBuildCacheSettings::TBuildCacheSettings() {
    LoadServiceSettings();
}

TBuildCacheSettings::TBuildCacheSettings(std::string_view defaultText,
                                         const std::string& defaultPath,
                                         const std::optional<std::string>& overrideText,
                                         const std::string& cacheDataFolder)
    : dataFolder_(cacheDataFolder) {
    Apply(defaultText, defaultPath, overrideText);
}

std::string TBuildCacheSettings::CacheDataFolder() {
    return PathResolve(CommonAppDataFolder(), "Orvane/BuildCache");
}

std::string TBuildCacheSettings::DefaultConfigFile(const std::string& agentFolder) {
    return PathResolve(PathResolve(agentFolder, "resources/"), kConfigFileName);
}

std::string TBuildCacheSettings::OverrideConfigFile(const std::string& cacheDataFolder) {
    return PathResolve(cacheDataFolder, kConfigFileName);
}

std::string TBuildCacheSettings::TaskExtraInfoFile() const {
    return PathResolve(cacheDirectoryLocation_, kTaskExtraInfoName);
}

void TBuildCacheSettings::LoadServiceSettings() {
    std::string agentFolder = TAgentReg(aroAllowReadOnly).AgentFolder(true);
    std::string defaultPath = DefaultConfigFile(agentFolder);
    std::string defaultText = ReadConfigFile(defaultPath);
    dataFolder_ = CacheDataFolder();
    std::optional<std::string> overrideText;
    std::string overridePath = OverrideConfigFile(dataFolder_);
    if (FileIsPresent(overridePath)) {
        overrideText = ReadConfigFile(overridePath);
    }
    Apply(defaultText, defaultPath, overrideText);
}

void TBuildCacheSettings::Apply(std::string_view defaultText, const std::string& defaultPath,
                                const std::optional<std::string>& overrideText) {
    std::optional<TJsonDocument> document = TJsonDocument::Parse(defaultText);
    if (!document) {
        Raise("Default Build Cache service configuration file not found: " + defaultPath);
    }
    if (overrideText) {
        if (std::optional<TJsonDocument> override = TJsonDocument::Parse(*overrideText)) {
            document->MergeFrom(std::move(*override));
        }
    }
    auto integer = [&](const char* path) {
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(document->ReadInteger(path).value_or(0)));
    };
    auto text = [&](const char* path) { return document->ReadText(path).value_or(""); };

    servicePort_ = integer("service.port");
    gridId_ = text("service.gridId");
    useTls_ = document->ReadBool("service.useTls").value_or(false);
    tlsCnPattern_ = text("service.tlsCnPattern");
    compression_ = text("service.compression");
    redisPort_ = integer("localRedisInstance.port");
    dbLocation_ = FolderValue(document->ReadText("localRedisInstance.dbLocation"), dataFolder_);
    dbLocationUser_ = text("localRedisInstance.dbLocationUser");
    cacheDirectoryLocation_ =
        FolderValue(document->ReadText("fileSystem.cacheDirectoryLocation"), dataFolder_);
    remoteUser_ = text("fileSystem.remoteUser");
    maxCacheSize_ = integer("cacheCleaner.maxCacheSize");
}

} // namespace qz::nv
