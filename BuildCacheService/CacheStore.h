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
#include "platform/StreamFile.h"

#include <atomic>
#include <cstdint>
#include <memory>
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
    /// Blobs that no entry names (a store that ended before its entry) are removed once they
    /// are this old: at start and at every Sweep. A store in progress sends its entry within
    /// seconds of its blobs, so this is far beyond any store.
    std::int64_t unclaimedBlobAgeSeconds = 3600;
};

enum class StoreResult { Ok, Exists, Refused, Failed };

struct StoreStats {
    std::int64_t entries = 0;
    std::int64_t bytes = 0;
    std::int64_t hits = 0;
    std::int64_t misses = 0;
    std::int64_t evicted = 0;
    std::int64_t damaged = 0;
    /// Blobs removed because no entry named them.
    std::int64_t unclaimed = 0;
};

/// A blob being received: its bytes go to a temporary file in "FileCache/tmp" and are hashed on
/// the way; CacheStore::FinishBlob publishes it only when the digest is its name.
class BlobUpload {
public:
    /// False when the file cannot be written (the upload is then abandoned).
    bool Write(std::string_view bytes);
    std::uint64_t Written() const { return writer_.Written(); }

private:
    friend class CacheStore;
    std::string hash_;
    platform::StreamWriter writer_;
    Hasher hasher_;
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
    /// The blob's file to send in pieces; the sender hashes what it sends and calls
    /// BlobDamaged when the digest is not the name. std::nullopt when it is missing.
    std::optional<platform::StreamReader> OpenBlob(const std::string& hash);
    /// Removes a blob whose bytes do not match its name (counted as damaged).
    void BlobDamaged(const std::string& hash);

    /// Starts receiving a blob of about sizeHint bytes: Exists (upload stays empty) when a sound
    /// blob of the name is there, Failed when no temporary file can be made, else Ok.
    StoreResult BeginBlob(const std::string& hash, std::uint64_t sizeHint,
                          std::unique_ptr<BlobUpload>& upload);
    /// Publishes a received blob: Refused (and removed) when its digest is not its name,
    /// Failed when it cannot be moved into place.
    StoreResult FinishBlob(BlobUpload& upload);
    /// Stores bytes under their digest; Refused when the digest is not the name.
    StoreResult PutBlob(const std::string& hash, std::string_view bytes);

    /// Removes the blobs no entry names that are older than the configured age (and files in
    /// the blob folders that are not blobs of the index). Returns how many went.
    int Sweep();

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
    int SweepFolder(const std::string& folder, std::int64_t now);

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
    std::int64_t unclaimed_ = 0;
};

} // namespace qz::buildcache
