// The console program running builds: a stand-in agent on "Build Service" in a forked process
// grants or refuses build slots, and a stand-in Tasksmith (FakeTasksmith) follows the hand-over.
// What a user sees: output on its streams, exit codes with the base, refusals under /NOWAIT and
// the failures to start Tasksmith.

#include "CM/CommTesting.h"
#include "CM/LocalComm.h"
#include "CM/ProductInfo.h"
#include "CM/ServicePackets.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace qz {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using ::testing::EndsWith;
using ::testing::HasSubstr;

class BuildRunTest : public commtest::CommTest {
protected:
    void SetUp() override {
        CommTest::SetUp();
        RegisterAllPacketClasses();
        agent_ = dir_ / "agent";
        fs::create_directories(agent_);
        fs::create_symlink(QZ_FAKE_TASKSMITH_PATH, agent_ + "/Tasksmith");
        test::WriteFile(dir_ / "HKLM.reg", "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n"
                                           "\"Folder\"=\"" +
                                               agent_ + "\"\n");
        service_ = std::make_unique<commtest::StandInAgent>();
    }
    void TearDown() override {
        service_.reset();
        CommTest::TearDown();
    }

    // Serves "Build Service": every start-job request gets result (a grant carries a new id).
    void StartAgent(int result) {
        ASSERT_TRUE(service_->Start([result](TLocalCommServer& server) {
            server.MethodMap().Add(TQueryServiceStatusPacket::StaticClass(),
                                   [](TCommExecuteContext& context) {
                                       context.SendReply(TQueryServiceStatusReplyPacket());
                                   });
            server.MethodMap().Add(
                TStartJobRequestPacket::StaticClass(), [result](TCommExecuteContext& context) {
                    TStartJobRequestReplyPacket reply;
                    reply.SetInt(TStartJobRequestReplyPacket::Result, result);
                    if (result == 0) {
                        reply.SetGuid(TStartJobRequestReplyPacket::JobID, NewGuid());
                    }
                    context.SendReply(reply);
                });
        }));
    }

    test::RunResult RunConsole(const std::string& script, std::vector<std::string> args,
                               milliseconds timeout = milliseconds(30000)) {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        args.push_back("/NOLOGO");
        test::RunOptions options = ProgramOptions();
        options.env.emplace("QZ_FAKE_TASKSMITH", script);
        options.timeout = timeout;
        test::RunResult result = test::RunProgram(args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::string agent_;
    std::unique_ptr<commtest::StandInAgent> service_;
};

TEST_F(BuildRunTest, OutputStaysOnItsStreamsAndExitCodesPassThroughWithTheBase) {
    StartAgent(0);
    test::RunResult r = RunConsole("lines=2 code=2", {"/COMMAND=make", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.exitCode, 102);
    EXPECT_EQ(r.out, "line 1\r\nline 2\r\n");
    EXPECT_EQ(r.err, "err 1\r\nerr 2\r\n");

    r = RunConsole("lines=1 code=0", {"/COMMAND=make", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.exitCode, 0);
    // 156 + 100 = 256 would reach the shell as 0.
    r = RunConsole("lines=1 code=156", {"/COMMAND=make", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.exitCode, 255);
}

TEST_F(BuildRunTest, ManyLinesArriveCompleteAndInOrderOnBothStreams) {
    StartAgent(0);
    test::RunResult r = RunConsole("lines=20000", {"/COMMAND=make"});
    EXPECT_EQ(r.exitCode, 0);
    std::string out, err;
    for (int k = 1; k <= 20000; ++k) {
        out += "line " + std::to_string(k) + "\r\n";
        err += "err " + std::to_string(k) + "\r\n";
    }
    EXPECT_TRUE(r.out == out) << r.out.size() << " bytes instead of " << out.size();
    EXPECT_TRUE(r.err == err) << r.err.size() << " bytes instead of " << err.size();
}

TEST_F(BuildRunTest, OutAndLogFilesGetBothStreams) {
    StartAgent(0);
    test::RunResult r =
        RunConsole("lines=2", {"/COMMAND=make", "/OUT=out.txt", "/LOG=build.log", "/TITLE=T"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::ReadFile(dir_ / "out.txt"), "T\r\n\r\nline 1\r\nerr 1\r\nline 2\r\nerr 2\r\n");
    EXPECT_THAT(test::ReadFile(dir_ / "build.log").value_or(""),
                EndsWith("line 1\r\nerr 1\r\nline 2\r\nerr 2\r\n"));
}

TEST_F(BuildRunTest, RefusalsUnderNoWaitEndWithTheirCodes) {
    StartAgent(1);
    test::RunResult r = RunConsole("", {"/COMMAND=make", "/NOWAIT", "/EXITCODEBASE=10"});
    EXPECT_EQ(r.exitCode, 14);
    EXPECT_EQ(r.out, "Maximum number of concurrent builds reached.\r\n");
}

TEST_F(BuildRunTest, UnknownRefusalUnderNoWaitNamesTheResultAndFails) {
    StartAgent(7);
    test::RunResult r = RunConsole("", {"/COMMAND=make", "/NOWAIT", "/EXITCODEBASE=10"});
    EXPECT_EQ(r.exitCode, 13);
    EXPECT_EQ(r.out, "The agent service refused the build slot (result 7).\r\n");
}

TEST_F(BuildRunTest, TasksmithFailingToInitialiseEndsTheRunWithItsOutput) {
    StartAgent(0);
    test::RunResult r = RunConsole("exit=1", {"/COMMAND=make", "/EXITCODEBASE=10"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "Fatal Error: Failed to start build.\r\nTasksmith process failed to "
                     "initialize (exit code 1).\r\n\r\nfake out\r\nfake err\n");
}

TEST_F(BuildRunTest, RestartCodeStartsTasksmithThirtyOneTimes) {
    StartAgent(0);
    std::string count = dir_ / "starts";
    test::RunResult r =
        RunConsole("exit=217 count=" + count, {"/COMMAND=make"}, milliseconds(100000));
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, EndsWith("Fatal Error: Failed to start build.\r\nTasksmith process "
                                "restart tries limit reached\n"));
    EXPECT_THAT(r.out, HasSubstr("Tasksmith failed to start with error code 217!\r\nStdOut: fake "
                                 "out\r\nStdErr: fake err\n"));
    std::ifstream starts(count);
    int lines = 0;
    for (std::string line; std::getline(starts, line);) {
        ++lines;
    }
    EXPECT_EQ(lines, 31);
}

} // namespace
} // namespace qz
