#include "SampleBuild.h"

#include "CM/BuildCommandPackets.h"
#include "CM/EnvUtils.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"

#include <algorithm>
#include <random>

namespace qz::timeline {

namespace {

std::unique_ptr<TPacket> NewEvent(const char* className) {
    const TPacketClass* cls = FindPacketClassByName(className);
    QZ_ASSERT(cls != nullptr);
    return cls->Create();
}

void Set(TPacket& packet, const char* field, std::int64_t value) {
    int index = packet.FieldIndex(field);
    QZ_ASSERT(index >= 0);
    if (packet.Class().Field(index).type == TValueType::Boolean) {
        packet.SetBool(index, value != 0);
    } else {
        packet.SetInt(index, value);
    }
}

void Set(TPacket& packet, const char* field, const std::string& value) {
    int index = packet.FieldIndex(field);
    QZ_ASSERT(index >= 0);
    packet.SetStr(index, value);
}

std::string WorkerId(const SampleBuild& build, int worker) {
    return build.host + "#" + std::to_string(worker + 1);
}

struct Timed {
    int ms;
    int order;
    std::unique_ptr<TPacket> event;
};

} // namespace

std::vector<std::unique_ptr<TPacket>> SampleEvents(const SampleBuild& build) {
    std::vector<Timed> timed;
    int order = 0;
    auto add = [&](int ms, std::unique_ptr<TPacket> event) {
        timed.push_back({ms, order++, std::move(event)});
    };

    auto started = std::make_unique<TMonitorEventStartedPacket>();
    started->SetDouble(TMonitorEventStartedPacket::StartTime, EncodeDateTime(2026, 12, 9, 14, 0));
    started->SetStr(TMonitorEventStartedPacket::Caption, build.caption);
    started->SetStr(TMonitorEventStartedPacket::ComputerName, build.host);
    add(0, std::move(started));
    for (std::size_t w = 0; w < build.workers.size(); ++w) {
        auto employ = NewEvent("TMonitorEventEmployPacket");
        Set(*employ, "ID", WorkerId(build, static_cast<int>(w)));
        Set(*employ, "RowIndex", static_cast<std::int64_t>(w));
        Set(*employ, "Caption", build.workers[w]);
        Set(*employ, "Host", build.host);
        Set(*employ, "Local", 1);
        add(0, std::move(employ));
    }
    int lastMs = 0;
    int failures = 0;
    for (std::size_t t = 0; t < build.tasks.size(); ++t) {
        const SampleTask& task = build.tasks[t];
        int taskId = static_cast<int>(t) + 1;
        auto begin = NewEvent("TMonitorEventBeginStepPacket");
        Set(*begin, "ms", task.beginMs);
        Set(*begin, "WorkerID", WorkerId(build, task.worker));
        Set(*begin, "Name", task.name);
        Set(*begin, "TaskID", taskId);
        Set(*begin, "Source", "task" + std::to_string(taskId));
        Set(*begin, "CmdLine", task.cmdLine);
        Set(*begin, "App", task.cmdLine.substr(0, task.cmdLine.find(' ')));
        add(task.beginMs, std::move(begin));
        int outputMs = task.beginMs + (task.endMs - task.beginMs) / 2;
        for (const std::string* text : {&task.output, &task.errOutput}) {
            if (!text->empty()) {
                auto output = std::make_unique<TMonitorEventOutputPacket>();
                output->SetInt(TMonitorEventOutputPacket::ms, outputMs);
                output->SetInt(TMonitorEventOutputPacket::TaskID, taskId);
                output->SetStr(text == &task.output ? TMonitorEventOutputPacket::Text
                                                    : TMonitorEventOutputPacket::ErrText,
                               *text);
                add(outputMs, std::move(output));
            }
        }
        auto end = NewEvent("TMonitorEventEndStepPacket");
        Set(*end, "ms", task.endMs);
        Set(*end, "WorkerID", WorkerId(build, task.worker));
        Set(*end, "Errors", task.exitCode == 0 ? 0 : 1);
        Set(*end, "ExitCodeExists", 1);
        Set(*end, "ExitCode", task.exitCode);
        add(task.endMs, std::move(end));
        failures += task.exitCode != 0 ? 1 : 0;
        lastMs = std::max(lastMs, task.endMs);
    }
    if (build.complete) {
        int built = static_cast<int>(build.tasks.size()) - failures;
        auto count = NewEvent("TMonitorEventCountPacket");
        Set(*count, "ms", lastMs);
        Set(*count, "Built", built);
        Set(*count, "Errors", failures);
        add(lastMs, std::move(count));
        std::string summary = std::string(failures > 0 ? "Build failed" : "Build succeeded") +
                              ": " + std::to_string(built) + " built, 0 up to date, " +
                              std::to_string(failures) + " failed, 0 not run";
        add(lastMs + 1,
            std::make_unique<TMonitorEventCompletePacket>(lastMs + 1, false, summary, failures == 0,
                                                          0, 0, failures, 0, failures > 0 ? 1 : 0));
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const Timed& a, const Timed& b) { return a.ms < b.ms; });
    std::vector<std::unique_ptr<TPacket>> events;
    for (Timed& item : timed) {
        events.push_back(std::move(item.event));
    }
    return events;
}

void WriteSampleMonitorFile(const std::string& fileName, const SampleBuild& build) {
    std::vector<std::unique_ptr<TPacket>> events = SampleEvents(build);
    std::vector<const TPacket*> pointers;
    for (const auto& event : events) {
        pointers.push_back(event.get());
    }
    TMetaBuildPacket meta;
    meta.SetStr(TMetaBuildPacket::Caption, build.caption);
    meta.SetStr(TMetaBuildPacket::ComputerName, build.host);
    meta.SetBool(TMetaBuildPacket::Incomplete, !build.complete);
    WriteMonitorFile(fileName, meta, pointers, true);
}

SampleBuild GeneratedBuild(int taskCount, int workerCount, unsigned seed) {
    SampleBuild build;
    build.caption = "Generated build of " + std::to_string(taskCount) + " tasks";
    for (int w = 0; w < workerCount; ++w) {
        build.workers.push_back(build.host + " (slot " + std::to_string(w + 1) + ")");
    }
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(50, 4000);
    std::vector<int> freeAt(static_cast<std::size_t>(workerCount), 0);
    for (int t = 0; t < taskCount; ++t) {
        auto slot = std::min_element(freeAt.begin(), freeAt.end());
        SampleTask task;
        task.worker = static_cast<int>(slot - freeAt.begin());
        task.beginMs = *slot + 2;
        task.endMs = task.beginMs + length(random);
        *slot = task.endMs;
        std::string unit = "module" + std::to_string(t / 50) + "/unit" + std::to_string(t);
        task.name = "Compile " + unit + ".cpp";
        task.cmdLine = "/usr/bin/c++ -DNDEBUG -DQZ_FEATURE_LEVEL=3 -I/src/project/include "
                       "-I/src/project/third_party/include -isystem /usr/include/boost -O2 -g "
                       "-std=c++20 -Wall -Wextra -Werror -fPIC -MD -MT " +
                       unit + ".o -MF " + unit + ".o.d -o " + unit + ".o -c /src/project/" + unit +
                       ".cpp";
        if (t % 97 == 96) {
            task.exitCode = 1;
            task.errOutput = "/src/project/" + unit +
                             ".cpp:12:5: error: 'frobnicate' was not "
                             "declared in this scope\r\n";
        } else if (t % 10 == 0) {
            task.output = "/src/project/" + unit + ".cpp:3:1: note: generated code\r\n";
        }
        build.tasks.push_back(std::move(task));
    }
    return build;
}

} // namespace qz::timeline
