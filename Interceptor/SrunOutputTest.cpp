#include "SrunOutput.h"

#include <gtest/gtest.h>

namespace qz::intercept {
namespace {

TEST(SrunOutputTest, SrunsOwnEndReportIsDroppedAndEverythingElseKept) {
    EXPECT_EQ(FilterStepOutput("srun: error: qzn1: task 0: Exited with exit code 3"), "");
    EXPECT_EQ(FilterStepOutput("warning\r\nsrun: error: n-7: task 0: Killed\r\nlast"),
              "warning\r\nlast");
    EXPECT_EQ(FilterStepOutput("srun: error: n: task 0: Terminated"), "");
    // What only looks alike stays: the task's own lines, srun's other errors.
    for (const char* kept :
         {"srun: error: Unable to create step for job 5: Invalid node name specified",
          "srun: error: qzn1: task 0: Exited with exit code 3 and more",
          "my srun: error: qzn1: task 0: Killed", "", "\r\n", "srun: error: "}) {
        EXPECT_EQ(FilterStepOutput(kept), kept);
    }
}

TEST(SrunOutputTest, EveryReportOfASignalIsSrunsOwn) {
    for (const char* report :
         {"srun: error: qzn1: task 0: Segmentation fault",
          "srun: error: qzn1: task 0: Segmentation fault (core dumped)",
          "srun: error: qzn1: task 0: Aborted", "srun: error: qzn1: task 0: User defined signal 1",
          "srun: error: qzn1: task 0: Real-time signal 3"}) {
        EXPECT_TRUE(IsStepEndReport(report)) << report;
        EXPECT_EQ(FilterStepOutput(std::string("a\n") + report + "\nb", "\n"), "a\nb");
    }
    for (const char* other :
         {"srun: error: qzn1: task 0: Segmentation",
          "srun: error: qzn1: task "
          "0: Real-time signal 31",
          "srun: error: qzn1: task 0: Real-time signal -1",
          "srun: error: qzn1: task 0: Unknown signal 32", "srun: error: qzn1: task x: Killed"}) {
        EXPECT_FALSE(IsStepEndReport(other)) << other;
    }
}

TEST(SrunOutputTest, TheSignalOfTheStepsEndIsReadFromSrunsReportForItsNode) {
    // srun may report the end before the task's last output has reached it.
    EXPECT_EQ(StepEndSignal("srun: error: qzn1: task 0: Segmentation fault\ndying\n", "qzn1"), 11);
    EXPECT_EQ(StepEndSignal("out\nsrun: error: qzn1: task 0: Killed\nsrun: Force Terminated "
                            "StepId=3.0\n",
                            "qzn1"),
              9);
    EXPECT_EQ(StepEndSignal("srun: error: qzn2: task 0: Aborted (core dumped)", "qzn2"), 6);
    EXPECT_EQ(StepEndSignal("srun: error: qzn1: task 0: Real-time signal 30\n", "qzn1"), 64);
    EXPECT_EQ(StepEndSignal("srun: error: qzn1: task 0: Terminated\r\n", "qzn1", "\r\n"), 15);
    // No signal: an exit code, another node's report, a line of the task's that looks alike.
    EXPECT_EQ(StepEndSignal("srun: error: qzn1: task 0: Exited with exit code 139\n", "qzn1"), 0);
    EXPECT_EQ(StepEndSignal("srun: error: qzn1: task 0: Killed\n", "qzn2"), 0);
    EXPECT_EQ(StepEndSignal("my srun: error: qzn1: task 0: Killed\n", "qzn1"), 0);
    EXPECT_EQ(StepEndSignal("", "qzn1"), 0);
    EXPECT_EQ(StepEndSignal("srun: error: qzn1: task 0: \n", "qzn1"), 0);
    EXPECT_EQ(StepEndSignal(std::string("\0\xff\n\n", 4), ""), 0);
}

TEST(SrunOutputTest, RawOutputKeepsItsBytesWithNewlineSeparators) {
    EXPECT_EQ(FilterStepOutput("a.c:1: error: x\nsrun: error: qzn1: task 0: Exited with exit "
                               "code 1\n",
                               "\n"),
              "a.c:1: error: x\n");
    EXPECT_EQ(FilterStepOutput("\n\nx\r\n", "\n"), "\n\nx\r\n");
    EXPECT_EQ(FilterStepOutput("no newline", "\n"), "no newline");
    std::string binary("\0\x01\xff\n\0", 5);
    EXPECT_EQ(FilterStepOutput(binary, "\n"), binary);
}

TEST(SrunOutputTest, SlurmsOwnFailuresAreToldFromTheTasks) {
    EXPECT_TRUE(IsSlurmFailureLine("srun: error: Task launch for StepId=5.3 failed on node qzn1: "
                                   "Communication connection failure"));
    EXPECT_TRUE(IsSlurmFailureLine("srun: error: Unable to create step for job 7: Invalid"));
    EXPECT_TRUE(IsSlurmFailureLine("srun: error: Node failure on qzn2"));
    EXPECT_FALSE(IsSlurmFailureLine("srun: error: qzn1: task 0: Exited with exit code 1"));
    EXPECT_FALSE(IsSlurmFailureLine("my tool: error: Task launch for x"));
    EXPECT_FALSE(IsSlurmFailureLine(""));
    EXPECT_TRUE(HasSlurmFailureLine("warn\nsrun: error: Node failure on qzn2\n"));
    EXPECT_FALSE(HasSlurmFailureLine("warn\n x srun: error: Node failure on qzn2\n"));
    EXPECT_FALSE(HasSlurmFailureLine(""));
}

} // namespace
} // namespace qz::intercept
