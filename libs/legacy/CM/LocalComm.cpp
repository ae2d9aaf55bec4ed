#include "LocalComm.h"

#include "DiagLog.h"
#include "Exceptions.h"
#include "Format.h"

namespace qz {

// ---- Client pipe ----

TLocalCommPipe::TLocalCommPipe(const TGuid& targetGuid, std::uint32_t sectionSize,
                               std::string peerName, int sessionNumber, TNotifyQueue* queue)
    : TCommPipe(queue), peerName_(std::move(peerName)) {
    TGuid own = NewGuid();
    receiver_ = std::make_unique<TPacketChannelReceiver>(Queue(), SessionLocal, sectionSize, own);
    sender_ = std::make_unique<TPacketChannelSender>(Queue(), own, targetGuid, sessionNumber,
                                                     sectionSize);
    receiver_->SetOnMessage([this](TPacketChannelMessage& message) { Dispatch(message); });
    if (sender_->Connect()) {
        SetState(psConnected);
        sender_->SetOnDisconnect(
            [this](TPacketChannelSender& sender) { SenderDisconnected(sender); });
    } else {
        SetState(psTerminated);
    }
}

TLocalCommPipe::~TLocalCommPipe() {
    receiver_->MarkTerminated();
    sender_->WakeReceiver();
    sender_.reset();
    receiver_.reset();
}

std::unique_ptr<TPacket> TLocalCommPipe::WaitForReply(std::int32_t messageId, std::uint32_t) {
    std::unique_ptr<TPacketChannelMessage> message =
        receiver_->WaitForReply(*sender_, messageId, 0);
    if (!message || !message->HasPacket()) {
        Raise("Timed out waiting for reply from local connection");
    }
    return message->TakePacket();
}

std::int32_t TLocalCommPipe::Send(const TPacket& packet, std::int32_t messageId,
                                  std::uint8_t flags) {
    return sender_->Send(
        messageId, packet,
        static_cast<std::uint8_t>(flags & (cfReply | cfExceptionReply | cfRequest)));
}

void TLocalCommPipe::CheckConnected() {
    if (State() != psConnected) {
        Raise("Failed to connect to " + peerName_ +
              " (on local machine): " + sender_->DisconnectReason());
    }
}

void TLocalCommPipe::Poll() {
    sender_->CheckConnection(true);
}

void TLocalCommPipe::Terminate() {
    Raise("Cannot terminate a local connection");
}

void TLocalCommPipe::Dispatch(TPacketChannelMessage& message) {
    HandleMessage(message.Packet(), message.MessageId(), message.Flags());
}

void TLocalCommPipe::SenderDisconnected(TPacketChannelSender&) {
    SetState(psTerminated);
}

// ---- Server connection ----

TLocalCommConnection::TLocalCommConnection(TLocalCommServer& server, const TGuid& clientChannel,
                                           int clientSession)
    : TCommPipe(&server.Queue(), server.methodMap_), server_(server), clientChannel_(clientChannel),
      clientSession_(clientSession) {}

TLocalCommConnection::~TLocalCommConnection() = default;

std::unique_ptr<TPacket> TLocalCommConnection::WaitForReply(std::int32_t, std::uint32_t) {
    Raise("A service connection does not wait for replies");
}

std::int32_t TLocalCommConnection::Send(const TPacket& packet, std::int32_t messageId,
                                        std::uint8_t flags) {
    if (!sender_) {
        return 0;
    }
    return sender_->Send(
        messageId, packet,
        static_cast<std::uint8_t>(flags & (cfReply | cfExceptionReply | cfRequest)));
}

void TLocalCommConnection::CheckConnected() {
    if (State() != psConnected) {
        Raise("Failed to connect to client (on local machine): " +
              (sender_ ? sender_->DisconnectReason() : DisconnectReasonText(drUnknown)));
    }
}

void TLocalCommConnection::Poll() {
    if (sender_) {
        sender_->CheckConnection(true);
    }
}

void TLocalCommConnection::Terminate() {
    Raise("Cannot terminate a local connection");
}

void TLocalCommConnection::SenderDisconnected(TPacketChannelSender&) {
    SetState(psTerminated);
}

void TLocalCommConnection::Ended() {
    server_.ConnectionEnded(*this);
}

// ---- Server ----

bool TLocalCommServer::TKey::operator<(const TKey& other) const {
    if (channel != other.channel) {
        return channel < other.channel;
    }
    return session < other.session;
}

TLocalCommServer::TLocalCommServer(const TGuid& serviceGuid, int sessionNumber,
                                   std::uint32_t sectionSize,
                                   std::shared_ptr<TCommMethodMap> methodMap, TNotifyQueue* queue)
    : queue_(queue ? *queue : GetNotifyQueue()), serviceGuid_(serviceGuid),
      sessionNumber_(sessionNumber), sectionSize_(sectionSize),
      methodMap_(methodMap ? std::move(methodMap) : std::make_shared<TCommMethodMap>()) {
    receiver_ =
        std::make_unique<TPacketChannelReceiver>(queue_, sessionNumber, sectionSize, serviceGuid);
    receiver_->SetOnMessage([this](TPacketChannelMessage& message) { Dispatch(message); });
}

TLocalCommServer::~TLocalCommServer() {
    receiver_->MarkTerminated();
    for (auto& [key, connection] : connections_) {
        if (connection->sender_) {
            connection->sender_->WakeReceiver();
        }
    }
    connections_.clear();
    ended_.clear();
    receiver_.reset();
    queue_.ClearQueue(this);
}

void TLocalCommServer::Dispatch(TPacketChannelMessage& message) {
    const TGuid& channel = message.ReplyChannel();
    if (channel == serviceGuid_) {
        LogWarning("Message naming the service's own channel as its reply channel dropped");
        return;
    }
    TKey key{channel, message.SenderSession()};
    auto it = connections_.find(key);
    TLocalCommConnection* connection = nullptr;
    if (it != connections_.end()) {
        connection = it->second.get();
    } else {
        if (connections_.size() >= maxConnections_) {
            LogWarning(Format("Message from a new client dropped: %d clients are connected",
                              connections_.size()));
            return;
        }
        std::unique_ptr<TLocalCommConnection> fresh(
            new TLocalCommConnection(*this, channel, message.SenderSession()));
        fresh->sender_ = std::make_unique<TPacketChannelSender>(
            queue_, serviceGuid_, channel, message.SenderSession(), sectionSize_);
        fresh->sender_->SetOwnSession(sessionNumber_);
        bool connected = false;
        try {
            connected = fresh->sender_->Connect();
        } catch (const Exception& e) {
            LogWarning("Cannot reach the reply channel of a client\r\n" + e.Message());
        }
        connection = fresh.get();
        if (connected) {
            TLocalCommConnection* raw = fresh.get();
            fresh->sender_->SetOnDisconnect(
                [raw](TPacketChannelSender& sender) { raw->SenderDisconnected(sender); });
            fresh->OnTerminate().push_back(TMethod::Of<&TLocalCommConnection::Ended>(raw));
            fresh->SetState(psConnected);
            connections_.emplace(key, std::move(fresh));
            if (onConnect_) {
                onConnect_(*connection);
            }
        } else {
            // The client is gone already (a post followed by its exit): its messages are still
            // handled, and nothing can be answered.
            fresh->SetState(psTerminated);
            ended_.push_back(std::move(fresh));
            queue_.Post(this, npLow, TMethod::Of<&TLocalCommServer::ReleaseEnded>(this));
        }
    }
    connection->HandleMessage(message.Packet(), message.MessageId(), message.Flags());
}

void TLocalCommServer::ConnectionEnded(TLocalCommConnection& connection) {
    auto it = connections_.find(TKey{connection.ClientChannel(), connection.ClientSession()});
    if (it == connections_.end() || it->second.get() != &connection) {
        return;
    }
    std::unique_ptr<TLocalCommConnection> ended = std::move(it->second);
    connections_.erase(it);
    ended_.push_back(std::move(ended));
    queue_.Post(this, npLow, TMethod::Of<&TLocalCommServer::ReleaseEnded>(this));
    if (onDisconnect_) {
        try {
            onDisconnect_(connection);
        } catch (const Exception& e) {
            LogWarning("Client disconnect handler failed\r\n" + e.Message());
        }
    }
}

void TLocalCommServer::ReleaseEnded() {
    ended_.clear();
}

} // namespace qz
