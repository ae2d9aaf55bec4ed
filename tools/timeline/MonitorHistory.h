#pragma once

// Where the agent keeps the monitor data files of past builds: "History/Local" below the agent
// folder, one subfolder per day (the whole days of the build's start time), each file named by
// the build id with the extension ".nv_mon".

#include <string>

namespace qz::timeline {

/// "History/Local" below the agent folder.
std::string LocalHistoryFolder(const std::string& agentFolder);

/// The most recently written ".nv_mon" file of the day folders below historyFolder (names of
/// digits only); a later day wins a tie. Raises "No monitor data file in <folder>" when there is
/// none, and the system error when the folder cannot be read.
std::string NewestMonitorFile(const std::string& historyFolder);

} // namespace qz::timeline
