#include "AgentRequests.h"

#include "AgentSettings.h"
#include "CM/DiagLog.h"
#include "CM/Exceptions.h"
#include "CM/Format.h"
#include "CM/ServicePackets.h"
#include "NV/AgentReg.h"
#include "platform/FileSystem.h"
#include "platform/FolderTree.h"
#include "platform/SystemInfo.h"

#include <algorithm>
#include <cerrno>

namespace qz::agent {

namespace {

using Status = TQueryServiceStatusReplyPacket;
using Static = TStaticPacket;

} // namespace

TAgentRequests::TAgentRequests(TBuildSlotTable& slots) : slots_(slots) {
    onlineProcessors = [] { return platform::OnlineProcessorCount(); };
    hostName_ = platform::HostName().value_or("localhost");
}

const std::vector<TAgentRequests::TEntry>& TAgentRequests::Table() {
    static const std::vector<TEntry> table = {
        {&TQueryServiceStatusPacket::StaticClass(), &TAgentRequests::QueryStatus},
        {&TStartJobRequestPacket::StaticClass(), &TAgentRequests::StartJob},
        {&TEnableAgentPacket::StaticClass(), &TAgentRequests::EnableAgent},
        {&TClearFileCachePacket::StaticClass(), &TAgentRequests::ClearFileCache},
        {&TStopJobPacket::StaticClass(), &TAgentRequests::StopJob},
        {&TRequestBuildStatusPacket::StaticClass(), &TAgentRequests::BuildStatus},
        {&TCoordBuildActivityInfo::StaticClass(), &TAgentRequests::BuildActivity},
        {&TStopBCServicePacket::StaticClass(), &TAgentRequests::StopCacheService},
        {&TStartBCServicePacket::StaticClass(), &TAgentRequests::StartCacheService},
    };
    return table;
}

const std::vector<const TPacketClass*>& TAgentRequests::HandledClasses() {
    static const std::vector<const TPacketClass*> classes = [] {
        std::vector<const TPacketClass*> list;
        for (const TEntry& entry : Table()) {
            list.push_back(entry.cls);
        }
        return list;
    }();
    return classes;
}

bool TAgentRequests::Handles(const TPacketClass& cls) const {
    const auto& classes = HandledClasses();
    return std::find(classes.begin(), classes.end(), &cls) != classes.end();
}

std::unique_ptr<TPacket> TAgentRequests::Handle(TPacket& request, const TRequestOrigin& origin) {
    for (const TEntry& entry : Table()) {
        if (entry.cls == &request.Class()) {
            return (this->*entry.handler)(request, origin);
        }
    }
    Raise("The agent service does not handle " + request.ClassName());
}

std::unique_ptr<TPacket> TAgentRequests::QueryStatus(TPacket&, const TRequestOrigin&) {
    const int processors = onlineProcessors();
    TAgentSettings settings = ReadAgentSettings(processors);
    auto reply = std::make_unique<Status>();
    // With a cluster, its controller takes the coordinator's place: connected while it answers.
    const TClusterState cluster = clusterWatch ? clusterWatch->State() : TClusterState::None;
    const bool connected = cluster == TClusterState::Answers;
    reply->SetBool(Status::StandAlone, !connected);
    reply->SetBool(Status::CoordinatorMisconnection, cluster == TClusterState::NoAnswer);
    reply->SetBool(Status::CoordinatorVersionMismatch,
                   cluster == TClusterState::None && settings.updatePending);
    reply->SetInt(Status::CpuCount, processors);
    reply->SetStr(Status::AgentID, hostName_);
    reply->SetInt(Status::MaxHelpersPerJob, connected ? clusterWatch->MaxRemoteTasks() : 0);
    reply->SetBool(Status::BuildCacheSupported, false);
    TPacket& info = reply->Nested(Status::StaticPacket);
    info.SetInt(Static::Version, kConsoleComponentVersion);
    info.SetStr(Static::VersionText, kConsoleComponentVersionText);
    info.SetStr(Static::Host, hostName_);
    info.SetStr(Static::ID, hostName_);
    info.SetStr(Static::DisplayName, hostName_);
    info.SetStr(Static::MachineID, hostName_);
    info.SetInt(Static::CPUCount_WhenInitiator, processors);
    info.SetInt(Static::CPULogicalCount, std::min(processors, 127));
    info.SetBool(Static::AllowEnableDisable, settings.allowEnableDisable);
    info.SetBool(Static::Is64bitWindows, true);
    return reply;
}

std::unique_ptr<TPacket> TAgentRequests::StartJob(TPacket& request, const TRequestOrigin& origin) {
    if (!origin.expectsReply) {
        // Nobody would learn the build id: the slot would only block others.
        LogLine("Build slot request sent without asking for a reply ignored", 0);
        return nullptr;
    }
    const int processors = onlineProcessors();
    TAgentSettings settings = ReadAgentSettings(processors);
    TSlotLimits limits;
    limits.maxConcurrentBuilds = settings.maxConcurrentBuilds;
    limits.minCoresPerBuild = settings.minCoresPerBuild;
    limits.onlineProcessors = processors;
    limits.updatePending = settings.updatePending;
    TSlotRequest slotRequest;
    slotRequest.displayName = request.Str(TStartJobRequestPacket::ComponentDisplayName);
    slotRequest.senderSession = origin.senderSession;
    slotRequest.console = origin.console;
    TGuid id{};
    int result = slots_.Request(limits, slotRequest, id);
    auto reply = std::make_unique<TStartJobRequestReplyPacket>();
    reply->SetInt(TStartJobRequestReplyPacket::Result, result);
    if (result == srGranted) {
        reply->SetGuid(TStartJobRequestReplyPacket::JobID, id);
        LogLine("Build slot granted: " + GuidToText(id) + " (" + slotRequest.displayName + ")", 0);
    } else {
        LogLine(Format("Build slot refused (%d) for %s", result, slotRequest.displayName), 0);
    }
    return reply;
}

std::unique_ptr<TPacket> TAgentRequests::EnableAgent(TPacket& request, const TRequestOrigin&) {
    TAgentSettings settings = ReadAgentSettings(onlineProcessors());
    if (!settings.allowEnableDisable) {
        Raise("This agent may not be enabled or disabled from a console");
    }
    bool enable = request.Bool(TEnableAgentPacket::Enable);
    StoreAgentEnabled(enable);
    LogLine(enable ? "Agent enabled" : "Agent disabled", 0);
    return nullptr;
}

std::unique_ptr<TPacket> TAgentRequests::ClearFileCache(TPacket&, const TRequestOrigin&) {
    std::string folder = AgentFileCacheFolder();
    platform::FolderTreeResult result =
        platform::DeleteMatchingEntries(folder, [](std::string_view) { return true; });
    if (!result.complete && result.error != ENOENT) { // a cache never made is empty
        RaiseOsError("Failed to clear the file cache '" + folder + "'", result.error);
    }
    LogLine("File cache cleared: " + folder, 0);
    return nullptr;
}

std::unique_ptr<TPacket> TAgentRequests::StopJob(TPacket& request, const TRequestOrigin&) {
    slots_.Sweep();
    std::optional<TGuid> stopped = slots_.Stop(request.Guid(TStopJobPacket::JobID));
    if (!stopped) {
        return nullptr;
    }
    return std::make_unique<TStopJobPacket>(*stopped);
}

std::unique_ptr<TPacket> TAgentRequests::BuildStatus(TPacket&, const TRequestOrigin&) {
    slots_.Sweep();
    auto reply = std::make_unique<TRequestBuildStatusReplayPacket>();
    TCustomPacketList& builds = reply->List(TRequestBuildStatusReplayPacket::Builds);
    for (const auto& slot : slots_.Slots()) {
        LearnFromCommandFile(*slot);
        auto entry = std::make_unique<TBuildStatusPacket>();
        entry->SetGuid(TBuildStatusPacket::BuildID, slot->id);
        entry->SetStr(TBuildStatusPacket::Caption,
                      slot->caption.empty() ? slot->displayName : slot->caption);
        entry->SetStr(TBuildStatusPacket::DisplayTitle, slot->caption);
        entry->SetStr(TBuildStatusPacket::BuildClass, slot->buildClass);
        entry->SetBits(TBuildStatusPacket::Flags, slot->flags);
        entry->SetDouble(TBuildStatusPacket::StartTime, slot->startTime);
        builds.Add(std::move(entry));
    }
    return reply;
}

std::unique_ptr<TPacket> TAgentRequests::BuildActivity(TPacket& request, const TRequestOrigin&) {
    LogLine(Format("Build refused on a console: \"%s\" (status %d)",
                   request.Str(TCoordBuildActivityInfo::BuildTitle),
                   static_cast<int>(request.Int(TCoordBuildActivityInfo::BuildStatusId))),
            0);
    return nullptr;
}

std::unique_ptr<TPacket> TAgentRequests::StopCacheService(TPacket&, const TRequestOrigin&) {
    if (buildCacheControl) {
        buildCacheControl(false);
    } else {
        LogLine("No build cache service on this machine: nothing to stop", 0);
    }
    return nullptr;
}

std::unique_ptr<TPacket> TAgentRequests::StartCacheService(TPacket&, const TRequestOrigin&) {
    if (buildCacheControl) {
        buildCacheControl(true);
    } else {
        LogLine("No build cache service on this machine: nothing to start", 0);
    }
    return nullptr;
}

void TAgentRequests::LearnFromCommandFile(TBuildSlot& slot) {
    if (slot.commandFileRead) {
        return;
    }
    try {
        nv::TAgentReg reg(nv::aroAllowReadOnly);
        std::string path = reg.AgentTempFolder() + "/" + GuidToText(slot.id) + ".nv_bld_cmd";
        if (!FileIsPresent(path)) {
            return;
        }
        std::unique_ptr<TPacket> packet = TPacket::CreateFromFile(path);
        auto& command = TPacket::CastPacket<TBuildCommandPacket>(*packet);
        slot.caption = command.Str(TBuildCommandPacket::Caption);
        slot.buildClass = command.Str(TBuildCommandPacket::BuildClass);
        slot.flags = command.Bits(TBuildCommandPacket::Flags);
        slot.commandFileRead = true;
    } catch (const Exception& e) {
        // The console may still be writing it; the next listing tries again.
        LogLine("Build command file not readable yet: " + e.Message(), lfVerboseOnly);
    }
}

} // namespace qz::agent
