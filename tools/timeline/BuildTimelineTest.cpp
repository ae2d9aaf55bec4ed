#include "BuildTimeline.h"

#include "CM/Exceptions.h"
#include "CM/MonitorPackets.h"
#include "SampleBuild.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qz::timeline {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

std::unique_ptr<TPacket> Event(const char* className,
                               std::initializer_list<std::pair<const char*, std::string>> fields) {
    auto event = FindPacketClassByName(className)->Create();
    for (const auto& [name, value] : fields) {
        event->SetFieldAsString(event->FieldIndex(name), value);
    }
    return event;
}

std::unique_ptr<TPacket> Begin(const char* worker, int ms, int taskId, const char* name = "t") {
    return Event("TMonitorEventBeginStepPacket", {{"ms", std::to_string(ms)},
                                                  {"WorkerID", worker},
                                                  {"TaskID", std::to_string(taskId)},
                                                  {"Name", name}});
}

std::unique_ptr<TPacket> End(const char* worker, int ms, int exitCode = 0, int errors = 0,
                             int warnings = 0) {
    return Event("TMonitorEventEndStepPacket", {{"ms", std::to_string(ms)},
                                                {"WorkerID", worker},
                                                {"Errors", std::to_string(errors)},
                                                {"Warnings", std::to_string(warnings)},
                                                {"ExitCodeExists", "True"},
                                                {"ExitCode", std::to_string(exitCode)}});
}

BuildTimeline Replay(std::vector<std::unique_ptr<TPacket>> events) {
    TimelineBuilder builder;
    for (const auto& event : events) {
        builder.AddEvent(*event);
    }
    return builder.Finish();
}

template <typename... E>
std::vector<std::unique_ptr<TPacket>> List(E... events) {
    std::vector<std::unique_ptr<TPacket>> list;
    (list.push_back(std::move(events)), ...);
    return list;
}

TEST(BuildTimeline, StepsOfInterleavedWorkersAreMatchedByWorkerId) {
    auto timeline =
        Replay(List(Event("TMonitorEventEmployPacket", {{"ID", "h#1"}, {"Caption", "slot 1"}}),
                    Event("TMonitorEventEmployPacket", {{"ID", "h#2"}, {"Caption", "slot 2"}}),
                    Begin("h#1", 10, 1, "a"), Begin("h#2", 20, 2, "b"), End("h#2", 25, 3),
                    End("h#1", 40), Begin("h#2", 30, 3, "c"), End("h#2", 50, 0, 0, 2)));
    ASSERT_EQ(timeline.workers.size(), 2u);
    EXPECT_EQ(timeline.workers[1].caption, "slot 2");
    ASSERT_EQ(timeline.tasks.size(), 3u);
    const Task& a = timeline.tasks[0];
    EXPECT_EQ(a.worker, 0);
    EXPECT_EQ(a.beginMs, 10);
    EXPECT_EQ(a.endMs, 40);
    EXPECT_EQ(a.State(), TaskState::Succeeded);
    const Task& b = timeline.tasks[1];
    EXPECT_EQ(b.worker, 1);
    EXPECT_EQ(b.endMs, 25);
    EXPECT_EQ(b.exitCode, 3);
    EXPECT_EQ(b.State(), TaskState::Failed);
    EXPECT_EQ(timeline.tasks[2].State(), TaskState::Warnings);
    EXPECT_EQ(timeline.head.endMs, 50);
}

TEST(BuildTimeline, ErrorsAndStepFailedEventsMarkATaskFailedEvenWithExitCodeZero) {
    auto timeline =
        Replay(List(Begin("w", 0, 1), End("w", 5, 0, 2), Begin("w", 6, 2), End("w", 8),
                    Event("TMonitorEventStepFailedPacket", {{"WorkerID", "w"}}), Begin("w", 9, 3),
                    Event("TMonitorEventStepFailedPacket", {{"WorkerID", "w"}}), End("w", 12)));
    ASSERT_EQ(timeline.tasks.size(), 3u);
    for (const Task& task : timeline.tasks) {
        EXPECT_EQ(task.State(), TaskState::Failed) << task.taskId;
    }
}

TEST(BuildTimeline, TasksWithoutTheirEndAreUnfinishedAndNeverLost) {
    // A second begin on a busy worker ends the first task there; what is open at the end lasts
    // until the last event.
    auto timeline = Replay(List(Begin("w", 0, 1), Begin("w", 7, 2), Begin("x", 3, 3),
                                Event("TMonitorEventOutputPacket", {{"ms", "30"}, {"Text", "x"}})));
    ASSERT_EQ(timeline.tasks.size(), 3u);
    EXPECT_EQ(timeline.tasks[0].endMs, 7);
    EXPECT_EQ(timeline.tasks[1].endMs, 30);
    EXPECT_EQ(timeline.tasks[2].endMs, 30);
    for (const Task& task : timeline.tasks) {
        EXPECT_EQ(task.State(), TaskState::Unfinished);
    }
    EXPECT_FALSE(timeline.head.completed);
}

TEST(BuildTimeline, UnknownWorkersGetARowAndStrayEndsAreIgnored) {
    auto timeline = Replay(List(End("ghost", 3), Begin("undeclared", 4, 1), End("undeclared", 9)));
    ASSERT_EQ(timeline.workers.size(), 2u);
    EXPECT_FALSE(timeline.workers[1].declared);
    EXPECT_EQ(timeline.workers[1].caption, "undeclared");
    ASSERT_EQ(timeline.tasks.size(), 1u);
    EXPECT_EQ(timeline.tasks[0].worker, 1);
    EXPECT_EQ(timeline.tasks[0].State(), TaskState::Succeeded);
}

TEST(BuildTimeline, OutputBelongsToTheTaskWithItsIdAndTheRestToTheBuild) {
    auto timeline = Replay(List(
        Begin("w", 0, 7), Event("TMonitorEventOutputPacket", {{"TaskID", "7"}, {"Text", "out"}}),
        Event("TMonitorEventOutputPacket", {{"TaskID", "0"}, {"ErrText", "own"}}),
        Event("TMonitorEventOutputPacket", {{"TaskID", "99"}, {"Text", "?"}}), End("w", 4)));
    ASSERT_EQ(timeline.outputs.size(), 3u);
    EXPECT_EQ(timeline.outputs[0].task, 0);
    EXPECT_EQ(timeline.outputs[0].text, "out");
    EXPECT_EQ(timeline.outputs[1].task, -1);
    EXPECT_EQ(timeline.outputs[1].errText, "own");
    EXPECT_EQ(timeline.outputs[2].task, -1);
}

TEST(BuildTimeline, ObsoleteBeginStepsAreRead) {
    auto timeline = Replay(List(Event("TMonitorEventBeginStepPacket_Obsolete",
                                      {{"ms", "2"}, {"WorkerID", "w"}, {"CmdLine", "cc -c a.c"}}),
                                End("w", 6)));
    ASSERT_EQ(timeline.tasks.size(), 1u);
    EXPECT_EQ(timeline.tasks[0].cmdLine, "cc -c a.c");
    EXPECT_EQ(timeline.tasks[0].endMs, 6);
}

TEST(BuildTimeline, HeadComesFromStartCountAndCompletion) {
    TMonitorEventStartedPacket started;
    started.SetStr(TMonitorEventStartedPacket::Caption, "nightly");
    started.SetDouble(TMonitorEventStartedPacket::StartTime, 46000.5);
    TMonitorEventCompletePacket complete(120, false, "Build failed: 1 failed", false, 0, 1, 2, 3,
                                         4);
    auto timeline =
        Replay(List(std::make_unique<TMonitorEventStartedPacket>(),
                    Event("TMonitorEventCountPacket", {{"Built", "5"}, {"Skipped", "2"}})));
    EXPECT_EQ(timeline.head.built, 5);
    EXPECT_EQ(timeline.head.skipped, 2);
    TimelineBuilder builder;
    builder.AddEvent(started);
    builder.AddEvent(complete);
    BuildTimeline done = builder.Finish();
    EXPECT_EQ(done.head.caption, "nightly");
    EXPECT_EQ(done.head.startTime, 46000.5);
    EXPECT_TRUE(done.head.completed);
    EXPECT_FALSE(done.head.success);
    EXPECT_EQ(done.head.endMs, 120);
    EXPECT_EQ(done.head.exitCode, 4);
    EXPECT_EQ(done.head.errorCount, 2);
    EXPECT_EQ(done.head.summary, "Build failed: 1 failed");
}

class BuildTimelineFile : public testing::Test {
protected:
    test::TempDir m_dir;
};

TEST_F(BuildTimelineFile, ReadsWhatTheBuildRecorded) {
    SampleBuild build = GeneratedBuild(300, 4);
    WriteSampleMonitorFile(m_dir / "b.nv_mon", build);
    BuildTimeline timeline = ReadBuildTimeline(m_dir / "b.nv_mon");
    ASSERT_EQ(timeline.tasks.size(), 300u);
    ASSERT_EQ(timeline.workers.size(), 4u);
    for (std::size_t i = 0; i < build.tasks.size(); ++i) {
        const Task& task = timeline.tasks[i];
        EXPECT_EQ(task.endMs, build.tasks[task.taskId - 1].endMs);
        EXPECT_EQ(task.State() == TaskState::Failed, build.tasks[task.taskId - 1].exitCode != 0);
    }
    EXPECT_TRUE(timeline.head.completed);
    EXPECT_EQ(timeline.head.caption, build.caption);
}

TEST_F(BuildTimelineFile, DamagedOrTruncatedFilesRaiseANamedError) {
    WriteSampleMonitorFile(m_dir / "b.nv_mon", GeneratedBuild(200, 3));
    std::string whole = *test::ReadFile(m_dir / "b.nv_mon");
    std::vector<std::string> damaged;
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{100}, whole.size() / 2,
                            whole.size() - 40, whole.size() - 1}) {
        damaged.push_back(whole.substr(0, cut));
    }
    std::string flipped = whole;
    for (std::size_t i = whole.size() / 3; i < whole.size() / 3 + 64; ++i) {
        flipped[i] = static_cast<char>(~flipped[i]);
    }
    damaged.push_back(flipped);
    for (std::size_t k = 0; k < damaged.size(); ++k) {
        test::WriteFile(m_dir / "bad.nv_mon", damaged[k]);
        try {
            ReadBuildTimeline(m_dir / "bad.nv_mon");
            ADD_FAILURE() << "damaged file " << k << " was read";
        } catch (const Exception& error) {
            EXPECT_THAT(error.Message(),
                        testing::StartsWith("Failed to read monitor file " + m_dir / "bad.nv_mon"))
                << k;
        }
    }
}

} // namespace
} // namespace qz::timeline
