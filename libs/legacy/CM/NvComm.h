#pragma once

// The request/reply layer over a carrier of packets: a comm pipe keeps the connection state and
// its notifications, sends requests and waits for their replies, dispatches incoming messages to
// request handlers through a method map, and carries exceptions back as TCommExceptionPacket.
// TLocalCommPipe (LocalComm.h) is the carrier between processes of one machine.
//
// Everything runs on the thread of the pipe's notify queue (the main thread): sends, waits,
// dispatch and the state notifications, which run two loop passes after the change.

#include "NotifyQueue.h"
#include "PacketChannel.h"
#include "Packets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace qz {

class TCommPipe;
class TCommExecuteContext;

/// Pipe states; a state never goes back.
enum TPipeState : std::uint8_t { psNew = 0, psConnected = 1, psTerminated = 2 };

/// The handler of one request class.
class TCommRequestHandler {
public:
    virtual ~TCommRequestHandler() = default;
    /// Handles the request of the context; answers with context.SendReply. A request that gets no
    /// reply is answered with an empty TPacket; an exception is answered with a
    /// TCommExceptionPacket (one-way messages that raise terminate the pipe instead).
    virtual void HandleRequest(TCommExecuteContext& context) = 0;
};

/// Request handlers by packet class.
class TCommMethodMap {
public:
    using THandlerFunction = std::function<void(TCommExecuteContext& context)>;

    /// Registers the handler of a packet class (the class must be registered); a second handler
    /// for the same class replaces the first.
    void Add(const TPacketClass& cls, std::shared_ptr<TCommRequestHandler> handler);
    void Add(const TPacketClass& cls, THandlerFunction handler);
    /// The handler of a class's registry index, or null.
    TCommRequestHandler* Find(int classIndex) const;
    void Remove(const TPacketClass& cls);
    std::size_t Count() const { return handlers_.size(); }

private:
    std::unordered_map<int, std::shared_ptr<TCommRequestHandler>> handlers_;
};

/// What a handler learns of the message it handles and how it answers.
class TCommExecuteContext {
public:
    TCommExecuteContext(TCommPipe& pipe, TPacket& request, std::int32_t messageId,
                        std::uint8_t flags);

    TCommPipe& Pipe() const { return pipe_; }
    TPacket& Request() const { return request_; }
    template <typename T>
    T& RequestAs() const {
        return TPacket::CastPacket<T>(request_);
    }
    std::int32_t MessageId() const { return messageId_; }
    std::uint8_t Flags() const { return flags_; }
    /// True when the sender waits for a reply (cfRequest).
    bool IsRequest() const { return (flags_ & cfRequest) != 0; }
    bool ReplySent() const { return replySent_; }

    /// Sends the reply (TCommPipe::SendReply). Raises "Reply packet is not expected by caller",
    /// "Reply packet can only be sent once" or "Failed to send reply packet: %s" + CR LF + inner
    /// message. An owned packet is freed in every case.
    bool SendReply(std::unique_ptr<TPacket> packet, std::uint8_t extraFlags = 0);
    bool SendReply(const TPacket& packet, std::uint8_t extraFlags = 0);

private:
    friend class TCommPipe;
    std::thread::id thread_;
    TCommPipe& pipe_;
    TPacket& request_;
    std::int32_t messageId_;
    std::uint8_t flags_;
    bool replySent_ = false;
};

class TCommPipe {
public:
    /// A pipe on the queue (null: the calling thread's queue) with the method map (null: an own,
    /// empty one).
    explicit TCommPipe(TNotifyQueue* queue = nullptr,
                       std::shared_ptr<TCommMethodMap> methodMap = nullptr);
    /// Frees the handler lists and removes the pipe's pending notifications.
    virtual ~TCommPipe();
    TCommPipe(const TCommPipe&) = delete;
    TCommPipe& operator=(const TCommPipe&) = delete;

    /// Waits for the reply to the message id (sent as a request). The caller owns the result.
    virtual std::unique_ptr<TPacket> WaitForReply(std::int32_t messageId,
                                                  std::uint32_t timeout) = 0;
    /// Sends a message (flags: cfRequest, cfReply, cfExceptionReply; none for one-way) and
    /// returns its id, or 0 when it could not be sent. Never raises for a failed send.
    virtual std::int32_t Send(const TPacket& packet, std::int32_t messageId,
                              std::uint8_t flags) = 0;
    /// Raises unless the pipe is connected.
    virtual void CheckConnected() = 0;
    /// Checks the connection (a dead peer moves the pipe to psTerminated).
    virtual void Poll() {}
    /// Raises for carriers that cannot be terminated from this side.
    virtual void Terminate() = 0;

    /// Send with cfRequest added, then WaitForReply. A TCommExceptionPacket reply raises "Failed
    /// to complete request: " + its method name + CR LF + its message. Returns the reply.
    std::unique_ptr<TPacket> Request(const TPacket& packet, std::uint8_t flags = 0,
                                     std::uint32_t timeout = 0);
    /// Request with a packet the pipe frees whatever happens.
    std::unique_ptr<TPacket> Request(std::unique_ptr<TPacket> packet, std::uint8_t flags = 0,
                                     std::uint32_t timeout = 0);
    /// Request, and the reply is dropped.
    void RequestNoResult(const TPacket& packet, std::uint8_t flags = 0, std::uint32_t timeout = 0);
    /// A one-way message; the id, or 0 when it could not be sent.
    std::int32_t Post(const TPacket& packet) { return Send(packet, 0, 0); }

    /// Sends the reply of the message being handled (see TCommExecuteContext::SendReply).
    bool SendReply(TCommExecuteContext& context, const TPacket& packet,
                   std::uint8_t extraFlags = 0);

    TPipeState State() const { return state_; }
    bool WasConnected() const { return wasConnected_; }
    bool WasTerminated() const { return wasTerminated_; }
    TCommMethodMap& MethodMap() const { return *methodMap_; }
    TNotifyQueue& Queue() const { return queue_; }

    /// Handlers run (posted, in the order added) after the pipe became terminated or connected.
    TProcedureOfObjectList& OnTerminate() { return onTerminate_; }
    TProcedureOfObjectList& OnConnect() { return onConnect_; }
    /// Posts every handler of OnTerminate / OnConnect.
    void NotifyTerminate();
    void NotifyConnect();

    /// Handles one incoming message: dispatch to the method map's handler, the empty reply of an
    /// unanswered request, exception replies, and the termination of the pipe by a failed one-way
    /// message or an unexpected reply. Never raises.
    void HandleMessage(TPacket& packet, std::int32_t messageId, std::uint8_t flags);

protected:
    /// Moves to a new state and posts its notification (a state never goes back).
    void SetState(TPipeState state);
    /// The class name written into the diagnostic log's method exception sections.
    virtual const char* PipeClassName() const { return "TCommPipe"; }

private:
    TNotifyQueue& queue_;
    TPipeState state_ = psNew;
    bool wasConnected_ = false;
    bool wasTerminated_ = false;
    std::shared_ptr<TCommMethodMap> methodMap_;
    TProcedureOfObjectList onTerminate_;
    TProcedureOfObjectList onConnect_;
};

} // namespace qz
