#include "BuildSession.h"

#include "BuildCacheClient.h"
#include "BuildReporter.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/GrowingSharedStream.h"
#include "CM/MonitorPackets.h"
#include "CM/RuntimeStartup.h"
#include "EventWriter.h"
#include "InterceptSession.h"
#include "JobRunner.h"
#include "MonitorDataFile.h"
#include "NV/AgentReg.h"
#include "NV/BuildFlags.h"
#include "NV/SlurmCluster.h"
#include "RemoteTasks.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/SystemError.h"
#include "platform/SystemInfo.h"
#include "platform/TaskControl.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

namespace qz::tasksmith {

namespace {

// A command file holds the environment and the request; anything near this size is damaged.
constexpr std::int64_t kMaxCommandFileSize = 256 * 1024 * 1024;
// How long the console has to attach after the start event.
constexpr std::uint32_t kAttachTimeoutMs = 60000;
constexpr std::uint64_t kFlushPeriodMs = 100;
constexpr std::uint32_t kEventStreamSectionSize = 0x200000;
// An intercepted build may run any number of tools remotely; the cluster settings cap it.
constexpr int kAnyNumberOfRuns = 1 << 20;

// An initialisation failure; restartable ones end with kExitRestart.
struct InitFailure {
    std::string message;
    bool restartable = false;
};

bool RestartCures(int error) {
    return error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE ||
           error == EINTR || error == EBUSY;
}

[[noreturn]] void FailInit(const std::string& text, int error) {
    throw InitFailure{text + ": " + platform::SystemErrorText(error) + " (" +
                          std::to_string(error) + ")",
                      RestartCures(error)};
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           Lower(text.substr(text.size() - suffix.size())) == suffix;
}

std::string Absolute(const std::string& folder, const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    return (folder.empty() ? platform::CurrentFolder() : folder) + "/" + path;
}

// The output of clean commands goes out as the build's own lines.
class CleanObserver : public TaskObserver {
public:
    explicit CleanObserver(BuildReporter& reporter) : reporter_(reporter) {}
    void TaskStarted(int, int) override {}
    void TaskOutput(int, std::string_view lines, bool errorStream) override {
        reporter_.Message(std::string(lines), errorStream);
    }
    void TaskFinished(int, int, int exitCode, std::uint64_t) override {
        if (exitCode != 0) {
            ++failures;
        }
    }
    int failures = 0;

private:
    BuildReporter& reporter_;
};

// Removes the declared outputs and runs the clean lines of every task, last task first.
// The build cache when the request asks for one and the job has cacheable tasks; it goes into
// the settings as the runner's TaskCache.
std::unique_ptr<CachingObserver> CacheOfRequest(const TBuildCommandPacket& request,
                                                const JobSpec& job, RunSettings& settings,
                                                BuildReporter& reporter) {
    std::string notice;
    std::optional<CacheEndpoint> endpoint = CacheEndpointOfRequest(request, notice);
    if (!notice.empty()) {
        reporter.Message(notice, false);
    }
    if (!endpoint || std::none_of(job.tasks.begin(), job.tasks.end(),
                                  [](const JobTask& t) { return t.cacheable; })) {
        return nullptr;
    }
    auto cache = std::make_unique<CachingObserver>(reporter, job, settings.environment, *endpoint);
    settings.cache = cache.get();
    return cache;
}

int CleanJob(const JobSpec& job, const RunSettings& settings, BuildReporter& reporter) {
    int problems = 0;
    JobSpec cleanJob;
    for (auto it = job.order.rbegin(); it != job.order.rend(); ++it) {
        const JobTask& task = job.tasks[static_cast<std::size_t>(*it)];
        for (const std::string& message : RemoveOutputs(task)) {
            reporter.Message(message, true);
            ++problems;
        }
        if (!task.cleanLine.empty()) {
            JobTask clean = task;
            clean.shellLine = task.cleanLine;
            clean.arguments.clear();
            clean.dependencies.clear();
            cleanJob.tasks.push_back(std::move(clean));
        }
    }
    if (!cleanJob.tasks.empty()) {
        OrderTasks(cleanJob, "clean");
        RunSettings one = settings;
        one.slots = 1;
        one.keepGoing = true;
        CleanObserver observer(reporter);
        RunJob(cleanJob, one, observer);
        problems += observer.failures;
    }
    return problems;
}

RemoteOptions RemoteOptionsOf(const TBuildCommandPacket& request) {
    RemoteOptions options;
    options.avoidLocal = request.HasFlag(nv::bfAvoidLocalOn);
    options.onlyFailLocally = request.HasFlag(nv::bfOnlyFailLocallyOn);
    options.only64Bit = request.HasFlag(nv::bfOnly64BitHelpers);
    options.cloudHelpers = request.HasFlag(nv::bfCloudHelpersOn);
    options.minMajor = static_cast<int>(request.Int(TBuildCommandPacket::MinWinVer_Major));
    options.minMinor = static_cast<int>(request.Int(TBuildCommandPacket::MinWinVer_Minor));
    options.maxMajor = static_cast<int>(request.Int(TBuildCommandPacket::MaxWinVer_Major));
    options.maxMinor = static_cast<int>(request.Int(TBuildCommandPacket::MaxWinVer_Minor));
    return options;
}

// The cluster's slots for the job's remote-capable tasks when the agent has a cluster. A cluster
// that cannot be used is said in one line (shown even under /NOMSGS) and the tasks run here,
// unless the job requires remote execution: then failed is set. A build folder that a node does
// not see fails the build too.
// remoteTasks: how many runs may want a remote slot at once (0: none); folder: the one the nodes
// must share. An intercepted build (tools) never fails for the cluster: a folder the nodes do not
// share is a cluster it cannot use, and its tools run here.
std::unique_ptr<SlurmRemote>
OpenCluster(int remoteTasks, const std::string& folder, bool remoteRequired, bool tools,
            const TBuildCommandPacket& request, const std::vector<std::string>& environment,
            const std::string& idText, BuildReporter& reporter, bool& failed) {
    if (remoteTasks <= 0) {
        return nullptr;
    }
    nv::TClusterSettings cluster = nv::ReadClusterSettings();
    std::string problem;
    std::unique_ptr<SlurmRemote> remote;
    if (!cluster.enabled || cluster.maxRemoteTasks < 1) {
        if (!remoteRequired) {
            return nullptr;
        }
        problem = "no cluster is configured (agent setting \"Cluster\")";
    } else {
        remote = std::make_unique<SlurmRemote>(cluster, RemoteOptionsOf(request), environment);
        problem = remote->Acquire(std::min(remoteTasks, cluster.maxRemoteTasks),
                                  "qz-build-" + idText.substr(1, 8));
        std::vector<std::string> notes;
        if (problem.empty()) {
            problem = remote->CheckNodes(folder, idText, notes);
        }
        for (const std::string& note : notes) {
            reporter.Message(note, false);
        }
        if (problem.empty() && remote->Slots() == 0) {
            problem = "no node of the allocation suits the build's options";
        }
        if (!problem.empty() && remote->FolderNotShared() && !tools) {
            reporter.Message(problem, true);
            failed = true;
            return nullptr;
        }
    }
    if (!problem.empty()) {
        if (remoteRequired) {
            reporter.Message("Cluster not usable: " + problem +
                                 "; the job requires remote execution, so the build stops",
                             true);
            failed = true;
        } else {
            reporter.Message(
                "Cluster not usable: " + problem + "; the remote tasks run on this machine", true);
        }
        return nullptr;
    }
    std::string nodes;
    for (const std::string& node : remote->SlotNodes()) {
        if (nodes.find(node) == std::string::npos) {
            nodes += (nodes.empty() ? "" : ", ") + node;
        }
    }
    reporter.Message("Cluster allocation " + remote->JobId() + ": " +
                         std::to_string(remote->Slots()) + " remote slots on " + nodes,
                     false);
    reporter.WriteRemoteWorkers(remote->SlotNodes(), remote.get());
    return remote;
}

struct Arguments {
    TGuid id{};
    std::string idText;
};

Arguments ParseArguments(const std::vector<std::string>& args) {
    Arguments parsed;
    bool haveId = false;
    for (const std::string& arg : args) {
        std::string lower = Lower(arg);
        if (lower.starts_with("/id=") || lower.starts_with("-id=")) {
            // A GUID text is exactly 38 characters; anything else is refused before parsing.
            std::string text = arg.substr(4);
            if (text.size() != 38 || !TextToGuid(text, parsed.id) || IsNullGuid(parsed.id)) {
                throw InitFailure{"Invalid build id: " + text, false};
            }
            parsed.idText = GuidToText(parsed.id);
            haveId = true;
        } else if (lower.starts_with("/exitcodebase=") || lower.starts_with("-exitcodebase=")) {
            // The console adds the base itself; the value is only checked.
            std::string value = arg.substr(14);
            if (value.empty() || value.size() > 10 ||
                !std::all_of(value.begin(), value.end(),
                             [](unsigned char c) { return c >= '0' && c <= '9'; })) {
                throw InitFailure{"Invalid exit code base: " + value, false};
            }
        } else {
            throw InitFailure{"Unknown argument: " + arg, false};
        }
    }
    if (!haveId) {
        throw InitFailure{"Usage: Tasksmith /id={build id} [/exitcodebase=n]", false};
    }
    return parsed;
}

std::unique_ptr<TBuildCommandPacket> ReadRequest(const std::string& fileName, const TGuid& id) {
    platform::Result<std::string> bytes = platform::ReadPrivateFile(fileName, kMaxCommandFileSize);
    if (!bytes) {
        FailInit("Cannot read the build command file " + fileName, bytes.error().code);
    }
    auto request = std::make_unique<TBuildCommandPacket>();
    try {
        TVirtualStream stream;
        stream.SetContent(*bytes);
        request->LoadFromStream(stream, nullptr, 0);
    } catch (const Exception& e) {
        throw InitFailure{"The build command file " + fileName + " is damaged:\r\n" + e.Message(),
                          false};
    }
    if (!SameGuid(request->Guid(TBuildCommandPacket::BuildID), id)) {
        throw InitFailure{"The build command file " + fileName + " belongs to another build",
                          false};
    }
    return request;
}

// The named objects of the handshake with the console.
struct Handshake {
    std::unique_ptr<platform::Mutex> buildMutex;
    std::unique_ptr<platform::Event> attached;
    std::unique_ptr<platform::Mutex> owner;
    std::unique_ptr<platform::Event> stop;
    std::string stopName;
    std::uint64_t lastStopProbe = 0;

    // Released when the run ends, also by an error: a mutex still held at our end would stay
    // behind as an abandoned object.
    ~Handshake() {
        if (buildMutex && buildMutex->State() == platform::MutexState::OwnedByCaller) {
            buildMutex->Release();
        }
    }

    bool OwnerGone() const {
        if (!owner) {
            return true;
        }
        platform::MutexState state = owner->State();
        return state == platform::MutexState::Free || state == platform::MutexState::Abandoned;
    }

    bool StopSet() {
        // The agent creates its stop event when it stops the build; look for it now and then.
        if (!stop) {
            std::uint64_t now = platform::MonotonicMilliseconds();
            if (now - lastStopProbe < 250) {
                return false;
            }
            lastStopProbe = now;
            auto opened = platform::Event::Open(stopName);
            if (!opened) {
                return false;
            }
            stop = std::move(*opened);
        }
        return stop->IsSet();
    }
};

void Report(const std::string& message) {
    std::fprintf(stderr, "Tasksmith: %s\n", message.c_str());
    std::fflush(stderr);
}

int RunBuild(const Arguments& args) {
    const std::string& idText = args.idText;
    std::string agentFolder;
    std::string tempFolder;
    try {
        nv::TAgentReg reg(nv::aroAllowReadOnly);
        agentFolder = reg.AgentFolder();
        tempFolder = reg.AgentTempFolder();
    } catch (const Exception& e) {
        throw InitFailure{e.Message(), false};
    }
    std::unique_ptr<TBuildCommandPacket> requestPacket =
        ReadRequest(tempFolder + "/" + idText + ".nv_bld_cmd", args.id);
    const TBuildCommandPacket& request = *requestPacket;

    // The build mutex is ours before the console hears of us: its watchdog takes a free mutex
    // for a dead Tasksmith.
    Handshake hs;
    auto buildMutex =
        platform::Mutex::Create("TamrelBuildMutex_" + idText, platform::ObjectAccess::Private);
    if (!buildMutex) {
        FailInit("Cannot create the build mutex", buildMutex.error().code);
    }
    hs.buildMutex = std::move(*buildMutex);
    platform::WaitResult taken = hs.buildMutex->Acquire(0);
    if (taken.status != platform::WaitStatus::Signaled &&
        taken.status != platform::WaitStatus::Abandoned) {
        throw InitFailure{"Another Tasksmith runs build " + idText, false};
    }
    // Held open from now on: the console sets it and closes its handle, and the last close of
    // a named object removes it.
    auto attachedEvent = platform::Event::Create("Orvane_Build_" + idText + "_OwnerAttachedEvent",
                                                 true, false, platform::ObjectAccess::Private);
    if (!attachedEvent) {
        FailInit("Cannot create the owner-attached event", attachedEvent.error().code);
    }
    hs.attached = std::move(*attachedEvent);
    hs.stopName = "Orvane_Build_" + idText + "_StopEvent";

    const std::uint64_t flags = request.Bits(TBuildCommandPacket::Flags);
    const double startTime = Now();
    const std::string host = ComputerNameOrUnknown();
    const int logLevel = static_cast<int>(request.Int(TBuildCommandPacket::OverrideLogLevel));
    const std::string historyFolder = agentFolder + "/History/Local";
    const std::string day = DayFolderText(startTime);
    const std::string monitorName = historyFolder + "/" + day + "/" + idText + ".nv_mon";

    TMetaBuildPacket head;
    head.SetGuid(TMetaBuildPacket::ID, args.id);
    head.SetStr(TMetaBuildPacket::Caption, request.Str(TBuildCommandPacket::Caption));
    head.SetStr(TMetaBuildPacket::ComputerName, host);
    head.SetStr(TMetaBuildPacket::UserName, platform::ReadEnvironmentVariable("USER").value_or(""));
    head.SetBits(TMetaBuildPacket::BuildFlags, flags);
    head.SetDouble(TMetaBuildPacket::StartTime, startTime);
    head.SetBool(TMetaBuildPacket::Incomplete, true);
    head.SetStr(TMetaBuildPacket::PrimaryFilename,
                request.Str(TBuildCommandPacket::PrimaryFilename));
    head.SetInt(TMetaBuildPacket::LoggingLevel, logLevel);
    head.Nested(TMetaBuildPacket::Command).Assign(request);

    std::unique_ptr<MonitorDataFile> monitor;
    try {
        if (!day.empty()) {
            MakeDayFolder(historyFolder, day);
        }
        monitor = std::make_unique<MonitorDataFile>(monitorName, head);
    } catch (const EOSError& e) {
        throw InitFailure{e.Message(), RestartCures(e.ErrorCode())};
    } catch (const Exception& e) {
        throw InitFailure{e.Message(), false};
    }
    // The stream the console reads while the build runs; it holds the same bytes as the file.
    std::unique_ptr<TGrowingSharedStream> stream;
    try {
        stream = std::make_unique<TGrowingSharedStream>(args.id, SessionLocal, true,
                                                        kEventStreamSectionSize);
    } catch (const EOSError& e) {
        throw InitFailure{"Cannot create the build event stream:\r\n" + e.Message(),
                          RestartCures(e.ErrorCode())};
    } catch (const Exception& e) {
        throw InitFailure{"Cannot create the build event stream:\r\n" + e.Message(), false};
    }
    StreamEventSink streamSink(*stream);
    EventWriter writer;
    writer.AddSink(monitor.get());
    writer.AddSink(&streamSink);

    JobSpec job;
    std::string jobError;
    try {
        job = JobOfRequest(request);
    } catch (const Exception& e) {
        jobError = e.Message();
    }
    const std::string primary = Lower(request.Str(TBuildCommandPacket::PrimaryFilename));
    const bool jobFile = request.Str(TBuildCommandPacket::Command).empty() &&
                         (EndsWith(primary, ".xml") || EndsWith(primary, ".xpx"));
    int slots = job.slots > 0 ? job.slots : platform::OnlineProcessorCount();
    if (request.Int(TBuildCommandPacket::OverrideMaxHelpersPerJob) > 0) {
        slots = static_cast<int>(std::min<std::int64_t>(
            request.Int(TBuildCommandPacket::OverrideMaxHelpersPerJob), 4096));
    }
    Presentation presentation = PresentationOf(flags, logLevel, jobFile);
    // A command job's tool runs get slots of their own: the build's slot count, in the rows
    // after the command's own.
    const bool intercepted = !request.Str(TBuildCommandPacket::Command).empty() && jobError.empty();
    int toolSlots = platform::OnlineProcessorCount();
    if (request.Int(TBuildCommandPacket::OverrideMaxHelpersPerJob) > 0) {
        toolSlots = slots;
    }
    BuildReporter reporter(writer, job, presentation, host, intercepted ? 1 + toolSlots : slots);
    reporter.WriteStarted(request, args.id, startTime);
    reporter.WriteWorkers();
    writer.Flush();

    // Tell the console we are up; then wait for it to attach to the event stream.
    {
        auto start = platform::Event::Open("Orvane_Build_" + idText + "_Start_SyncWithProxyEvent");
        if (!start) {
            FailInit("Cannot open the start event", start.error().code);
        }
        (*start)->Set();
    }
    platform::Waitable* attached = hs.attached.get();
    platform::WaitResult wait = platform::WaitAny(&attached, 1, false, kAttachTimeoutMs);
    bool cancelled = false;
    if (wait.status != platform::WaitStatus::Signaled) {
        reporter.Message("The console did not attach to the build within 60 seconds", true);
        cancelled = true;
    } else if (auto owner = platform::Mutex::Open("Orvane_Build_" + idText + "_OwnerTermination")) {
        hs.owner = std::move(*owner);
    } else {
        cancelled = true;
    }

    RunSettings settings;
    settings.slots = slots;
    settings.keepGoing = job.keepGoing && !presentation.stopOnErrors;
    settings.environment = EnvironmentOfRequest(request);
    settings.rebuild = (flags >> nv::bfRebuild) & 1U;
    std::uint64_t lastFlush = platform::MonotonicMilliseconds();
    bool stoppedOnError = false;
    std::unique_ptr<InterceptedBuild> interception;
    settings.stopRequested = [&] {
        if (interception) {
            interception->Pump();
        }
        std::uint64_t now = platform::MonotonicMilliseconds();
        if (now - lastFlush >= kFlushPeriodMs) {
            writer.Flush();
            lastFlush = now;
        }
        // The terminate signal stops the build as the agent's stop event does.
        if (!cancelled && (hs.OwnerGone() || hs.StopSet() || platform::TerminateSignalReceived())) {
            cancelled = true;
        }
        if (presentation.stopOnErrors && reporter.FailureSeen()) {
            stoppedOnError = true;
        }
        return cancelled || stoppedOnError;
    };

    RunOutcome outcome;
    int exitCode = 0;
    if (!jobError.empty()) {
        reporter.Message(jobError, true);
        exitCode = kExitInitFailed;
        outcome.failed = 0;
    } else if (!cancelled) {
        const bool clean = (flags >> nv::bfClean) & 1U;
        const bool jobHasFiles = jobFile;
        if (jobHasFiles && (clean || settings.rebuild)) {
            if (CleanJob(job, settings, reporter) > 0 && !settings.keepGoing) {
                exitCode = 1;
            }
        }
        if (!(jobHasFiles && clean) && exitCode == 0 && !settings.stopRequested()) {
            bool failed = false;
            std::optional<InterceptProfile> profile;
            // An agent folder without the default profile has no interception installed: the
            // command runs as a plain one. A profile the request names must be readable.
            if (intercepted &&
                (!request.Str(TBuildCommandPacket::ProfileFilename).empty() ||
                 platform::PathIsRegularFile(agentFolder + "/" + kDefaultProfileName))) {
                try {
                    profile = ProfileOfRequest(request, agentFolder);
                } catch (const Exception& e) {
                    reporter.Message(e.Message(), true);
                    failed = true;
                }
            }
            std::unique_ptr<SlurmRemote> remote;
            if (!failed && profile) {
                remote = OpenCluster(ProfileWantsRemote(*profile) ? kAnyNumberOfRuns : 0,
                                     job.tasks[0].folder, false, true, request,
                                     settings.environment, idText, reporter, failed);
                interception = InterceptedBuild::Start(
                    std::move(*profile), request, job.tasks[0], settings.environment, agentFolder,
                    tempFolder, toolSlots, remote.get(), reporter);
                if (!interception && remote) {
                    // Nothing can use the allocation: give it back now.
                    remote->Release();
                    remote.reset();
                }
            } else if (!failed) {
                auto first = std::find_if(job.tasks.begin(), job.tasks.end(),
                                          [](const JobTask& task) { return task.remote; });
                const int remoteTasks = static_cast<int>(
                    std::count_if(job.tasks.begin(), job.tasks.end(),
                                  [](const JobTask& task) { return task.remote; }));
                remote = OpenCluster(remoteTasks,
                                     first == job.tasks.end() ? std::string() : first->folder,
                                     job.remoteRequired, false, request, settings.environment,
                                     idText, reporter, failed);
                settings.remote = remote.get();
            }
            if (failed) {
                exitCode = 1;
                outcome.notRun = static_cast<int>(job.tasks.size());
            } else if (!settings.stopRequested()) {
                std::unique_ptr<CachingObserver> cache =
                    CacheOfRequest(request, job, settings, reporter);
                outcome =
                    RunJob(job, settings, cache ? static_cast<TaskObserver&>(*cache) : reporter);
                exitCode = outcome.exitCode;
                if (cache) {
                    const CacheTotals& totals = cache->Totals();
                    reporter.WriteCacheSummary(cache->SummaryLines(), totals.hits + totals.misses,
                                               totals.hits, totals.stored, totals.fetchMs,
                                               totals.submitMs);
                }
            }
            if (interception) {
                interception->Finish();
                interception.reset();
            }
            if (remote) {
                remote->Release();
            }
        }
    }
    cancelled = cancelled && !stoppedOnError;
    if (cancelled && exitCode == 0) {
        exitCode = kExitCancelled;
    }
    reporter.WriteComplete(cancelled, exitCode, outcome);
    writer.Flush();

    head.SetBool(TMetaBuildPacket::Incomplete, false);
    head.SetBool(TMetaBuildPacket::Cancelled, cancelled);
    head.SetInt(TMetaBuildPacket::ExitCode, exitCode);
    head.SetInt(TMetaBuildPacket::ErrorCount, outcome.failed);
    head.SetDouble(TMetaBuildPacket::Duration, (Now() - startTime));
    monitor->Finish(head);

    std::string copy = request.Str(TBuildCommandPacket::MonitorFilename);
    if (!copy.empty()) {
        copy = Absolute(request.Str(TBuildCommandPacket::CurDir), copy);
        try {
            TFileStreamEx source(monitor->FileName(), FileMode::Read | FileMode::ShareDenyNone);
            TFileStreamEx target(copy, FileMode::Create);
            target.CopyFrom(source, 0);
        } catch (const Exception& e) {
            Report("Cannot write the monitor copy " + copy + ": " + e.Message());
        }
    }
    return exitCode;
}

} // namespace

JobSpec JobOfRequest(const TBuildCommandPacket& request) {
    const std::string folder = request.Str(TBuildCommandPacket::CurDir).empty()
                                   ? platform::CurrentFolder()
                                   : request.Str(TBuildCommandPacket::CurDir);
    const std::string caption = request.Str(TBuildCommandPacket::Caption);
    const std::string command = request.Str(TBuildCommandPacket::Command);
    if (!command.empty()) {
        return ShellJob(command, folder, caption);
    }
    const std::string primary = Absolute(folder, request.Str(TBuildCommandPacket::PrimaryFilename));
    if (primary.empty()) {
        Raise("The build request names neither a command nor a job file");
    }
    if (EndsWith(primary, ".xml") || EndsWith(primary, ".xpx")) {
        return LoadJobFile(primary);
    }
    if (EndsWith(primary, ".bat") || EndsWith(primary, ".cmd") || EndsWith(primary, ".sh")) {
        JobSpec job = ShellJob("", folder, caption.empty() ? primary : caption);
        job.tasks[0].shellLine.clear();
        job.tasks[0].arguments = {"/bin/sh", primary};
        return job;
    }
    Raise("Unsupported job file: " + primary);
}

std::vector<std::string> EnvironmentOfRequest(const TBuildCommandPacket& request) {
    std::vector<std::string> environment;
    const std::string& block = request.Str(TBuildCommandPacket::EnvBlock);
    std::size_t begin = 0;
    while (begin < block.size()) {
        std::size_t end = block.find('\0', begin);
        if (end == std::string::npos) {
            end = block.size();
        }
        if (end == begin) {
            break;
        }
        std::string entry = block.substr(begin, end - begin);
        // Entries such as "=C:=C:\" have no name; they mean nothing here.
        if (entry.find('=') != std::string::npos && entry[0] != '=') {
            environment.push_back(std::move(entry));
        }
        begin = end + 1;
    }
    if (environment.empty()) {
        environment = platform::EnvironmentEntries();
    }
    EnvAdditions forced;
    const TStringListEx& list = request.Strings(TBuildCommandPacket::ForcedEnv);
    for (int i = 0; i < list.Count(); ++i) {
        const std::string& entry = list[i];
        std::size_t eq = entry.find('=');
        if (eq != std::string::npos && eq > 0) {
            forced.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
    }
    return MergeEnvironment(std::move(environment), forced);
}

int TasksmithMain(const std::vector<std::string>& args) {
    try {
        RuntimeStartup();
        platform::BecomeChildSubreaper();
        platform::WatchTerminateSignal();
        int code = RunBuild(ParseArguments(args));
        platform::KillRemainingChildren(2000, 1000);
        return code;
    } catch (const InitFailure& failure) {
        Report(failure.message);
        platform::KillRemainingChildren(2000, 1000);
        return failure.restartable ? kExitRestart : kExitInitFailed;
    } catch (const std::exception& e) {
        Report(e.what());
        platform::KillRemainingChildren(2000, 1000);
        return kExitInitFailed;
    }
}

} // namespace qz::tasksmith
