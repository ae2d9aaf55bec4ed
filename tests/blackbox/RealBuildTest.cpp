// Builds as a user runs them: the real console, the real agent service (qzagentd, started and
// stopped by each test in the test's own folder) and the real Tasksmith. Every process of a
// build carries a marker in its environment, so the tests can count the build's processes and
// check that none is left behind, whatever was killed.

#include "RealBuildFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

namespace qz {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

using test::kMarkName;
using test::MarkedProcesses;
using test::Names;

class RealBuildTest : public test::RealBuildFixture {};

// A build shorter than the agent's sweep never shows its build mutex as owned; its slot must be
// free for the next build all the same.
TEST_F(RealBuildTest, ShortBuildsBackToBackOnOneSlot) {
    StartAgent(1);
    for (int k = 0; k < 8; ++k) {
        test::RunResult r = Run({"/NOWAIT", "/COMMAND=echo build " + std::to_string(k)});
        ASSERT_EQ(r.exitCode, 0) << "build " << k << ": " << r.out << r.err;
        EXPECT_EQ(r.out, "build " + std::to_string(k) + "\r\n");
    }
    // Builds that ended leave no named object behind once the agent has stopped, though the
    // console and Tasksmith end without destructors and the console's owner mutex is still held.
    StopAgent();
    EXPECT_THAT(ObjectsLeft(), IsEmpty());
}

TEST_F(RealBuildTest, FiftyMegabytesArriveCompleteOnTheConsoleInTheLogAndInTheOutFile) {
    StartAgent(1);
    // 524,288 numbered lines of 100 bytes.
    const int lines = 524288;
    const std::string job = "awk 'BEGIN { for (i = 0; i < " + std::to_string(lines) +
                            "; i++) printf \"%08d %090d\\n\", i, i }'";
    std::string expected;
    expected.reserve(static_cast<std::size_t>(lines) * 101);
    char line[128];
    for (int i = 0; i < lines; ++i) {
        std::snprintf(line, sizeof line, "%08d %090d\r\n", i, i);
        expected += line;
    }
    auto same = [&](const std::string& got, const std::string& where) {
        EXPECT_EQ(got.size(), expected.size()) << where;
        EXPECT_TRUE(std::hash<std::string>{}(got) == std::hash<std::string>{}(expected) &&
                    got == expected)
            << where << " differs";
    };

    test::RunResult r = Run({"/COMMAND=" + job, "/LOG=build.log"}, 300s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    same(r.out, "console");
    std::string log = test::ReadFile(dir_ / "work/build.log").value_or("");
    ASSERT_GE(log.size(), expected.size());
    same(log.substr(log.size() - expected.size()), "log");

    r = Run({"/COMMAND=" + job, "/OUT=out.txt"}, 300s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string out = test::ReadFile(dir_ / "work/out.txt").value_or("");
    ASSERT_GE(out.size(), expected.size());
    same(out.substr(out.size() - expected.size()), "out file");
}

// The first line of a task that prints slowly is on the screen long before the task ends (the
// goal is 300 ms; the deadline here only proves it is not held back to the task's end).
// A console that is held up while Tasksmith writes several sections of events and ends finds
// those sections gone: the rest comes from the monitor data file, and nothing is lost.
TEST_F(RealBuildTest, AConsoleHeldUpWhileTasksmithEndsStillShowsAllOutput) {
    StartAgent(1);
    int pid = Start("late", {"/COMMAND=echo start; sleep 1; seq 1 1000000"});
    ASSERT_TRUE(WaitForOutput("late", "start\r\n"));
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    bool ended = test::WaitUntil([&] { return TasksmithCount() == 0; }, 60s);
    ASSERT_EQ(kill(pid, SIGCONT), 0);
    ASSERT_TRUE(ended) << "Tasksmith did not end";
    EXPECT_EQ(test::WaitChild(pid, 60s), 0);
    std::string expected = "start\r\n";
    for (int i = 1; i <= 1000000; ++i) {
        expected += std::to_string(i) + "\r\n";
    }
    std::string out = Output("late");
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected) << "the output differs";
}

TEST_F(RealBuildTest, SlowPrinterShowsItsFirstLineWhileItRuns) {
    StartAgent(1);
    std::string flag = dir_ / "done";
    std::string printedAt = dir_ / "printed";
    int pid = Start("slow", {"/COMMAND=date +%s%N >" + printedAt +
                             "; echo first line; sleep 8; echo last line; touch " + flag});
    ASSERT_TRUE(WaitForOutput("slow", "first line\r\n", 30s));
    auto shown = std::chrono::system_clock::now();
    EXPECT_FALSE(fs::exists(flag)) << "the first line came only at the task's end";
    EXPECT_EQ(Output("slow").find("last line"), std::string::npos);
    long long printed = std::atoll(test::ReadFile(printedAt).value_or("0").c_str());
    long long latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(shown.time_since_epoch()).count() -
        printed / 1000000;
    std::printf("first line on the console %lld ms after the task printed it\n", latency);
    EXPECT_EQ(test::WaitChild(pid, 60s), 0);
    EXPECT_EQ(Output("slow"), "first line\r\nlast line\r\n");
}

TEST_F(RealBuildTest, KilledTasksmithEndsTheConsoleWithTheOutputSoFarAndNoProcessIsLeft) {
    StartAgent(1);
    // A task that leaves a process in a session of its own behind, then waits.
    int pid = Start("killed", {"/COMMAND=setsid sleep 300 & echo before; sleep 300"});
    ASSERT_TRUE(WaitForOutput("killed", "before\r\n"));
    ASSERT_TRUE(test::WaitUntil([&] { return TasksmithPid() > 0; }, 10s));
    int tasksmith = TasksmithPid();
    auto killedAt = Clock::now();
    ASSERT_EQ(kill(tasksmith, SIGKILL), 0);
    int code = test::WaitChild(pid, 20s);
    auto took = Clock::now() - killedAt;
    EXPECT_LT(took, 15s) << "the console should end within 11 s of the kill";
    EXPECT_EQ(code, 128 + SIGKILL) << Output("killed"); // Tasksmith's own end
    EXPECT_THAT(Output("killed"), HasSubstr("before\r\n"));
    // Nothing of the build is left, the process in its own session included.
    EXPECT_TRUE(test::WaitUntil([&] { return MarkedProcesses(mark_).empty(); }, 5s))
        << Names(MarkedProcesses(mark_));
}

TEST_F(RealBuildTest, KilledConsoleMakesTasksmithStopItsTasksAndEnd) {
    StartAgent(1);
    int pid = Start("owner", {"/COMMAND=setsid sleep 300 & echo running; sleep 300"});
    ASSERT_TRUE(WaitForOutput("owner", "running\r\n"));
    ASSERT_TRUE(test::WaitUntil([&] { return TasksmithPid() > 0; }, 10s));
    auto killedAt = Clock::now();
    test::KillChild(pid);
    bool gone = test::WaitUntil([&] { return MarkedProcesses(mark_).empty(); }, 20s);
    auto took = Clock::now() - killedAt;
    EXPECT_TRUE(gone) << Names(MarkedProcesses(mark_));
    EXPECT_LT(took, 9s) << "Tasksmith should end within 6 s of the console's death";
    std::printf("no process of the build left %lld ms after the kill\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

// The console keeps each build's command file in the agent's temporary folder and never removes
// it; the agent does, once the build's slot is free, and at its start the old files of builds it
// does not know. A running build's file stays.
TEST_F(RealBuildTest, TheAgentRemovesTheCommandFilesOfEndedBuilds) {
    const fs::path temp = dir_ / "agent/Temp";
    fs::create_directories(temp);
    const fs::path old = temp / "{11111111-2222-3333-4444-555555555555}.nv_bld_cmd";
    const fs::path young = temp / "{21111111-2222-3333-4444-555555555555}.nv_bld_cmd";
    const fs::path link = temp / "{31111111-2222-3333-4444-555555555555}.nv_bld_cmd";
    const fs::path other = temp / "notes.txt";
    const fs::path outside = dir_ / "outside.nv_bld_cmd";
    for (const fs::path& path : {old, young, other, outside}) {
        test::WriteFile(path, "request");
    }
    fs::create_symlink(outside, link);
    for (const fs::path& path : {old, other, outside}) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - 48h);
    }
    fs::last_write_time(young, fs::file_time_type::clock::now() - 12h);
    const std::vector<fs::path> kept = {young, link, other};
    // The command files of this test's builds.
    auto buildFiles = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(temp)) {
            if (entry.path().extension() == ".nv_bld_cmd" &&
                std::find(kept.begin(), kept.end(), entry.path()) == kept.end()) {
                names.push_back(entry.path().filename());
            }
        }
        return names;
    };

    StartAgent(2);
    EXPECT_FALSE(fs::exists(old));
    for (const fs::path& path : kept) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path;
    }
    EXPECT_EQ(test::ReadFile(outside).value_or(""), "request");

    // Short builds: each file goes once the build has ended.
    for (int k = 0; k < 3; ++k) {
        test::RunResult r = Run({"/COMMAND=echo build " + std::to_string(k)});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }
    EXPECT_TRUE(test::WaitUntil([&] { return buildFiles().empty(); }, 15s))
        << ::testing::PrintToString(buildFiles());

    // A running build keeps its file across several sweeps of the agent, and loses it at its end.
    int pid = Start("long", {"/COMMAND=echo running; i=0; while [ ! -e go ] && [ $i -lt 600 ]; "
                             "do sleep 0.1; i=$((i+1)); done; echo finished"});
    // Whatever fails below, the build ends with the test.
    struct Release {
        fs::path go;
        ~Release() { test::WriteFile(go, ""); }
    } release{dir_ / "work/go"};
    EXPECT_TRUE(WaitForOutput("long", "running\r\n"));
    EXPECT_EQ(buildFiles().size(), 1u);
    const std::string running = buildFiles().empty() ? std::string() : buildFiles().front();
    std::this_thread::sleep_for(5s); // the agent sweeps every 2 s while a build runs
    EXPECT_EQ(buildFiles(), std::vector<std::string>{running});
    // Another build that ends meanwhile takes only its own file along.
    test::RunResult r = Run({"/COMMAND=echo meanwhile"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    test::WaitUntil([&] { return buildFiles().size() == 1; }, 15s);
    EXPECT_EQ(buildFiles(), std::vector<std::string>{running});
    test::WriteFile(dir_ / "work/go", "");
    EXPECT_EQ(test::WaitChild(pid, 30s), 0) << Output("long");
    EXPECT_THAT(Output("long"), HasSubstr("finished\r\n"));
    EXPECT_TRUE(test::WaitUntil([&] { return buildFiles().empty(); }, 15s))
        << ::testing::PrintToString(buildFiles());

    // A killed console: Tasksmith ends, and the file goes as well.
    pid = Start("killed", {"/COMMAND=echo running; sleep 300"});
    ASSERT_TRUE(WaitForOutput("killed", "running\r\n"));
    EXPECT_EQ(buildFiles().size(), 1u);
    test::KillChild(pid);
    EXPECT_TRUE(test::WaitUntil([&] { return buildFiles().empty(); }, 30s))
        << ::testing::PrintToString(buildFiles());

    for (const fs::path& path : kept) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << path;
    }
    EXPECT_EQ(test::ReadFile(outside).value_or(""), "request");
}

TEST_F(RealBuildTest, StopFromASecondConsoleStopsTheRunningBuild) {
    StartAgent(1);
    // The task ignores the polite request: the stop ends it all the same.
    int pid = Start("stopped", {"/COMMAND=trap '' TERM; echo running; sleep 300; echo never"});
    ASSERT_TRUE(WaitForOutput("stopped", "running\r\n"));
    test::RunResult stop = Run({"/STOP"});
    EXPECT_EQ(stop.exitCode, 2) << stop.out << stop.err;
    EXPECT_EQ(stop.out, "Build Stop request sent successfully.\r\n");
    int code = test::WaitChild(pid, 30s);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1) << "the stopped build did not end";
    EXPECT_EQ(Output("stopped").find("never"), std::string::npos);
}

TEST_F(RealBuildTest, NoWaitRefusesAThirdBuildAndWithoutItTheThirdWaitsThenRuns) {
    StartAgent(2);
    std::string go = dir_ / "go";
    std::string job = "echo started; while [ ! -e " + go + " ]; do sleep 0.05; done; echo done";
    int first = Start("first", {"/COMMAND=" + job});
    int second = Start("second", {"/COMMAND=" + job});
    ASSERT_TRUE(WaitForOutput("first", "started\r\n"));
    ASSERT_TRUE(WaitForOutput("second", "started\r\n"));

    test::RunResult refused = Run({"/NOWAIT", "/COMMAND=echo third"});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_EQ(refused.out, "Maximum number of concurrent builds reached.\r\n");

    int third = Start("third", {"/COMMAND=echo third ran"});
    // It waits while both slots are taken.
    test::SleepMs(2500);
    EXPECT_FALSE(test::ChildEnded(third));
    EXPECT_EQ(Output("third").find("third ran"), std::string::npos);
    test::WriteFile(go, "");
    EXPECT_EQ(test::WaitChild(first, 30s), 0);
    EXPECT_EQ(test::WaitChild(second, 30s), 0);
    EXPECT_EQ(test::WaitChild(third, 30s), 0);
    EXPECT_THAT(Output("third"), HasSubstr("third ran\r\n"));
    EXPECT_EQ(Output("first"), "started\r\ndone\r\n");
}

TEST_F(RealBuildTest, TwentyConsolesAtOnceOnFourSlots) {
    StartAgent(4);
    const int count = 20;
    std::vector<int> pids;
    std::atomic<bool> sampling{true};
    std::atomic<int> most{0};
    std::thread sampler([&] {
        while (sampling) {
            most = std::max(most.load(), TasksmithCount());
            test::SleepMs(10);
        }
    });
    for (int k = 0; k < count; ++k) {
        pids.push_back(
            Start("c" + std::to_string(k), {"/COMMAND=echo begin " + std::to_string(k) +
                                            "; sleep 0.3; echo end " + std::to_string(k)}));
    }
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(test::WaitChild(pids[static_cast<std::size_t>(k)], 120s), 0) << k;
    }
    sampling = false;
    sampler.join();
    for (int k = 0; k < count; ++k) {
        std::string out = Output("c" + std::to_string(k));
        std::string want = "begin " + std::to_string(k) + "\r\nend " + std::to_string(k) + "\r\n";
        // A console that waited for its slot prints its waiting lines first.
        ASSERT_GE(out.size(), want.size()) << k;
        EXPECT_EQ(out.substr(out.size() - want.size()), want) << k;
    }
    EXPECT_GE(most.load(), 1);
    EXPECT_LE(most.load(), 4);
}

} // namespace
} // namespace qz
