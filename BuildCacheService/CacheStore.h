#pragma once

// The cache's contents: blobs below "<cache directory>/FileCache" named by their SHA-256
// digest ("FileCache/ab/abcd..."), written to a temporary name and renamed, checked against their
// name whenever they are read; entries (task key -> manifest) in the index with their last use;
// and the task records. Above the size limit the least recently used entries go, and with them
// the blobs no other entry needs. Thread-safe: blob bytes are hashed and written outside the
// lock, index changes happen under it.

#include "CacheProtocol.h"
#include "RedisIndex.h"
#include "TaskRecords.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace qz::buildcache {

struct StoreOptions {
    /// The cache directory: "FileCache/" and "TaskExtraInfo.db" go there.
    std::string cacheDirectory;
    RedisOptions redis;
    /// 0: no limit.
    std::uint64_t maxBytes = 0;
};

enum class StoreResult { Ok, Exists, Refused, Failed };

struct StoreStats {
    std::int64_t entries = 0;
    std::int64_t bytes = 0;
    std::int64_t hits = 0;
    std::int64_t misses = 0;
    std::int64_t evicted = 0;
    std::int64_t damaged = 0;
};

class CacheStore {
public:
    /// Creates the folders, starts the index and opens the task records; raises with a clear
    /// message on any failure (a damaged database included).
    explicit CacheStore(const StoreOptions& options);
    ~CacheStore();

    /// The manifest of a cached task when it is there and all its blobs are present.
    std::optional<Manifest> FindEntry(const std::string& key);
    /// Stores an entry; Exists when a sound entry of the key is there already (it stays),
    /// Refused (with the reason) when a blob it names is missing.
    StoreResult PutEntry(const std::string& key, const Manifest& manifest, std::string& why);
    void RemoveEntry(const std::string& key);

    /// The bytes of a blob, checked; a damaged blob is removed and reads as missing.
    std::optional<std::string> ReadBlob(const std::string& hash);
    /// Stores bytes under their digest; Refused when the digest is not the name.
    StoreResult PutBlob(const std::string& hash, std::string_view bytes);

    StoreStats Stats();
    std::string BlobPath(const std::string& hash) const;

private:
    void DropEntryLocked(const std::string& key);
    void ReleaseBlobLocked(const std::string& hash);
    void EvictLocked();
    bool BlobPresent(const std::string& hash) const;
    /// A manifest that parsed and whose blobs are all present.
    bool Whole(const std::optional<Manifest>& manifest) const;
    std::int64_t Tick();

    StoreOptions options_;
    std::string fileCache_;
    std::string tempPrefix_;
    std::mutex mutex_;
    RedisIndex index_;
    TaskRecords records_;
    std::atomic<std::uint64_t> tempCounter_{0};
    std::int64_t hits_ = 0;
    std::int64_t misses_ = 0;
    std::int64_t evicted_ = 0;
    std::int64_t damaged_ = 0;
};

} // namespace qz::buildcache
