#pragma once

// The agent service's answers to the requests of the "Build Service" channel, independent of the
// carrier: one handler per request class, each taking the request packet and giving the reply.
// Main thread only.

#include "BuildSlots.h"
#include "CM/Packets.h"
#include "ClusterWatch.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qz::agent {

/// Where a request came from, as the carrier knows it.
struct TRequestOrigin {
    std::int32_t senderSession = -2; ///< the sender's session (-2: global namespace)
    std::shared_ptr<TConsoleLink> console;
    bool expectsReply = true; ///< false for a one-way message
};

class TAgentRequests {
public:
    /// Serves requests with this slot table (owned by the caller).
    explicit TAgentRequests(TBuildSlotTable& slots);

    /// The request classes with a handler.
    static const std::vector<const TPacketClass*>& HandledClasses();
    bool Handles(const TPacketClass& cls) const;

    /// Carries the request out. Returns its reply, or null when the request has no reply of
    /// its own (a request is then answered with an empty packet, a one-way message not at all).
    /// Raises when the request fails or has no handler; the carrier answers with the error.
    std::unique_ptr<TPacket> Handle(TPacket& request, const TRequestOrigin& origin);

    /// Stops (false) or starts (true) the build cache service. Without one set, the request is
    /// only logged: this machine has no build cache service yet.
    std::function<void(bool start)> buildCacheControl;

    /// The number of online processors (tests replace it).
    std::function<int()> onlineProcessors;

    /// The cluster's controller as last seen (null: no cluster); owned by the caller.
    const TClusterWatch* clusterWatch = nullptr;

private:
    std::unique_ptr<TPacket> QueryStatus(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> StartJob(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> EnableAgent(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> ClearFileCache(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> StopJob(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> BuildStatus(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> BuildActivity(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> StopCacheService(TPacket& request, const TRequestOrigin& origin);
    std::unique_ptr<TPacket> StartCacheService(TPacket& request, const TRequestOrigin& origin);

    /// Fills the caption, class and flags of a build from its command file once it exists.
    void LearnFromCommandFile(TBuildSlot& slot);

    using THandler = std::unique_ptr<TPacket> (TAgentRequests::*)(TPacket&, const TRequestOrigin&);
    struct TEntry {
        const TPacketClass* cls;
        THandler handler;
    };
    static const std::vector<TEntry>& Table();

    TBuildSlotTable& slots_;
    std::string hostName_;
};

} // namespace qz::agent
