#include "BuildCacheClient.h"

#include "CM/Exceptions.h"
#include "CacheProtocol.h"
#include "CacheTransport.h"
#include "NV/BuildCacheSettings.h"
#include "NV/BuildFlags.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Pipe.h"
#include "platform/ProcessInfo.h"
#include "platform/StreamFile.h"
#include "platform/Uuid.h"

#include <algorithm>
#include <filesystem>
#include <thread>

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

// The largest recorded output accepted back from the cache (it is replayed from memory).
constexpr std::uint64_t kMaxRecordedOutput = std::uint64_t(256) << 20;

// A name beside path for a file on its way in, unique across builds and threads.
std::string TempBeside(const std::string& path) {
    std::uint8_t random[16];
    platform::GenerateRandomUuid(random);
    static const char* const kHex = "0123456789abcdef";
    std::string suffix;
    for (std::uint8_t byte : random) {
        suffix += kHex[byte >> 4];
        suffix += kHex[byte & 15];
    }
    return path + ".qzcache-" + suffix;
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
    platform::Result<long long> mtime = platform::FileModificationTime(path);
    if (!mtime) {
        return std::nullopt;
    }
    std::string memo = path + '\0' + std::to_string(*mtime);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = known_.find(memo);
        if (it != known_.end()) {
            return it->second;
        }
    }
    std::optional<std::string> digest = buildcache::HashFile(path);
    std::lock_guard<std::mutex> lock(mutex_);
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

namespace {

// The module of the HTTP exchanges, loaded beside the running program the first time a build
// talks to a cache, and kept for the rest of the process.
struct TransportModule {
    CacheTransportFactory factory = nullptr;
    std::string error;
};

const TransportModule& LoadedTransportModule() {
    static const TransportModule module = [] {
        TransportModule loaded;
        std::string program = platform::ExecutablePath();
        std::string path =
            (std::filesystem::path(program).parent_path() / kCacheTransportModuleName).string();
        platform::Result<platform::LibraryHandle> library = platform::OpenLibrary(path);
        if (!library) {
            loaded.error = "cannot load " + path + ": " + library.error().Text();
            return loaded;
        }
        platform::Result<void*> symbol =
            platform::FindLibrarySymbol(*library, kCacheTransportFactoryName);
        if (!symbol) {
            loaded.error = path + " is not the build cache client module: " + symbol.error().Text();
            return loaded;
        }
        loaded.factory = reinterpret_cast<CacheTransportFactory>(*symbol);
        return loaded;
    }();
    return module;
}

} // namespace

struct CacheConnection::Impl {
    std::unique_ptr<CacheTransport> transport;
    std::string error;
    explicit Impl(const CacheEndpoint& e) {
        const TransportModule& module = LoadedTransportModule();
        if (module.factory == nullptr) {
            error = module.error;
            return;
        }
        transport.reset(
            module.factory(e.host.c_str(), e.port, e.connectTimeoutMs, e.transferTimeoutMs));
        if (!transport) {
            error = "the HTTP client could not be made";
        }
    }
};

CacheConnection::CacheConnection(const CacheEndpoint& endpoint)
    : impl_(std::make_unique<Impl>(endpoint)) {}

CacheConnection::~CacheConnection() = default;

CacheConnection::Status CacheConnection::Outcome(int status, std::string body) {
    error_ = "HTTP " + std::to_string(status) + ": " + body.substr(0, 200);
    while (!error_.empty() && error_.back() == '\n') {
        error_.pop_back();
    }
    if (status == 404) {
        return Status::NotFound;
    }
    return status >= 500 ? Status::Unavailable : Status::Refused;
}

bool CacheConnection::Usable() {
    if (impl_->transport) {
        return true;
    }
    error_ = impl_->error;
    return false;
}

CacheConnection::Status CacheConnection::Get(const std::string& path,
                                             const std::function<bool(std::string_view)>& sink) {
    if (!Usable()) {
        return Status::Unavailable;
    }
    bool sinkRefused = false;
    CacheTransportReply reply = impl_->transport->Get(path, [&](std::string_view piece) {
        if (!sink(piece)) {
            sinkRefused = true;
            return false;
        }
        return true;
    });
    if (sinkRefused) {
        error_ = "the answer is not what was asked for";
        return Status::Refused;
    }
    if (!reply.arrived) {
        error_ = reply.error;
        return Status::Unavailable;
    }
    if (reply.status == 200) {
        return Status::Ok;
    }
    return Outcome(reply.status, reply.body);
}

CacheConnection::Status CacheConnection::Put(const std::string& path, const std::string& body,
                                             const char* type) {
    if (!Usable()) {
        return Status::Unavailable;
    }
    return PutAnswer(impl_->transport->Put(path, body, type));
}

CacheConnection::Status CacheConnection::PutAnswer(const CacheTransportReply& reply) {
    if (!reply.arrived) {
        error_ = reply.error;
        return Status::Unavailable;
    }
    if (reply.status == 200 || reply.status == 201) {
        return Status::Ok;
    }
    return Outcome(reply.status, reply.body);
}

CacheConnection::Status CacheConnection::GetEntry(const std::string& key, std::string& text) {
    text.clear();
    return Get("/v1/entry/" + key, [&](std::string_view piece) {
        if (text.size() + piece.size() > buildcache::kMaxManifestSize) {
            return false;
        }
        text.append(piece);
        return true;
    });
}

CacheConnection::Status CacheConnection::PutEntry(const std::string& key, const std::string& text) {
    return Put("/v1/entry/" + key, text, "application/json");
}

CacheConnection::Status CacheConnection::GetBlob(const std::string& hash, std::string& bytes,
                                                 std::uint64_t maxSize) {
    bytes.clear();
    return Get("/v1/blob/" + hash, [&](std::string_view piece) {
        if (bytes.size() + piece.size() > maxSize) {
            return false;
        }
        bytes.append(piece);
        return true;
    });
}

CacheConnection::Status
CacheConnection::GetBlobPieces(const std::string& hash,
                               const std::function<bool(std::string_view)>& sink) {
    return Get("/v1/blob/" + hash, sink);
}

CacheConnection::Status CacheConnection::PutBlob(const std::string& hash,
                                                 const std::string& bytes) {
    return Put("/v1/blob/" + hash, bytes, "application/octet-stream");
}

CacheConnection::Status CacheConnection::PutBlobFile(const std::string& hash,
                                                     const std::string& path, std::uint64_t size) {
    if (!Usable()) {
        return Status::Unavailable;
    }
    platform::Result<platform::StreamReader> reader = platform::StreamReader::Open(path);
    if (!reader) {
        error_ = reader.error().Text();
        return Status::Refused;
    }
    std::string buffer(std::size_t(1) << 20, '\0');
    std::uint64_t sent = 0;
    bool readFailed = false;
    CacheTransportReply reply = impl_->transport->PutPieces(
        "/v1/blob/" + hash, static_cast<std::size_t>(size),
        [&](std::size_t offset, std::size_t length, const CachePieceWriter& write) {
            if (offset != sent) {
                readFailed = true;
                return false;
            }
            platform::Result<std::size_t> done =
                reader->Read(buffer.data(), std::min(length, buffer.size()));
            if (!done || *done == 0) {
                readFailed = true; // shorter than it was: it changed meanwhile
                return false;
            }
            sent += *done;
            return write(buffer.data(), *done);
        },
        "application/octet-stream");
    if (readFailed) {
        error_ = path + " changed while it was stored";
        return Status::Refused;
    }
    return PutAnswer(reply);
}

struct CachingObserver::Pending {
    std::string key;
    buildcache::RecordedOutput output;
};

// One task in the cache's hands: its thread, the pipe whose read end tells the runner that the
// thread is done (the thread closes the write end), and what the thread found. The thread
// writes the results; the runner's thread reads them after joining it.
struct CachingObserver::Work {
    int slot = 0;
    std::uint64_t began = 0;
    std::thread thread;
    platform::PipeEnds pipe;
    // A restore: the key it computed (or why none), whether it restored, and what.
    std::string key;
    std::string uncachedWhy;
    bool restored = false;
    buildcache::Manifest manifest;
    buildcache::RecordedOutput recorded;
    // A store: what it stores, and whether it did.
    std::unique_ptr<Pending> pending;
    std::uint64_t milliseconds = 0;
    bool stored = false;
    // Lines to show, and why the service is unavailable (empty when it answered).
    std::vector<std::string> messages;
    std::string unavailable;
    std::uint64_t took = 0;
};

CachingObserver::CachingObserver(BuildReporter& reporter, const JobSpec& job,
                                 std::vector<std::string> environment,
                                 const CacheEndpoint& endpoint)
    : reporter_(reporter), job_(job), environment_(std::move(environment)), endpoint_(endpoint) {}

CachingObserver::~CachingObserver() {
    for (auto& [task, work] : work_) {
        if (work->thread.joinable()) {
            work->thread.join();
        }
        platform::CloseHandle(work->pipe.read);
    }
}

void CachingObserver::Unavailable(const std::string& why) {
    down_ = true;
    if (totals_.unavailable) {
        return;
    }
    totals_.unavailable = true;
    reporter_.Message("The build cache at " + endpoint_.host + ":" +
                          std::to_string(endpoint_.port) + " is unavailable (" + why +
                          "); the build goes on without it",
                      false);
}

platform::THandle CachingObserver::Launch(int task, int slot, std::unique_ptr<Work> work,
                                          std::function<void(Work&)> body) {
    auto pipe = platform::CreatePipe();
    if (!pipe) {
        return platform::kInvalidHandle; // no thread: the task goes on without the cache
    }
    work->pipe = *pipe;
    work->slot = slot;
    work->began = platform::MonotonicMilliseconds();
    Work& w = *work;
    w.thread = std::thread([&w, body = std::move(body)] {
        try {
            body(w);
        } catch (const Exception& e) {
            w.messages.push_back("The build cache failed: " + e.Message());
            w.restored = false;
            w.stored = false;
        } catch (const std::exception& e) {
            w.messages.push_back(std::string("The build cache failed: ") + e.what());
            w.restored = false;
            w.stored = false;
        }
        w.took = platform::MonotonicMilliseconds() - w.began;
        platform::CloseHandle(w.pipe.write);
    });
    const platform::THandle handle = w.pipe.read;
    work_[task] = std::move(work);
    reporter_.CachingBegan(slot);
    return handle;
}

std::unique_ptr<CachingObserver::Work> CachingObserver::Collect(int task) {
    auto it = work_.find(task);
    if (it == work_.end()) {
        return nullptr;
    }
    std::unique_ptr<Work> work = std::move(it->second);
    work_.erase(it);
    work->thread.join();
    platform::CloseHandle(work->pipe.read);
    for (const std::string& message : work->messages) {
        reporter_.Message(message, false);
    }
    if (!work->unavailable.empty()) {
        Unavailable(work->unavailable);
    }
    return work;
}

platform::THandle CachingObserver::BeginRestore(int task, int slot) {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    pending_.erase(task);
    if (!jobTask.cacheable || down_) {
        return platform::kInvalidHandle;
    }
    return Launch(task, slot, std::make_unique<Work>(),
                  [this, task](Work& work) { RestoreIn(work, task); });
}

bool CachingObserver::FinishRestore(int task) {
    std::unique_ptr<Work> work = Collect(task);
    if (!work) {
        return false;
    }
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    totals_.fetchMs += static_cast<std::int64_t>(work->took);
    reporter_.CachingEnded(work->slot, work->restored);
    if (work->key.empty()) {
        reporter_.Message("Task \"" + jobTask.id + "\" is not cached: " + work->uncachedWhy, false);
        return false;
    }
    if (!work->restored) {
        ++totals_.misses;
        auto pending = std::make_unique<Pending>();
        pending->key = work->key;
        pending_[task] = std::move(pending);
        return false;
    }
    for (const auto& [error, chunk] : work->recorded.chunks) {
        reporter_.TaskOutput(task, chunk, error);
    }
    ++totals_.hits;
    totals_.savedMs += static_cast<std::int64_t>(work->manifest.durationMs) -
                       static_cast<std::int64_t>(work->took);
    reporter_.TaskRestored(task, work->manifest.durationMs, work->took);
    return true;
}

// On the work's thread: computes the key, looks it up, fetches every output into a file beside
// its place (hashing on the way), and only when all arrived sound renames them into place.
void CachingObserver::RestoreIn(Work& work, int task) const {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    std::optional<std::string> key =
        TaskKey(jobTask, job_, environment_, digests_, work.uncachedWhy);
    if (!key) {
        return;
    }
    work.key = *key;
    CacheConnection connection(endpoint_);
    std::string text;
    CacheConnection::Status status = connection.GetEntry(work.key, text);
    if (status == CacheConnection::Status::Unavailable) {
        work.unavailable = connection.Error();
        return;
    }
    if (status != CacheConnection::Status::Ok) {
        return;
    }
    std::string why;
    std::optional<buildcache::Manifest> manifest = buildcache::ParseManifest(text, why);
    if (!manifest || manifest->outputs.size() != jobTask.outputs.size()) {
        return;
    }
    // Fetches one output into a new file beside its place; Ok only with every byte sound.
    auto fetch = [&](const buildcache::OutputRecord& output, const std::string& place,
                     platform::StreamWriter& file) {
        const std::string temp = TempBeside(place);
        const std::size_t slash = place.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            MakeFolders(place.substr(0, slash)); // raises: the work's thread reports it
        }
        platform::Result<platform::StreamWriter> created =
            platform::StreamWriter::Create(temp, output.size);
        if (!created) {
            work.messages.push_back("Task \"" + jobTask.id + "\": cannot restore " + place +
                                    " from the build cache (" + created.error().Text() +
                                    "); it runs");
            return CacheConnection::Status::Refused;
        }
        file = std::move(*created);
        buildcache::Hasher hasher;
        bool writeFailed = false;
        CacheConnection::Status got =
            connection.GetBlobPieces(output.blob, [&](std::string_view piece) {
                if (file.Written() + piece.size() > output.size) {
                    return false;
                }
                hasher.Add(piece);
                if (!file.Write(piece)) {
                    writeFailed = true;
                    return false;
                }
                return true;
            });
        if (writeFailed) {
            work.messages.push_back("Task \"" + jobTask.id + "\": cannot restore " + place +
                                    " from the build cache (the disk refused it); it runs");
            return CacheConnection::Status::Refused;
        }
        if (got == CacheConnection::Status::Ok &&
            (file.Written() != output.size || hasher.Finish() != output.blob)) {
            got = CacheConnection::Status::Refused; // damaged on the way: a miss
        }
        if (got != CacheConnection::Status::Ok) {
            file.Discard();
        }
        return got;
    };
    std::vector<platform::StreamWriter> files(manifest->outputs.size());
    for (std::size_t i = 0; i < manifest->outputs.size(); ++i) {
        const buildcache::OutputRecord& output = manifest->outputs[i];
        status = fetch(output, jobTask.outputs[i], files[i]);
        if (status == CacheConnection::Status::Unavailable) {
            // The service cuts off a blob it finds damaged while sending it (and removes it):
            // asked again, it answers 404. Still cut off: it is unavailable.
            status = fetch(output, jobTask.outputs[i], files[i]);
            if (status == CacheConnection::Status::Unavailable) {
                work.unavailable = connection.Error();
            }
        }
        if (status != CacheConnection::Status::Ok) {
            return;
        }
    }
    if (!manifest->outputBlob.empty()) {
        std::string bytes;
        status = connection.GetBlob(manifest->outputBlob, bytes, kMaxRecordedOutput);
        if (status == CacheConnection::Status::Unavailable) {
            work.unavailable = connection.Error();
        }
        std::optional<buildcache::RecordedOutput> decoded;
        if (status == CacheConnection::Status::Ok &&
            buildcache::HashBytes(bytes) == manifest->outputBlob) {
            decoded = buildcache::DecodeOutput(bytes);
        }
        if (!decoded) {
            return;
        }
        work.recorded = std::move(*decoded);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& place = jobTask.outputs[i];
        platform::Result<void> committed = files[i].Commit(place, manifest->outputs[i].mode);
        if (!committed) {
            work.messages.push_back("Task \"" + jobTask.id + "\": cannot restore " + place +
                                    " from the build cache (" + committed.error().Text() +
                                    "); it runs");
            return;
        }
    }
    work.manifest = std::move(*manifest);
    work.restored = true;
}

platform::THandle CachingObserver::BeginStore(int task, int slot, std::uint64_t milliseconds) {
    auto it = pending_.find(task);
    if (it == pending_.end()) {
        return platform::kInvalidHandle;
    }
    std::unique_ptr<Pending> pending = std::move(it->second);
    pending_.erase(it);
    if (endpoint_.readOnly || down_) {
        return platform::kInvalidHandle;
    }
    auto work = std::make_unique<Work>();
    work->pending = std::move(pending);
    work->milliseconds = milliseconds;
    return Launch(task, slot, std::move(work), [this, task](Work& w) { StoreIn(w, task); });
}

void CachingObserver::FinishStore(int task) {
    std::unique_ptr<Work> work = Collect(task);
    if (!work) {
        return;
    }
    totals_.submitMs += static_cast<std::int64_t>(work->took);
    reporter_.CachingEnded(work->slot, work->stored);
    if (work->stored) {
        ++totals_.stored;
    }
}

// On the work's thread: hashes each output (reading it in pieces), sends it in pieces, then the
// recorded output and the entry. The service checks every blob against its name, so an output
// that changes meanwhile is refused, never stored wrong.
void CachingObserver::StoreIn(Work& work, int task) const {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    buildcache::Manifest manifest;
    manifest.durationMs = work.milliseconds;
    manifest.command = jobTask.CommandLine();
    for (const std::string& output : jobTask.outputs) {
        std::uint64_t size = 0;
        std::optional<std::string> digest = buildcache::HashFile(output, &size);
        platform::Result<unsigned> mode = platform::FilePermissions(output);
        if (!digest || !mode) {
            work.messages.push_back("Task \"" + jobTask.id +
                                    "\" is not stored in the build cache: " + output +
                                    " is missing");
            return;
        }
        buildcache::OutputRecord record;
        record.blob = *digest;
        record.size = size;
        record.mode = *mode & 0777;
        manifest.outputs.push_back(record);
    }
    CacheConnection connection(endpoint_);
    auto failed = [&](CacheConnection::Status status) {
        if (status == CacheConnection::Status::Unavailable) {
            work.unavailable = connection.Error();
        }
        return status != CacheConnection::Status::Ok;
    };
    for (std::size_t i = 0; i < manifest.outputs.size(); ++i) {
        const buildcache::OutputRecord& record = manifest.outputs[i];
        if (failed(connection.PutBlobFile(record.blob, jobTask.outputs[i], record.size))) {
            return;
        }
    }
    if (!work.pending->output.chunks.empty()) {
        std::string bytes = buildcache::EncodeOutput(work.pending->output);
        manifest.outputBlob = buildcache::HashBytes(bytes);
        if (failed(connection.PutBlob(manifest.outputBlob, bytes))) {
            return;
        }
    }
    if (failed(connection.PutEntry(work.pending->key, buildcache::ManifestToText(manifest)))) {
        return;
    }
    work.stored = true;
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
    if (exitCode != 0) {
        pending_.erase(task); // only successful tasks are stored
    }
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
