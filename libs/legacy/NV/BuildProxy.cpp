#include "BuildProxy.h"

#include "AgentReg.h"
#include "BuildClass.h"
#include "BuildFlags.h"
#include "CM/DiagLog.h"
#include "CM/EnvUtils.h"
#include "CM/ExceptionWatch.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"
#include "CM/GrowingSharedStream.h"
#include "CM/LocalComm.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "CM/ProductInfo.h"
#include "CM/ServicePackets.h"
#include "platform/ChildProcess.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/NativeThread.h"
#include "platform/ProcessInfo.h"
#include "platform/SharedSection.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <set>
#include <unordered_map>

namespace qz::nv {

namespace {

using Req = TBuildCommandPacket;

std::atomic<std::uint32_t> g_startTimeout{60000};
std::atomic<std::uint32_t> g_restartPause{1000};
std::atomic<std::uint32_t> g_readerInterval{100};

constexpr std::uint32_t kWatchdogInterval = 10000;
// How much of the event stream one read copies at most (a larger event is read whole).
constexpr std::int64_t kReadChunk = std::int64_t{16} << 20;

bool HasBit(std::uint64_t flags, int bit) {
    return (flags >> bit) & 1;
}

// The Windows priority class of the agent setting as a process option (the default is high).
std::uint32_t PriorityOfSetting(int priorityClass) {
    return PriorityOption(static_cast<std::uint32_t>(priorityClass));
}

} // namespace

void TBuildProxy::SetStartTimeout(std::uint32_t milliseconds) {
    g_startTimeout = milliseconds;
}

void TBuildProxy::SetRestartPause(std::uint32_t milliseconds) {
    g_restartPause = milliseconds;
}

void TBuildProxy::SetReaderInterval(std::uint32_t milliseconds) {
    g_readerInterval = milliseconds;
}

TBuildProxy::TBuildProxy(std::string displayName, std::string initiatorName,
                         std::uint8_t proxyFlags, TEventHandler onEvent)
    : displayName_(std::move(displayName)), initiatorName_(std::move(initiatorName)),
      proxyFlags_(proxyFlags), onEvent_(std::move(onEvent)) {
    if (initiatorName_.empty()) {
        initiatorName_ = displayName_;
    }
}

TBuildProxy::~TBuildProxy() {
    try {
        CloseSession(HasBit(requestFlags_, bfOwnedBuild) && (proxyFlags_ & pfWaitForTasksmith));
    } catch (...) {
        // A destructor reports nothing; the session is closed as far as it could be.
    }
    if (NotifyQueueAssigned()) {
        GetNotifyQueue().ClearQueue(this);
    }
    process_.reset();
    readerClock_.reset();
    watchdogClock_.reset();
}

// ---- Starting a build -----------------------------------------------------------------------

int TBuildProxy::StartBuild(TBuildCommandPacket& request, const std::string& exitCodeBaseSwitch,
                            int launchMode) {
    if (state_ != TProxyState::New) {
        Raise("Internal Error: Proxy object cannot be reused.");
    }
    try {
        ConnectService();
        TGuid jobId{};
        int result = RequestJob(request, jobId);
        request.SetGuid(Req::BuildID, jobId);
        if (result != sjGranted) {
            return result;
        }
        // A grant must name the build: every named object and file of it carries the id.
        if (IsNullGuid(jobId)) {
            Raise("The agent service granted a build slot without a build id.");
        }
        PrepareRequest(request);
        requestFlags_ = request.Bits(Req::Flags);
        completed_ = false;
        buildId_ = jobId;
        buildIdText_ = GuidToText(jobId);
        exitCodeBaseSwitch_ = exitCodeBaseSwitch;

        std::string folder = PathWithSeparator(AgentTempFolder());
        ForceFolders(folder);
        WriteCommandFile(folder + buildIdText_ + ".nv_bld_cmd", request);

        LaunchTasksmith(launchMode);
        if (HasBit(requestFlags_, bfOwnedBuild)) {
            HoldOwnerMutex();
            AttachEventStream();
        }
        return sjGranted;
    } catch (...) {
        ReleaseServicePipe();
        RaiseWithContext("Failed to start build.");
    }
}

void TBuildProxy::PrepareRequest(TBuildCommandPacket& request) const {
    if (request.Str(Req::BuildClass).empty()) {
        request.SetStr(Req::BuildClass, BuildClassOf(request.Str(Req::PrimaryFilename)));
    }
    request.SetStr(Req::Caption, BuildTitle(request));
    request.SetStr(Req::CurDir, CurrentDirectory());
    request.SetStr(Req::InitiatorName, initiatorName_);

    std::uint64_t flags = request.Bits(Req::Flags);
    if (!HasBit(flags, bfUseIdeMonitor)) {
        return;
    }
    std::vector<std::pair<int, int>> parents;
    for (const platform::ProcessParent& entry : platform::ProcessParentSnapshot()) {
        parents.emplace_back(entry.pid, entry.parentPid);
    }
    // An IDE that shows builds itself holds a marker mutex named after its process id. Only
    // existing markers count, so nothing is created under another program's names.
    for (int pid : ProcessChain(static_cast<int>(platform::CurrentProcessId()), parents)) {
        if (TWinMutex::Query("Orvane_UseIDEMonitor_Mutex_" + std::to_string(pid)) !=
            TWinMutex::TState::NotFound) {
            request.SetInt(Req::UseIDEMonitorPID, pid);
            return;
        }
    }
    request.SetBits(Req::Flags, flags & ~(std::uint64_t{1} << bfUseIdeMonitor));
}

std::vector<int> TBuildProxy::ProcessChain(int pid,
                                           const std::vector<std::pair<int, int>>& parents) {
    std::unordered_map<int, int> parentOf(parents.begin(), parents.end());
    std::set<int> visited;
    std::vector<int> chain;
    for (;;) {
        chain.push_back(pid);
        auto found = parentOf.find(pid);
        if (pid == 0 || found == parentOf.end() || !visited.insert(pid).second) {
            return chain;
        }
        pid = found->second;
    }
}

void TBuildProxy::WriteCommandFile(const std::string& path, const TBuildCommandPacket& request) {
    TVirtualStream bytes;
    request.SaveToStream(bytes);
    if (platform::Result<> written = platform::WritePrivateFile(path, bytes.AsString()); !written) {
        RaiseOsError(Format("Cannot create file \"%s\"", path), written.error().code);
    }
}

std::string TBuildProxy::AgentFolder() {
    if (agentFolder_.empty()) {
        agentFolder_ = TAgentReg(aroAllowReadOnly).AgentFolder(true);
    }
    return agentFolder_;
}

std::string TBuildProxy::AgentTempFolder() {
    return TAgentReg(aroAllowReadOnly).AgentTempFolder();
}

std::string TBuildProxy::ObjectName(const char* suffix) const {
    return "Orvane_Build_" + buildIdText_ + suffix;
}

void TBuildProxy::LaunchTasksmith(int launchMode) {
    std::string commandLine =
        QuoteIfNeeded(PathWithSeparator(AgentFolder()) + "Tasksmith") + " /id=" + buildIdText_;
    if (!exitCodeBaseSwitch_.empty()) {
        commandLine += " " + exitCodeBaseSwitch_;
    }
    startEvent_ =
        std::make_unique<TWinEvent>(nullptr, ObjectName("_Start_SyncWithProxyEvent"), true, false);
    for (int attempt = 0;; ++attempt) {
        CreateTasksmithProcess(commandLine, launchMode);
        int index = WaitForObjects({startEvent_->Handle(), process_->Handle()}, false, nullptr,
                                   wfTimeoutResult, g_startTimeout);
        if (index == 0) {
            break;
        }
        if (index < 0) {
            // Left running, it could still start the build without a slot and with nobody
            // watching it. It runs in a session of its own: its group is everything it started.
            platform::SignalProcessGroup(process_->ProcessId(), platform::ProcessSignal::Kill);
            Raise("Timed out waiting for Tasksmith process to initialize.");
        }
        process_->StopOutput();
        std::uint32_t code = process_->ExitCode();
        std::string out = process_->StdOutText();
        std::string err = process_->StdErrText();
        if (code != kTasksmithRestartCode) {
            Raise(Format("Tasksmith process failed to initialize (exit code %d).\r\n\r\n%s",
                         static_cast<int>(code), out + "\r\n" + err));
        }
        if (attempt == kTasksmithRestartLimit) {
            Raise("Tasksmith process restart tries limit reached");
        }
        std::string text = "Tasksmith failed to start with error code 217!\r\nStdOut: " + out +
                           "\r\nStdErr: " + err;
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
        LogWarning(text);
        platform::SleepMilliseconds(g_restartPause.load());
    }
    startEvent_.reset();
}

void TBuildProxy::CreateTasksmithProcess(const std::string& commandLine, int launchMode) {
    TAgentReg settings(aroAllowReadOnly);
    std::uint32_t options = poNewConsole | poNewProcessGroup | poNoErrorDialogs;
    // Crash dumps asked for Tasksmith: let it write core files.
    TCrossRegIniFile dumps(kKeyRead, false, false,
                           "SOFTWARE\\Microsoft\\Windows\\Windows Error "
                           "Reporting\\LocalDumps",
                           RegRoot::LocalMachine);
    if (dumps.ReadInteger("Tasksmith", "DumpType", 0) > 0) {
        options |= poKeepFaultDialog;
    }
    if (settings.ReadBool("Builder", "HideWindow", true)) {
        options |= poHideWindow;
        if (launchMode == 0) {
            options |= poCaptureOutput | poSeparateStdErr | poTempFileOutput | poInheritHandles;
        }
    }
    options |= PriorityOfSetting(settings.ReadInteger("Builder", "TasksmithPriorityClass", 128));
    process_ = std::make_unique<TProcess>(commandLine, options);
    process_->SetOnDone([this](TProcess& sender) { ProcessDone(sender); });
    process_->Start(false);
}

void TBuildProxy::ProcessDone(TProcess& sender) {
    // Tasksmith has ended: everything it wrote is there now. Read it at once instead of at the
    // next tick, and a build that never completed has failed: there is nothing to wait for.
    if (state_ == TProxyState::Attached && !completed_) {
        try {
            ReadEvents();
            if (state_ == TProxyState::Attached && !completed_) {
                FailBuild("Connection to Tasksmith was terminated unexpectedly.");
            }
        } catch (...) {
            // ReadEvents has failed the build with its message already.
        }
    }
    if (onProcessExit_) {
        onProcessExit_(sender);
    }
}

void TBuildProxy::HoldOwnerMutex() {
    try {
        ownerMutex_ = std::make_unique<TWinMutex>(NullDaclSecurityAttributes(),
                                                  ObjectName("_OwnerTermination"), true);
        if (!ownerMutex_->Owned()) {
            ownerMutex_->Acquire(INFINITE, wfDeadlockWarning | wfAbandonedWarning);
        }
    } catch (...) {
        // Without the mutex the build still runs; Tasksmith then only misses the console's end.
    }
}

void TBuildProxy::AttachEventStream() {
    try {
        TWinEvent attached(nullptr, ObjectName("_OwnerAttachedEvent"), true, false);
        OpenEventStream(true);
        attached.SetEvent();
    } catch (...) {
        RaiseWithContext("Failed to attach to build events stream.");
    }
}

// ---- The event stream ---------------------------------------------------------------------

std::unique_ptr<TLargeStreamAdapter> TBuildProxy::OpenSharedStream(bool global) {
    int session = global ? SessionGlobal : SessionLocal;
    auto stream =
        std::make_unique<TGrowingSharedStream>(buildId_, session, false, kDefaultSectionSize);
    // A section lives while somebody holds it. A short build writes all its events and ends
    // before the first read; holding the first section keeps the started event readable, which
    // names the monitor data file that the rest is read from when later sections are gone.
    if (auto first = platform::SharedSection::Open(
            MakeSessionObjectName(buildId_, session, "SharedStream_Section_0", false),
            kDefaultSectionSize, false, platform::ObjectAccess::Shared)) {
        firstSection_ = std::move(*first);
    }
    return std::make_unique<TGrowingSharedStreamAdapter>(std::move(stream));
}

void TBuildProxy::ConnectService() {
    auto pipe =
        std::make_unique<TLocalCommPipe>(ServiceGuid(), 0x200000, kBuildServiceName, SessionGlobal);
    pipe->CheckConnected();
    proxyPipe_ = std::move(pipe);
}

int TBuildProxy::RequestJob(const TBuildCommandPacket& request, TGuid& jobId) {
    QZ_ASSERT(proxyPipe_ != nullptr);
    TStartJobRequestPacket ask(request, displayName_);
    std::unique_ptr<TPacket> reply = proxyPipe_->Request(ask);
    if (!reply || !reply->Class().InheritsFrom(TStartJobRequestReplyPacket::StaticClass())) {
        Raise(Format("Unexpected reply to the build slot request: %s",
                     reply ? reply->ClassName() : std::string("none")));
    }
    jobId = reply->Guid(TStartJobRequestReplyPacket::JobID);
    return static_cast<int>(reply->Int(TStartJobRequestReplyPacket::Result));
}

void TBuildProxy::ReleaseServicePipe() {
    proxyPipe_.reset();
}

bool TBuildProxy::OpenEventStream(bool raiseOnFailure) {
    QZ_ASSERT(!readerClock_ && !watchdogClock_);
    bool global = false;
    {
        QuietScope quiet;
        try {
            eventStream_ = OpenSharedStream(false);
        } catch (...) {
            try {
                eventStream_ = OpenSharedStream(true);
                global = true;
            } catch (...) {
                if (raiseOnFailure) {
                    throw;
                }
                return false;
            }
        }
    }
    readingFile_ = false;
    buildMutexName_ = "TamrelBuildMutex_" + buildIdText_;
    if (global) {
        buildMutexName_ = MakeGlobalName(buildMutexName_);
    }
    watchdogClock_ =
        TClock::CreateClock(kWatchdogInterval, true, [this](TClock&) { CheckTasksmithAlive(); });
    readerClock_ =
        TClock::CreateClock(g_readerInterval.load(), true, [this](TClock&) { ReadEvents(); });
    GetNotifyQueue().Post(this, npHigh, TMethod::Of<&TBuildProxy::AttachedPing>(this));
    state_ = TProxyState::Attached;
    return true;
}

void TBuildProxy::AttachedPing() {
    if (readerClock_ && readerClock_->Enabled()) {
        readerClock_->Reset();
    }
}

void TBuildProxy::ReadEvents() {
    if (!eventStream_) {
        return;
    }
    struct Pass {
        const std::function<void(bool)>& handler;
        explicit Pass(const std::function<void(bool)>& h) : handler(h) {
            if (handler) {
                handler(true);
            }
        }
        ~Pass() {
            if (handler) {
                try {
                    handler(false);
                } catch (...) {
                    // Writing the gathered output failed; the pass ends all the same.
                }
            }
        }
    } pass(onEventsRead_);
    try {
        while (eventStream_ && eventStream_->Position64() < eventStream_->Size64()) {
            std::int64_t position = eventStream_->Position64();
            std::unique_ptr<TPacket> event;
            try {
                event = LoadEvent(position);
            } catch (...) {
                if (readingFile_) {
                    RaiseWithContext("Failed to load monitor event from data file");
                }
                std::exception_ptr loadError = std::current_exception();
                eventStream_->SetPosition64(position);
                // The damaged bytes must not be decoded again from the buffer.
                buffer_.SetSize(0);
                bool opened = false;
                try {
                    opened = OpenMonitorFile(MonitorFileName());
                } catch (...) {
                    RaiseWithContext("Failed to load monitor event from data stream");
                }
                if (!opened) {
                    try {
                        std::rethrow_exception(loadError);
                    } catch (...) {
                        RaiseWithContext("Failed to load monitor event from data stream");
                    }
                }
                eventStream_->SetPosition64(position);
                continue;
            }
            DispatchEvent(*event);
        }
    } catch (...) {
        if (readerClock_) {
            readerClock_->SetEnabled(false);
        }
        std::exception_ptr error = std::current_exception();
        if (state_ != TProxyState::Closed) {
            FailBuild(ExceptionMessage(error));
        }
        std::rethrow_exception(error);
    }
}

void TBuildProxy::FillBuffer(std::int64_t position, std::int64_t want) {
    std::int64_t available = eventStream_->Size64() - position;
    std::int64_t count = std::min(want, available);
    buffer_.SetSize(0);
    eventStream_->SetPosition64(position);
    buffer_.SetSize(count);
    try {
        eventStream_->Stream().ReadBuffer(buffer_.Memory(), count);
    } catch (...) {
        // A later section is gone when Tasksmith ended before this first read: what is in this
        // section (held since the start) still reads, and its events name the monitor data file
        // that the rest is read from.
        const std::int64_t section = kDefaultSectionSize;
        const std::int64_t toSectionEnd = section - position % section;
        if (readingFile_ || toSectionEnd >= count) {
            throw;
        }
        count = toSectionEnd;
        buffer_.SetSize(0);
        eventStream_->SetPosition64(position);
        buffer_.SetSize(count);
        eventStream_->Stream().ReadBuffer(buffer_.Memory(), count);
    }
    bufferStart_ = position;
    bufferHoldsAll_ = count == available;
}

std::unique_ptr<TPacket> TBuildProxy::LoadEvent(std::int64_t position) {
    // What has arrived is copied in one read and decoded from memory: a read of the shared
    // stream takes its cross-process lock, and a packet is decoded in many small reads.
    if (position < bufferStart_ || position >= bufferStart_ + buffer_.Size()) {
        FillBuffer(position, kReadChunk);
    }
    for (;;) {
        // A failed load must not leave classes it introduced in the context: the same bytes are
        // read again, from here or from the monitor data file.
        std::size_t known = loadContext_.Classes.size();
        buffer_.SetPosition(position - bufferStart_);
        try {
            std::unique_ptr<TPacket> event = TPacket::CreateFromStream(buffer_, &loadContext_, 0);
            eventStream_->SetPosition64(bufferStart_ + buffer_.Position());
            return event;
        } catch (...) {
            loadContext_.Classes.resize(known);
            eventStream_->SetPosition64(position);
            if (bufferHoldsAll_) {
                throw;
            }
        }
        // The buffer ends inside this event: read it again from its start, larger.
        const std::int64_t had = bufferStart_ + buffer_.Size() - position;
        FillBuffer(position, std::max(kReadChunk, 2 * buffer_.Size()));
        if (buffer_.Size() <= had) {
            // The rest of the event is in a section that is gone: the monitor data file has it.
            Raise("Failed to read from shared stream");
        }
    }
}

void TBuildProxy::DispatchEvent(TPacket& event) {
    const TPacketClass& cls = event.Class();
    if (cls.InheritsFrom(TMonitorEventStartedPacket::StaticClass())) {
        ReleaseServicePipe();
        if (IsNullGuid(buildId_)) {
            buildId_ = event.Guid(TMonitorEventStartedPacket::ID);
            buildIdText_ = GuidToText(buildId_);
        }
        startTimeText_ = StartTimeTextOf(event.Double(TMonitorEventStartedPacket::StartTime));
    } else if (cls.InheritsFrom(TMonitorEventCompletePacket::StaticClass())) {
        completed_ = true;
        if (readerClock_) {
            readerClock_->SetEnabled(false);
        }
    }
    if (onEvent_) {
        onEvent_(event);
    }
}

std::string TBuildProxy::StartTimeTextOf(double startTime) {
    // Shared memory and files are not trusted: only a day number that fits is a folder name.
    if (!std::isfinite(startTime) || std::fabs(startTime) >= 2147483648.0) {
        return {};
    }
    return std::to_string(static_cast<long long>(std::trunc(startTime)));
}

std::string TBuildProxy::MonitorFileName() {
    if (!monitorFile_.empty()) {
        return monitorFile_;
    }
    // Without the day the name would be one folder up, where no build's file belongs.
    if (IsNullGuid(buildId_) || startTimeText_.empty()) {
        return {};
    }
    std::string folder = PathResolve(AgentFolder(), "History/Local");
    return PathWithSeparator(folder) + startTimeText_ + "/" + buildIdText_ + ".nv_mon";
}

bool TBuildProxy::OpenMonitorFile(const std::string& path) {
    monitorFile_.clear();
    if (path.empty() || !FileIsPresent(path) || !PathHasExtension(path, ".nv_mon")) {
        return false;
    }
    monitorFile_ = path;
    TMonitorFile file = ::qz::OpenMonitorFile(path);
    eventStream_ = std::make_unique<TDecompressStreamAdapter>(std::move(file.Events));
    buffer_.SetSize(0);
    readingFile_ = true;
    return true;
}

void TBuildProxy::CheckTasksmithAlive() {
    if (!eventStream_ || state_ != TProxyState::Attached || completed_) {
        return;
    }
    if (eventStream_->Position64() < eventStream_->Size64()) {
        return;
    }
    // Only a query: creating the build mutex here would hide a Tasksmith that never made it.
    TWinMutex::TState state;
    try {
        state = TWinMutex::Query(buildMutexName_);
    } catch (...) {
        RaiseWithContext("Failed to query mutex status");
    }
    if (state == TWinMutex::TState::Abandoned || state == TWinMutex::TState::Free ||
        state == TWinMutex::TState::NotFound) {
        FailBuild("Connection to Tasksmith was terminated unexpectedly.");
    }
}

std::string TBuildProxy::SummaryText(int tasksmithErrors, int tasksmithWarnings, int errors,
                                     int warnings) {
    std::vector<std::string> parts;
    if (tasksmithErrors > 0) {
        parts.push_back(std::to_string(tasksmithErrors) + " Tasksmith error(s)");
    }
    if (tasksmithWarnings > 0) {
        parts.push_back(std::to_string(tasksmithWarnings) + " Tasksmith warning(s)");
    }
    parts.push_back(std::to_string(errors) + " error(s)");
    parts.push_back(std::to_string(warnings) + " warning(s)");
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : ", ") + part;
    }
    return text;
}

void TBuildProxy::FailBuild(const std::string& message) {
    failure_ = message;
    {
        TMonitorEventMessagePacket event(0, 2, Now(), "Boardview has failed", message, "", "", 0);
        DispatchEvent(event);
    }
    {
        TMonitorEventCompletePacket event(0, false, SummaryText(1, 0, 0, 0), false, 0, 1, 0, 0, 0);
        DispatchEvent(event);
    }
    // Waiting here for a Tasksmith that still runs would stop the main loop for the rest of its
    // build and then lose its exit; it stays watched instead, and its exit ends the run.
    CloseSession(false);
}

void TBuildProxy::CloseSession(bool waitForProcess) {
    struct MarkClosed {
        TBuildProxy* proxy;
        ~MarkClosed() { proxy->state_ = TProxyState::Closed; }
    } markClosed{this};
    ownerMutex_.reset();
    eventStream_.reset();
    firstSection_.reset();
    // The clocks may be the caller (a tick ends the session): stop them here, free them with the
    // proxy.
    if (readerClock_) {
        readerClock_->SetEnabled(false);
    }
    if (watchdogClock_) {
        watchdogClock_->SetEnabled(false);
    }
    if (state_ == TProxyState::Attached && waitForProcess && process_ && process_->Running()) {
        process_->WaitFor();
    }
}

} // namespace qz::nv
