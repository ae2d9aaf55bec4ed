#include "BuildCacheClient.h"

#include "CM/Exceptions.h"
#include "CacheProtocol.h"
#include "NV/BuildCacheSettings.h"
#include "NV/BuildFlags.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <httplib.h>

namespace qz::tasksmith {

namespace {

using buildcache::Hasher;
using Req = TBuildCommandPacket;

std::string EnvValue(const std::vector<std::string>& environment, const std::string& name) {
    std::string prefix = name + "=";
    for (auto it = environment.rbegin(); it != environment.rend(); ++it) {
        if (it->starts_with(prefix)) {
            return it->substr(prefix.size());
        }
    }
    return {};
}

// Writes bytes to a new file beside the target and renames it over the target, so that a
// reader never sees half a file and a failure leaves the old one.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned mode) {
    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        try {
            MakeFolders(path.substr(0, slash));
        } catch (const Exception&) {
            return false;
        }
    }
    std::string temp = path + ".qzcache-" + std::to_string(platform::MonotonicMilliseconds());
    if (platform::WritePrivateFile(temp, bytes) != 0) {
        return false;
    }
    if (platform::SetFilePermissions(temp, mode) != 0 || platform::ReplaceFile(temp, path) != 0) {
        (void)platform::RemoveFile(temp);
        return false;
    }
    return true;
}

} // namespace

std::optional<CacheEndpoint> CacheEndpointOfRequest(const TBuildCommandPacket& request,
                                                    std::string& notice) {
    CacheEndpoint endpoint;
    endpoint.readOnly = request.Bool(Req::BuildCacheReadOnly);
    if (request.Bool(Req::UseBuildCacheCluster)) {
        notice = "Build cache clusters are not supported on this system; the build runs "
                 "without the build cache";
        return std::nullopt;
    }
    std::string remote = request.Str(Req::RemoteBuildCacheServer);
    if (!remote.empty()) {
        std::size_t colon = remote.rfind(':');
        int port = 0;
        if (colon != std::string::npos) {
            try {
                port = std::stoi(remote.substr(colon + 1));
            } catch (const std::exception&) {
                port = 0;
            }
        }
        if (colon == std::string::npos || colon == 0 || port <= 0 || port > 65535) {
            notice = "The build cache server \"" + remote +
                     "\" is not host:port; the build runs without the build cache";
            return std::nullopt;
        }
        endpoint.host = remote.substr(0, colon);
        endpoint.port = port;
        return endpoint;
    }
    // The local service only when the request asks for it (/BUILDCACHELOCAL=ON): the field's
    // default is on, and without the switch the agent's settings, not known here, would decide.
    const bool override = (request.Bits(Req::Flags) >> nv::bfBuildCacheOverride) & 1U;
    if (!override || !request.Bool(Req::UseLocalBuildCache)) {
        return std::nullopt;
    }
    try {
        nv::TBuildCacheSettings settings;
        if (settings.ServicePort() <= 0 || settings.ServicePort() > 65535) {
            notice = "The build cache configuration names no service port; the build runs "
                     "without the build cache";
            return std::nullopt;
        }
        endpoint.host = "127.0.0.1";
        endpoint.port = settings.ServicePort();
    } catch (const Exception& e) {
        notice = "The build cache configuration cannot be read (" + e.Message() +
                 "); the build runs without the build cache";
        return std::nullopt;
    }
    return endpoint;
}

std::optional<std::string> FileDigests::Of(const std::string& path) {
    long long mtime = 0;
    if (platform::FileModificationTime(path, mtime) != 0) {
        return std::nullopt;
    }
    std::string memo = path + '\0' + std::to_string(mtime);
    auto it = known_.find(memo);
    if (it != known_.end()) {
        return it->second;
    }
    std::optional<std::string> digest = buildcache::HashFile(path);
    known_.emplace(memo, digest);
    return digest;
}

std::string TaskProgram(const JobTask& task, const std::vector<std::string>& environment) {
    if (task.arguments.empty()) {
        return "/bin/sh";
    }
    const std::string& program = task.arguments.front();
    if (program.find('/') != std::string::npos) {
        std::string path = program.front() == '/' ? program : task.folder + "/" + program;
        return platform::PathIsRegularFile(path) ? path : std::string();
    }
    std::string path = EnvValue(environment, "PATH");
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find(':', begin);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string folder = path.substr(begin, end - begin);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (platform::PathIsRegularFile(candidate)) {
            return candidate;
        }
        begin = end + 1;
    }
    return {};
}

std::string RelativeTo(const std::string& path, const std::string& base) {
    if (path == base) {
        return ".";
    }
    if (!base.empty() && path.starts_with(base) &&
        (base.back() == '/' || path[base.size()] == '/')) {
        return path.substr(base.size() + (base.back() == '/' ? 0 : 1));
    }
    return path;
}

std::optional<std::string> TaskKey(const JobTask& task, const JobSpec& job,
                                   const std::vector<std::string>& environment,
                                   FileDigests& digests, std::string& why) {
    std::vector<std::string> env = MergeEnvironment(environment, task.environment);
    std::string program = TaskProgram(task, env);
    if (program.empty()) {
        why = "its program cannot be found";
        return std::nullopt;
    }
    std::optional<std::string> programDigest = digests.Of(program);
    if (!programDigest) {
        why = "its program " + program + " cannot be read";
        return std::nullopt;
    }
    Hasher key;
    key.AddField("qz-task-1");
    key.AddField(task.shellLine.empty() ? "exec" : "shell");
    key.AddField(std::to_string(task.arguments.size()));
    for (const std::string& argument : task.arguments) {
        key.AddField(argument);
    }
    key.AddField(task.shellLine);
    key.AddField(*programDigest);
    key.AddField(RelativeTo(task.folder, job.baseFolder));
    key.AddField(std::to_string(task.environment.size()));
    for (const auto& [name, value] : task.environment) {
        key.AddField(name);
        key.AddField(value);
    }
    key.AddField(std::to_string(task.cacheEnv.size()));
    for (const std::string& name : task.cacheEnv) {
        key.AddField(name);
        key.AddField(EnvValue(env, name));
    }
    key.AddField(std::to_string(task.inputs.size()));
    for (const std::string& input : task.inputs) {
        std::optional<std::string> digest = digests.Of(input);
        if (!digest) {
            why = "its input " + input + " cannot be read";
            return std::nullopt;
        }
        key.AddField(RelativeTo(input, job.baseFolder));
        key.AddField(*digest);
    }
    key.AddField(std::to_string(task.outputs.size()));
    for (const std::string& output : task.outputs) {
        key.AddField(RelativeTo(output, job.baseFolder));
    }
    return key.Finish();
}

struct CacheConnection::Impl {
    httplib::Client client;
    explicit Impl(const CacheEndpoint& e) : client(e.host, e.port) {
        client.set_connection_timeout(std::chrono::milliseconds(e.connectTimeoutMs));
        client.set_read_timeout(std::chrono::milliseconds(e.transferTimeoutMs));
        client.set_write_timeout(std::chrono::milliseconds(e.transferTimeoutMs));
        // A new connection per request: a kept connection the service closed meanwhile would
        // fail the next request and make the cache look unavailable.
        client.set_keep_alive(false);
        client.set_tcp_nodelay(true);
    }
};

CacheConnection::CacheConnection(const CacheEndpoint& endpoint)
    : impl_(std::make_unique<Impl>(endpoint)) {}

CacheConnection::~CacheConnection() = default;

CacheConnection::Status CacheConnection::Get(const std::string& path, std::string& body) {
    // The body goes into one buffer of its announced size (the library's own grows in small
    // steps, which makes large blobs slow).
    body.clear();
    httplib::Result result = impl_->client.Get(
        path,
        [&](const httplib::Response& response) {
            std::uint64_t length = response.get_header_value<std::uint64_t>("Content-Length");
            if (length < (std::uint64_t(1) << 34)) {
                body.reserve(static_cast<std::size_t>(length));
            }
            return true;
        },
        [&](const char* data, std::size_t size) {
            body.append(data, size);
            return true;
        });
    if (!result) {
        error_ = httplib::to_string(result.error());
        return Status::Unavailable;
    }
    if (result->status == 200) {
        return Status::Ok;
    }
    error_ = "HTTP " + std::to_string(result->status) + ": " + body;
    while (!error_.empty() && error_.back() == '\n') {
        error_.pop_back();
    }
    if (result->status == 404) {
        return Status::NotFound;
    }
    return result->status >= 500 ? Status::Unavailable : Status::Refused;
}

CacheConnection::Status CacheConnection::Put(const std::string& path, const std::string& body,
                                             const char* type) {
    httplib::Result result = impl_->client.Put(path, body, type);
    if (!result) {
        error_ = httplib::to_string(result.error());
        return Status::Unavailable;
    }
    if (result->status == 200 || result->status == 201) {
        return Status::Ok;
    }
    error_ = "HTTP " + std::to_string(result->status) + ": " + result->body;
    while (!error_.empty() && error_.back() == '\n') {
        error_.pop_back();
    }
    return result->status >= 500 ? Status::Unavailable : Status::Refused;
}

CacheConnection::Status CacheConnection::GetEntry(const std::string& key, std::string& text) {
    return Get("/v1/entry/" + key, text);
}

CacheConnection::Status CacheConnection::PutEntry(const std::string& key, const std::string& text) {
    return Put("/v1/entry/" + key, text, "application/json");
}

CacheConnection::Status CacheConnection::GetBlob(const std::string& hash, std::string& bytes) {
    return Get("/v1/blob/" + hash, bytes);
}

CacheConnection::Status CacheConnection::PutBlob(const std::string& hash,
                                                 const std::string& bytes) {
    return Put("/v1/blob/" + hash, bytes, "application/octet-stream");
}

struct CachingObserver::Pending {
    std::string key;
    buildcache::RecordedOutput output;
};

CachingObserver::CachingObserver(BuildReporter& reporter, const JobSpec& job,
                                 std::vector<std::string> environment,
                                 const CacheEndpoint& endpoint)
    : reporter_(reporter), job_(job), environment_(std::move(environment)), endpoint_(endpoint),
      connection_(endpoint) {}

CachingObserver::~CachingObserver() = default;

void CachingObserver::Unavailable(const std::string& why) {
    if (totals_.unavailable) {
        return;
    }
    totals_.unavailable = true;
    reporter_.Message("The build cache at " + endpoint_.host + ":" +
                          std::to_string(endpoint_.port) + " is unavailable (" + why +
                          "); the build goes on without it",
                      false);
}

bool CachingObserver::Restore(int task) {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    pending_.erase(task);
    if (!jobTask.cacheable || totals_.unavailable) {
        return false;
    }
    std::string why;
    std::optional<std::string> key = TaskKey(jobTask, job_, environment_, digests_, why);
    if (!key) {
        reporter_.Message("Task \"" + jobTask.id + "\" is not cached: " + why, false);
        return false;
    }
    const std::uint64_t began = platform::MonotonicMilliseconds();
    const bool restored = TryRestore(task, *key);
    totals_.fetchMs += static_cast<std::int64_t>(platform::MonotonicMilliseconds() - began);
    if (restored) {
        return true;
    }
    ++totals_.misses;
    auto pending = std::make_unique<Pending>();
    pending->key = *key;
    pending_[task] = std::move(pending);
    return false;
}

bool CachingObserver::TryRestore(int task, const std::string& key) {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    const std::uint64_t began = platform::MonotonicMilliseconds();
    std::string text;
    CacheConnection::Status status = connection_.GetEntry(key, text);
    if (status == CacheConnection::Status::Unavailable) {
        Unavailable(connection_.Error());
        return false;
    }
    if (status != CacheConnection::Status::Ok) {
        return false;
    }
    std::string why;
    std::optional<buildcache::Manifest> manifest = buildcache::ParseManifest(text, why);
    if (!manifest || manifest->outputs.size() != jobTask.outputs.size()) {
        return false;
    }
    // Every blob is fetched and checked before the first output is replaced.
    std::vector<std::string> blobs;
    for (const buildcache::OutputRecord& output : manifest->outputs) {
        std::string bytes;
        status = connection_.GetBlob(output.blob, bytes);
        if (status == CacheConnection::Status::Unavailable) {
            Unavailable(connection_.Error());
        }
        if (status != CacheConnection::Status::Ok || bytes.size() != output.size ||
            buildcache::HashBytes(bytes) != output.blob) {
            return false;
        }
        blobs.push_back(std::move(bytes));
    }
    buildcache::RecordedOutput recorded;
    if (!manifest->outputBlob.empty()) {
        std::string bytes;
        status = connection_.GetBlob(manifest->outputBlob, bytes);
        if (status == CacheConnection::Status::Unavailable) {
            Unavailable(connection_.Error());
        }
        std::optional<buildcache::RecordedOutput> decoded;
        if (status == CacheConnection::Status::Ok &&
            buildcache::HashBytes(bytes) == manifest->outputBlob) {
            decoded = buildcache::DecodeOutput(bytes);
        }
        if (!decoded) {
            return false;
        }
        recorded = std::move(*decoded);
    }
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        if (!WriteFileAtomically(jobTask.outputs[i], blobs[i], manifest->outputs[i].mode)) {
            reporter_.Message("Task \"" + jobTask.id + "\": cannot restore " + jobTask.outputs[i] +
                                  " from the build cache; it runs",
                              false);
            return false;
        }
    }
    for (const auto& [error, chunk] : recorded.chunks) {
        reporter_.TaskOutput(task, chunk, error);
    }
    const std::uint64_t took = platform::MonotonicMilliseconds() - began;
    ++totals_.hits;
    totals_.savedMs +=
        static_cast<std::int64_t>(manifest->durationMs) - static_cast<std::int64_t>(took);
    reporter_.TaskRestored(task, manifest->durationMs, took);
    return true;
}

void CachingObserver::TaskStarted(int task, int slot) {
    reporter_.TaskStarted(task, slot);
}

void CachingObserver::TaskOutput(int task, std::string_view lines, bool errorStream) {
    auto it = pending_.find(task);
    if (it != pending_.end()) {
        it->second->output.chunks.emplace_back(errorStream, std::string(lines));
    }
    reporter_.TaskOutput(task, lines, errorStream);
}

void CachingObserver::TaskFinished(int task, int slot, int exitCode, std::uint64_t milliseconds) {
    reporter_.TaskFinished(task, slot, exitCode, milliseconds);
    if (exitCode == 0) {
        const std::uint64_t began = platform::MonotonicMilliseconds();
        Store(task, milliseconds);
        totals_.submitMs += static_cast<std::int64_t>(platform::MonotonicMilliseconds() - began);
    }
    pending_.erase(task);
}

void CachingObserver::TaskSkipped(int task) {
    reporter_.TaskSkipped(task);
}

void CachingObserver::TaskRetried(int task, int slot, int exitCode, std::uint64_t milliseconds) {
    auto it = pending_.find(task);
    if (it != pending_.end()) {
        it->second->output.chunks.clear();
    }
    reporter_.TaskRetried(task, slot, exitCode, milliseconds);
}

void CachingObserver::Store(int task, std::uint64_t milliseconds) {
    auto it = pending_.find(task);
    if (it == pending_.end() || endpoint_.readOnly || totals_.unavailable) {
        return;
    }
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    buildcache::Manifest manifest;
    manifest.durationMs = milliseconds;
    manifest.command = jobTask.CommandLine();
    std::vector<std::pair<std::string, std::string>> blobs; // digest, bytes
    for (const std::string& output : jobTask.outputs) {
        std::optional<std::string> bytes = buildcache::ReadFileBytes(output);
        unsigned mode = 0644;
        if (!bytes || platform::FilePermissions(output, mode) != 0) {
            reporter_.Message("Task \"" + jobTask.id +
                                  "\" is not stored in the build cache: " + output + " is missing",
                              false);
            return;
        }
        buildcache::OutputRecord record;
        record.blob = buildcache::HashBytes(*bytes);
        record.size = bytes->size();
        record.mode = mode & 0777;
        manifest.outputs.push_back(record);
        blobs.emplace_back(record.blob, std::move(*bytes));
    }
    if (!it->second->output.chunks.empty()) {
        std::string bytes = buildcache::EncodeOutput(it->second->output);
        manifest.outputBlob = buildcache::HashBytes(bytes);
        blobs.emplace_back(manifest.outputBlob, std::move(bytes));
    }
    for (const auto& [digest, bytes] : blobs) {
        CacheConnection::Status status = connection_.PutBlob(digest, bytes);
        if (status == CacheConnection::Status::Unavailable) {
            Unavailable(connection_.Error());
            return;
        }
        if (status != CacheConnection::Status::Ok) {
            return;
        }
    }
    CacheConnection::Status status =
        connection_.PutEntry(it->second->key, buildcache::ManifestToText(manifest));
    if (status == CacheConnection::Status::Unavailable) {
        Unavailable(connection_.Error());
    } else if (status == CacheConnection::Status::Ok) {
        ++totals_.stored;
    }
}

std::vector<std::string> CachingObserver::SummaryLines() const {
    char saved[32];
    std::snprintf(saved, sizeof saved, "%.2f",
                  double(std::max<std::int64_t>(0, totals_.savedMs)) / 1000.0);
    std::vector<std::string> lines;
    lines.push_back("Build cache: " + std::to_string(totals_.hits) + " hits, " +
                    std::to_string(totals_.misses) + " misses, " + std::to_string(totals_.stored) +
                    " stored, " + saved + " s saved" +
                    (totals_.unavailable ? " (the cache became unavailable)" : ""));
    return lines;
}

} // namespace qz::tasksmith
