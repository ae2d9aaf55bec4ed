#pragma once

// The build proxy: one attempt to run a build for the console. It asks the agent service for a
// build slot, writes the request to the build's command file, starts Tasksmith and waits until it
// reports that it has started, takes ownership of the build through the owner-termination mutex
// and reads the build's event stream every 100 ms, handing each event to the console. When the
// shared stream can no longer be read, reading goes on at the same position in the build's
// monitor data file; while the stream is idle it checks every 10 s that Tasksmith still holds its
// build mutex.
//
// Named objects shared with Tasksmith (<id> is the build id's braced text):
//   "Orvane_Build_<id>_Start_SyncWithProxyEvent"  created by the proxy, set by Tasksmith
//   "Orvane_Build_<id>_OwnerTermination"          created already owned by the proxy; abandoned
//                                                 when the console ends
//   "Orvane_Build_<id>_OwnerAttachedEvent"        set by the proxy once it reads the stream
//   "TamrelBuildMutex_<id>"                       owned by Tasksmith; the proxy only queries it
//
// Threads: everything runs on the main thread (clock ticks and queued notifications).

#include "CM/BuildCommandPackets.h"
#include "CM/NotifyQueue.h"
#include "CM/NvObjects.h"
#include "CM/Packets.h"
#include "CM/ProcessExecution.h"
#include "CM/StreamUtils.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qz {
class TCommPipe;
namespace platform {
class SharedSection;
}
} // namespace qz

namespace qz::nv {

/// Results of the start-job request.
enum TStartJobResult : int {
    sjGranted = 0,
    sjMaxBuildsReached = 1,
    sjNotEnoughCores = 2,
    sjUpdatePending = 4,
};

/// ProxyFlags: when the proxy is destroyed while attached, wait for the Tasksmith process.
inline constexpr std::uint8_t pfWaitForTasksmith = 0x4;

/// The exit code with which Tasksmith says that starting it again may work.
inline constexpr std::uint32_t kTasksmithRestartCode = 217;
/// How often a Tasksmith that ends with kTasksmithRestartCode is started again.
inline constexpr int kTasksmithRestartLimit = 30;

enum class TProxyState : std::uint8_t { New = 0, Attached = 3, Closed = 4 };

class TBuildProxy {
public:
    using TEventHandler = std::function<void(TPacket& event)>;
    using TProcessExitHandler = std::function<void(TProcess& sender)>;

    /// initiatorName empty: the display name is the initiator. proxyFlags: pfWaitForTasksmith.
    TBuildProxy(std::string displayName, std::string initiatorName, std::uint8_t proxyFlags,
                TEventHandler onEvent);
    /// Closes the session; with pfWaitForTasksmith and an owned build that is still attached it
    /// waits without limit until the Tasksmith process has ended (it is never signalled).
    virtual ~TBuildProxy();
    TBuildProxy(const TBuildProxy&) = delete;
    TBuildProxy& operator=(const TBuildProxy&) = delete;

    /// Called on the main thread when the Tasksmith process ends.
    void SetOnProcessExit(TProcessExitHandler handler) { onProcessExit_ = std::move(handler); }
    /// Called with true before the reader dispatches the events that have arrived and with false
    /// after it (also when reading failed), so output can be written once per pass.
    void SetOnEventsRead(std::function<void(bool reading)> handler) {
        onEventsRead_ = std::move(handler);
    }

    /// One attempt: returns the agent's result (sjGranted once the build runs and the proxy
    /// reads its events). Every failure is raised as "Failed to start build." + CR LF + the
    /// cause, keeping an abort an abort and a system error's code. A proxy is used once:
    /// a second call raises "Internal Error: Proxy object cannot be reused.".
    int StartBuild(TBuildCommandPacket& request, const std::string& exitCodeBaseSwitch,
                   int launchMode);

    /// Completes the request before it is written: build class, caption, current folder,
    /// initiator and the IDE monitor search of /USEIDEMONITOR.
    void PrepareRequest(TBuildCommandPacket& request) const;

    // ---- The event stream ----

    /// Opens the build's shared event stream (local namespace, else global) and starts the
    /// reader and watchdog clocks. False (or the error, with raiseOnFailure) when it exists in
    /// neither namespace.
    bool OpenEventStream(bool raiseOnFailure);
    /// The reader clock's tick: dispatches every event that has arrived.
    void ReadEvents();
    /// The watchdog clock's tick: while the stream is idle and the build not complete, a build
    /// mutex that is abandoned, free or gone fails the build.
    void CheckTasksmithAlive();
    /// Ends the session with a failure: a message event, then a completion event, both
    /// dispatched, then the session is closed. A Tasksmith process that still runs is not waited
    /// for; its exit still reaches the process-exit handler.
    void FailBuild(const std::string& message);
    /// The build's monitor data file: "<agent folder>/History/Local/<day>/<id>.nv_mon"; empty
    /// before the started event has named the day or without a build id.
    std::string MonitorFileName();
    /// Switches reading to the monitor data file; false when the path is empty, missing or not
    /// a ".nv_mon" file; raises the file's reading errors.
    bool OpenMonitorFile(const std::string& path);
    /// Closes the owner mutex handle (the main thread keeps owning the mutex until it ends), the
    /// stream and the clocks; with waitForProcess and an attached session, waits for Tasksmith.
    void CloseSession(bool waitForProcess);

    TProxyState ProxyState() const { return state_; }
    const TGuid& BuildId() const { return buildId_; }
    const std::string& BuildIdText() const { return buildIdText_; }
    bool Completed() const { return completed_; }
    /// The message with which the proxy failed the build (events it could not read, a
    /// Tasksmith that ended without completing it); empty while it has not.
    const std::string& Failure() const { return failure_; }
    const std::string& StartTimeText() const { return startTimeText_; }
    bool ReadingMonitorFile() const { return readingFile_; }
    /// The percentage shown in the waiting line.
    int Progress() const { return progress_; }
    TProcess* TasksmithProcess() const { return process_.get(); }
    const std::string& BuildMutexName() const { return buildMutexName_; }

    /// The whole days of a date-time value as decimal text; empty for NaN, infinite or values
    /// whose day number does not fit 32 bits.
    static std::string StartTimeTextOf(double startTime);
    /// "1 Tasksmith error(s), 0 error(s), 0 warning(s)" and the like: the Tasksmith parts only
    /// when their counts are above 0.
    static std::string SummaryText(int tasksmithErrors, int tasksmithWarnings, int errors,
                                   int warnings);
    /// The process chain from pid upwards through the parents of the snapshot: pid first; ends
    /// with a process id of 0, one missing from the snapshot or one already visited (each of
    /// these still in the chain).
    static std::vector<int> ProcessChain(int pid, const std::vector<std::pair<int, int>>& parents);
    /// Writes the request to path as one header-framed packet in a file only this user may
    /// read, created anew (an old file or a link of that name is removed first).
    static void WriteCommandFile(const std::string& path, const TBuildCommandPacket& request);

    /// Test seams for the waits of the Tasksmith start: the start limit (60000 ms) and the pause
    /// before a restart (1000 ms); and for the period of the event reader (100 ms).
    static void SetStartTimeout(std::uint32_t milliseconds);
    static void SetRestartPause(std::uint32_t milliseconds);
    static void SetReaderInterval(std::uint32_t milliseconds);

protected:
    // ---- The agent service (seams for tests) ----

    /// Opens and connects the proxy's own pipe to the agent service.
    virtual void ConnectService();
    /// Sends the start-job request and waits for the reply; returns its Result and JobID.
    /// A reply of another class raises.
    virtual int RequestJob(const TBuildCommandPacket& request, TGuid& jobId);
    /// Frees the proxy's pipe (at the first build event, or after a failed start).
    virtual void ReleaseServicePipe();
    /// Opens the build's shared event stream as an opener in the local or global namespace.
    virtual std::unique_ptr<TLargeStreamAdapter> OpenSharedStream(bool global);

    /// The agent folder (setting "Folder" of section "Builder", required).
    virtual std::string AgentFolder();
    /// The agent's temporary folder (setting "TempDir", else the agent folder + "/Temp").
    virtual std::string AgentTempFolder();

private:
    void LaunchTasksmith(int launchMode);
    void CreateTasksmithProcess(const std::string& commandLine, int launchMode);
    void HoldOwnerMutex();
    void AttachEventStream();
    void AttachedPing();
    void FillBuffer(std::int64_t position, std::int64_t want);
    std::unique_ptr<TPacket> LoadEvent(std::int64_t position);
    void DispatchEvent(TPacket& event);
    void ProcessDone(TProcess& sender);
    std::string ObjectName(const char* suffix) const;

    std::unique_ptr<TCommPipe> proxyPipe_;
    std::string displayName_;
    std::string initiatorName_;
    std::uint8_t proxyFlags_;
    TEventHandler onEvent_;
    TProcessExitHandler onProcessExit_;
    std::function<void(bool reading)> onEventsRead_;
    TGuid buildId_{};
    std::string buildIdText_;
    TProxyState state_ = TProxyState::New;
    std::string exitCodeBaseSwitch_;
    std::unique_ptr<TWinMutex> ownerMutex_;
    std::unique_ptr<TWinEvent> startEvent_;
    std::unique_ptr<TClock> readerClock_;
    std::unique_ptr<TClock> watchdogClock_;
    std::unique_ptr<TLargeStreamAdapter> eventStream_;
    std::unique_ptr<platform::SharedSection> firstSection_;
    bool readingFile_ = false;
    bool completed_ = false;
    std::string failure_;
    std::uint64_t requestFlags_ = 0;
    std::unique_ptr<TProcess> process_;
    std::string buildMutexName_;
    TPacketLoadContext loadContext_;
    // Kept between reads (every 100 ms), not given back to the system and mapped again.
    TVirtualStream buffer_{VirtualStreamOption::KeepMemory | VirtualStreamOption::NeverShrink};
    std::int64_t bufferStart_ = 0;
    bool bufferHoldsAll_ = false;
    int progress_ = 0;
    std::string monitorFile_;
    std::string startTimeText_;
    std::string agentFolder_;
};

} // namespace qz::nv
