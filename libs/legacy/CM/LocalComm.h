#pragma once

// Comm pipes between processes of one machine, one packet channel per direction.
//
// Client side: TLocalCommPipe opens its own receiving channel (a new GUID, in the caller's
// namespace) and a sender to the service's channel; requests carry the own channel's GUID and
// session in every message header, and the service answers there.
//
// Server side: TLocalCommServer owns the service's receiving channel under a fixed GUID (for the
// agent service: the GridServiceID of the product information, "Build Service", SessionGlobal).
// Each client (one reply channel) gets a TLocalCommConnection, a TCommPipe whose sends go to that
// client; its requests are dispatched through the server's method map and answered with
// SendReply on the context. The server reports new clients and clients that went away (their
// pipe destroyed, their process or receiving thread ended).
//
// Everything runs on the thread of the queue the objects were made on (the main thread).

#include "NvComm.h"
#include "PacketChannel.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qz {

/// The name of the agent service's channel, used in messages.
inline constexpr const char* kBuildServiceName = "Build Service";

class TLocalCommPipe : public TCommPipe {
public:
    /// Connects to the service channel targetGuid in the namespace of sessionNumber. A service
    /// that cannot be reached leaves the pipe psTerminated (CheckConnected then raises); only an
    /// unexpected error raises ("Failed to connect to packet channel receiver" + CR LF + ...).
    TLocalCommPipe(const TGuid& targetGuid, std::uint32_t sectionSize, std::string peerName,
                   int sessionNumber, TNotifyQueue* queue = nullptr);
    /// Marks the own channel terminated and wakes the peer, so that it sees the end at once.
    ~TLocalCommPipe() override;

    /// The receiver's WaitForReply (the timeout given to Request is not used: the receiver's
    /// default applies). Raises "Timed out waiting for reply from local connection" when no
    /// message came, and the receiver's errors.
    std::unique_ptr<TPacket> WaitForReply(std::int32_t messageId, std::uint32_t timeout) override;
    std::int32_t Send(const TPacket& packet, std::int32_t messageId, std::uint8_t flags) override;
    /// Raises "Failed to connect to " + PeerName + " (on local machine): " + reason unless
    /// connected.
    void CheckConnected() override;
    /// The sender's connection check with the remote-thread check.
    void Poll() override;
    /// Raises "Cannot terminate a local connection".
    void Terminate() override;

    const std::string& PeerName() const { return peerName_; }
    TPacketChannelReceiver& Receiver() const { return *receiver_; }
    TPacketChannelSender& Sender() const { return *sender_; }

private:
    void Dispatch(TPacketChannelMessage& message);
    void SenderDisconnected(TPacketChannelSender& sender);
    const char* PipeClassName() const override { return "TLocalCommPipe"; }

    std::string peerName_;
    std::unique_ptr<TPacketChannelReceiver> receiver_;
    std::unique_ptr<TPacketChannelSender> sender_;
};

class TLocalCommServer;

/// The service's side of one client: sends go to the client's reply channel. Made and owned by
/// TLocalCommServer; valid from OnClientConnect until OnClientDisconnect returns.
class TLocalCommConnection : public TCommPipe {
public:
    ~TLocalCommConnection() override;

    /// A server connection never waits: replies to it come only as requests of the client.
    std::unique_ptr<TPacket> WaitForReply(std::int32_t messageId, std::uint32_t timeout) override;
    std::int32_t Send(const TPacket& packet, std::int32_t messageId, std::uint8_t flags) override;
    void CheckConnected() override;
    void Poll() override;
    void Terminate() override;

    /// The client's receiving channel and its namespace (from the message headers).
    const TGuid& ClientChannel() const { return clientChannel_; }
    int ClientSession() const { return clientSession_; }
    TLocalCommServer& Server() const { return server_; }
    /// Why the client's channel was lost (TDisconnectReason; drUnknown while connected).
    int DisconnectReasonCode() const {
        return sender_ ? sender_->DisconnectReasonCode() : drUnknown;
    }

private:
    friend class TLocalCommServer;
    TLocalCommConnection(TLocalCommServer& server, const TGuid& clientChannel, int clientSession);
    void SenderDisconnected(TPacketChannelSender& sender);
    void Ended();
    const char* PipeClassName() const override { return "TLocalCommConnection"; }

    TLocalCommServer& server_;
    TGuid clientChannel_;
    int clientSession_;
    std::unique_ptr<TPacketChannelSender> sender_;
};

class TLocalCommServer {
public:
    using TConnectionEvent = std::function<void(TLocalCommConnection& connection)>;

    /// Creates the service channel serviceGuid in the namespace of sessionNumber (the agent
    /// service: SessionGlobal). Replies carry sessionNumber as SenderSession. Raises the creation
    /// errors of the channel.
    TLocalCommServer(const TGuid& serviceGuid, int sessionNumber, std::uint32_t sectionSize,
                     std::shared_ptr<TCommMethodMap> methodMap = nullptr,
                     TNotifyQueue* queue = nullptr);
    /// Marks the service channel terminated (every client sees the end at its next check) and
    /// drops every connection without calling OnClientDisconnect.
    ~TLocalCommServer();
    TLocalCommServer(const TLocalCommServer&) = delete;
    TLocalCommServer& operator=(const TLocalCommServer&) = delete;

    /// Request handlers of every connection.
    TCommMethodMap& MethodMap() const { return *methodMap_; }
    /// Called when a message arrives from a reply channel not seen before (before it is handled).
    void SetOnClientConnect(TConnectionEvent handler) { onConnect_ = std::move(handler); }
    /// Called once when a client went away; the connection is freed afterwards.
    void SetOnClientDisconnect(TConnectionEvent handler) { onDisconnect_ = std::move(handler); }

    /// Clients with a live connection.
    std::size_t ConnectionCount() const { return connections_.size(); }
    /// The most clients served at once; messages from further reply channels are dropped.
    void SetMaxConnections(std::size_t count) { maxConnections_ = count; }

    TPacketChannelReceiver& Receiver() const { return *receiver_; }
    const TGuid& ServiceGuid() const { return serviceGuid_; }
    int SessionNumber() const { return sessionNumber_; }
    std::uint32_t SectionSize() const { return sectionSize_; }
    TNotifyQueue& Queue() const { return queue_; }

private:
    friend class TLocalCommConnection;
    void Dispatch(TPacketChannelMessage& message);
    void ConnectionEnded(TLocalCommConnection& connection);
    void ReleaseEnded();

    struct TKey {
        TGuid channel;
        int session;
        bool operator<(const TKey& other) const;
    };

    TNotifyQueue& queue_;
    TGuid serviceGuid_;
    int sessionNumber_;
    std::uint32_t sectionSize_;
    std::shared_ptr<TCommMethodMap> methodMap_;
    std::unique_ptr<TPacketChannelReceiver> receiver_;
    std::map<TKey, std::unique_ptr<TLocalCommConnection>> connections_;
    std::vector<std::unique_ptr<TLocalCommConnection>> ended_;
    TConnectionEvent onConnect_;
    TConnectionEvent onDisconnect_;
    std::size_t maxConnections_ = 1024;
};

} // namespace qz
