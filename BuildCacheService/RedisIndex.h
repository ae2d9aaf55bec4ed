#pragma once

// The cache's index: a redis-server of its own, started with the service (its database files
// "*.rdb" in the configured folder) and stopped with it (saving its data), and the commands the
// store sends it. Not thread-safe: one caller at a time.

#include "platform/ChildProcess.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct redisContext;
struct redisReply;

namespace qz::buildcache {

struct RedisOptions {
    /// The server program (looked up in PATH).
    std::string program = "redis-server";
    /// Its database folder: "dump.rdb" and its log "redis.log" live there.
    std::string folder;
    /// 0: a socket file "redis.sock" in the folder instead of a loopback port.
    int port = 0;
    /// How long the start may take (loading a large database included).
    int startTimeoutMs = 30000;
    /// When set and it turns true during the start, the start stops the server and raises
    /// StartStopped.
    const std::atomic<bool>* stopStart = nullptr;
};

/// Raised by RedisIndex::Start when options.stopStart asked it to stop.
struct StartStopped {};

/// A reply: nil, an integer, a text or an array of texts.
struct RedisValue {
    bool nil = true;
    long long integer = 0;
    std::string text;
    std::vector<std::string> items;
};

class RedisIndex {
public:
    RedisIndex() = default;
    /// Stops the server when it runs.
    ~RedisIndex();
    RedisIndex(const RedisIndex&) = delete;
    RedisIndex& operator=(const RedisIndex&) = delete;

    /// Starts the server and connects. Raises with a clear message when the program cannot run,
    /// the port is taken, or the database file is damaged (the server's own words from its log).
    void Start(const RedisOptions& options);
    /// Saves and stops the server (killed after 10 s).
    void Stop();
    bool Running() const { return context_ != nullptr; }

    /// Sends one command; raises when the server does not answer or answers with an error.
    RedisValue Command(const std::vector<std::string>& arguments);

private:
    void Connect();
    std::string LogTail() const;

    RedisOptions options_;
    platform::ChildProcess server_;
    redisContext* context_ = nullptr;
};

} // namespace qz::buildcache
