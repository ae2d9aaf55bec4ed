#pragma once

// The broker of an intercepted build (/COMMAND jobs): the relays that the preload library
// starts in place of the profile's tools connect to its local socket, ask for a slot and report
// the tool's end (docs/interception.md has the frames). A build tool that spawns a tool asks
// first itself, and starts the tool without a relay when a local slot is free at once. One
// thread serves every connection with poll; relays waiting for a slot are served in arrival
// order. A run that is not counted, that waits past its tool's limit or that the cluster cannot
// take runs here, uncounted. What happens is queued as events for the build's thread
// (TakeEvents), which writes them.

#include "InterceptProfile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qz::tasksmith {

/// The name of the broker's socket in its folder.
inline constexpr std::string_view kBrokerSocketName = "broker.sock";

/// Something the broker reports to the build's thread.
struct BrokerEvent {
    enum class Kind {
        Began, ///< a counted run took a slot
        Ended, ///< a counted run ended (exitCode; lost: the relay went away without an end)
        Line,  ///< a visible line of the build's output (a run placed here against its profile)
        Note,  ///< a relay's diagnostic (not shown at the normal logging levels)
    };
    Kind kind = Kind::Line;
    /// The run's number in this build (from 1); 0 for lines that belong to no run.
    int step = 0;
    /// The slot: local slots from 0, remote slots after them.
    int slot = 0;
    bool remote = false;
    std::string caption;
    std::string commandLine;
    std::string program;
    std::string folder;
    int exitCode = 0;
    bool lost = false;
    std::string text;
};

struct BrokerSettings {
    /// A private folder (mode 0700) for the socket.
    std::string folder;
    InterceptProfile profile;
    /// Slots of this machine (at least 1).
    int localSlots = 1;
    /// The node of each remote slot (empty: none).
    std::vector<std::string> remoteNodes;
    /// The command line a remote run starts with (srun of the build's allocation pinned to the
    /// slot's node, in folder); the relay appends the tool and its arguments.
    std::function<std::vector<std::string>(int remoteSlot, const std::string& folder,
                                           const std::string& name)>
        remotePrefix;
    /// Remote runs only for folders at or below this one (what the nodes share); empty: none.
    std::string sharedRoot;
    /// Overrides every tool's wait limit (tests); 0: the profile's.
    int waitLimitMs = 0;
    /// Overrides the time a connection has to send its RUN before it is dropped (tests); 0: 10 s.
    int runLimitMs = 0;
    /// Overrides the time a direct run's parent has to report its tool's end once the tool has
    /// ended (tests); 0: 2 s.
    int reapGraceMs = 0;
    /// Overrides the number of connections served at once (tests); 0: 4096. The relays beyond
    /// wait to be accepted.
    int maxConnections = 0;
};

class InterceptBroker {
public:
    explicit InterceptBroker(BrokerSettings settings);
    ~InterceptBroker();
    InterceptBroker(const InterceptBroker&) = delete;
    InterceptBroker& operator=(const InterceptBroker&) = delete;

    /// Creates the socket in the folder and starts the thread. "" or why it could not.
    std::string Start();
    /// Ends the thread and closes every connection (waiting relays then run their tools
    /// uncounted). Idempotent.
    void Stop();
    const std::string& SocketPath() const { return socketPath_; }
    /// The events since the last call, in order. Any thread.
    std::vector<BrokerEvent> TakeEvents();

    struct Counts {
        int running = 0;     ///< counted runs in a slot now
        int mostRunning = 0; ///< the most counted runs at once so far
        int waiting = 0;     ///< relays waiting for a slot
        int connections = 0; ///< open connections
        int refused = 0;     ///< connections refused (other user) or dropped (malformed)
    };
    Counts CurrentCounts() const;

    struct State;

private:
    std::unique_ptr<State> state_;
    std::string socketPath_;
};

/// Takes one whole frame's payload from the front of buffer. 1: a frame (buffer shortened), 0:
/// more bytes needed, -1: the frame announces more than the protocol allows.
int TakeFrame(std::string& buffer, std::string& payload);

} // namespace qz::tasksmith
