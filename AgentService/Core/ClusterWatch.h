#pragma once

// Watches the Slurm controller of the agent's cluster from a thread of its own: every few seconds
// it reads the cluster settings and, when a cluster is configured, asks the controller with a
// bounded "scontrol ping". Requests only read the last answer, so a silent or hanging controller
// never delays one.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qz::agent {

enum class TClusterState {
    None,     ///< no cluster configured (or not asked yet)
    Answers,  ///< the controller answered the last check
    NoAnswer, ///< it did not
};

/// One look at the cluster.
struct TClusterProbe {
    TClusterState state = TClusterState::None;
    int maxRemoteTasks = 0;
    std::string detail;
};

/// Reads the cluster settings and, with a cluster, asks its controller (bounded by the
/// settings' command time limit, at most 10 s).
TClusterProbe ProbeCluster();

class TClusterWatch {
public:
    /// Starts the thread: probe now, then every periodMs.
    explicit TClusterWatch(int periodMs = 5000,
                           std::function<TClusterProbe()> probe = ProbeCluster);
    ~TClusterWatch();
    TClusterWatch(const TClusterWatch&) = delete;
    TClusterWatch& operator=(const TClusterWatch&) = delete;

    TClusterState State() const { return state_.load(); }
    /// The most remote tasks a build may run at once (the setting), 0 without a cluster.
    int MaxRemoteTasks() const { return maxRemoteTasks_.load(); }

private:
    void Loop();

    const int periodMs_;
    std::function<TClusterProbe()> probe_;
    std::atomic<TClusterState> state_{TClusterState::None};
    std::atomic<int> maxRemoteTasks_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace qz::agent
