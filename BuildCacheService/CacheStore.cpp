#include "CacheStore.h"

#include "CM/Exceptions.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/FolderTree.h"
#include "platform/Uuid.h"

#include <ctime>

namespace qz::buildcache {

namespace {

void MakeFolder(const std::string& folder) {
    if (folder.empty() || platform::QueryPathKind(folder) == platform::PathKind::Folder) {
        return;
    }
    std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        MakeFolder(folder.substr(0, slash));
    }
    if (platform::Result<> made = platform::MakeFolder(folder);
        !made && made.error().code != EEXIST) {
        RaiseOsError("Cannot create the cache folder " + folder, made.error().code);
    }
}

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

CacheStore::CacheStore(const StoreOptions& options) : options_(options) {
    fileCache_ = options_.cacheDirectory + "/FileCache";
    std::uint8_t random[16];
    platform::GenerateRandomUuid(random);
    tempPrefix_ =
        HashBytes(std::string_view(reinterpret_cast<const char*>(random), 16)).substr(0, 16) + ".";
    MakeFolder(fileCache_ + "/tmp");
    MakeFolder(options_.redis.folder);
    records_.Open(options_.cacheDirectory + "/TaskExtraInfo.db");
    index_.Start(options_.redis);
    // Writes that a stopped service left half done.
    (void)platform::DeleteMatchingEntries(fileCache_ + "/tmp",
                                          [](std::string_view) { return true; });
    Sweep();
}

CacheStore::~CacheStore() = default;

std::string CacheStore::BlobPath(const std::string& hash) const {
    return fileCache_ + "/" + hash.substr(0, 2) + "/" + hash;
}

bool CacheStore::Whole(const std::optional<Manifest>& manifest) const {
    if (!manifest) {
        return false;
    }
    for (const std::string& blob : manifest->Blobs()) {
        if (!BlobPresent(blob)) {
            return false;
        }
    }
    return true;
}

bool CacheStore::BlobPresent(const std::string& hash) const {
    return platform::PathIsRegularFile(BlobPath(hash));
}

std::int64_t CacheStore::Tick() {
    return index_.Command({"INCR", "clock"}).integer;
}

std::optional<Manifest> CacheStore::FindEntry(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    RedisValue text = index_.Command({"GET", "e:" + key});
    if (text.nil) {
        ++misses_;
        return std::nullopt;
    }
    std::string error;
    std::optional<Manifest> manifest = ParseManifest(text.text, error);
    if (!Whole(manifest)) {
        DropEntryLocked(key);
        ++misses_;
        return std::nullopt;
    }
    index_.Command({"ZADD", "lru", std::to_string(Tick()), key});
    records_.Restored(key, Now());
    ++hits_;
    return manifest;
}

StoreResult CacheStore::PutEntry(const std::string& key, const Manifest& manifest,
                                 std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t size = 0;
    for (const std::string& blob : manifest.Blobs()) {
        if (!BlobPresent(blob) || index_.Command({"EXISTS", "b:" + blob}).integer == 0) {
            why = "blob " + blob + " is not in the cache";
            return StoreResult::Refused;
        }
    }
    RedisValue existing = index_.Command({"GET", "e:" + key});
    if (!existing.nil) {
        std::string error;
        if (Whole(ParseManifest(existing.text, error))) {
            return StoreResult::Exists;
        }
        DropEntryLocked(key);
    }
    for (const std::string& blob : manifest.Blobs()) {
        index_.Command({"HINCRBY", "b:" + blob, "refs", "1"});
    }
    for (const OutputRecord& output : manifest.outputs) {
        size += output.size;
    }
    index_.Command({"SET", "e:" + key, ManifestToText(manifest)});
    index_.Command({"ZADD", "lru", std::to_string(Tick()), key});
    records_.Stored({key, manifest.command, manifest.durationMs, size, 0}, Now());
    EvictLocked();
    return StoreResult::Ok;
}

void CacheStore::RemoveEntry(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    DropEntryLocked(key);
}

void CacheStore::DropEntryLocked(const std::string& key) {
    RedisValue text = index_.Command({"GET", "e:" + key});
    index_.Command({"DEL", "e:" + key});
    index_.Command({"ZREM", "lru", key});
    records_.Removed(key);
    if (text.nil) {
        return;
    }
    std::string error;
    std::optional<Manifest> manifest = ParseManifest(text.text, error);
    if (!manifest) {
        return;
    }
    for (const std::string& blob : manifest->Blobs()) {
        if (index_.Command({"HINCRBY", "b:" + blob, "refs", "-1"}).integer <= 0) {
            ReleaseBlobLocked(blob);
        }
    }
}

void CacheStore::ReleaseBlobLocked(const std::string& hash) {
    RedisValue size = index_.Command({"HGET", "b:" + hash, "size"});
    index_.Command({"DEL", "b:" + hash});
    if (!size.nil) {
        index_.Command({"DECRBY", "total", size.text});
    }
    (void)platform::RemoveFile(BlobPath(hash));
}

void CacheStore::EvictLocked() {
    if (options_.maxBytes == 0) {
        return;
    }
    for (;;) {
        RedisValue total = index_.Command({"GET", "total"});
        if (total.nil || std::stoll(total.text) <= static_cast<long long>(options_.maxBytes)) {
            return;
        }
        RedisValue oldest = index_.Command({"ZRANGE", "lru", "0", "0"});
        if (oldest.items.empty()) {
            return;
        }
        DropEntryLocked(oldest.items.front());
        ++evicted_;
    }
}

std::optional<std::string> CacheStore::ReadBlob(const std::string& hash) {
    std::optional<std::string> bytes = ReadFileBytes(BlobPath(hash));
    if (!bytes) {
        return std::nullopt;
    }
    if (HashBytes(*bytes) != hash) {
        BlobDamaged(hash);
        return std::nullopt;
    }
    return bytes;
}

std::optional<platform::StreamReader> CacheStore::OpenBlob(const std::string& hash) {
    platform::Result<platform::StreamReader> reader = platform::StreamReader::Open(BlobPath(hash));
    if (!reader) {
        return std::nullopt;
    }
    return std::move(*reader);
}

void CacheStore::BlobDamaged(const std::string& hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++damaged_;
    ReleaseBlobLocked(hash);
}

bool BlobUpload::Write(std::string_view bytes) {
    hasher_.Add(bytes);
    return static_cast<bool>(writer_.Write(bytes));
}

StoreResult CacheStore::BeginBlob(const std::string& hash, std::uint64_t sizeHint,
                                  std::unique_ptr<BlobUpload>& upload) {
    upload.reset();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (BlobPresent(hash) && index_.Command({"EXISTS", "b:" + hash}).integer != 0) {
            // Claimed anew: the sweep spares it until the entry that needs it comes.
            index_.Command({"HSET", "b:" + hash, "at", std::to_string(Now())});
            return StoreResult::Exists;
        }
    }
    const std::string temp = fileCache_ + "/tmp/" + tempPrefix_ + std::to_string(++tempCounter_);
    platform::Result<platform::StreamWriter> writer =
        platform::StreamWriter::Create(temp, sizeHint);
    if (!writer) {
        return StoreResult::Failed;
    }
    upload = std::make_unique<BlobUpload>();
    upload->hash_ = hash;
    upload->writer_ = std::move(*writer);
    return StoreResult::Ok;
}

StoreResult CacheStore::FinishBlob(BlobUpload& upload) {
    const std::string& hash = upload.hash_;
    if (upload.hasher_.Finish() != hash) {
        upload.writer_.Discard();
        return StoreResult::Refused;
    }
    try {
        MakeFolder(fileCache_ + "/" + hash.substr(0, 2));
    } catch (const Exception&) {
        upload.writer_.Discard();
        return StoreResult::Failed;
    }
    const std::uint64_t size = upload.writer_.Written();
    std::lock_guard<std::mutex> lock(mutex_);
    // Replaces a damaged or unindexed file of the same name; an equal one is as good.
    if (!upload.writer_.Commit(BlobPath(hash), 0600)) {
        return StoreResult::Failed;
    }
    if (index_.Command({"HSETNX", "b:" + hash, "size", std::to_string(size)}).integer == 1) {
        index_.Command({"HSETNX", "b:" + hash, "refs", "0"});
        index_.Command({"INCRBY", "total", std::to_string(size)});
    }
    index_.Command({"HSET", "b:" + hash, "at", std::to_string(Now())});
    return StoreResult::Ok;
}

StoreResult CacheStore::PutBlob(const std::string& hash, std::string_view bytes) {
    if (HashBytes(bytes) != hash) {
        return StoreResult::Refused;
    }
    std::unique_ptr<BlobUpload> upload;
    StoreResult begun = BeginBlob(hash, bytes.size(), upload);
    if (begun != StoreResult::Ok) {
        return begun;
    }
    if (!upload->Write(bytes)) {
        return StoreResult::Failed;
    }
    return FinishBlob(*upload);
}

int CacheStore::Sweep() {
    platform::Result<std::vector<platform::FolderEntry>> folders = platform::ListFolder(fileCache_);
    if (!folders) {
        return 0;
    }
    const std::int64_t now = Now();
    int removed = 0;
    for (const platform::FolderEntry& folder : *folders) {
        if (folder.kind == platform::PathKind::Folder) {
            removed += SweepFolder(folder.name, now);
        }
    }
    return removed;
}

int CacheStore::SweepFolder(const std::string& folder, std::int64_t now) {
    const std::int64_t age = options_.unclaimedBlobAgeSeconds;
    platform::Result<std::vector<platform::FolderEntry>> files =
        platform::ListFolder(fileCache_ + "/" + folder);
    if (!files) {
        return 0;
    }
    int removed = 0;
    for (const platform::FolderEntry& file : *files) {
        if (file.kind != platform::PathKind::File) {
            continue;
        }
        const std::string path = fileCache_ + "/" + folder + "/" + file.name;
        const std::int64_t fileAge = now - file.modifiedNs / 1000000000;
        if (folder == "tmp" || !IsDigest(file.name) || !file.name.starts_with(folder)) {
            // A write in progress, or no blob of this cache: by age only.
            if (fileAge >= age) {
                removed += platform::RemoveFile(path) ? 1 : 0;
            }
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        RedisValue fields = index_.Command({"HMGET", "b:" + file.name, "refs", "at"});
        const bool indexed = fields.items.size() == 2 && !fields.items[0].empty();
        if (indexed && std::stoll(fields.items[0]) > 0) {
            continue;
        }
        std::int64_t claimed = now - fileAge;
        if (indexed && !fields.items[1].empty()) {
            claimed = std::stoll(fields.items[1]);
        }
        if (now - claimed < age) {
            continue;
        }
        if (indexed) {
            ReleaseBlobLocked(file.name);
        } else {
            (void)platform::RemoveFile(path);
        }
        ++unclaimed_;
        ++removed;
    }
    return removed;
}

StoreStats CacheStore::Stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    StoreStats stats;
    stats.entries = index_.Command({"ZCARD", "lru"}).integer;
    RedisValue total = index_.Command({"GET", "total"});
    stats.bytes = total.nil ? 0 : std::stoll(total.text);
    stats.hits = hits_;
    stats.misses = misses_;
    stats.evicted = evicted_;
    stats.damaged = damaged_;
    stats.unclaimed = unclaimed_;
    return stats;
}

} // namespace qz::buildcache
