#pragma once

// The agent's table of running builds: granting and refusing build slots, the stop event of each
// build, and the cleanup that frees a slot once its build-system process has ended or the console
// that asked for it is gone.
//
// A build is known by its id. Its build-system process owns the mutex "TamrelBuildMutex_" + id
// (in the global namespace or in the console's session) while it runs; the table looks at that
// mutex without taking it. Main thread only.

#include "CM/EnvUtils.h"
#include "CM/NvObjects.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::agent {

/// What the agent can tell about the console that asked for a slot, through its reply channel.
enum class TConsoleState {
    Connected, ///< its channel is open
    Closed,    ///< it closed its channel (its process may live on)
    Ended,     ///< the thread behind its channel has ended: the process is gone
};

/// The console end of a slot request; the comm binding implements it over the reply channel.
class TConsoleLink {
public:
    virtual ~TConsoleLink() = default;
    virtual TConsoleState State() = 0;
};

/// Results of a slot request (the values the console understands).
enum TSlotResult : int {
    srGranted = 0,
    srMaxBuildsReached = 1,
    srNotEnoughCores = 2,
    srUpdatePending = 4,
};

/// What decides a slot request.
struct TSlotLimits {
    int maxConcurrentBuilds = 1;
    int minCoresPerBuild = 1;
    int onlineProcessors = 1;
    bool updatePending = false;
};

/// Who asks for a slot.
struct TSlotRequest {
    std::string displayName;         ///< the requesting component's name
    std::int32_t senderSession = -2; ///< the console's session (-2: global namespace)
    std::shared_ptr<TConsoleLink> console;
};

/// One running build.
struct TBuildSlot {
    TGuid id;
    std::string caption;     ///< from the build's command file once it exists
    std::string buildClass;  ///< likewise
    std::uint64_t flags = 0; ///< likewise
    bool commandFileRead = false;
    std::string displayName; ///< the requesting component's name
    std::int32_t senderSession = -2;
    std::shared_ptr<TConsoleLink> console;
    TDateTime startTime = 0;
    std::uint32_t startTick = 0;
    bool buildSystemSeen = false; ///< its build mutex has been seen owned
    bool consoleGone = false;     ///< not Connected at the last sweep
    std::uint32_t consoleGoneTick = 0;
    bool stopRequested = false;
    std::unique_ptr<TWinEvent> stopEvent;
};

class TBuildSlotTable {
public:
    /// How long a console whose process has ended may stay away before its build system has been
    /// seen: a build-system process it started just before it died still gets to take its mutex.
    /// A console that closed its channel in order gets no such time: it closes it only once the
    /// build system has announced its start (it owns its build mutex from before that moment on)
    /// or once it gave the start up and ended its build-system process. A build mutex that is
    /// not owned after such a close therefore means the build is over, however short it was.
    static constexpr std::uint32_t kEndedConsoleGrace = 5000;

    using TMutexProbe = std::function<TWinMutex::TState(const std::string& name)>;
    using TTickSource = std::function<std::uint32_t()>;

    /// Probes mutexes with TWinMutex::Query and takes time from GetTickCount unless told
    /// otherwise (tests).
    explicit TBuildSlotTable(TMutexProbe probe = {}, TTickSource ticks = {});

    /// Sweeps, then grants a slot (srGranted, id set to a new build id, the build's stop event
    /// created) or refuses it: srUpdatePending, srNotEnoughCores (fewer online processors than
    /// minCoresPerBuild), srMaxBuildsReached, checked in this order. Raises the stop event's
    /// creation error.
    int Request(const TSlotLimits& limits, const TSlotRequest& request, TGuid& id);

    /// Drops every build whose build-system process has ended (its mutex, once seen owned, is
    /// free, abandoned or gone), whose console closed its channel while the mutex is not owned,
    /// or whose console process ended and the mutex stayed unowned for kEndedConsoleGrace.
    /// Returns the number dropped.
    int Sweep();

    /// Sets the stop event of the build; the null id names the one running build. The id of the
    /// build told to stop, or nothing when there is no such build (or, for the null id, none or
    /// several).
    std::optional<TGuid> Stop(const TGuid& id);

    /// Told of every build whose slot Sweep frees, before the slot goes.
    std::function<void(const TBuildSlot&)> onReleased;

    /// The builds in the order their slots were granted.
    const std::vector<std::unique_ptr<TBuildSlot>>& Slots() const { return slots_; }
    TBuildSlot* Find(const TGuid& id);
    bool Empty() const { return slots_.empty(); }

    /// "TamrelBuildMutex_" + the id's text in the namespace (session n, or global for others).
    static std::string BuildMutexName(const TGuid& id, std::int32_t session);
    /// "Global\Orvane_Build_" + the id's text + "_StopEvent".
    static std::string StopEventName(const TGuid& id);

private:
    /// The build mutex as seen in the global namespace and the console's session.
    TWinMutex::TState BuildMutexState(const TBuildSlot& slot);
    bool Expired(TBuildSlot& slot, std::uint32_t now);

    TMutexProbe probe_;
    TTickSource ticks_;
    std::vector<std::unique_ptr<TBuildSlot>> slots_;
};

} // namespace qz::agent
