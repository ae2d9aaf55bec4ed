#pragma once

// An intercepted build (/COMMAND): the profile the request asks for, the private folder with
// the broker's socket and the masquerade links, the environment of the build tool, and the
// broker's events turned into steps and lines of the build.

#include "CM/BuildCommandPackets.h"
#include "InterceptBroker.h"
#include "InterceptProfile.h"
#include "JobFile.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::tasksmith {

class BuildReporter;
class SlurmRemote;

/// The file names of the interception's parts in the agent folder.
inline constexpr const char* kPreloadLibraryName = "libqzintercept.so";
inline constexpr const char* kRelayProgramName = "qzrelay";
inline constexpr const char* kDefaultProfileName = "resources/intercept-profile.xml";

/// The profile of the request: /PROFILE, else the agent folder's default, with /ALLOWREMOTE
/// applied. Raises with the file and line of a problem.
InterceptProfile ProfileOfRequest(const TBuildCommandPacket& request,
                                  const std::string& agentFolder);

/// Whether any tool of the profile may run remotely.
bool ProfileWantsRemote(const InterceptProfile& profile);

/// The program a /COMMAND line starts first, as written in it: the first word after variable
/// assignments, "exec" and "env" (with its assignments). Empty when the line does not start with
/// a plain word (quotes, expansions, redirections, a compound command).
std::string CommandProgramName(const std::string& command);

/// Removes the folders of earlier intercepted builds beside ownFolder (the same prefix) that a
/// killed Tasksmith left: their socket is older than a minute and refuses connections. A folder
/// with a live broker, a younger one (its build may not listen yet) and another user's stay.
void RemoveStaleInterceptFolders(const std::string& ownFolder);

/// The build tool's PATH: the masquerade folder first, then the build's own PATH; without one
/// (std::nullopt), the search a shell makes by default, which the masquerade folder alone would
/// otherwise replace (the build tool itself would no longer be found).
std::string InterceptedPath(const std::optional<std::string>& path, const std::string& masquerade);

/// The build tools that the preload library cannot enter (static programs, set-id programs): the
/// /COMMAND line's first program and the programs named by /ALLOWINTERCEPT, found as a shell
/// in folder with pathValue finds them, each once. One line each for the build's output, naming
/// the program and saying what is caught of its tool runs.
std::vector<std::string> UncatchableBuildToolLines(const std::string& command,
                                                   const std::vector<std::string>& parents,
                                                   const std::string& folder,
                                                   const std::string& pathValue);

class InterceptedBuild {
public:
    ~InterceptedBuild();
    InterceptedBuild(const InterceptedBuild&) = delete;
    InterceptedBuild& operator=(const InterceptedBuild&) = delete;

    /// Starts the broker for the build tool's task and adds the interception's variables to
    /// its environment (baseEnvironment: the build's, for LD_PRELOAD and PATH). Null, with a
    /// line in the build's output, when interception cannot work here (the build then runs
    /// without it).
    static std::unique_ptr<InterceptedBuild>
    Start(InterceptProfile profile, const TBuildCommandPacket& request, JobTask& task,
          const std::vector<std::string>& baseEnvironment, const std::string& agentFolder,
          const std::string& tempFolder, int localSlots, SlurmRemote* remote,
          BuildReporter& reporter);

    /// Writes what the broker reported since the last call. The build's thread.
    void Pump();
    /// Stops the broker and writes its last events.
    void Finish();

private:
    InterceptedBuild(BuildReporter& reporter, std::string folder)
        : reporter_(reporter), folder_(std::move(folder)) {}

    BuildReporter& reporter_;
    std::string folder_;
    std::unique_ptr<InterceptBroker> broker_;
    bool showNotes_ = false;
};

} // namespace qz::tasksmith
