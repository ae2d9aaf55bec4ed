#pragma once

// The agent service's settings in section "Builder" of the agent key (machine root), read anew
// for every request so that a change takes effect without a restart.

#include <string>

namespace qz::agent {

struct TAgentSettings {
    /// "MaxConcurrentBuilds": builds running at once; default (and for values below 1) the
    /// number of online processors.
    int maxConcurrentBuilds = 1;
    /// "MinCoresPerBuild": a build needs at least this many online processors; default 1.
    int minCoresPerBuild = 1;
    /// "Enabled": whether the agent takes part in builds; default true.
    bool enabled = true;
    /// "AllowEnableDisable": whether consoles may enable and disable the agent; default true.
    bool allowEnableDisable = true;
    /// "VersionUpdatePending": an agent update waits for the running builds; default false.
    bool updatePending = false;
};

/// Reads the settings; the defaults for a missing or unreadable key (the reason is logged).
TAgentSettings ReadAgentSettings(int onlineProcessors);

/// Stores "Enabled" ("1" or "0"), creating the key when needed. Raises the store's error.
void StoreAgentEnabled(bool enabled);

/// The agent's file cache: "FileCache" below the agent's temporary folder. Raises when the
/// agent folders are not configured.
std::string AgentFileCacheFolder();

} // namespace qz::agent
