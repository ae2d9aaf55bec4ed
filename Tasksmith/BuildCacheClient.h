#pragma once

// Cached task results: the request's build cache options, the key of a task, the client of the
// build cache service, and the observer that restores a task before it would run and stores a
// task that succeeded (docs/build-cache.md).
//
// The cache never makes a build wrong or stuck: every wait on the service is bounded, a
// service that is down, slow or full makes tasks run as without a cache (after one line that
// says so), and anything damaged or incomplete is a miss.

#include "BuildReporter.h"
#include "CM/BuildCommandPackets.h"
#include "JobFile.h"
#include "JobRunner.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::tasksmith {

struct CacheTransportReply;

struct CacheEndpoint {
    std::string host;
    int port = 0;
    /// Hits only: nothing is stored.
    bool readOnly = false;
    /// Bounds of every exchange with the service.
    int connectTimeoutMs = 1000;
    int transferTimeoutMs = 10000;
};

/// Where the request's options send the build's cacheable tasks: /BUILDCACHELOCAL=ON (the
/// service of this machine, its port from the cache configuration), /BUILDCACHEREMOTESERVER=
/// host:port, neither (std::nullopt: no cache). notice receives a line to show when an option
/// cannot be followed (a cluster name, an unreadable configuration); the build then runs without
/// the cache.
std::optional<CacheEndpoint> CacheEndpointOfRequest(const TBuildCommandPacket& request,
                                                    std::string& notice);

/// Digests of files, computed once per build and file (thread-safe; files are hashed outside
/// the lock).
class FileDigests {
public:
    std::optional<std::string> Of(const std::string& path);

private:
    std::mutex mutex_;
    std::map<std::string, std::optional<std::string>> known_;
};

/// The program a task runs: an exec task's first argument looked up in the PATH of its
/// environment, or /bin/sh for a shell line. Empty when it cannot be found.
std::string TaskProgram(const JobTask& task, const std::vector<std::string>& environment);

/// The task's cache key: its command, the contents of the program it runs, its folder and its
/// declared files relative to the job's folder, the contents of its inputs, its environment
/// additions and the values of the variables it lists. std::nullopt (why says which) when the
/// task cannot be cached this time: a missing input or program.
std::optional<std::string> TaskKey(const JobTask& task, const JobSpec& job,
                                   const std::vector<std::string>& environment,
                                   FileDigests& digests, std::string& why);

/// A path relative to base when it lies below it, else the path itself.
std::string RelativeTo(const std::string& path, const std::string& base);

/// The service's HTTP client; every call is bounded by the endpoint's timeouts. One thread at a
/// time. The HTTP exchanges live in a module loaded on first use (CacheTransport.h); when it
/// cannot be loaded, every call is Unavailable with the loader's reason.
class CacheConnection {
public:
    enum class Status { Ok, NotFound, Refused, Unavailable };
    explicit CacheConnection(const CacheEndpoint& endpoint);
    ~CacheConnection();
    Status GetEntry(const std::string& key, std::string& text);
    Status PutEntry(const std::string& key, const std::string& text);
    /// A blob of at most maxSize bytes, whole in memory (small blobs: the recorded output).
    Status GetBlob(const std::string& hash, std::string& bytes, std::uint64_t maxSize);
    /// A blob's bytes in pieces to sink (false from sink ends the transfer: Refused).
    Status GetBlobPieces(const std::string& hash,
                         const std::function<bool(std::string_view)>& sink);
    Status PutBlob(const std::string& hash, const std::string& bytes);
    /// Sends the file's bytes in pieces as the blob hash (of size bytes). Refused when the file
    /// cannot be read to its end (it changed meanwhile).
    Status PutBlobFile(const std::string& hash, const std::string& path, std::uint64_t size);
    /// Why the last call failed.
    const std::string& Error() const { return error_; }

private:
    Status Get(const std::string& path, const std::function<bool(std::string_view)>& sink);
    Status Put(const std::string& path, const std::string& body, const char* type);
    Status Outcome(int status, std::string body);
    /// The status of a PUT's answer (or of its failure to arrive).
    Status PutAnswer(const CacheTransportReply& reply);
    /// False (and the reason in error_) when the HTTP client module could not be loaded.
    bool Usable();
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

struct CacheTotals {
    int hits = 0;
    int misses = 0;
    int stored = 0;
    /// The original run times of the restored tasks less the time their restores took.
    std::int64_t savedMs = 0;
    /// Time spent looking up and restoring, and storing.
    std::int64_t fetchMs = 0;
    std::int64_t submitMs = 0;
    bool unavailable = false;
};

/// Sits between the job runner and the reporter: records the output of cacheable tasks, and as
/// the runner's TaskCache restores tasks before they would run and stores those that succeed.
/// Lookups, transfers and file work run on threads of their own (one per task in the cache's
/// hands); everything reported happens on the runner's thread.
class CachingObserver : public TaskObserver, public TaskCache {
public:
    CachingObserver(BuildReporter& reporter, const JobSpec& job,
                    std::vector<std::string> environment, const CacheEndpoint& endpoint);
    /// Waits for the work still in progress (each exchange is bounded).
    ~CachingObserver() override;

    platform::THandle BeginRestore(int task, int slot) override;
    bool FinishRestore(int task) override;
    platform::THandle BeginStore(int task, int slot, std::uint64_t milliseconds) override;
    void FinishStore(int task) override;

    void TaskStarted(int task, int slot) override;
    void TaskOutput(int task, std::string_view lines, bool errorStream) override;
    void TaskFinished(int task, int slot, int exitCode, std::uint64_t milliseconds) override;
    void TaskSkipped(int task) override;
    /// A remote attempt failed and the task runs again here: its output so far is not the
    /// output of the run that may be stored.
    void TaskRetried(int task, int slot, int exitCode, std::uint64_t milliseconds) override;

    const CacheTotals& Totals() const { return totals_; }
    /// The summary lines of the build's cache use.
    std::vector<std::string> SummaryLines() const;

private:
    struct Pending;
    struct Work;
    void Unavailable(const std::string& why);
    platform::THandle Launch(int task, int slot, std::unique_ptr<Work> work,
                             std::function<void(Work&)> body);
    std::unique_ptr<Work> Collect(int task);
    void RestoreIn(Work& work, int task) const;
    void StoreIn(Work& work, int task) const;

    BuildReporter& reporter_;
    const JobSpec& job_;
    std::vector<std::string> environment_;
    CacheEndpoint endpoint_;
    mutable FileDigests digests_;
    std::map<int, std::unique_ptr<Pending>> pending_;
    std::map<int, std::unique_ptr<Work>> work_;
    /// Set by any work that found the service unavailable; later tasks skip the cache.
    mutable std::atomic<bool> down_{false};
    CacheTotals totals_;
};

} // namespace qz::tasksmith
