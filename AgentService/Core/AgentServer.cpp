#include "AgentServer.h"

#include "CM/DiagLog.h"
#include "CM/Exceptions.h"
#include "CM/LocalComm.h"
#include "CM/ProductInfo.h"

#include <map>

namespace qz::agent {

namespace {

/// The size of each section of the service channel's stream.
constexpr std::uint32_t kSectionSize = 0x200000;
constexpr int kSessionGlobal = -2;

/// A console as its connection reports it; outlives the connection.
class TConnectionLink : public TConsoleLink {
public:
    TConnectionLink(TConsoleState state, TLocalCommConnection* connection)
        : state_(state), connection_(connection) {}
    TConsoleState State() override {
        // Looked at now rather than at the connection's next liveness check (every 4 s): a
        // console that closed its channel a moment ago must not hold a slot that a waiting
        // console asks for. A close found here reaches Lost before Poll returns.
        if (connection_ != nullptr) {
            connection_->Poll();
        }
        return state_;
    }
    /// The connection goes away without a word (the server ends).
    void Detach() { connection_ = nullptr; }
    void Lost(int reason) {
        connection_ = nullptr;
        // A destroyed pipe marks its channel terminated; a process that ended could not.
        state_ = reason == drTerminated ? TConsoleState::Closed : TConsoleState::Ended;
    }

private:
    TConsoleState state_;
    TLocalCommConnection* connection_;
};

} // namespace

struct TAgentServer::Impl {
    TAgentRequests& requests;
    std::function<void()> afterRequest;
    std::map<const TLocalCommConnection*, std::shared_ptr<TConnectionLink>> links;
    std::unique_ptr<TLocalCommServer> server;

    void Handle(TCommExecuteContext& context) {
        auto* connection = dynamic_cast<TLocalCommConnection*>(&context.Pipe());
        TRequestOrigin origin;
        origin.expectsReply = context.IsRequest();
        if (connection != nullptr) {
            origin.senderSession = connection->ClientSession();
            auto it = links.find(connection);
            // A client that ended before its first message was read cannot be answered.
            origin.console = it != links.end()
                                 ? it->second
                                 : std::make_shared<TConnectionLink>(TConsoleState::Ended, nullptr);
        }
        std::unique_ptr<TPacket> reply;
        try {
            reply = requests.Handle(context.Request(), origin);
        } catch (...) {
            afterRequest();
            throw;
        }
        afterRequest();
        // One-way messages are never answered: an unexpected message ends a console's pipe.
        if (reply && context.IsRequest()) {
            context.SendReply(std::move(reply));
        }
    }
};

TAgentServer::TAgentServer(TAgentRequests& requests, std::function<void()> afterRequest)
    : impl_(new Impl{requests, std::move(afterRequest), {}, nullptr}) {
    Impl* impl = impl_.get();
    impl->server = std::make_unique<TLocalCommServer>(ServiceGuid(), kSessionGlobal, kSectionSize);
    for (const TPacketClass* cls : TAgentRequests::HandledClasses()) {
        impl->server->MethodMap().Add(
            *cls, [impl](TCommExecuteContext& context) { impl->Handle(context); });
    }
    impl->server->SetOnClientConnect([impl](TLocalCommConnection& connection) {
        impl->links[&connection] =
            std::make_shared<TConnectionLink>(TConsoleState::Connected, &connection);
    });
    impl->server->SetOnClientDisconnect([impl](TLocalCommConnection& connection) {
        auto it = impl->links.find(&connection);
        if (it != impl->links.end()) {
            it->second->Lost(connection.DisconnectReasonCode());
            impl->links.erase(it);
        }
        impl->afterRequest();
    });
    LogLine("Serving \"" + std::string(kBuildServiceName) + "\" on channel " +
                GuidToText(ServiceGuid()),
            0);
}

TAgentServer::~TAgentServer() {
    for (auto& [connection, link] : impl_->links) {
        link->Detach();
    }
}

} // namespace qz::agent
