#include "TaskRecords.h"

#include "CM/Exceptions.h"

#include <sqlite3.h>

namespace qz::buildcache {

namespace {

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            Raise(std::string("Task information database: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    void Text(int i, const std::string& text) {
        sqlite3_bind_text(stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Int(int i, std::int64_t value) { sqlite3_bind_int64(stmt, i, value); }
};

} // namespace

TaskRecords::~TaskRecords() {
    Close();
}

void TaskRecords::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        Raise("The task information database " + path_ + " is damaged: " + message);
    }
}

void TaskRecords::Open(const std::string& path) {
    Close();
    path_ = path;
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        Close();
        Raise("Cannot open the task information database " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        // A cache loses nothing that matters with a crash, so writes need not wait for the disk.
        Exec("PRAGMA synchronous=OFF");
        Statement check(db_, "PRAGMA quick_check");
        if (sqlite3_step(check.stmt) != SQLITE_ROW ||
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(check.stmt, 0))) !=
                "ok") {
            Raise("The task information database " + path + " is damaged: quick_check failed");
        }
        Exec("CREATE TABLE IF NOT EXISTS tasks (key TEXT PRIMARY KEY, command TEXT NOT NULL, "
             "duration_ms INTEGER NOT NULL, size INTEGER NOT NULL, stored INTEGER NOT NULL, "
             "last_used INTEGER NOT NULL, hits INTEGER NOT NULL DEFAULT 0)");
    } catch (const Exception& e) {
        Close();
        std::string message = e.Message();
        if (message.find(path) == std::string::npos) {
            message = "The task information database " + path + " is damaged: " + message;
        }
        Raise(message);
    }
}

void TaskRecords::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

void TaskRecords::Stored(const TaskRecord& record, std::int64_t now) {
    Statement s(db_, "INSERT OR REPLACE INTO tasks (key, command, duration_ms, size, stored, "
                     "last_used, hits) VALUES (?, ?, ?, ?, ?, ?, 0)");
    s.Text(1, record.key);
    s.Text(2, record.command);
    s.Int(3, static_cast<std::int64_t>(record.durationMs));
    s.Int(4, static_cast<std::int64_t>(record.size));
    s.Int(5, now);
    s.Int(6, now);
    sqlite3_step(s.stmt);
}

void TaskRecords::Restored(const std::string& key, std::int64_t now) {
    Statement s(db_, "UPDATE tasks SET hits = hits + 1, last_used = ? WHERE key = ?");
    s.Int(1, now);
    s.Text(2, key);
    sqlite3_step(s.stmt);
}

void TaskRecords::Removed(const std::string& key) {
    Statement s(db_, "DELETE FROM tasks WHERE key = ?");
    s.Text(1, key);
    sqlite3_step(s.stmt);
}

std::optional<TaskRecord> TaskRecords::Find(const std::string& key) {
    Statement s(db_, "SELECT command, duration_ms, size, hits FROM tasks WHERE key = ?");
    s.Text(1, key);
    if (sqlite3_step(s.stmt) != SQLITE_ROW) {
        return std::nullopt;
    }
    TaskRecord record;
    record.key = key;
    const unsigned char* command = sqlite3_column_text(s.stmt, 0);
    record.command = command != nullptr ? reinterpret_cast<const char*>(command) : "";
    record.durationMs = static_cast<std::uint64_t>(sqlite3_column_int64(s.stmt, 1));
    record.size = static_cast<std::uint64_t>(sqlite3_column_int64(s.stmt, 2));
    record.hits = sqlite3_column_int64(s.stmt, 3);
    return record;
}

std::int64_t TaskRecords::Count() {
    Statement s(db_, "SELECT COUNT(*) FROM tasks");
    return sqlite3_step(s.stmt) == SQLITE_ROW ? sqlite3_column_int64(s.stmt, 0) : 0;
}

} // namespace qz::buildcache
