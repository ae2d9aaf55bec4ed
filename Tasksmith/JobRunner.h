#pragma once

// Runs a job's task graph: up to the slot count of tasks at once, each in its own process group
// with its standard output and error on pipes, in dependency order. Output reaches the observer
// line by line as it arrives; stopping ends every task's process group (SIGTERM, then SIGKILL
// after the grace period).

#include "JobFile.h"
#include "platform/Handles.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::tasksmith {

/// What the runner reports, on the thread that called RunJob.
class TaskObserver {
public:
    virtual ~TaskObserver() = default;
    /// The task is about to start in the slot (0-based).
    virtual void TaskStarted(int task, int slot) = 0;
    /// Complete lines of the task's output, separated by CR LF and without a final line end;
    /// errorStream tells standard error from standard output.
    virtual void TaskOutput(int task, std::string_view lines, bool errorStream) = 0;
    /// The task ended (or could not start: exitCode 127 and the reason as error output before).
    virtual void TaskFinished(int task, int slot, int exitCode, std::uint64_t milliseconds) = 0;
    /// The task is up to date and was not run.
    virtual void TaskSkipped(int /*task*/) {}
    /// The task failed in a remote slot and runs again in a local one (instead of TaskFinished).
    virtual void TaskRetried(int /*task*/, int /*slot*/, int /*exitCode*/,
                             std::uint64_t /*milliseconds*/) {}
};

/// Remote slots beside the local ones: a remote-capable task may be started in one of them with
/// the command the placement makes of it (RemoteTasks.h). Remote slots are numbered after the
/// local ones.
class RemotePlacement {
public:
    virtual ~RemotePlacement() = default;
    virtual int Slots() const = 0;
    /// The remote-capable tasks wait for a remote slot even when a local one is free.
    virtual bool AvoidLocal() const = 0;
    /// The task as started in remote slot remoteSlot (0-based); false with a message when it
    /// cannot be (the task then fails with the message).
    virtual bool Prepare(const JobTask& task, int remoteSlot, JobTask& launch,
                         std::string& message) = 0;
    /// A remote run failed: true runs the task again in a local slot.
    virtual bool RunAgainLocally(const JobTask& task, int exitCode) = 0;
};

/// The build cache's work beside the tasks: a task is restored before it would run, and its
/// results are stored after it succeeded, each while the task holds its slot and the output of
/// the running tasks flows on. Called on the runner's thread; each Begin returns a handle that
/// becomes readable once the work is done (the handle stays the cache's), or kInvalidHandle
/// when there is nothing to do.
class TaskCache {
public:
    virtual ~TaskCache() = default;
    /// Asked before a task that is not up to date starts in the slot.
    virtual platform::THandle BeginRestore(int task, int slot) = 0;
    /// After its handle became readable: true when the task's results were restored (and
    /// reported), false when it runs.
    virtual bool FinishRestore(int task) = 0;
    /// Asked after a task succeeded (its TaskFinished reported, its dependents released).
    virtual platform::THandle BeginStore(int task, int slot, std::uint64_t milliseconds) = 0;
    /// After its handle became readable; the slot is free again.
    virtual void FinishStore(int task) = 0;
};

struct RunSettings {
    /// Tasks at once (at least 1).
    int slots = 1;
    bool keepGoing = false;
    /// The environment every task starts from ("name=value").
    std::vector<std::string> environment;
    /// Asked between waits (at least every pollMs); true stops the build.
    std::function<bool()> stopRequested;
    /// From SIGTERM to SIGKILL of a stopped task's process group.
    int killGraceMs = 5000;
    /// The longest wait for events before asking stopRequested again.
    int pollMs = 50;
    /// Run every task even when its declared outputs are newer than its inputs.
    bool rebuild = false;
    /// Remote slots for the remote-capable tasks; null: every task runs here.
    RemotePlacement* remote = nullptr;
    /// Asked before a task that is not up to date starts: true when its results were restored
    /// (from the build cache) and it need not run.
    std::function<bool(int task)> restore;
    /// Restores and stores beside the running tasks (restores asked after restore); null: none.
    TaskCache* cache = nullptr;
};

struct RunOutcome {
    /// 0, or the exit code of the first task that failed (128 + n for a task killed by signal n).
    int exitCode = 0;
    bool cancelled = false;
    int built = 0;
    int skipped = 0;
    /// Tasks whose results were restored instead of run (counted in built as well).
    int restored = 0;
    int failed = 0;
    /// Tasks not run because the build stopped or a dependency failed.
    int notRun = 0;
};

/// Runs the job (its order must be filled, see OrderTasks).
RunOutcome RunJob(const JobSpec& job, const RunSettings& settings, TaskObserver& observer);

/// True when the task declares outputs, they all exist and each is newer than every declared
/// input (as make decides: what a dependency changed shows in the times of its outputs).
bool TaskUpToDate(const JobTask& task);

/// The environment with the additions applied (a later entry of a name replaces an earlier one).
std::vector<std::string> MergeEnvironment(std::vector<std::string> base, const EnvAdditions& add);

/// Creates the folder and every missing folder above it. Raises the OS error.
void MakeFolders(const std::string& folder);

/// Removes the task's declared outputs; returns the messages of those that could not be removed.
std::vector<std::string> RemoveOutputs(const JobTask& task);

} // namespace qz::tasksmith
