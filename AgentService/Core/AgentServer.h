#pragma once

// The agent service on the "Build Service" channel: receives the consoles' requests through the
// server side of the local comm pipe and answers each with the request handlers. Main thread.

#include "AgentRequests.h"

#include <functional>
#include <memory>

namespace qz::agent {

class TAgentServer {
public:
    /// Starts serving the channel "Build Service" in the global namespace under the service GUID
    /// of the product information. afterRequest runs after every handled message. Raises when
    /// the channel cannot be created.
    TAgentServer(TAgentRequests& requests, std::function<void()> afterRequest);
    /// Marks the channel terminated, so that every console sees the end at once.
    ~TAgentServer();
    TAgentServer(const TAgentServer&) = delete;
    TAgentServer& operator=(const TAgentServer&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::agent
