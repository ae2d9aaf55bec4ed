#include "AgentServer.h"

namespace qz::agent {

// The channel arrives with the local comm pipe; until it is bound nothing is served.
struct TAgentServer::Impl {};

TAgentServer::TAgentServer(TAgentRequests&, std::function<void()>) {}

TAgentServer::~TAgentServer() = default;

} // namespace qz::agent
