#include "BuildTimeline.h"

#include "CM/BuildCommandPackets.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/MonitorPackets.h"

#include <algorithm>
#include <string_view>

namespace qz::timeline {

namespace {

const TPacketClass* ClassNamed(std::string_view name) {
    const TPacketClass* cls = FindPacketClassByName(name);
    QZ_ASSERT(cls != nullptr);
    return cls;
}

int FieldOf(const TPacketClass* cls, std::string_view name) {
    int index = cls->FieldIndex(name);
    QZ_ASSERT(index >= 0);
    return index;
}

int ToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

} // namespace

TaskState Task::State() const {
    if (stepFailed || errors > 0 || (exitCodeExists && exitCode != 0)) {
        return TaskState::Failed;
    }
    if (!ended) {
        return TaskState::Unfinished;
    }
    return warnings > 0 ? TaskState::Warnings : TaskState::Succeeded;
}

// The event classes the timeline reads, with the indexes of their fields. The step, worker and
// count classes have no C++ wrapper, so their fields are looked up by name once.
struct TimelineBuilder::Classes {
    struct Step {
        const TPacketClass* cls;
        int ms, worker, hint, name, taskId, source, remote, status, cmdLine, app;
        explicit Step(const char* className)
            : cls(ClassNamed(className)), ms(FieldOf(cls, "ms")), worker(FieldOf(cls, "WorkerID")),
              hint(FieldOf(cls, "Hint")), name(FieldOf(cls, "Name")),
              taskId(FieldOf(cls, "TaskID")), source(FieldOf(cls, "Source")),
              remote(FieldOf(cls, "Remote")), status(FieldOf(cls, "Status")),
              cmdLine(FieldOf(cls, "CmdLine")), app(FieldOf(cls, "App")) {}
    };
    Step begin{"TMonitorEventBeginStepPacket"};
    Step beginObsolete{"TMonitorEventBeginStepPacket_Obsolete"};
    const TPacketClass* end = ClassNamed("TMonitorEventEndStepPacket");
    int endMs = FieldOf(end, "ms"), endWorker = FieldOf(end, "WorkerID"),
        endErrors = FieldOf(end, "Errors"), endWarnings = FieldOf(end, "Warnings"),
        endExitExists = FieldOf(end, "ExitCodeExists"), endExit = FieldOf(end, "ExitCode");
    const TPacketClass* failed = ClassNamed("TMonitorEventStepFailedPacket");
    int failedMs = FieldOf(failed, "ms"), failedWorker = FieldOf(failed, "WorkerID");
    const TPacketClass* employ = ClassNamed("TMonitorEventEmployPacket");
    int employId = FieldOf(employ, "ID"), employCaption = FieldOf(employ, "Caption"),
        employHost = FieldOf(employ, "Host"), employLocal = FieldOf(employ, "Local");
    const TPacketClass* count = ClassNamed("TMonitorEventCountPacket");
    int countBuilt = FieldOf(count, "Built"), countSkipped = FieldOf(count, "Skipped");
    const TPacketClass* output = &TMonitorEventOutputPacket::StaticClass();
    const TPacketClass* message = &TMonitorEventMessagePacket::StaticClass();
    const TPacketClass* started = &TMonitorEventStartedPacket::StaticClass();
    const TPacketClass* complete = &TMonitorEventCompletePacket::StaticClass();
};

TimelineBuilder::TimelineBuilder() {
    // One table for every builder: the class objects live as long as the process.
    static const std::shared_ptr<const Classes> classes = std::make_shared<Classes>();
    classes_ = classes;
}

void TimelineBuilder::AddHead(const TMetaBuildPacket& meta) {
    BuildHead& head = timeline_.head;
    head.caption = meta.Str(TMetaBuildPacket::Caption);
    head.buildId = GuidToText(meta.Guid(TMetaBuildPacket::ID));
    head.computerName = meta.Str(TMetaBuildPacket::ComputerName);
    head.userName = meta.Str(TMetaBuildPacket::UserName);
    head.primaryFile = meta.Str(TMetaBuildPacket::PrimaryFilename);
    head.productVersion = meta.Str(TMetaBuildPacket::ProductVersionText);
    head.startTime = meta.Double(TMetaBuildPacket::StartTime);
    head.incomplete = meta.Bool(TMetaBuildPacket::Incomplete);
    head.cancelled = meta.Bool(TMetaBuildPacket::Cancelled);
    head.exitCode = ToInt(meta.Int(TMetaBuildPacket::ExitCode));
    head.errorCount = ToInt(meta.Int(TMetaBuildPacket::ErrorCount));
    head.warningCount = ToInt(meta.Int(TMetaBuildPacket::WarningCount));
    head.systemErrorCount = ToInt(meta.Int(TMetaBuildPacket::SystemErrorCount));
    head.systemWarningCount = ToInt(meta.Int(TMetaBuildPacket::SystemWarningCount));
    const TPacket& command = meta.Nested(TMetaBuildPacket::Command);
    head.commandLine = command.Str(TBuildCommandPacket::SlnConsoleCommandLine);
    if (head.caption.empty()) {
        head.caption = command.Str(TBuildCommandPacket::Caption);
    }
}

int TimelineBuilder::WorkerIndex(const std::string& id) {
    auto found = workerById_.find(id);
    if (found != workerById_.end()) {
        return found->second;
    }
    Worker worker;
    worker.id = id;
    worker.caption = id;
    worker.declared = false;
    timeline_.workers.push_back(std::move(worker));
    openTask_.push_back(-1);
    lastTask_.push_back(-1);
    int index = static_cast<int>(timeline_.workers.size()) - 1;
    workerById_.emplace(id, index);
    return index;
}

void TimelineBuilder::CloseOpenTask(int worker, std::int64_t ms) {
    int& open = openTask_[static_cast<std::size_t>(worker)];
    if (open >= 0) {
        Task& task = timeline_.tasks[static_cast<std::size_t>(open)];
        task.endMs = std::max(task.beginMs, ms);
        open = -1;
    }
}

void TimelineBuilder::BeginStep(const TPacket& event) {
    const Classes::Step& f =
        &event.Class() == classes_->begin.cls ? classes_->begin : classes_->beginObsolete;
    Task task;
    task.worker = WorkerIndex(event.Str(f.worker));
    task.beginMs = event.Int(f.ms);
    task.endMs = task.beginMs;
    task.taskId = ToInt(event.Int(f.taskId));
    task.name = event.Str(f.name);
    task.cmdLine = event.Str(f.cmdLine);
    task.app = event.Str(f.app);
    task.hint = event.Str(f.hint);
    task.source = event.Str(f.source);
    task.status = event.Str(f.status);
    task.remote = event.Bool(f.remote);
    CloseOpenTask(task.worker, task.beginMs);
    int index = static_cast<int>(timeline_.tasks.size());
    openTask_[static_cast<std::size_t>(task.worker)] = index;
    lastTask_[static_cast<std::size_t>(task.worker)] = index;
    taskById_[task.taskId] = index;
    timeline_.tasks.push_back(std::move(task));
}

void TimelineBuilder::EndStep(const TPacket& event) {
    const Classes& c = *classes_;
    int worker = WorkerIndex(event.Str(c.endWorker));
    int open = openTask_[static_cast<std::size_t>(worker)];
    if (open < 0) {
        return; // an end without its begin (the recording started late): nothing to draw
    }
    Task& task = timeline_.tasks[static_cast<std::size_t>(open)];
    task.ended = true;
    task.errors = ToInt(event.Int(c.endErrors));
    task.warnings = ToInt(event.Int(c.endWarnings));
    task.exitCodeExists = event.Bool(c.endExitExists);
    task.exitCode = ToInt(event.Int(c.endExit));
    CloseOpenTask(worker, event.Int(c.endMs));
}

void TimelineBuilder::StepFailed(const TPacket& event) {
    int worker = WorkerIndex(event.Str(classes_->failedWorker));
    // The failure may be reported before or after the step's end: it concerns the open task,
    // else the worker's last one.
    int index = openTask_[static_cast<std::size_t>(worker)];
    if (index < 0) {
        index = lastTask_[static_cast<std::size_t>(worker)];
    }
    if (index >= 0) {
        timeline_.tasks[static_cast<std::size_t>(index)].stepFailed = true;
    }
}

void TimelineBuilder::AddOutput(const TPacket& event) {
    using P = TMonitorEventOutputPacket;
    Output output;
    output.ms = event.Int(P::ms);
    output.taskId = ToInt(event.Int(P::TaskID));
    output.text = event.Str(P::Text);
    output.errText = event.Str(P::ErrText);
    output.errorCount = ToInt(event.Int(P::ErrorCount));
    output.warningCount = ToInt(event.Int(P::WarningCount));
    if (output.taskId > 0) {
        auto found = taskById_.find(output.taskId);
        if (found != taskById_.end()) {
            output.task = found->second;
        }
    }
    timeline_.outputs.push_back(std::move(output));
}

void TimelineBuilder::AddEvent(const TPacket& event) {
    const Classes& c = *classes_;
    const TPacketClass* cls = &event.Class();
    ++timeline_.eventCount;
    auto ms = msField_.find(cls);
    if (ms == msField_.end()) {
        int index = cls->FieldIndex("ms");
        bool usable = index >= 0 && cls->Field(index).type == TValueType::Integer;
        ms = msField_.emplace(cls, usable ? index : -1).first;
    }
    if (int msIndex = ms->second; msIndex >= 0) {
        lastMs_ = std::max(lastMs_, event.Int(msIndex));
    }
    BuildHead& head = timeline_.head;
    if (cls == c.begin.cls || cls == c.beginObsolete.cls) {
        BeginStep(event);
    } else if (cls == c.end) {
        EndStep(event);
    } else if (cls == c.failed) {
        StepFailed(event);
    } else if (cls == c.output) {
        AddOutput(event);
    } else if (cls == c.employ) {
        int index = WorkerIndex(event.Str(c.employId));
        Worker& worker = timeline_.workers[static_cast<std::size_t>(index)];
        worker.caption = event.Str(c.employCaption);
        if (worker.caption.empty()) {
            worker.caption = worker.id;
        }
        worker.host = event.Str(c.employHost);
        worker.local = event.Bool(c.employLocal);
        worker.declared = true;
    } else if (cls == c.count) {
        head.built = ToInt(event.Int(c.countBuilt));
        head.skipped = ToInt(event.Int(c.countSkipped));
    } else if (cls == c.message) {
        using P = TMonitorEventMessagePacket;
        Message message;
        message.ms = event.Int(P::ms);
        message.kind = ToInt(event.Int(P::Kind));
        message.now = event.Double(P::Now);
        message.message = event.Str(P::Message);
        message.text = event.Str(P::Text);
        message.agent = event.Str(P::Agent);
        message.project = event.Str(P::Project);
        message.code = ToInt(event.Int(P::Code));
        timeline_.messages.push_back(std::move(message));
    } else if (cls == c.started) {
        using P = TMonitorEventStartedPacket;
        head.started = true;
        head.startTime = event.Double(P::StartTime);
        if (!event.Str(P::Caption).empty()) {
            head.caption = event.Str(P::Caption);
        }
        if (!event.Str(P::PrimaryFileName).empty()) {
            head.primaryFile = event.Str(P::PrimaryFileName);
        }
        if (!event.Str(P::ComputerName).empty()) {
            head.computerName = event.Str(P::ComputerName);
        }
        head.buildId = GuidToText(event.Guid(P::ID));
    } else if (cls == c.complete) {
        using P = TMonitorEventCompletePacket;
        head.completed = true;
        head.cancelled = event.Bool(P::Cancel);
        head.summary = event.Str(P::Summary);
        head.success = event.Bool(P::Success);
        head.systemWarningCount = ToInt(event.Int(P::SystemWarningCount));
        head.systemErrorCount = ToInt(event.Int(P::SystemErrorCount));
        head.errorCount = ToInt(event.Int(P::ErrorCount));
        head.warningCount = ToInt(event.Int(P::WarningCount));
        head.exitCode = ToInt(event.Int(P::ExitCode));
        head.endMs = event.Int(P::ms);
    }
}

BuildTimeline TimelineBuilder::Finish() {
    BuildHead& head = timeline_.head;
    if (!head.completed) {
        head.endMs = lastMs_;
    }
    head.endMs = std::max(head.endMs, lastMs_);
    for (std::size_t worker = 0; worker < openTask_.size(); ++worker) {
        CloseOpenTask(static_cast<int>(worker), head.endMs);
    }
    return std::move(timeline_);
}

BuildTimeline ReadBuildTimeline(const std::string& fileName) {
    std::string context = "Failed to read monitor file " + fileName;
    TMonitorFile file;
    try {
        file = OpenMonitorFile(fileName);
    } catch (const Exception&) {
        RaiseWithContext(context);
    }
    TimelineBuilder builder;
    builder.AddHead(*file.Meta);
    TPacketLoadContext loadContext;
    std::int64_t number = 0;
    try {
        std::int64_t size = file.Events->Size();
        while (file.Events->Position() < size) {
            ++number;
            std::unique_ptr<TPacket> event =
                TPacket::CreateFromStream(*file.Events, &loadContext, 0);
            builder.AddEvent(*event);
        }
    } catch (const Exception&) {
        RaiseWithContext(context + ": event " + std::to_string(number) + " cannot be read");
    }
    return builder.Finish();
}

} // namespace qz::timeline
