#pragma once

// One run of Tasksmith: reads the build request of "/id=", agrees with the console on the start
// and attach handshake (the order is in docs/tasksmith.md), runs the job while writing its
// events, stops it when the console or the agent asks, and returns the build's exit code.

#include "CM/BuildCommandPackets.h"
#include "JobFile.h"

#include <string>
#include <vector>

namespace qz::tasksmith {

/// The exit code that tells the console a restart may succeed.
inline constexpr int kExitRestart = 217;
/// The exit code of a Tasksmith that could not start the build for good.
inline constexpr int kExitInitFailed = 1;
/// The build's exit code when it was stopped and no task had failed.
inline constexpr int kExitCancelled = 1;

/// The whole program; args are the command-line arguments without the program name.
int TasksmithMain(const std::vector<std::string>& args);

/// The job a request describes: the /COMMAND line (build class "wrap"), a shell script
/// (".bat", ".cmd", ".sh"), or an XML job file (".xml", ".xpx"). Raises a clear message for
/// anything else and for every job-file error.
JobSpec JobOfRequest(const TBuildCommandPacket& request);

/// The environment of the build's tasks: the request's EnvBlock (our own when it is empty),
/// then its ForcedEnv entries.
std::vector<std::string> EnvironmentOfRequest(const TBuildCommandPacket& request);

} // namespace qz::tasksmith
