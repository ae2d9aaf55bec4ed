#include "AgentInstance.h"

#include "TestSupport.h"
#include "platform/NamedObjects.h"
#include "platform/ServiceProcess.h"

#include <gtest/gtest.h>

namespace qz::nv {
namespace {

TEST(AgentInstance, TheAnswersLineListsTheUids) {
    EXPECT_EQ(AgentAnswersLine({0, 1000, 65534}), "answers 0,1000,65534\n");
    EXPECT_EQ(AgentAnswersLine({}), "answers \n");
}

TEST(AgentInstance, AListedUserIsAnsweredAnotherIsNot) {
    const std::string text = "4242\nready\n" + AgentAnswersLine({0, 1000});
    EXPECT_TRUE(AgentAnswersUser(text, 0));
    EXPECT_TRUE(AgentAnswersUser(text, 1000));
    EXPECT_FALSE(AgentAnswersUser(text, 65534));
    EXPECT_FALSE(AgentAnswersUser(text, 100)); // a prefix of a listed uid is not that uid
}

TEST(AgentInstance, NoGroundsToRefuseMeansAsking) {
    // An agent that writes no such line, a starting one, an empty or damaged list, a line cut
    // short by the reader's limit: the console asks as before.
    for (const char* text : {"", "4242\nready\n", "4242\nstarting\n", "4242\nready\nanswers \n",
                             "4242\nready\nanswers 0,x\n", "4242\nready\nanswers 0,,1\n",
                             "4242\nready\nanswers -1\n", "4242\nready\nanswers 0,10"}) {
        EXPECT_TRUE(AgentAnswersUser(text, 1000)) << text;
    }
    // Hostile bytes do not crash and refuse nobody they should not.
    std::string hostile("answers 0\0,1000\n", 16);
    EXPECT_TRUE(AgentAnswersUser(hostile, 1000));
    EXPECT_TRUE(AgentAnswersUser("answers 99999999999,0\n", 5)); // overflow is damage
    EXPECT_FALSE(AgentAnswersUser("answers 0\n", 5));
}

TEST(AgentInstance, TheConsoleReadsTheRunningAgentsLockFile) {
    test::TempDir dir;
    platform::SetObjectDirectory(dir.path());
    platform::SetObjectPrefix(test::UniqueName("ai"));
    const std::uint32_t self = platform::EffectiveUserId();
    // No agent runs: nothing to refuse.
    EXPECT_EQ(AgentRefusalMessage(), "");
    {
        platform::InstanceLock lock;
        ASSERT_EQ(test::FailureCode(lock.Acquire(AgentInstanceLockPath())), 0);
        ASSERT_EQ(test::FailureCode(lock.WriteState("1\nready\n" + AgentAnswersLine({self}))), 0);
        EXPECT_EQ(AgentRefusalMessage(), "");
        ASSERT_EQ(test::FailureCode(lock.WriteState("1\nready\n" + AgentAnswersLine({self + 1}))),
                  0);
        std::string message = AgentRefusalMessage();
        EXPECT_NE(message.find("does not answer the requests of this user (user id " +
                               std::to_string(self) + ")"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find("TamrelObjectOwners"), std::string::npos);
    }
    // The holder has ended: its leftover file refuses nobody.
    EXPECT_EQ(AgentRefusalMessage(), "");
    platform::SetObjectDirectory("");
    platform::SetObjectPrefix("");
}

} // namespace
} // namespace qz::nv
