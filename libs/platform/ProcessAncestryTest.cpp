#include "platform/ProcessAncestry.h"

#include "TestSupport.h"
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace qz::platform {
namespace {

TEST(ProcessAncestry, ParentsAndNamesOfLiveProcesses) {
    EXPECT_EQ(ParentProcessId(0), static_cast<int>(getppid()));
    EXPECT_EQ(ParentProcessId(static_cast<int>(getpid())), static_cast<int>(getppid()));
    EXPECT_EQ(ProcessShortName(0), ProcessShortName(static_cast<int>(getpid())));
    EXPECT_FALSE(ProcessShortName(0).empty());
    // A child whose program has blanks and parentheses in its name, longer than the 15 bytes
    // the system keeps.
    test::TempDir dir;
    const std::string odd = dir / "a (b) c) d-long-name";
    ASSERT_EQ(symlink("/bin/sleep", odd.c_str()), 0);
    ChildStartOptions options;
    options.arguments = {odd, "30"};
    ChildProcess child;
    ASSERT_TRUE(child.Start(options));
    EXPECT_EQ(ParentProcessId(child.Pid()), static_cast<int>(getpid()));
    EXPECT_EQ(ProcessShortName(child.Pid()), "a (b) c) d-long");
    kill(child.Pid(), SIGKILL);
    ASSERT_TRUE(child.Wait(10000));
}

TEST(ProcessAncestry, GoneOrImpossibleProcessesHaveNothing) {
    ChildStartOptions options;
    options.arguments = {"/bin/true"};
    ChildProcess child;
    ASSERT_TRUE(child.Start(options));
    ASSERT_TRUE(child.Wait(10000));
    const int gone = child.Pid();
    EXPECT_EQ(ParentProcessId(gone), 0);
    EXPECT_EQ(ProcessShortName(gone), "");
    EXPECT_EQ(ParentProcessId(-5), 0);
    EXPECT_EQ(ProcessShortName(-5), "");
    EXPECT_EQ(ParentProcessId(0x7ffffff0), 0);
}

} // namespace
} // namespace qz::platform
