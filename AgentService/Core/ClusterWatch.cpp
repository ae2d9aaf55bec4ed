#include "ClusterWatch.h"

#include "CM/DiagLog.h"
#include "NV/SlurmCluster.h"

namespace qz::agent {

TClusterWatch::TClusterWatch(int periodMs) : periodMs_(periodMs), thread_([this] { Loop(); }) {}

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
        nv::TClusterSettings settings = nv::ReadClusterSettings();
        TClusterState state = TClusterState::None;
        std::string detail;
        if (settings.enabled) {
            // Bounded by the command time limit of the settings; a stop waits for it at most.
            settings.commandTimeoutSeconds = std::min(settings.commandTimeoutSeconds, 10);
            state = nv::ClusterControllerAnswers(settings, detail) ? TClusterState::Answers
                                                                   : TClusterState::NoAnswer;
        }
        maxRemoteTasks_ = settings.enabled ? settings.maxRemoteTasks : 0;
        state_ = state;
        if (state != last) {
            LogLine(state == TClusterState::None      ? std::string("No cluster configured")
                    : state == TClusterState::Answers ? "Cluster controller answers: " + detail
                                                      : "Cluster controller silent: " + detail,
                    lfAlways);
            last = state;
        }
        lock.lock();
        wake_.wait_for(lock, std::chrono::milliseconds(periodMs_), [this] { return stop_; });
    }
}

} // namespace qz::agent
