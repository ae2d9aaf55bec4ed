#pragma once

// The bits of the build request's Flags set that this console sets or clears. The bits of the
// solution and make consoles (6, 10-12, 14-16, 19-21, 27, 37, 53) are not named here and stay
// clear.

namespace qz::nv {

enum TBuildFlag : int {
    bfOwnedBuild = 0, ///< the build is owned by this console; always set
    bfAlwaysSet = 1,  ///< always set, not read by the console
    bfRebuild = 2,
    bfClean = 3,
    bfShowCmd = 4,
    bfShowAgent = 5,
    bfBeep = 7,
    bfAllFatal = 8,
    bfShowTime = 9,
    bfOpenMonitor = 13,
    bfAvoidLocalOff = 22,
    bfAvoidLocalOn = 23,
    bfUseIdeMonitor = 24,
    bfStopOnErrors = 26,
    bfNoDotNetVirt = 30,
    bfUseSameConsole = 31,
    bfDeploy = 32,
    bfNoWatchdogThread = 33,
    bfOnly64BitHelpers = 34,
    bfNoCryptVirt = 35,
    bfNoUncSync = 36,
    bfOnlyFailLocallyOn = 38,
    bfOnlyFailLocallyOff = 39,
    bfNoMsgs = 40,
    bfSecureCommOn = 41,
    bfSecureCommOff = 42,
    bfBuildCacheOverride = 44, ///< one of the build cache endpoint switches was given
    bfFreeCompletedTasksOn = 45,
    bfCloudHelpersOn = 46,
    bfCloudHelpersOff = 47,
    bfPredictedExecution32BitFallbackOn = 48,
    bfPredictedExecution32BitFallbackOff = 49,
    bfForceEnglishMSBuildOutputOn = 50,
    bfForceEnglishMSBuildOutputOff = 51,
    bfFreeCompletedTasksOff = 52,
    bfBuildCacheReadOnlySet = 55, ///< the value is in BuildCacheReadOnly
    bfMonitorNoGraphs = 56,
    bfMonitorNoBars = 57,
};

/// The Flags value a new request starts with: bfOwnedBuild and bfAlwaysSet.
inline constexpr unsigned long long kInitialBuildFlags = 3;

} // namespace qz::nv
