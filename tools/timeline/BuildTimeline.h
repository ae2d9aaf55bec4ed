#pragma once

// The story of one build as a timeline: its worker rows, one task per step with its times and
// outcome, the output and messages of the build, and its head data (caption, start, summary and
// counts). It is read from a monitor data file's event stream and knows nothing of how it is
// drawn; TimelinePage turns it into the HTML page.

#include "CM/MonitorFile.h"
#include "CM/Packets.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qz::timeline {

/// How a task ended.
enum class TaskState : int {
    Succeeded = 0,
    Warnings = 1,   ///< succeeded with warnings
    Failed = 2,     ///< errors, a nonzero exit code, or a step-failed event
    Unfinished = 3, ///< no end step was recorded (build stopped, recording cut short)
};

/// One worker row (a TMonitorEventEmployPacket, or a worker id that steps used without one).
struct Worker {
    std::string id;
    std::string caption;
    std::string host;
    bool local = false;
    bool declared = true; ///< false for a row made up for steps of an unknown worker id
};

/// One task: a begin step and its end step on the same worker.
struct Task {
    int worker = 0; ///< index into BuildTimeline::workers
    int taskId = 0;
    std::int64_t beginMs = 0;
    std::int64_t endMs = 0;
    std::string name;
    std::string cmdLine;
    std::string app;
    std::string hint;
    std::string source;
    std::string status;
    bool remote = false;
    int errors = 0;
    int warnings = 0;
    bool exitCodeExists = false;
    int exitCode = 0;
    bool stepFailed = false;
    bool ended = false;

    TaskState State() const;
};

/// An output event; task is the index of the task it belongs to, or -1 for the build's own.
struct Output {
    std::int64_t ms = 0;
    int task = -1;
    int taskId = 0;
    std::string text;
    std::string errText;
    int errorCount = 0;
    int warningCount = 0;
};

/// A message event.
struct Message {
    std::int64_t ms = 0;
    int kind = 0;
    double now = 0;
    std::string message;
    std::string text;
    std::string agent;
    std::string project;
    int code = 0;
};

/// The build's head: what the monitor file's head and the started, count and completion events
/// say.
struct BuildHead {
    std::string caption;
    std::string buildId;
    std::string computerName;
    std::string userName;
    std::string primaryFile;
    std::string commandLine;
    std::string productVersion;
    double startTime = 0; ///< local date-time (days since 1899-12-30); 0 when unknown
    bool started = false;
    bool completed = false; ///< a completion event was read
    bool incomplete = false;
    bool cancelled = false;
    bool success = false;
    std::string summary;
    int exitCode = 0;
    int errorCount = 0;
    int warningCount = 0;
    int systemErrorCount = 0;
    int systemWarningCount = 0;
    int built = -1; ///< from the last count event; -1 without one
    int skipped = -1;
    std::int64_t endMs = 0; ///< the completion event's time, else the last event time
};

struct BuildTimeline {
    BuildHead head;
    std::vector<Worker> workers;
    std::vector<Task> tasks; ///< in the order their steps began
    std::vector<Output> outputs;
    std::vector<Message> messages;
    std::int64_t eventCount = 0;
};

/// Builds the timeline event by event. Steps are matched by worker id: a begin step opens the
/// worker's task, the next end step of the same worker closes it. A begin step on a worker whose
/// task is still open ends that task as unfinished at the new begin time; tasks still open at
/// the end are unfinished and end with the build.
class TimelineBuilder {
public:
    TimelineBuilder();

    /// Takes the monitor file's head packet.
    void AddHead(const TMetaBuildPacket& meta);
    /// Takes one event; classes that do not concern the timeline are counted and ignored.
    void AddEvent(const TPacket& event);
    /// Closes what is still open and hands the timeline over.
    BuildTimeline Finish();

private:
    struct Classes;
    int WorkerIndex(const std::string& id);
    void BeginStep(const TPacket& event);
    void EndStep(const TPacket& event);
    void StepFailed(const TPacket& event);
    void AddOutput(const TPacket& event);
    void CloseOpenTask(int worker, std::int64_t ms);

    std::shared_ptr<const Classes> classes_;
    BuildTimeline timeline_;
    std::unordered_map<std::string, int> workerById_;
    std::vector<int> openTask_;             ///< per worker: the open task's index, or -1
    std::vector<int> lastTask_;             ///< per worker: the last task's index, or -1
    std::unordered_map<int, int> taskById_; ///< task id -> the last task that began with it
    std::unordered_map<const TPacketClass*, int> msField_; ///< class -> its "ms" field, or -1
    std::int64_t lastMs_ = 0;
};

/// Reads a whole monitor data file into a timeline. A damaged or truncated file raises the
/// reading error, prefixed by "Failed to read monitor file <name>" and, for an event, the
/// number of the event that could not be read.
BuildTimeline ReadBuildTimeline(const std::string& fileName);

} // namespace qz::timeline
