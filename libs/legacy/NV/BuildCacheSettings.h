#pragma once

// The build cache service's configuration, as far as the console needs it: where the cache
// keeps its data, so that the clean can delete it.
//
// The service reads a default file installed with the agent ("<agent folder>/resources/
// buildcache_service_config.json") and an optional override in the cache's data folder
// ("<CacheDataFolder>/buildcache_service_config.json") merged over it. The console only reads
// them. Folder values name file-system paths. The installer's placeholder for the data folder,
// "%PROGRAMDATA%/Orvane/BuildCache" (or its Windows spelling with backslashes, which a file
// copied from a Windows installation carries), stands for CacheDataFolder; any other text is
// taken as it is, without expanding variables.

#include <cstdint>
#include <optional>
#include <string>

namespace qz::nv {

class TBuildCacheSettings {
public:
    /// Reads the configuration (LoadServiceSettings). Raises: the messages of TAgentReg when the
    /// agent key or its "Folder" value cannot be read; "Cannot open file <path>" when the default
    /// file, or an existing override file, cannot be opened for reading (missing, no access, held
    /// by a writer); "Default Build Cache service configuration file not found: <path>" when the
    /// default file does not parse; the special-folder error of CommonAppDataFolder.
    TBuildCacheSettings();

    /// Takes the configuration from texts instead of files (the loader's second half): the
    /// default text must parse (else the "not found" message with defaultPath), an override
    /// that does not parse is ignored. cacheDataFolder is what CacheDataFolder() would give.
    TBuildCacheSettings(std::string_view defaultText, const std::string& defaultPath,
                        const std::optional<std::string>& overrideText,
                        const std::string& cacheDataFolder);

    /// CommonAppDataFolder() joined with "Orvane/BuildCache"; may raise as CommonAppDataFolder.
    static std::string CacheDataFolder();

    /// The default configuration file below an agent folder.
    static std::string DefaultConfigFile(const std::string& agentFolder);
    /// The override configuration file below the cache data folder.
    static std::string OverrideConfigFile(const std::string& cacheDataFolder);

    /// The cache directory joined with "TaskExtraInfo.db".
    std::string TaskExtraInfoFile() const;

    /// The cache data folder this configuration was read against.
    const std::string& DataFolder() const { return dataFolder_; }

    std::int32_t ServicePort() const { return servicePort_; }
    const std::string& GridId() const { return gridId_; }
    bool UseTls() const { return useTls_; }
    const std::string& TlsCnPattern() const { return tlsCnPattern_; }
    const std::string& Compression() const { return compression_; }
    std::int32_t RedisPort() const { return redisPort_; }
    /// The folder of the cache database's "*.rdb" files.
    const std::string& DbLocation() const { return dbLocation_; }
    const std::string& DbLocationUser() const { return dbLocationUser_; }
    /// The cache directory: holds "FileCache/" and the task information database.
    const std::string& CacheDirectoryLocation() const { return cacheDirectoryLocation_; }
    const std::string& RemoteUser() const { return remoteUser_; }
    std::int32_t MaxCacheSize() const { return maxCacheSize_; }

private:
    void LoadServiceSettings();
    void Apply(std::string_view defaultText, const std::string& defaultPath,
               const std::optional<std::string>& overrideText);

    std::string dataFolder_;
    std::int32_t servicePort_ = 0;
    std::string gridId_;
    bool useTls_ = false;
    std::string tlsCnPattern_;
    std::string compression_;
    std::int32_t redisPort_ = 0;
    std::string dbLocation_;
    std::string dbLocationUser_;
    std::string cacheDirectoryLocation_;
    std::string remoteUser_;
    std::int32_t maxCacheSize_ = 0;
};

} // namespace qz::nv
