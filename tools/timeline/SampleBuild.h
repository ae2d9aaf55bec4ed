#pragma once

// Builds recorded without running them: the monitor events a build runner writes for a given
// set of workers and tasks (started, worker rows, begin and end steps with their output, counts,
// completion), and their monitor data file. Tests, the benchmark and demonstrations use it.

#include "CM/Packets.h"

#include <memory>
#include <string>
#include <vector>

namespace qz::timeline {

struct SampleTask {
    int worker = 0; ///< index into SampleBuild::workers
    int beginMs = 0;
    int endMs = 0;
    std::string name;
    std::string cmdLine;
    int exitCode = 0;
    std::string output;    ///< standard output, one event; empty: none
    std::string errOutput; ///< standard error, one event; empty: none
};

struct SampleBuild {
    std::string caption = "Sample build";
    std::string host = "builder";
    std::vector<std::string> workers; ///< worker captions; ids are host + "#" + number
    std::vector<SampleTask> tasks;
    bool complete = true; ///< ends with a completion event
};

/// The events in time order, as the build runner writes them.
std::vector<std::unique_ptr<TPacket>> SampleEvents(const SampleBuild& build);

/// Writes the build's monitor data file (events appended after the head).
void WriteSampleMonitorFile(const std::string& fileName, const SampleBuild& build);

/// A build of taskCount compile-like tasks spread over workerCount workers, every 97th failing,
/// with realistic command lines and some output; the same seed gives the same build.
SampleBuild GeneratedBuild(int taskCount, int workerCount, unsigned seed = 1);

} // namespace qz::timeline
