#include "JobRunner.h"

#include "platform/Pipe.h"
#include "testsupport/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <thread>

namespace qz::tasksmith {
namespace {

using Clock = std::chrono::steady_clock;

struct Record : TaskObserver {
    struct Event {
        char kind; // 's' started, 'o' stdout, 'e' stderr, 'f' finished, 'k' skipped
        int task;
        std::string text;
        int code = 0;
        Clock::time_point at;
    };
    std::vector<Event> events;
    std::map<int, int> exitCodes;

    void TaskStarted(int task, int) override { events.push_back({'s', task, "", 0, Clock::now()}); }
    void TaskOutput(int task, std::string_view lines, bool err) override {
        events.push_back({err ? 'e' : 'o', task, std::string(lines), 0, Clock::now()});
    }
    void TaskFinished(int task, int, int code, std::uint64_t) override {
        events.push_back({'f', task, "", code, Clock::now()});
        exitCodes[task] = code;
    }
    void TaskSkipped(int task) override { events.push_back({'k', task, "", 0, Clock::now()}); }

    std::string Text(int task, char kind) const {
        std::string all;
        for (const Event& e : events) {
            if (e.task == task && e.kind == kind) {
                all += e.text + "|";
            }
        }
        return all;
    }
};

JobSpec Shells(const std::vector<std::string>& lines, const std::string& folder = "/") {
    JobSpec job;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        JobTask t;
        t.id = "t" + std::to_string(i);
        t.shellLine = lines[i];
        t.folder = folder;
        job.tasks.push_back(t);
    }
    OrderTasks(job, "test");
    return job;
}

RunSettings Settings(int slots = 1) {
    RunSettings s;
    s.slots = slots;
    s.environment = {"PATH=/usr/bin:/bin"};
    return s;
}

bool ProcessAlive(int pid) {
    std::string stat = test::ReadFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

TEST(JobRunnerTest, ExitCodesPassThroughAndTheFirstFailureIsTheBuildsCode) {
    for (auto [line, expected] :
         std::vector<std::pair<std::string, int>>{{"true", 0},
                                                  {"exit 1", 1},
                                                  {"exit 2", 2},
                                                  {"exit 255", 255},
                                                  {"kill -9 $$", 128 + SIGKILL},
                                                  {"kill -SEGV $$", 128 + SIGSEGV}}) {
        Record rec;
        RunOutcome out = RunJob(Shells({line}), Settings(), rec);
        EXPECT_EQ(out.exitCode, expected) << line;
        EXPECT_EQ(rec.exitCodes[0], expected) << line;
        EXPECT_EQ(out.failed, expected == 0 ? 0 : 1);
    }
}

TEST(JobRunnerTest, StandardOutputAndErrorStaySeparateAndInOrder) {
    Record rec;
    RunJob(Shells({"for i in 1 2 3 4 5; do echo out$i; echo err$i >&2; done; printf 'tail'; "
                   "printf 'crlf\\r\\n' >&2"}),
           Settings(), rec);
    std::string out = rec.Text(0, 'o');
    std::string err = rec.Text(0, 'e');
    // Events may group lines differently; the joined content and order may not differ.
    auto join = [](std::string s) {
        for (std::size_t p; (p = s.find("|")) != std::string::npos;) {
            s.replace(p, 1, "\r\n");
        }
        return s;
    };
    EXPECT_EQ(join(out), "out1\r\nout2\r\nout3\r\nout4\r\nout5\r\ntail\r\n");
    EXPECT_EQ(join(err), "err1\r\nerr2\r\nerr3\r\nerr4\r\nerr5\r\ncrlf\r\n");
}

TEST(JobRunnerTest, AnEndlessLineIsSentInPiecesAndNothingIsLost) {
    Record rec;
    RunJob(Shells({"head -c 3000000 /dev/zero | tr '\\0' x; echo; echo after"}), Settings(), rec);
    std::size_t pieces = 0;
    for (const auto& e : rec.events) {
        if (e.kind == 'o') {
            ++pieces;
            EXPECT_LE(e.text.size(), 2u * 1024 * 1024 + 64 * 1024);
        }
    }
    EXPECT_GE(pieces, 2u);
    std::string all = rec.Text(0, 'o');
    EXPECT_EQ(std::count(all.begin(), all.end(), 'x'), 3000000);
    EXPECT_THAT(all, ::testing::EndsWith("after|"));
}

TEST(JobRunnerTest, ALineArrivesWhileTheTaskStillRuns) {
    Record rec;
    auto begin = Clock::now();
    RunJob(Shells({"echo first; sleep 2; echo second"}), Settings(), rec);
    ASSERT_GE(rec.events.size(), 4u);
    const auto& first = rec.events[1];
    ASSERT_EQ(first.kind, 'o');
    EXPECT_EQ(first.text, "first");
    // Half of the sleep: the line was not held until the task ended.
    EXPECT_LT(first.at - begin, std::chrono::milliseconds(1000));
}

TEST(JobRunnerTest, AFailingTaskStopsNewTasksUnlessTheJobKeepsGoing) {
    test::TempDir dir;
    JobSpec job = Shells({"exit 3", "touch ran_b", "touch ran_c"}, dir.path());
    job.tasks[2].dependencies = {0};
    OrderTasks(job, "test");
    {
        Record rec;
        RunOutcome out = RunJob(job, Settings(1), rec);
        EXPECT_EQ(out.exitCode, 3);
        EXPECT_EQ(out.notRun, 2);
        EXPECT_FALSE(test::ReadFile(dir / "ran_b"));
        EXPECT_FALSE(test::ReadFile(dir / "ran_c"));
    }
    job.keepGoing = true;
    RunSettings s = Settings(1);
    s.keepGoing = true;
    Record rec;
    RunOutcome out = RunJob(job, s, rec);
    EXPECT_EQ(out.exitCode, 3);
    EXPECT_EQ(out.built, 1);
    EXPECT_EQ(out.notRun, 1); // the dependent of the failed task
    EXPECT_TRUE(test::ReadFile(dir / "ran_b"));
    EXPECT_FALSE(test::ReadFile(dir / "ran_c"));
}

TEST(JobRunnerTest, AThousandTaskGraphRunsEachTaskOnceAfterItsDependencies) {
    JobSpec job;
    const int count = 1000;
    for (int i = 0; i < count; ++i) {
        JobTask t;
        t.id = std::to_string(i);
        t.arguments = {"/bin/echo", t.id};
        t.folder = "/";
        // A layered graph with fan-in: each task waits for up to three earlier ones.
        for (int d : {i / 2 - 1, i - 7, i - 100}) {
            if (d >= 0 && std::find(t.dependencies.begin(), t.dependencies.end(), d) ==
                              t.dependencies.end()) {
                t.dependencies.push_back(d);
            }
        }
        job.tasks.push_back(t);
    }
    // Listed backwards, so that file order is never a valid run order by accident.
    std::reverse(job.tasks.begin(), job.tasks.end());
    for (JobTask& t : job.tasks) {
        for (int& d : t.dependencies) {
            d = count - 1 - d;
        }
    }
    OrderTasks(job, "test");
    Record rec;
    RunOutcome out = RunJob(job, Settings(2), rec);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_EQ(out.built, count);
    std::map<int, int> started, finished;
    int running = 0;
    int maxRunning = 0;
    for (std::size_t n = 0; n < rec.events.size(); ++n) {
        const auto& e = rec.events[n];
        if (e.kind == 's') {
            ++started[e.task];
            maxRunning = std::max(maxRunning, ++running);
            for (int d : job.tasks[static_cast<std::size_t>(e.task)].dependencies) {
                ASSERT_TRUE(finished.count(d)) << job.tasks[e.task].id << " before its dependency";
            }
        } else if (e.kind == 'f') {
            --running;
            finished[e.task] = static_cast<int>(n);
        } else if (e.kind == 'o') {
            EXPECT_EQ(e.text, job.tasks[static_cast<std::size_t>(e.task)].id);
        }
    }
    EXPECT_EQ(started.size(), static_cast<std::size_t>(count));
    for (auto [task, times] : started) {
        EXPECT_EQ(times, 1) << task;
    }
    EXPECT_LE(maxRunning, 2);
}

TEST(JobRunnerTest, StoppingEndsTheWholeProcessGroupEvenWhenItIgnoresTerm) {
    test::TempDir dir;
    // The shell ignores SIGTERM and so does its background child; only SIGKILL ends them.
    JobSpec job =
        Shells({"trap '' TERM; sleep 60 & echo $! > child; echo $$ > shell; wait"}, dir.path());
    std::atomic<bool> stop{false};
    RunSettings s = Settings();
    s.killGraceMs = 300;
    s.stopRequested = [&] { return stop.load(); };
    std::thread stopper([&] {
        for (int i = 0; i < 500 && !test::ReadFile(dir / "shell"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop = true;
    });
    Record rec;
    auto begin = Clock::now();
    RunOutcome out = RunJob(job, s, rec);
    stopper.join();
    EXPECT_TRUE(out.cancelled);
    EXPECT_EQ(out.exitCode, 128 + SIGKILL);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(20));
    int child = std::stoi(test::ReadFile(dir / "child").value_or("0"));
    ASSERT_GT(child, 0);
    // SIGKILL went to the group before RunJob returned; the child's end follows it shortly.
    EXPECT_TRUE(test::WaitUntil([&] { return !ProcessAlive(child); }, std::chrono::seconds(5)));
}

TEST(JobRunnerTest, ProcessesATaskLeavesBehindEndWithIt) {
    test::TempDir dir;
    Record rec;
    RunOutcome out =
        RunJob(Shells({"sleep 60 >/dev/null 2>&1 & echo $! > left"}, dir.path()), Settings(), rec);
    EXPECT_EQ(out.exitCode, 0);
    int left = std::stoi(test::ReadFile(dir / "left").value_or("0"));
    ASSERT_GT(left, 0);
    for (int i = 0; i < 100 && ProcessAlive(left); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(ProcessAlive(left));
}

TEST(JobRunnerTest, TasksGetTheirFolderAndEnvironmentAndStartFailuresAreReported) {
    test::TempDir dir;
    JobSpec job = Shells({"echo $JOBVAR-$TASKVAR-$(pwd)"}, dir.path());
    job.tasks[0].environment = {{"TASKVAR", "one"}, {"TASKVAR", "two"}};
    RunSettings s = Settings();
    s.environment.push_back("JOBVAR=base");
    Record rec;
    RunJob(job, s, rec);
    EXPECT_EQ(rec.Text(0, 'o'), "base-two-" + dir.path() + "|");

    JobSpec missing;
    JobTask t;
    t.id = "m";
    t.arguments = {"no-such-program-here"};
    t.folder = dir.path();
    missing.tasks.push_back(t);
    t.id = "d";
    t.arguments = {"true"};
    t.folder = dir / "no-such-folder";
    missing.tasks.push_back(t);
    OrderTasks(missing, "test");
    RunSettings keep = Settings();
    keep.keepGoing = true;
    Record rec2;
    RunOutcome out = RunJob(missing, keep, rec2);
    EXPECT_EQ(out.exitCode, 127);
    EXPECT_EQ(out.failed, 2);
    EXPECT_THAT(rec2.Text(0, 'e'), ::testing::HasSubstr("cannot run no-such-program-here"));
    EXPECT_THAT(rec2.Text(1, 'e'), ::testing::HasSubstr("cannot enter the folder"));
}

TEST(JobRunnerTest, UpToDateTasksAreSkippedUnlessRebuilding) {
    test::TempDir dir;
    test::WriteFile(dir / "in.txt", "x");
    JobSpec job = Shells({"cp in.txt out.txt && echo built", "echo after"}, dir.path());
    job.tasks[0].inputs = {dir / "in.txt"};
    job.tasks[0].outputs = {dir / "out.txt"};
    job.tasks[1].dependencies = {0};
    OrderTasks(job, "test");
    Record first;
    EXPECT_EQ(RunJob(job, Settings(), first).built, 2);
    Record second;
    RunOutcome again = RunJob(job, Settings(), second);
    EXPECT_EQ(again.skipped, 1);
    EXPECT_EQ(again.built, 1); // the dependent has no declared files, so it always runs
    RunSettings rebuild = Settings();
    rebuild.rebuild = true;
    Record third;
    EXPECT_EQ(RunJob(job, rebuild, third).built, 2);
    EXPECT_TRUE(RemoveOutputs(job.tasks[0]).empty());
    EXPECT_FALSE(test::ReadFile(dir / "out.txt"));
}

TEST(JobRunnerTest, AFailedTaskLeavesNoOutputThatWouldPassForUpToDate) {
    test::TempDir dir;
    test::WriteFile(dir / "in.txt", "x");
    JobSpec job = Shells({"echo half > out.txt; exit 3"}, dir.path());
    job.tasks[0].inputs = {dir / "in.txt"};
    job.tasks[0].outputs = {dir / "out.txt"};
    Record first;
    EXPECT_EQ(RunJob(job, Settings(), first).exitCode, 3);
    EXPECT_FALSE(test::ReadFile(dir / "out.txt"));
    Record second;
    RunOutcome again = RunJob(job, Settings(), second);
    EXPECT_EQ(again.skipped, 0);
    EXPECT_EQ(again.failed, 1);
}

// A build cache stand-in: each Begin hands out the read end of a pipe whose write end closes
// when the test decides (at once, or when a line of another task arrives). It writes what it
// was asked into the record's events ('r' restore asked, 'R' restore finished, 'w' store asked,
// 'W' store finished), so that their order against the tasks' events shows.
struct FakeCache : TaskCache {
    Record& record;
    std::set<int> hits;
    /// The restores of these tasks stay undecided until a line with releaseOn arrives; the
    /// others are decided at once.
    std::set<int> held;
    std::string releaseOn;
    std::map<int, platform::PipeEnds> pipes;
    std::vector<int> undecided;
    std::map<int, int> storeSlots;

    explicit FakeCache(Record& r) : record(r) {}
    ~FakeCache() override {
        for (auto& [task, ends] : pipes) {
            platform::CloseHandle(ends.read);
            platform::CloseHandle(ends.write);
        }
    }
    platform::THandle Open(int task, bool decided) {
        platform::PipeEnds ends = platform::CreatePipe().value_or(platform::PipeEnds{});
        EXPECT_NE(ends.read, platform::kInvalidHandle);
        if (decided) {
            platform::CloseHandle(ends.write);
            ends.write = platform::kInvalidHandle;
        } else {
            undecided.push_back(task);
        }
        pipes[task] = ends;
        return ends.read;
    }
    void Close(int task) {
        platform::CloseHandle(pipes[task].read);
        platform::CloseHandle(pipes[task].write);
        pipes.erase(task);
    }
    // Called by the record's output: decides the waiting restores.
    void Seen(std::string_view text) {
        if (!releaseOn.empty() && text.find(releaseOn) != std::string_view::npos) {
            DecideAll();
        }
    }
    void DecideAll() {
        for (int task : undecided) {
            platform::CloseHandle(pipes[task].write);
            pipes[task].write = platform::kInvalidHandle;
        }
        undecided.clear();
    }
    platform::THandle BeginRestore(int task, int) override {
        record.events.push_back({'r', task, "", 0, Clock::now()});
        return Open(task, held.count(task) == 0);
    }
    bool FinishRestore(int task) override {
        record.events.push_back({'R', task, "", 0, Clock::now()});
        Close(task);
        return hits.count(task) != 0;
    }
    platform::THandle BeginStore(int task, int slot, std::uint64_t) override {
        record.events.push_back({'w', task, "", 0, Clock::now()});
        storeSlots[task] = slot;
        return Open(task, true);
    }
    void FinishStore(int task) override {
        record.events.push_back({'W', task, "", 0, Clock::now()});
        Close(task);
    }
};

struct WatchingRecord : Record {
    FakeCache* cache = nullptr;
    void TaskOutput(int task, std::string_view lines, bool err) override {
        Record::TaskOutput(task, lines, err);
        if (cache != nullptr) {
            cache->Seen(lines);
        }
    }
};

std::string Order(const Record& record) {
    std::string order;
    for (const Record::Event& e : record.events) {
        order += e.kind + std::to_string(e.task) + " ";
    }
    return order;
}

TEST(JobRunnerTest, ARestoredTaskDoesNotRunAndItsDependentsDo) {
    JobSpec job = Shells({"echo zero", "echo one", "echo two"});
    job.tasks[2].dependencies = {0};
    OrderTasks(job, "test");
    Record record;
    FakeCache cache(record);
    cache.hits = {0};
    RunSettings settings = Settings(1);
    settings.cache = &cache;
    RunOutcome outcome = RunJob(job, settings, record);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.restored, 1);
    EXPECT_EQ(outcome.built, 3);
    EXPECT_EQ(record.Text(0, 'o'), "") << "a restored task ran";
    EXPECT_EQ(record.Text(1, 'o'), "one|");
    EXPECT_EQ(record.Text(2, 'o'), "two|");
    // Only the tasks that ran and succeeded are stored, each after its end and before the next
    // task takes the one slot.
    const std::string order = Order(record);
    EXPECT_EQ(order.find("w0"), std::string::npos);
    EXPECT_LT(order.find("f1"), order.find("w1"));
    EXPECT_LT(order.find("W1"), order.find("s2")) << order;
    EXPECT_EQ(cache.storeSlots.size(), 2u);
    EXPECT_TRUE(cache.pipes.empty());
}

TEST(JobRunnerTest, AFailedTaskIsNeverStored) {
    JobSpec job = Shells({"exit 4"});
    Record record;
    FakeCache cache(record);
    RunSettings settings = Settings(1);
    settings.cache = &cache;
    EXPECT_EQ(RunJob(job, settings, record).exitCode, 4);
    EXPECT_EQ(Order(record).find('w'), std::string::npos);
}

TEST(JobRunnerTest, OutputOfOtherTasksFlowsWhileARestoreIsUndecided) {
    // t0's restore is decided only once t1 printed: a runner that waited for the restore would
    // never start t1 (the build is then stopped after a deadline, and the test fails).
    JobSpec job = Shells({"echo zero", "echo released"});
    WatchingRecord record;
    FakeCache cache(record);
    record.cache = &cache;
    cache.held = {0};
    cache.releaseOn = "released";
    RunSettings settings = Settings(2);
    settings.cache = &cache;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    settings.stopRequested = [&] {
        if (Clock::now() < deadline) {
            return false;
        }
        cache.DecideAll();
        return true;
    };
    RunOutcome outcome = RunJob(job, settings, record);
    EXPECT_FALSE(outcome.cancelled) << "the restore held up the other task";
    EXPECT_EQ(outcome.exitCode, 0);
    const std::string order = Order(record);
    EXPECT_LT(order.find("r0"), order.find("o1")) << order;
    EXPECT_LT(order.find("o1"), order.find("R0")) << order;
    // Not restored: t0 ran after its restore was decided.
    EXPECT_LT(order.find("R0"), order.find("s0")) << order;
    EXPECT_EQ(record.Text(0, 'o'), "zero|");
}

TEST(JobRunnerTest, AStopWhileARestoreIsUndecidedStartsNothingMore) {
    JobSpec job = Shells({"echo zero", "echo one"});
    job.tasks[1].dependencies = {0};
    OrderTasks(job, "test");
    Record record;
    FakeCache cache(record);
    cache.held = {0};
    cache.releaseOn = "never printed";
    RunSettings settings = Settings(1);
    settings.cache = &cache;
    std::atomic<bool> stop{false};
    settings.stopRequested = [&] {
        if (!record.events.empty() && !stop) {
            stop = true;
            // The restore is decided after the stop: the task must not start.
            cache.DecideAll();
        }
        return stop.load();
    };
    RunOutcome outcome = RunJob(job, settings, record);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(record.Text(0, 's'), "");
    EXPECT_EQ(Order(record).find("s0"), std::string::npos) << Order(record);
    EXPECT_EQ(outcome.notRun, 2);
}

} // namespace
} // namespace qz::tasksmith
