// The management commands: enabling and disabling the agent, clearing its file cache, stopping
// and listing builds, and the build cache clean around the cache service.

#include "AgentReg.h"
#include "BuildCacheHelper.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/NotifyQueue.h"
#include "GridConsoleCore.h"
#include "platform/NativeThread.h"

namespace qz::nv {

namespace {

constexpr const char* kSendFailed = "The request could not be sent to the Agent Service.";
constexpr std::uint32_t kCacheServicePollMs = 100;

template <typename T>
T* As(const std::unique_ptr<TPacket>& packet) {
    return dynamic_cast<T*>(packet.get());
}

// States in which the cache service may still hold or write its files.
bool MayHoldFiles(platform::ServiceState state) {
    return state != platform::ServiceState::Stopped &&
           state != platform::ServiceState::NotInstalled;
}

} // namespace

std::unique_ptr<TPacket> TGridConsole::ServiceRequest(std::unique_ptr<TPacket> request) {
    if (!servicePipe_) {
        return nullptr;
    }
    servicePipe_->CheckConnected();
    return servicePipe_->Request(std::move(request));
}

std::int64_t TGridConsole::ServicePost(std::unique_ptr<TPacket> packet) {
    // A pipe in its closed state sends nothing.
    if (!servicePipe_ || servicePipe_->State() != psConnected) {
        return 0;
    }
    try {
        return servicePipe_->Post(*packet);
    } catch (const Exception&) {
        // A pipe that broke while sending: nothing was sent.
        return 0;
    }
}

platform::ServiceState TGridConsole::QueryCacheServiceState() {
    return platform::QueryServiceState(kBuildCacheServiceName);
}

void TGridConsole::EnableAgent() {
    SetAgentEnabled(true);
}

void TGridConsole::DisableAgent() {
    SetAgentEnabled(false);
}

void TGridConsole::SetAgentEnabled(bool enable) {
    std::unique_ptr<TPacket> reply = ServiceRequest(std::make_unique<TQueryServiceStatusPacket>());
    auto* status = As<TQueryServiceStatusReplyPacket>(reply);
    if (status == nullptr) {
        Fatal(reply ? "Disable/Enable Agent: Wrong packet type!"
                    : "Disable/Enable Agent: Resulting packet = nil!");
        return;
    }
    if (!status->Nested(TQueryServiceStatusReplyPacket::StaticPacket)
             .Bool(TStaticPacket::AllowEnableDisable)) {
        WriteLine(enable ? "Error: not allowed to enable agent."
                         : "Error: not allowed to disable agent.");
        Finish(3);
        return;
    }
    // A post that never left is no success.
    if (ServicePost(std::make_unique<TEnableAgentPacket>(enable)) == 0) {
        Fatal(kSendFailed);
        return;
    }
    WriteLine(enable ? "Agent enabled." : "Agent disabled.");
    Finish(0);
}

void TGridConsole::ResetAgentCache() {
    if (ServicePost(std::make_unique<TClearFileCachePacket>()) == 0) {
        Fatal(kSendFailed);
        return;
    }
    WriteLine("Agent file cache contents cleared successfully.");
    TNotifyQueue::Main().StopLoop();
}

int TGridConsole::StopBuild(const std::string& idText) {
    TGuid id{};
    if (!TextToGuid(idText, id)) {
        Raise("Invalid build ID \"" + idText + "\"");
    }
    std::unique_ptr<TPacket> reply = ServiceRequest(std::make_unique<TStopJobPacket>(id));
    if (As<TStopJobPacket>(reply) != nullptr) {
        WriteLine("Build Stop request sent successfully.");
        lastStopExitCode_ = 2;
    } else {
        WriteLine("Invalid build ID or multiple builds running.");
        lastStopExitCode_ = 3;
    }
    return lastStopExitCode_;
}

void TGridConsole::StopRequestedBuild() {
    Finish(StopBuild(stopBuildId_));
}

void TGridConsole::StopAllBuilds() {
    std::unique_ptr<TPacket> reply = ServiceRequest(std::make_unique<TRequestBuildStatusPacket>());
    auto* builds = As<TRequestBuildStatusReplayPacket>(reply);
    if (builds == nullptr) {
        Fatal(reply ? "Wrong packet type!" : "Resulting packet = nil!");
        return;
    }
    lastStopExitCode_ = 0;
    try {
        const TCustomPacketList& list = builds->List(TRequestBuildStatusReplayPacket::Builds);
        for (int i = 0; i < list.Count(); ++i) {
            StopBuild(GuidToText(list[i].Guid(TBuildStatusPacket::BuildID)));
        }
    } catch (...) {
        Finish(lastStopExitCode_);
        throw;
    }
    Finish(lastStopExitCode_);
}

void TGridConsole::ListBuilds() {
    std::unique_ptr<TPacket> reply = ServiceRequest(std::make_unique<TRequestBuildStatusPacket>());
    if (!reply) {
        Raise("Invalid class typecast");
    }
    auto& builds = TPacket::CastPacket<TRequestBuildStatusReplayPacket>(*reply);
    const TCustomPacketList& list = builds.List(TRequestBuildStatusReplayPacket::Builds);
    for (int i = 0; i < list.Count(); ++i) {
        WriteLine(std::to_string(i + 1) + ": " +
                  GuidToText(list[i].Guid(TBuildStatusPacket::BuildID)) + " (" +
                  list[i].Str(TBuildStatusPacket::Caption) + ")");
    }
    TNotifyQueue::Main().StopLoop();
}

bool TGridConsole::WaitForCacheServiceStop() {
    std::uint32_t start = GetTickCount();
    while (true) {
        if (!MayHoldFiles(QueryCacheServiceState())) {
            return true;
        }
        if (TickDifference(GetTickCount(), start) >= cacheServiceStopTimeoutMs_) {
            return false;
        }
        platform::SleepMilliseconds(kCacheServicePollMs);
    }
}

void TGridConsole::ClearBuildCache() {
    platform::ServiceState state = QueryCacheServiceState();
    auto writeLine = [this](const std::string& line) { WriteStandard(line + "\r\n", false); };
    // Without the rights nothing can be deleted, so the cache service is left alone: stopping
    // it now would leave it off for everyone.
    if (!HasAgentWriteAccess()) {
        writeLine("Please note that user has no administrative rights so cannot clear cache.");
        Fatal("Build cache clean failed.");
        return;
    }
    bool stopSent = ServicePost(std::make_unique<TStopBCServicePacket>()) != 0;
    bool cleaned = false;
    try {
        // Open files can be deleted here, so a service that is still running would go on
        // writing into a cache reported clean: nothing is deleted until it has stopped.
        if (!MayHoldFiles(state) || (stopSent && WaitForCacheServiceStop())) {
            cleaned = TBuildCacheHelper::ClearBuildCache(writeLine);
        }
    } catch (...) {
        if (state == platform::ServiceState::Running) {
            ServicePost(std::make_unique<TStartBCServicePacket>());
        }
        throw;
    }
    if (state == platform::ServiceState::Running) {
        ServicePost(std::make_unique<TStartBCServicePacket>());
    }
    if (!cleaned) {
        Fatal("Build cache clean failed.");
        return;
    }
    WriteLine("Build cache cleaned.");
    Finish(0);
}

} // namespace qz::nv
