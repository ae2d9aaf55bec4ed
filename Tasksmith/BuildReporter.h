#pragma once

// Turns what the job runner reports into the build's monitor events: a worker row per slot,
// begin and end step events per task, output events with their task id, counts, and the lines
// Tasksmith composes itself as the request's presentation flags ask (task captions, command
// lines, agent names, times, the summary and the completion beep).

#include "CM/BuildCommandPackets.h"
#include "CM/EnvUtils.h"
#include "EventWriter.h"
#include "JobRunner.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qz::tasksmith {

class SlurmRemote;

/// How a build shows, from the request's Flags and logging level.
struct Presentation {
    bool showCmd = false;   ///< a task's command line when it starts
    bool showAgent = false; ///< the agent that runs a task
    bool showTime = false;  ///< a task's run time when it ends
    bool noMsgs = false;    ///< no lines of Tasksmith's own except failures
    bool beep = false;      ///< a bell at the end of the build
    bool stopOnErrors = false;
    bool noBars = false;      ///< no worker rows and step events in the monitor data
    bool noGraphs = false;    ///< no graph events (none are written anyway)
    bool detailedLog = false; ///< step events ask for detailed logs (logging level Extended and up)
    /// Captions and a summary (job files); a command job shows only its command's output.
    bool taskMessages = false;
};

Presentation PresentationOf(std::uint64_t flags, int logLevel, bool jobFile);

class BuildReporter : public TaskObserver {
public:
    BuildReporter(EventWriter& writer, const JobSpec& job, Presentation presentation,
                  std::string host, int slots);

    /// The first event; startTime is the local date-time of the start.
    void WriteStarted(const TBuildCommandPacket& request, const TGuid& id, double startTime);
    /// The worker rows, one per slot.
    void WriteWorkers();
    /// Rows for remote slots, numbered after the local ones: one per slot, named by its node.
    /// The remote tasks' error output goes to remote as well (it notes Slurm's failures).
    void WriteRemoteWorkers(const std::vector<std::string>& slotNodes, SlurmRemote* remote);
    /// A line of Tasksmith's own; failures show even under /NOMSGS.
    void Message(const std::string& text, bool failure);
    /// The last event.
    void WriteComplete(bool cancelled, int exitCode, const RunOutcome& outcome);

    void TaskStarted(int task, int slot) override;
    void TaskOutput(int task, std::string_view lines, bool errorStream) override;
    void TaskFinished(int task, int slot, int exitCode, std::uint64_t milliseconds) override;
    void TaskSkipped(int task) override;
    void TaskRetried(int task, int slot, int exitCode, std::uint64_t milliseconds) override;
    /// The task's results came from the build cache: a restore event (not a step, so that the
    /// timeline shows it apart) with the original run time, and the counts.
    void TaskRestored(int task, std::uint64_t originalMs, std::uint64_t restoreMs);
    /// The build cache works for the task of the slot (a restore before it runs, or a store
    /// after it succeeded): the caching part of its bar.
    void CachingBegan(int slot);
    void CachingEnded(int slot, bool success);
    /// The build cache's counts (a bar update: lookups, restores, stores and the time spent
    /// fetching and storing), its summary event and its lines.
    void WriteCacheSummary(const std::vector<std::string>& lines, int checks, int retrievals,
                           int updates, std::int64_t fetchMs, std::int64_t submitMs);

    /// A tool run of an intercepted build took slot (rows: the build tool's task first, then
    /// the local tool slots, then the remote ones); step counts the runs from 1.
    void ToolStepBegan(int step, int slot, const std::string& caption,
                       const std::string& commandLine, const std::string& program,
                       const std::string& folder, bool remote);
    /// The tool run in slot ended.
    void ToolStepEnded(int slot, int exitCode);

    bool FailureSeen() const { return failures_ > 0; }
    int Ms() const;
    std::string Summary(bool cancelled, int exitCode, const RunOutcome& outcome) const;

private:
    std::string WorkerId(int slot) const;
    std::string HostOf(int slot) const;
    void WriteEndStep(int slot, int exitCode);
    void Output(int task, const std::string& text, const std::string& errText);
    void WriteCount();

    EventWriter& writer_;
    const JobSpec& job_;
    Presentation presentation_;
    std::string host_;
    int slots_;
    /// The node of each remote slot.
    std::vector<std::string> remoteNodes_;
    SlurmRemote* remote_ = nullptr;
    /// Tasks running in a remote slot now.
    std::vector<bool> remoteTask_;
    std::uint64_t startMs_;
    int started_ = 0;
    int built_ = 0;
    int skipped_ = 0;
    int restored_ = 0;
    int failures_ = 0;
};

} // namespace qz::tasksmith
