#include "ClusterWatch.h"

#include "CM/DiagLog.h"
#include "NV/SlurmCluster.h"

#include <algorithm>

namespace qz::agent {

TClusterProbe ProbeCluster() {
    TClusterProbe probe;
    nv::TClusterSettings settings = nv::ReadClusterSettings();
    if (settings.enabled) {
        // A stop of the agent waits for this at most.
        settings.commandTimeoutSeconds = std::min(settings.commandTimeoutSeconds, 10);
        probe.state = nv::ClusterControllerAnswers(settings, probe.detail)
                          ? TClusterState::Answers
                          : TClusterState::NoAnswer;
        probe.maxRemoteTasks = settings.maxRemoteTasks;
    }
    return probe;
}

TClusterWatch::TClusterWatch(int periodMs, std::function<TClusterProbe()> probe)
    : periodMs_(periodMs), probe_(std::move(probe)), thread_([this] { Loop(); }) {}

TClusterWatch::~TClusterWatch() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void TClusterWatch::Loop() {
    TClusterState last = TClusterState::None;
    std::unique_lock lock(mutex_);
    while (!stop_) {
        lock.unlock();
        TClusterProbe probe = probe_();
        maxRemoteTasks_ = probe.state == TClusterState::None ? 0 : probe.maxRemoteTasks;
        state_ = probe.state;
        if (probe.state != last) {
            LogLine(probe.state == TClusterState::None ? std::string("No cluster configured")
                    : probe.state == TClusterState::Answers
                        ? "Cluster controller answers: " + probe.detail
                        : "Cluster controller silent: " + probe.detail,
                    lfAlways);
            last = probe.state;
        }
        lock.lock();
        wake_.wait_for(lock, std::chrono::milliseconds(periodMs_), [this] { return stop_; });
    }
}

} // namespace qz::agent
