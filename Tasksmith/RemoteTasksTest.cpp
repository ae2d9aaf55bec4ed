#include "RemoteTasks.h"

#include "testsupport/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

namespace qz::tasksmith {
namespace {

using ::testing::ElementsAre;

TEST(RemoteTasksTest, TasksPerNodeInSlurmsShortHand) {
    EXPECT_THAT(ParseTasksPerNode("4"), ElementsAre(4));
    EXPECT_THAT(ParseTasksPerNode("4,1"), ElementsAre(4, 1));
    EXPECT_THAT(ParseTasksPerNode("2(x3),1"), ElementsAre(2, 2, 2, 1));
    for (const char* bad : {"", ",", "4,", "x", "2(x", "2(x0)", "(x2)", "-1", "2(x3", "2(xa)",
                            "99999999999", "1(x999999999)", "4 ,1"}) {
        EXPECT_TRUE(ParseTasksPerNode(bad).empty()) << bad;
    }
}

TEST(RemoteTasksTest, AStepThatSlurmFailedRunsAgainHereOnce) {
    // The line rules themselves: Interceptor/SrunOutputTest.cpp.
    nv::TClusterSettings settings;
    SlurmRemote remote(settings, {}, {"PATH=/nonexistent"});
    JobTask task;
    task.id = "t";
    EXPECT_FALSE(remote.RunAgainLocally(task, 1));
    remote.NoteErrorOutput("t", "compiling\r\nsrun: error: Node failure on qzn2\r\nmore");
    EXPECT_TRUE(remote.RunAgainLocally(task, 1));
    // Once: the local run's own failure is the task's.
    EXPECT_FALSE(remote.RunAgainLocally(task, 1));
}

TEST(RemoteTasksTest, NodesOutsideTheRequestedRangeDoNotSuit) {
    NodeFacts node{"n1", 4, "id", 6, 1, "x86_64"};
    RemoteOptions options;
    EXPECT_EQ(NodeMismatch(node, options), "");
    options.minMajor = 6;
    options.minMinor = 2;
    EXPECT_EQ(NodeMismatch(node, options), "its kernel 6.1 is older than 6.2");
    options.minMinor = 1;
    options.maxMajor = 6;
    options.maxMinor = 1;
    EXPECT_EQ(NodeMismatch(node, options), "");
    node.kernelMajor = 7;
    node.kernelMinor = 0;
    EXPECT_EQ(NodeMismatch(node, options), "its kernel 7.0 is newer than 6.1");
    options = RemoteOptions{};
    options.only64Bit = true;
    EXPECT_EQ(NodeMismatch(node, options), "");
    node.machine = "i686";
    EXPECT_EQ(NodeMismatch(node, options), "its architecture i686 is not a 64-bit one");
}

TEST(RemoteTasksTest, WithoutAnAllocationNoTaskIsPrepared) {
    nv::TClusterSettings settings;
    settings.enabled = true;
    settings.commandTimeoutSeconds = 1;
    SlurmRemote remote(settings, {}, {"PATH=/nonexistent"});
    JobTask task;
    JobTask launch;
    std::string message;
    EXPECT_FALSE(remote.Prepare(task, 0, launch, message));
    EXPECT_EQ(message, "the cluster allocation is gone");
    EXPECT_EQ(remote.Slots(), 0);
    // Without the commands the allocation is refused with a reason, at once.
    EXPECT_NE(remote.Acquire(2, "test"), "");
    remote.Release();
}

// Remote slots in RunJob: a stand-in placement runs the "remote" command here, marked.
struct Marking : RemotePlacement {
    int slots = 2;
    bool avoidLocal = false;
    bool again = false;
    std::vector<int> prepared;
    int Slots() const override { return slots; }
    bool AvoidLocal() const override { return avoidLocal; }
    bool Prepare(const JobTask& task, int remoteSlot, JobTask& launch,
                 std::string& message) override {
        prepared.push_back(remoteSlot);
        if (task.id == "refused") {
            message = "no step for you";
            return false;
        }
        launch = task;
        launch.environment.emplace_back("REMOTE", "yes");
        return true;
    }
    bool RunAgainLocally(const JobTask&, int) override { return again; }
};

struct Slots : TaskObserver {
    std::map<int, int> slotOf;
    std::map<int, int> codeOf;
    std::map<int, std::string> out;
    std::vector<int> retried;
    void TaskStarted(int task, int slot) override { slotOf[task] = slot; }
    void TaskOutput(int task, std::string_view lines, bool) override {
        out[task] += std::string(lines) + "|";
    }
    void TaskFinished(int task, int, int code, std::uint64_t) override { codeOf[task] = code; }
    void TaskRetried(int task, int, int, std::uint64_t) override { retried.push_back(task); }
};

JobSpec Job(const std::vector<std::pair<std::string, bool>>& tasks) {
    JobSpec job;
    for (const auto& [line, remote] : tasks) {
        JobTask t;
        t.id = "t" + std::to_string(job.tasks.size());
        t.shellLine = line;
        t.folder = "/";
        t.remote = remote;
        job.tasks.push_back(t);
    }
    OrderTasks(job, "test");
    return job;
}

RunSettings WithRemote(Marking& placement, int localSlots) {
    RunSettings s;
    s.slots = localSlots;
    s.environment = {"PATH=/usr/bin:/bin"};
    s.remote = &placement;
    return s;
}

TEST(RemoteSlotsTest, LocalSlotsFirstThenRemoteOnesForRemoteCapableTasksOnly) {
    Marking placement;
    // Four tasks that wait for each other's start: all run at once.
    JobSpec job = Job({{"sleep 0.3; echo ${REMOTE:-no}", true},
                       {"sleep 0.3; echo ${REMOTE:-no}", true},
                       {"sleep 0.3; echo ${REMOTE:-no}", true},
                       {"sleep 0.3; echo ${REMOTE:-no}", false}});
    Slots observer;
    RunOutcome outcome = RunJob(job, WithRemote(placement, 1), observer);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.built, 4);
    EXPECT_EQ(observer.slotOf[0], 0);
    EXPECT_EQ(observer.out[0], "no|");
    EXPECT_GE(observer.slotOf[1], 1);
    EXPECT_EQ(observer.out[1], "yes|");
    EXPECT_EQ(observer.out[2], "yes|");
    // The local task waits for the local slot, never a remote one.
    EXPECT_EQ(observer.slotOf[3], 0);
    EXPECT_EQ(observer.out[3], "no|");
}

TEST(RemoteSlotsTest, AvoidLocalSendsRemoteCapableTasksToRemoteSlotsOnly) {
    Marking placement;
    placement.avoidLocal = true;
    placement.slots = 1;
    JobSpec job = Job({{"echo ${REMOTE:-no}", true},
                       {"echo ${REMOTE:-no}", true},
                       {"echo ${REMOTE:-no}", false}});
    Slots observer;
    EXPECT_EQ(RunJob(job, WithRemote(placement, 2), observer).exitCode, 0);
    EXPECT_EQ(observer.out[0], "yes|");
    EXPECT_EQ(observer.out[1], "yes|");
    EXPECT_EQ(observer.slotOf[0], 2);
    EXPECT_EQ(observer.slotOf[1], 2);
    EXPECT_EQ(observer.out[2], "no|");
}

TEST(RemoteSlotsTest, AFailedRemoteRunRunsAgainLocallyWhenThePlacementSaysSo) {
    Marking placement;
    placement.avoidLocal = true;
    placement.again = true;
    JobSpec job = Job({{"test -z \"$REMOTE\"; echo $?", true},
                       {"[ -z \"$REMOTE\" ] || exit 5; echo here", true}});
    job.tasks[1].dependencies = {0};
    OrderTasks(job, "test");
    Slots observer;
    RunOutcome outcome = RunJob(job, WithRemote(placement, 1), observer);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.failed, 0);
    EXPECT_EQ(observer.retried, std::vector<int>{1});
    EXPECT_EQ(observer.slotOf[1], 0);
    EXPECT_EQ(observer.out[1], "here|");

    // Without it the remote failure is the task's.
    placement.again = false;
    Slots second;
    outcome = RunJob(job, WithRemote(placement, 1), second);
    EXPECT_EQ(outcome.exitCode, 5);
    EXPECT_TRUE(second.retried.empty());
}

TEST(RemoteSlotsTest, AStepThatCannotBePreparedFailsItsTaskWithTheReason) {
    Marking placement;
    placement.avoidLocal = true;
    JobSpec job = Job({{"echo never", true}});
    job.tasks[0].id = "refused";
    Slots observer;
    RunOutcome outcome = RunJob(job, WithRemote(placement, 1), observer);
    EXPECT_EQ(outcome.exitCode, 127);
    EXPECT_EQ(observer.out[0], "Failed to start task \"refused\": no step for you|");
}

} // namespace
} // namespace qz::tasksmith
