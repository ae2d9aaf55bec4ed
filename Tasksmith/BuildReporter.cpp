#include "BuildReporter.h"

#include "CM/BuildCommandPackets.h"
#include "CM/Format.h"
#include "CM/MonitorPackets.h"
#include "NV/BuildFlags.h"
#include "RemoteTasks.h"
#include "platform/Clock.h"

namespace qz::tasksmith {

namespace {

bool Bit(std::uint64_t flags, int bit) {
    return (flags >> bit) & 1U;
}

} // namespace

Presentation PresentationOf(std::uint64_t flags, int logLevel, bool jobFile) {
    Presentation p;
    p.showCmd = Bit(flags, nv::bfShowCmd);
    p.showAgent = Bit(flags, nv::bfShowAgent);
    p.showTime = Bit(flags, nv::bfShowTime);
    p.noMsgs = Bit(flags, nv::bfNoMsgs);
    p.beep = Bit(flags, nv::bfBeep);
    p.stopOnErrors = Bit(flags, nv::bfStopOnErrors);
    p.noBars = Bit(flags, nv::bfMonitorNoBars);
    p.noGraphs = Bit(flags, nv::bfMonitorNoGraphs);
    // Levels: 0 Minimal, 1 Basic, 2 Intermediate, 3 Extended, 4 Detailed.
    p.detailedLog = logLevel >= 3;
    p.taskMessages = jobFile;
    return p;
}

BuildReporter::BuildReporter(EventWriter& writer, const JobSpec& job, Presentation presentation,
                             std::string host, int slots)
    : writer_(writer), job_(job), presentation_(presentation), host_(std::move(host)),
      slots_(slots), remoteTask_(job.tasks.size(), false),
      startMs_(platform::MonotonicMilliseconds()) {}

int BuildReporter::Ms() const {
    return static_cast<int>(platform::MonotonicMilliseconds() - startMs_);
}

std::string BuildReporter::WorkerId(int slot) const {
    if (slot >= slots_) {
        const std::size_t remote = static_cast<std::size_t>(slot - slots_);
        return (remote < remoteNodes_.size() ? remoteNodes_[remote] : "remote") + "#r" +
               std::to_string(remote + 1);
    }
    return host_ + "#" + std::to_string(slot + 1);
}

std::string BuildReporter::HostOf(int slot) const {
    const std::size_t remote = static_cast<std::size_t>(slot - slots_);
    return slot >= slots_ && remote < remoteNodes_.size() ? remoteNodes_[remote] : host_;
}

void BuildReporter::WriteRemoteWorkers(const std::vector<std::string>& slotNodes,
                                       SlurmRemote* remote) {
    remoteNodes_ = slotNodes;
    remote_ = remote;
    if (presentation_.noBars) {
        return;
    }
    for (std::size_t r = 0; r < slotNodes.size(); ++r) {
        const int slot = slots_ + static_cast<int>(r);
        auto employ = NewEvent("TMonitorEventEmployPacket");
        SetField(*employ, "ms", Ms());
        SetField(*employ, "ID", WorkerId(slot));
        SetField(*employ, "RowIndex", slot);
        SetField(*employ, "Caption", slotNodes[r] + " (remote slot " + std::to_string(r + 1) + ")");
        SetField(*employ, "Host", slotNodes[r]);
        SetField(*employ, "Local", false);
        writer_.Write(*employ);
    }
}

void BuildReporter::WriteStarted(const TBuildCommandPacket& request, const TGuid& id,
                                 double startTime) {
    TMonitorEventStartedPacket started;
    started.SetInt(TMonitorEventStartedPacket::ms, 0);
    started.SetDouble(TMonitorEventStartedPacket::StartTime, startTime);
    started.SetBits(TMonitorEventStartedPacket::BuildFlags,
                    request.Bits(TBuildCommandPacket::Flags));
    started.SetStr(TMonitorEventStartedPacket::Caption, request.Str(TBuildCommandPacket::Caption));
    started.SetStr(TMonitorEventStartedPacket::PrimaryFileName,
                   request.Str(TBuildCommandPacket::PrimaryFilename));
    started.SetGuid(TMonitorEventStartedPacket::ID, id);
    started.SetStr(TMonitorEventStartedPacket::ComputerName, host_);
    writer_.Write(started);
}

void BuildReporter::WriteWorkers() {
    if (presentation_.noBars) {
        return;
    }
    for (int slot = 0; slot < slots_; ++slot) {
        auto employ = NewEvent("TMonitorEventEmployPacket");
        SetField(*employ, "ms", Ms());
        SetField(*employ, "ID", WorkerId(slot));
        SetField(*employ, "RowIndex", slot);
        SetField(*employ, "Caption", host_ + " (slot " + std::to_string(slot + 1) + ")");
        SetField(*employ, "Host", host_);
        SetField(*employ, "Local", true);
        writer_.Write(*employ);
    }
}

void BuildReporter::Output(int task, const std::string& text, const std::string& errText) {
    TMonitorEventOutputPacket output;
    output.SetInt(TMonitorEventOutputPacket::ms, Ms());
    output.SetStr(TMonitorEventOutputPacket::Text, text);
    output.SetInt(TMonitorEventOutputPacket::TaskID, task + 1);
    output.SetStr(TMonitorEventOutputPacket::ErrText, errText);
    writer_.Write(output);
}

void BuildReporter::Message(const std::string& text, bool failure) {
    if (presentation_.noMsgs && !failure) {
        return;
    }
    if (failure) {
        Output(-1, {}, text);
    } else {
        Output(-1, text, {});
    }
}

void BuildReporter::TaskStarted(int task, int slot) {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    ++started_;
    remoteTask_[static_cast<std::size_t>(task)] = slot >= slots_;
    if (!presentation_.noBars) {
        auto begin = NewEvent("TMonitorEventBeginStepPacket");
        SetField(*begin, "ms", Ms());
        SetField(*begin, "WorkerID", WorkerId(slot));
        SetField(*begin, "Hint", jobTask.folder);
        SetField(*begin, "Name", jobTask.caption);
        SetField(*begin, "TaskID", task + 1);
        SetField(*begin, "Source", jobTask.id);
        SetField(*begin, "DetailedLog", presentation_.detailedLog);
        SetField(*begin, "Remote", slot >= slots_);
        SetField(*begin, "CmdLine", jobTask.CommandLine());
        SetField(*begin, "App",
                 jobTask.arguments.empty() ? std::string("/bin/sh") : jobTask.arguments.front());
        writer_.Write(*begin);
    }
    if (presentation_.noMsgs) {
        return;
    }
    std::string line;
    if (presentation_.taskMessages) {
        line = "[" + std::to_string(started_) + "/" + std::to_string(job_.tasks.size()) + "] " +
               jobTask.caption;
    }
    if (presentation_.showAgent) {
        line = (line.empty() ? "" : line + " ") + "(on " + HostOf(slot) + ")";
    }
    if (presentation_.showCmd) {
        line = (line.empty() ? "" : line + "\r\n") + jobTask.CommandLine();
    }
    if (!line.empty()) {
        Output(task, line, {});
    }
}

void BuildReporter::TaskOutput(int task, std::string_view lines, bool errorStream) {
    if (errorStream && task >= 0 && remoteTask_[static_cast<std::size_t>(task)]) {
        if (remote_) {
            remote_->NoteErrorOutput(job_.tasks[static_cast<std::size_t>(task)].id, lines);
        }
        std::string kept = FilterStepOutput(lines);
        if (!kept.empty()) {
            Output(task, {}, kept);
        }
    } else if (errorStream) {
        Output(task, {}, std::string(lines));
    } else {
        Output(task, std::string(lines), {});
    }
}

void BuildReporter::WriteCount() {
    // The counts are what the graphs of a monitor show.
    if (presentation_.noGraphs) {
        return;
    }
    auto count = NewEvent("TMonitorEventCountPacket");
    SetField(*count, "ms", Ms());
    SetField(*count, "Built", built_);
    SetField(*count, "Skipped", skipped_);
    SetField(*count, "Errors", failures_);
    SetField(*count, "Warnings", 0);
    writer_.Write(*count);
}

void BuildReporter::TaskFinished(int task, int slot, int exitCode, std::uint64_t milliseconds) {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    if (exitCode == 0) {
        ++built_;
    } else {
        ++failures_;
    }
    WriteEndStep(slot, exitCode);
    if (presentation_.showTime && !presentation_.noMsgs) {
        Output(task, Format("%s: %.2f s", jobTask.caption.c_str(), double(milliseconds) / 1000.0),
               {});
    }
    if (exitCode != 0 && presentation_.taskMessages) {
        std::string reason = exitCode > 128 && exitCode < 160
                                 ? "was killed by signal " + std::to_string(exitCode - 128)
                                 : "failed with exit code " + std::to_string(exitCode);
        Output(task, {}, "Task \"" + jobTask.id + "\" " + reason);
    }
    WriteCount();
}

void BuildReporter::ToolStepBegan(int step, int slot, const std::string& caption,
                                  const std::string& commandLine, const std::string& program,
                                  const std::string& folder, bool remote) {
    if (presentation_.noBars) {
        return;
    }
    auto begin = NewEvent("TMonitorEventBeginStepPacket");
    SetField(*begin, "ms", Ms());
    SetField(*begin, "WorkerID", WorkerId(slot));
    SetField(*begin, "Hint", folder);
    SetField(*begin, "Name", caption);
    SetField(*begin, "TaskID", static_cast<int>(job_.tasks.size()) + step);
    SetField(*begin, "Source", "tool-" + std::to_string(step));
    SetField(*begin, "DetailedLog", presentation_.detailedLog);
    SetField(*begin, "Remote", remote);
    SetField(*begin, "CmdLine", commandLine);
    SetField(*begin, "App", program);
    writer_.Write(*begin);
}

void BuildReporter::ToolStepEnded(int slot, int exitCode) {
    WriteEndStep(slot, exitCode);
}

void BuildReporter::WriteEndStep(int slot, int exitCode) {
    if (!presentation_.noBars) {
        auto end = NewEvent("TMonitorEventEndStepPacket");
        SetField(*end, "ms", Ms());
        SetField(*end, "WorkerID", WorkerId(slot));
        SetField(*end, "Errors", exitCode == 0 ? 0 : 1);
        SetField(*end, "ExitCodeExists", true);
        SetField(*end, "ExitCode", exitCode);
        writer_.Write(*end);
    }
}

void BuildReporter::TaskRetried(int task, int slot, int exitCode, std::uint64_t) {
    WriteEndStep(slot, exitCode);
    remoteTask_[static_cast<std::size_t>(task)] = false;
    --started_;
    Output(task, {},
           "Task \"" + job_.tasks[static_cast<std::size_t>(task)].id + "\" failed on " +
               HostOf(slot) + " with exit code " + std::to_string(exitCode) +
               "; running it again here");
}

void BuildReporter::TaskSkipped(int task) {
    ++skipped_;
    if (presentation_.taskMessages && !presentation_.noMsgs && presentation_.showCmd) {
        Output(task, job_.tasks[static_cast<std::size_t>(task)].caption + " (up to date)", {});
    }
    WriteCount();
}

void BuildReporter::TaskRestored(int task, std::uint64_t originalMs, std::uint64_t restoreMs) {
    const JobTask& jobTask = job_.tasks[static_cast<std::size_t>(task)];
    ++restored_;
    ++built_;
    auto restore = NewEvent("TMonitorEventBuildCacheRestorePacket");
    SetField(*restore, "ms", Ms());
    SetField(*restore, "TaskID", task + 1);
    SetField(*restore, "App",
             jobTask.arguments.empty() ? std::string("/bin/sh") : jobTask.arguments.front());
    SetField(*restore, "CmdLine", jobTask.CommandLine());
    SetField(*restore, "OriginalDuration",
             static_cast<int>(std::min<std::uint64_t>(originalMs, std::uint64_t(INT32_MAX))));
    writer_.Write(*restore);
    if (presentation_.taskMessages && !presentation_.noMsgs) {
        ++started_;
        Output(task,
               "[" + std::to_string(started_) + "/" + std::to_string(job_.tasks.size()) + "] " +
                   jobTask.caption + " (from the build cache)",
               {});
    }
    if (presentation_.showTime && !presentation_.noMsgs) {
        Output(task,
               Format("%s: %.2f s (restored in %.3f s)", jobTask.caption.c_str(),
                      double(originalMs) / 1000.0, double(restoreMs) / 1000.0),
               {});
    }
    WriteCount();
}

void BuildReporter::CachingBegan(int slot) {
    if (presentation_.noBars) {
        return;
    }
    auto begin = NewEvent("TMonitorEventBeginCachingPacket");
    SetField(*begin, "ms", Ms());
    SetField(*begin, "WorkerID", WorkerId(slot));
    writer_.Write(*begin);
}

void BuildReporter::CachingEnded(int slot, bool success) {
    if (presentation_.noBars) {
        return;
    }
    auto end = NewEvent("TMonitorEventEndCachingPacket");
    SetField(*end, "ms", Ms());
    SetField(*end, "WorkerID", WorkerId(slot));
    SetField(*end, "IsSuccess", success);
    writer_.Write(*end);
}

void BuildReporter::WriteCacheSummary(const std::vector<std::string>& lines, int checks,
                                      int retrievals, int updates, std::int64_t fetchMs,
                                      std::int64_t submitMs) {
    auto bar = NewEvent("TMonitorEventBCBarUpdatePacket");
    SetField(*bar, "ms", Ms());
    SetField(*bar, "Checks", checks);
    SetField(*bar, "Retrievals", retrievals);
    SetField(*bar, "Updates", updates);
    bar->SetInt(bar->FieldIndex("FetchDuration"), fetchMs);
    bar->SetInt(bar->FieldIndex("SubmitDuration"), submitMs);
    bar->SetInt(bar->FieldIndex("StopTime"), Ms());
    writer_.Write(*bar);
    auto summary = NewEvent("TMonitorEventBuildCacheSummaryPacket");
    SetField(*summary, "ms", Ms());
    for (const std::string& line : lines) {
        summary->Strings(summary->FieldIndex("Lines")).Add(line);
    }
    writer_.Write(*summary);
    for (const std::string& line : lines) {
        Message(line, false);
    }
}

std::string BuildReporter::Summary(bool cancelled, int exitCode, const RunOutcome& outcome) const {
    std::string state = cancelled       ? "Build cancelled"
                        : exitCode != 0 ? "Build failed"
                                        : "Build succeeded";
    return state + ": " + std::to_string(outcome.built) + " built, " +
           std::to_string(outcome.skipped) + " up to date, " + std::to_string(outcome.failed) +
           " failed, " + std::to_string(outcome.notRun) + " not run" +
           (outcome.restored > 0 ? ", " + std::to_string(outcome.restored) + " from the build cache"
                                 : std::string());
}

void BuildReporter::WriteComplete(bool cancelled, int exitCode, const RunOutcome& outcome) {
    std::string summary = Summary(cancelled, exitCode, outcome);
    std::string line = presentation_.taskMessages && !presentation_.noMsgs ? summary : "";
    if (presentation_.beep) {
        line += "\a";
    }
    if (!line.empty()) {
        Output(-1, line, {});
    }
    TMonitorEventCompletePacket complete(Ms(), cancelled, summary, exitCode == 0 && !cancelled, 0,
                                         0, outcome.failed, 0, exitCode);
    writer_.Write(complete);
}

} // namespace qz::tasksmith
