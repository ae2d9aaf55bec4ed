#pragma once

// The console: one object per run that turns the command line into one request (a build, a
// management command or the usage text), dispatches it, reports through WriteLine and ends the
// run with an exit code through Finish or Fatal.

#include "BuildProxy.h"
#include "CM/BuildCommandPackets.h"
#include "CM/EnvUtils.h"
#include "CM/LocalComm.h"
#include "CM/ServicePackets.h"
#include "CM/Stream.h"
#include "CM/StringLists.h"
#include "platform/ServiceControl.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz::nv {

/// The consoles of the product family; this program always runs in custom-tools mode.
enum ModeFlag : std::uint8_t {
    SolutionMode = 0x01,
    CustomToolsMode = 0x02,
    MakeMode = 0x04,
    TestMode = 0x08,
};

/// The version text that follows the title.
inline constexpr const char* kConsoleVersion = "10.24.2 (build 14861)";

/// The default exit-code base of a valued switch that is not a number.
inline constexpr int kDefaultExitCodeBase = 10000;

/// The build cache service that the cache clean stops and starts again.
inline constexpr const char* kBuildCacheServiceName = "Orvane BuildCache";

/// How long the cache clean waits for the build cache service to stop, by default.
inline constexpr int kCacheServiceStopTimeoutMs = 30000;

/// Added to every nonzero exit code.
int ExitCodeBase();
void SetExitCodeBase(int value);

/// The process exit code: 0 for 0, otherwise code + ExitCodeBase(), added with 32-bit
/// wrap-around.
void SetExitCode(int code);
int ProcessExitCode();

/// The status the process ends with for an exit code. A parent sees only the low 8 bits, so a
/// nonzero code whose low byte is 0 (256, 10240, ...) would read as success: it becomes 255.
int ProcessExitStatus(int exitCode);

/// SetExitCode(code), then stops the main loop (a loop not yet started returns at once).
void Finish(int code);

class TGridConsole {
public:
    /// Title, standard handles and an empty request: Flags bfOwnedBuild and bfAlwaysSet, the
    /// process command line as SlnConsoleCommandLine and the console's output code page.
    TGridConsole(const std::string& title, std::uint8_t modeFlags);
    virtual ~TGridConsole();
    TGridConsole(const TGridConsole&) = delete;
    TGridConsole& operator=(const TGridConsole&) = delete;

    /// Turns the command line into one request and starts it. Returns when the request is
    /// dispatched; the run may already have been finished. May raise.
    void RunCommand();

    /// Writes text + CR LF to the build log when it is open; then, unless /SILENT, to the /OUT
    /// file (created at the first line that reaches it, truncating an old one) once /OUT has been
    /// checked, else to standard output or standard error. A failure to create or write a file
    /// raises the file error; a failed write to a standard handle is ignored.
    void WriteLine(const std::string& text, bool toStdErr = false);

    /// Replaces "$(Title)", "$[Title]" and "${Title}" (names without case) by BuildTitle of the
    /// request in one left-to-right pass, so a title holding a macro is not expanded again.
    /// Only once the caption is final (an assertion otherwise).
    void ExpandTitleMacros(std::string& path) const;

    /// The waiting line for a refused build slot: the first call writes CR LF + reason + CR LF +
    /// "Waiting for a build to complete..." and marks it shown; later calls write nothing.
    void ShowWaitingLine(const std::string& reason);
    /// "Progress: " + percent right-aligned in 3 + "%" + CR straight to standard output, flushed;
    /// only when standard output is a terminal and /SILENT is not given.
    void ShowProgressLine(int percent);
    /// After a granted slot: when the waiting line was shown, blanks the progress line and
    /// leaves an empty line.
    void ClearProgressLine();

    /// The console's own error path: "Fatal Error: " + message, then Finish(3). Does not unwind.
    void Fatal(const std::string& message);

    /// The service pipe's disconnect notification.
    void ServiceDisconnected();

    /// Frees the previous build proxy and makes the one of the next attempt.
    void CreateBuildProxy();
    /// One attempt to get a build slot: the build runs, or the refusal is reported; with /WAIT
    /// the retry clock tries again 1000 ms later, without it the run ends with 4, 5 or 6 (3 for
    /// a refusal the console does not know).
    void RequestBuildSlot();
    /// The retry clock's tick; an error of the attempt ends the run through Fatal.
    void RetryBuildSlot();
    /// Every build event: output texts are printed, completion events counted.
    void BuildEvent(TPacket& event);
    /// The Tasksmith process ended: its exit code becomes the run's, and it counts as an end
    /// event. The run ends at the second end event.
    void TasksmithExit(TProcess& sender);

    /// Writes the standard-output or standard-error lines gathered while build events were
    /// relayed.
    void FlushStandard();

    TBuildProxy* BuildProxy() const { return buildProxy_.get(); }
    int CompletionCount() const { return completionCount_; }
    /// The console is its own program: while a build runs it is the reaper of the build's
    /// orphaned processes, and it kills those that are left when Tasksmith has ended (a killed
    /// Tasksmith cannot end them itself).
    void SetReapBuildProcesses(bool value) { reapBuildProcesses_ = value; }

    /// The brief usage message.
    void ShowUsage();

    /// The status report of the agent services; works without the service (then the status
    /// reply is absent and the coordinator counts as not connected).
    void ShowAgentStatus(bool serviceReached);

    // The management commands. Each sends its requests to the agent service, prints its result
    // and ends the run (Finish, StopLoop or Fatal) before it returns; some raise.

    /// /ENABLE and /DISABLE: allowed only when the agent's status says so. A post that cannot
    /// be sent ends with Fatal.
    void EnableAgent();
    void DisableAgent();
    /// /RESET: asks the agent to clear its file cache; a post that cannot be sent ends with
    /// Fatal.
    void ResetAgentCache();
    /// /STOP: stops the build StopBuildId names (all zeros: the one running build).
    void StopRequestedBuild();
    /// /STOPALL: stops every running build in the service's order; the exit code is the last
    /// stop's.
    void StopAllBuilds();
    /// /LIST: "1: {GUID} (Caption)" per running build.
    void ListBuilds();
    /// /CLEARBUILDCACHE: checks the rights to the agent's machine settings before anything is
    /// asked of the agent; stops the build cache service, waits for it to stop (at most
    /// CacheServiceStopTimeoutMs), cleans the cache and starts the service again when it was
    /// running. "Build cache cleaned." or Fatal("Build cache clean failed.").
    void ClearBuildCache();

    /// Asks the service to stop the build whose id the text gives ("{GUID}"); prints the result
    /// and returns the exit code stored for it (2 sent, 3 refused). Raises "Invalid build ID "
    /// + the quoted text when it is not a GUID.
    int StopBuild(const std::string& idText);

    int CacheServiceStopTimeoutMs() const { return cacheServiceStopTimeoutMs_; }
    void SetCacheServiceStopTimeoutMs(int value) { cacheServiceStopTimeoutMs_ = value; }

    /// Loads the manager-client library beside the executable and asks it for the connection's
    /// health; returns the line's verdict and sets text to its detail.
    bool CheckManagerHealth(std::string& text);

    /// Splits the command line, "qzConsoleParams" and option files into Options; returns
    /// whether an option file was read.
    bool ParseCommandLine();

    /// The Windows version of a valued /MINWINVER or /MAXWINVER entry (names of the version
    /// table without case, first match); false (entry kept) when absent or not a version name.
    bool ParseWinVersion(const std::string& switchName, int& major, int& minor) const;

    const std::string& Title() const { return title_; }
    std::uint8_t ModeFlags() const { return modeFlags_; }
    TStringListEx& Options() { return options_; }
    TBuildCommandPacket& BuildCommand() { return buildCommand_; }
    const std::string& PrimaryFilename() const {
        return buildCommand_.Str(TBuildCommandPacket::PrimaryFilename);
    }
    int TokenCount() const { return tokenCount_; }
    int PositionalCount() const { return positionalCount_; }
    const std::string& StartDirectory() const { return startDirectory_; }

    bool NoLogo() const { return noLogo_; }
    bool Silent() const { return silent_; }
    bool Wait() const { return wait_; }
    bool EnableSwitch() const { return enableSwitch_; }
    bool DisableSwitch() const { return disableSwitch_; }
    bool ResetSwitch() const { return resetSwitch_; }
    bool MakeSwitch() const { return makeSwitch_; }
    bool StopSwitch() const { return stopSwitch_; }
    bool StopAllSwitch() const { return stopAllSwitch_; }
    bool ListSwitch() const { return listSwitch_; }
    const std::string& StopBuildId() const { return stopBuildId_; }
    const std::string& OutPath() const { return outPath_; }
    const std::string& LogPath() const { return logPath_; }
    const std::string& ExitCodeBaseSwitch() const { return exitCodeBaseSwitch_; }
    bool WaitingShown() const { return waitingShown_; }
    /// The pipe to the agent service (null before the connection step).
    TLocalCommPipe* ServicePipe() const { return servicePipe_.get(); }
    /// The service's status reply (null when the service could not be reached).
    const TQueryServiceStatusReplyPacket* ServiceStatus() const { return serviceStatus_.get(); }

protected:
    /// Opens the pipe to the agent service ("Build Service" with the GridServiceID of the product
    /// information), adds ServiceDisconnected to its terminate handlers and asks for the
    /// service's status; true when a status reply came (kept in ServiceStatus). May raise.
    /// Tests replace it to run the stages that follow a service answer.
    virtual bool ConnectToService();
    /// Why the running agent will not answer this user (NV/AgentInstance.h); empty when it will.
    virtual std::string AgentRefusal();

    /// Sends a request on the service pipe and waits for the reply; nullptr when none came.
    /// Errors of the pipe raise.
    virtual std::unique_ptr<TPacket> ServiceRequest(std::unique_ptr<TPacket> request);

    /// Sends a packet on the service pipe without awaiting a reply; the number of bytes sent,
    /// 0 when it could not be sent (the pipe is closed or broken).
    virtual std::int64_t ServicePost(std::unique_ptr<TPacket> packet);

    /// The build cache service's state, asked with query-only access.
    virtual platform::ServiceState QueryCacheServiceState();

    /// Stores the status reply of the connection (ConnectToService and tests).
    void SetServiceStatus(std::unique_ptr<TQueryServiceStatusReplyPacket> status) {
        serviceStatus_ = std::move(status);
    }

    /// Writes a finished line to standard output or standard error (one write, result ignored).
    /// Tests replace it to capture the console's lines.
    virtual void WriteStandard(const std::string& line, bool toStdErr);

    /// Starts the build once the request is complete: the retry clock and the first attempt.
    /// Tests of the option stages replace it to stop before the build.
    virtual void DispatchBuild();
    /// A new build proxy for an attempt. Tests replace it with one whose agent is scripted.
    virtual std::unique_ptr<TBuildProxy> NewBuildProxy();
    /// The agent's host name from the status reply, empty when unknown.
    virtual std::string ServiceHostName() const;

private:
    void ReadExitCodeBase();
    bool NestedJobGuard();

    // The stages that consume the option list, in the order RunCommand runs them. Each returns
    // false when it ended the run (through Fatal).
    bool StageA_GlobalOverrides();
    bool StageB_ConsoleSwitches();
    bool StageC_ServiceSwitches();
    bool StageD_BuildTarget();
    bool StageE_BuildOptions();
    bool StageF_CommonOptions();

    void ShowBanner();
    void SetAgentEnabled(bool enable);
    bool WaitForCacheServiceStop();
    bool TakeBareSwitch(const std::string& name);
    bool TakeValuedSwitch(const std::string& name, std::string& value);
    void ReadExitCodeBaseSwitch();
    void ReadCaption();
    bool CheckOutPath();
    void ApplySetEnv();
    void OpenBuildLog();
    void WriteLogHeader();
    void SetOnOffFlags(const std::string& name, int onBit, int offBit);
    void TakeIntegerField(const std::string& name, int field);
    void TakeCommaListField(const std::string& name, int field);

    std::string title_;
    std::uint8_t modeFlags_;
    bool stdOutIsConsole_ = false;
    bool serviceReached_ = false;
    std::string refusal_; ///< set by ConnectToService when the agent will not answer us
    std::unique_ptr<TLocalCommPipe> servicePipe_;
    std::unique_ptr<TQueryServiceStatusReplyPacket> serviceStatus_;
    TBuildCommandPacket buildCommand_;
    TStringListEx options_;
    int tokenCount_ = 0;
    int positionalCount_ = 0;
    std::string startDirectory_;
    std::string commandLine_;

    bool noLogo_ = false;
    bool silent_ = false;
    bool enableSwitch_ = false;
    bool disableSwitch_ = false;
    bool resetSwitch_ = false;
    bool makeSwitch_ = false;
    bool stopSwitch_ = false;
    bool stopAllSwitch_ = false;
    bool listSwitch_ = false;
    bool wait_ = true;
    std::string stopBuildId_;
    bool waitingShown_ = false;

    std::unique_ptr<TStream> logStream_;
    std::unique_ptr<TStream> outStream_;
    std::string outPath_;
    std::string logPath_;
    bool outEnabled_ = false;
    bool titleReady_ = false;
    std::string exitCodeBaseSwitch_;
    TModuleHandle managerLibrary_{};
    static constexpr std::size_t kGatherLimit = std::size_t{1} << 20;
    std::string pendingStandard_;
    bool pendingToStdErr_ = false;
    bool gatherStandard_ = false;
    std::unique_ptr<TBuildProxy> buildProxy_;
    std::unique_ptr<TClock> retryClock_;
    int completionCount_ = 0;
    bool reapBuildProcesses_ = false;
    int lastStopExitCode_ = 0;
    int cacheServiceStopTimeoutMs_ = kCacheServiceStopTimeoutMs;
};

/// The program entry's body: creates the console, runs the request and the main loop, and ends
/// the process with the exit code. Never returns.
[[noreturn]] void ConsoleMain(int argc, char** argv);

} // namespace qz::nv
