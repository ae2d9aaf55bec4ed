#include "NvComm.h"

#include "DiagLog.h"
#include "Exceptions.h"
#include "Format.h"
#include "ServicePackets.h"

namespace qz {

namespace {

class TFunctionHandler : public TCommRequestHandler {
public:
    explicit TFunctionHandler(TCommMethodMap::THandlerFunction function)
        : function_(std::move(function)) {}
    void HandleRequest(TCommExecuteContext& context) override { function_(context); }

private:
    TCommMethodMap::THandlerFunction function_;
};

// Clears the request's link to its context however the handler ends.
class TContextBinding {
public:
    TContextBinding(TPacket& packet, TCommExecuteContext& context)
        : packet_(dynamic_cast<TCommPacket*>(&packet)) {
        if (packet_) {
            packet_->SetExecutionContext(&context);
        }
    }
    ~TContextBinding() {
        if (packet_) {
            packet_->SetExecutionContext(nullptr);
        }
    }
    TContextBinding(const TContextBinding&) = delete;
    TContextBinding& operator=(const TContextBinding&) = delete;

private:
    TCommPacket* packet_;
};

} // namespace

// ---- Method map ----

void TCommMethodMap::Add(const TPacketClass& cls, std::shared_ptr<TCommRequestHandler> handler) {
    QZ_ASSERT(handler != nullptr);
    handlers_[PacketClassIndex(cls)] = std::move(handler);
}

void TCommMethodMap::Add(const TPacketClass& cls, THandlerFunction handler) {
    Add(cls, std::make_shared<TFunctionHandler>(std::move(handler)));
}

TCommRequestHandler* TCommMethodMap::Find(int classIndex) const {
    auto it = handlers_.find(classIndex);
    return it == handlers_.end() ? nullptr : it->second.get();
}

void TCommMethodMap::Remove(const TPacketClass& cls) {
    handlers_.erase(PacketClassIndex(cls));
}

// ---- Execute context ----

TCommExecuteContext::TCommExecuteContext(TCommPipe& pipe, TPacket& request, std::int32_t messageId,
                                         std::uint8_t flags)
    : thread_(std::this_thread::get_id()), pipe_(pipe), request_(request), messageId_(messageId),
      flags_(flags) {}

bool TCommExecuteContext::SendReply(std::unique_ptr<TPacket> packet, std::uint8_t extraFlags) {
    QZ_ASSERT(packet != nullptr);
    return pipe_.SendReply(*this, *packet, extraFlags);
}

bool TCommExecuteContext::SendReply(const TPacket& packet, std::uint8_t extraFlags) {
    return pipe_.SendReply(*this, packet, extraFlags);
}

// ---- Pipe ----

TCommPipe::TCommPipe(TNotifyQueue* queue, std::shared_ptr<TCommMethodMap> methodMap)
    : queue_(queue ? *queue : GetNotifyQueue()),
      methodMap_(methodMap ? std::move(methodMap) : std::make_shared<TCommMethodMap>()) {}

TCommPipe::~TCommPipe() {
    onTerminate_.clear();
    onConnect_.clear();
    queue_.ClearQueue(this);
}

void TCommPipe::SetState(TPipeState state) {
    QZ_ASSERT(state >= state_);
    if (state == state_) {
        return;
    }
    state_ = state;
    if (state == psConnected) {
        wasConnected_ = true;
        queue_.Post(this, npNormal, TMethod::Of<&TCommPipe::NotifyConnect>(this));
    } else if (state == psTerminated) {
        wasTerminated_ = true;
        queue_.Post(this, npNormal, TMethod::Of<&TCommPipe::NotifyTerminate>(this));
    }
}

void TCommPipe::NotifyTerminate() {
    queue_.PostList(onTerminate_);
}

void TCommPipe::NotifyConnect() {
    queue_.PostList(onConnect_);
}

std::unique_ptr<TPacket> TCommPipe::Request(const TPacket& packet, std::uint8_t flags,
                                            std::uint32_t timeout) {
    std::int32_t id = Send(packet, 0, static_cast<std::uint8_t>(flags | cfRequest));
    std::unique_ptr<TPacket> reply = WaitForReply(id, timeout);
    if (auto* failure = dynamic_cast<TCommExceptionPacket*>(reply.get())) {
        std::string text = "Failed to complete request: " +
                           failure->Str(TCommExceptionPacket::ExceptionMethodName) + "\r\n" +
                           failure->Str(TCommExceptionPacket::ExceptionMessage);
        reply.reset();
        Raise(std::move(text));
    }
    return reply;
}

std::unique_ptr<TPacket> TCommPipe::Request(std::unique_ptr<TPacket> packet, std::uint8_t flags,
                                            std::uint32_t timeout) {
    QZ_ASSERT(packet != nullptr);
    return Request(*packet, flags, timeout);
}

void TCommPipe::RequestNoResult(const TPacket& packet, std::uint8_t flags, std::uint32_t timeout) {
    Request(packet, flags, timeout);
}

bool TCommPipe::SendReply(TCommExecuteContext& context, const TPacket& packet,
                          std::uint8_t extraFlags) {
    QZ_ASSERT(std::this_thread::get_id() == context.thread_);
    try {
        if (!context.IsRequest()) {
            Raise("Reply packet is not expected by caller");
        }
        if (context.replySent_) {
            Raise("Reply packet can only be sent once");
        }
        context.replySent_ = true;
        return Send(packet, context.MessageId(), static_cast<std::uint8_t>(extraFlags | cfReply)) !=
               0;
    } catch (const Exception&) {
        RaiseWithContext(Format("Failed to send reply packet: %s", packet.ClassName()));
    }
}

void TCommPipe::HandleMessage(TPacket& packet, std::int32_t messageId, std::uint8_t flags) {
    flags &= cfReply | cfExceptionReply | cfRequest;
    const int classIndex = packet.Class().ClassIndexRef().load();
    TCommRequestHandler* handler = methodMap_->Find(classIndex);
    TCommExecuteContext context(*this, packet, messageId, flags);
    TContextBinding binding(packet, context);
    std::string failure;
    std::string failureClass;
    try {
        if (flags & cfReply) {
            Raise("Unexpected message reply received");
        }
        if (auto* broken = dynamic_cast<TCommExceptionPacket*>(&packet)) {
            Raise(Format("Failed to load packet: %s",
                         broken->Str(TCommExceptionPacket::ExceptionMessage)));
        }
        if (!handler) {
            Raise(Format("Unknown method ID: %d (%s)", classIndex, packet.ClassName()));
        }
        handler->HandleRequest(context);
        if (context.IsRequest() && !context.ReplySent()) {
            TPacket empty;
            SendReply(context, empty);
        }
        return;
    } catch (const Exception& e) {
        failure = e.Message();
        failureClass = e.ClassName();
    } catch (const std::exception& e) {
        failure = e.what();
        failureClass = "Exception";
    }
    std::string text = "[" + packet.ClassName() + "]\r\n" + failure;
    bool answer = false;
    if (context.ReplySent()) {
        text += "\r\n(reply already sent)";
    } else if (context.IsRequest()) {
        text += "\r\n(sending exception packet as reply)";
        answer = true;
    }
    LogWarning(std::string(PipeClassName()) + " Method Exception\r\n" + text);
    if (answer) {
        try {
            TCommExceptionPacket reply;
            reply.SetStr(TCommExceptionPacket::ExceptionMessage, failure);
            reply.SetStr(TCommExceptionPacket::ExceptionClass, failureClass);
            reply.SetStr(TCommExceptionPacket::ExceptionMethodName, packet.ClassName());
            SendReply(context, reply, cfExceptionReply);
        } catch (const Exception& e) {
            LogWarning(e.Message());
        }
    } else if (!context.IsRequest()) {
        SetState(psTerminated);
    }
}

} // namespace qz
