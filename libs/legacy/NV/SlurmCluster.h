#pragma once

// The Slurm cluster a build may run its remote-capable tasks on: the settings in the agent key,
// and the Slurm commands run with a time limit. Slurm is used through its commands (salloc,
// srun, scancel, scontrol), never a library: their interface is the one Slurm keeps stable
// across versions, a hanging or crashing command cannot take the caller with it, and every call
// can be bounded in time (see docs/slurm.md).

#include <string>
#include <vector>

namespace qz::nv {

struct TClusterSettings {
    /// "Cluster" = "slurm" in section "Builder" of the agent key; anything else: no cluster.
    bool enabled = false;
    /// "ClusterPartition": the partition of the allocation; empty: the cluster's default.
    std::string partition;
    /// "ClusterCloudPartition": the partition /USECLOUDHELPERS uses; empty: none.
    std::string cloudPartition;
    /// "ClusterAccount": the account to charge; empty: the user's default.
    std::string account;
    /// "ClusterMaxRemoteTasks": remote tasks at once (the allocation's task count); default 8.
    int maxRemoteTasks = 8;
    /// "ClusterTimeLimit": minutes an allocation may last; default 60.
    int timeLimitMinutes = 60;
    /// "ClusterCommandTimeout": seconds a Slurm command (other than a step) may take; default 20.
    int commandTimeoutSeconds = 20;
    /// "ClusterConfig": the cluster's slurm.conf when it is not the system's (SLURM_CONF).
    std::string config;
    /// "ClusterFeatures": node features every remote task needs (a --constraint expression).
    std::string features;
};

/// Reads the settings from the agent key (machine root); no cluster when the key is missing.
TClusterSettings ReadClusterSettings();

/// What a bounded command did.
struct TCommandResult {
    /// The exit code (128 + n for signal n); -1 when it could not start or ran out of time.
    int exitCode = -1;
    bool timedOut = false;
    /// Standard output and error together, at most 1 MiB.
    std::string output;
    /// Why it could not start, when it could not.
    std::string startError;

    bool Succeeded() const { return exitCode == 0 && !timedOut; }
    /// One line for people: the output's first line, or the time-out, or the start error.
    std::string Problem(const std::string& command) const;
};

/// Runs the command with the environment (empty: ours) and kills its process group after
/// timeoutMs. Never blocks longer than that (and a moment for the kill).
TCommandResult RunBounded(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, int timeoutMs);

/// The environment of the Slurm commands: ours, or base, with SLURM_CONF from the settings.
std::vector<std::string> ClusterEnvironment(const TClusterSettings& settings,
                                            std::vector<std::string> base);

/// Asks the controller whether it answers ("scontrol ping"); detail gets its words or the
/// problem.
bool ClusterControllerAnswers(const TClusterSettings& settings, std::string& detail);

} // namespace qz::nv
