#pragma once

// The remote slots of a build on a Slurm cluster: one allocation per build, held by a salloc
// process whose command waits on a pipe from us (so the allocation ends with this process,
// however it ends), one job step per remote task (srun in the allocation, pinned to the node of
// its slot), a check that the build's folder is shared with every node, and the release.
// Every Slurm command runs with a time limit. docs/slurm.md describes the choices.

#include "JobRunner.h"
#include "NV/SlurmCluster.h"
#include "SrunOutput.h"
#include "platform/ChildProcess.h"
#include "platform/Handles.h"

#include <string>
#include <string_view>
#include <vector>

namespace qz::tasksmith {

/// What the request asks of the machines that run tasks.
struct RemoteOptions {
    bool avoidLocal = false;      ///< /AVOIDLOCAL
    bool onlyFailLocally = false; ///< /ONLYFAILLOCALLY
    bool only64Bit = false;       ///< /ONLY64BITHELPERS
    bool cloudHelpers = false;    ///< /USECLOUDHELPERS
    /// /MINWINVER, /MAXWINVER, /SAMEOS: the nodes' kernel version (major.minor) range; 0: none.
    int minMajor = 0;
    int minMinor = 0;
    int maxMajor = 0;
    int maxMinor = 0;
};

/// A node of the allocation as the node check saw it.
struct NodeFacts {
    std::string name;
    int slots = 0;
    std::string marker;
    int kernelMajor = 0;
    int kernelMinor = 0;
    std::string machine;
};

/// Parses SLURM_TASKS_PER_NODE ("4,2(x3),1") into one count per node; empty when damaged.
std::vector<int> ParseTasksPerNode(std::string_view text);

/// Why a node does not suit the options ("" when it does).
std::string NodeMismatch(const NodeFacts& node, const RemoteOptions& options);

// srun's own lines in a step's error output (shared with qzrelay).
using intercept::FilterStepOutput;
using intercept::IsSlurmFailureLine;

class SlurmRemote : public RemotePlacement {
public:
    /// environment: the build's (the commands run with it, and SLURM_CONF of the settings).
    SlurmRemote(nv::TClusterSettings settings, RemoteOptions options,
                std::vector<std::string> environment);
    ~SlurmRemote() override;
    SlurmRemote(const SlurmRemote&) = delete;
    SlurmRemote& operator=(const SlurmRemote&) = delete;

    /// Takes an allocation for up to tasks remote tasks at once. "" or one line saying why not.
    std::string Acquire(int tasks, const std::string& jobName);
    /// Checks every node of the allocation: folder shared (a marker file written here is read
    /// there), kernel and architecture as the options ask. Nodes that do not suit lose their
    /// slots (notes gets a line for each); "" or the message that stops remote work.
    std::string CheckNodes(const std::string& folder, const std::string& buildId,
                           std::vector<std::string>& notes);
    /// The node of each remote slot.
    const std::vector<std::string>& SlotNodes() const { return slotNodes_; }
    const std::string& JobId() const { return jobId_; }
    /// CheckNodes found a node that does not see the build folder.
    bool FolderNotShared() const { return folderNotShared_; }
    /// Cancels the allocation (its steps end with it) and waits for salloc; bounded in time.
    void Release();

    /// The command line of a step in remote slot remoteSlot that runs in folder (an srun of the
    /// allocation pinned to the slot's node); the program and its arguments follow it.
    std::vector<std::string> StepPrefix(int remoteSlot, const std::string& folder,
                                        const std::string& name) const;

    int Slots() const override { return static_cast<int>(slotNodes_.size()); }
    bool AvoidLocal() const override { return options_.avoidLocal; }
    bool Prepare(const JobTask& task, int remoteSlot, JobTask& launch,
                 std::string& message) override;
    /// A failed step runs again here under /ONLYFAILLOCALLY, and always when Slurm failed it.
    bool RunAgainLocally(const JobTask& task, int exitCode) override;
    /// Error output of the remote task: notes a Slurm failure for RunAgainLocally.
    void NoteErrorOutput(const std::string& taskId, std::string_view lines);

private:
    std::vector<std::string> CommonArguments(const std::string& program) const;
    std::string Program(const std::string& name) const;

    nv::TClusterSettings settings_;
    RemoteOptions options_;
    std::vector<std::string> environment_;
    /// salloc; its input pipe holds the allocation, its output stays open until it has ended
    /// (it may still report something).
    platform::ChildProcess holder_;
    std::string jobId_;
    std::vector<NodeFacts> nodes_;
    std::vector<std::string> slotNodes_;
    std::string srun_;
    bool folderNotShared_ = false;
    /// Ids of the tasks whose current step Slurm failed.
    std::vector<std::string> slurmFailed_;
};

} // namespace qz::tasksmith
