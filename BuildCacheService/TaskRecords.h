#pragma once

// "TaskExtraInfo.db": one row per cached task (its key, command line, original duration, size,
// when it was stored and last used, and how often it was restored), for people and tools that
// ask what the cache holds. The index (RedisIndex) decides hits; these rows only describe them.
// Not thread-safe: one caller at a time.

#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;

namespace qz::buildcache {

struct TaskRecord {
    std::string key;
    std::string command;
    std::uint64_t durationMs = 0;
    std::uint64_t size = 0;
    std::int64_t hits = 0;
};

class TaskRecords {
public:
    TaskRecords() = default;
    ~TaskRecords();
    TaskRecords(const TaskRecords&) = delete;
    TaskRecords& operator=(const TaskRecords&) = delete;

    /// Opens or creates the database and checks it; raises "The task information database
    /// <path> is damaged: ..." when it is not a sound database of ours.
    void Open(const std::string& path);
    void Close();

    void Stored(const TaskRecord& record, std::int64_t now);
    void Restored(const std::string& key, std::int64_t now);
    void Removed(const std::string& key);
    std::optional<TaskRecord> Find(const std::string& key);
    std::int64_t Count();

private:
    void Exec(const char* sql);
    sqlite3* db_ = nullptr;
    std::string path_;
};

} // namespace qz::buildcache
