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
