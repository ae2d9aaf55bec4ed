// The console against a service on "Build Service": the status report, a service that cannot
// answer, and a service that dies while the console waits. The service is a small stand-in built
// on the comm layer, run in a forked process of the test.

#include "CM/CommTesting.h"
#include "CM/LocalComm.h"
#include "CM/ProductInfo.h"
#include "CM/ServicePackets.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace qz {
namespace {

using std::chrono::milliseconds;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

struct ServiceOptions {
    bool answersStatus = true;
    bool standAlone = true;
    bool versionMismatch = false;
};

class ServiceConsoleTest : public commtest::CommTest {
protected:
    void TearDown() override {
        service_.reset();
        connected_.reset();
        CommTest::TearDown();
    }
    void SetUp() override {
        CommTest::SetUp();
        RegisterAllPacketClasses();
        // Made after the fixture chose the object folder and prefix.
        service_ = std::make_unique<commtest::StandInAgent>();
        connected_ =
            std::make_unique<TWinEvent>(NullDaclSecurityAttributes(), connectedName_, true, false);
    }

    // Serves "Build Service" under the GUID the console reads from its product information
    // until the stop event is set; it refuses every build slot, so a build keeps waiting.
    void StartService(const ServiceOptions& options) {
        std::string connectedName = connectedName_;
        EXPECT_TRUE(service_->Start(
            [options, connectedName](TLocalCommServer& server) {
                if (options.answersStatus) {
                    server.MethodMap().Add(TQueryServiceStatusPacket::StaticClass(),
                                           [options](TCommExecuteContext& context) {
                                               using Reply = TQueryServiceStatusReplyPacket;
                                               Reply reply;
                                               reply.SetBool(Reply::StandAlone, options.standAlone);
                                               reply.SetBool(Reply::CoordinatorVersionMismatch,
                                                             options.versionMismatch);
                                               context.SendReply(reply);
                                           });
                }
                server.MethodMap().Add(TStartJobRequestPacket::StaticClass(),
                                       [](TCommExecuteContext& context) {
                                           TStartJobRequestReplyPacket reply;
                                           reply.SetInt(TStartJobRequestReplyPacket::Result, 1);
                                           context.SendReply(reply);
                                       });
                server.SetOnClientConnect([connectedName](TLocalCommConnection&) {
                    TWinEvent(connectedName, false).SetEvent();
                });
            },
            milliseconds(60000)));
    }

    test::RunResult RunConsole(std::vector<std::string> args) {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        args.push_back("/NOLOGO");
        test::RunOptions options = ProgramOptions();
        options.timeout = milliseconds(30000);
        test::RunResult result = test::RunProgram(args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    void StopService() { EXPECT_EQ(service_->Stop(), 0); }

    std::string connectedName_ = "Global\\" + test::UniqueName("connected");
    std::unique_ptr<commtest::StandInAgent> service_;
    std::unique_ptr<TWinEvent> connected_;
};

TEST_F(ServiceConsoleTest, StatusReportWithARunningService) {
    StartService({});
    test::RunResult r = RunConsole({"/QUERYAGENTSTATUS"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Agent Services Status: OK\r\n"
                                 "Connectivity to Coordinator: not connected\r\n"));
    StopService();
}

TEST_F(ServiceConsoleTest, StatusReportReadsTheCoordinatorFields) {
    StartService({true, false, true});
    test::RunResult r = RunConsole({"/QUERYAGENTSTATUS"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Agent Services Status: OK\r\n"
                                 "Connectivity to Coordinator: Updating Version\r\n"));
    StopService();
}

TEST_F(ServiceConsoleTest, ServiceThatCannotAnswerTheStatusCountsAsNotRunning) {
    StartService({false});
    test::RunResult r = RunConsole({"/COMMAND=true", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.exitCode, 103);
    EXPECT_THAT(r.out, EndsWith("Processing is unable to continue due to the Agent Service is not "
                                "running.\r\n"));
    StopService();
}

TEST_F(ServiceConsoleTest, KilledServiceEndsAWaitingConsoleWithExitCodeThree) {
    StartService({});
    test::RunResult result;
    std::thread console([&] { result = RunConsole({"/COMMAND=true", "/EXITCODEBASE=100"}); });
    bool connected = connected_->WaitFor(20000);
    // Give the console time to settle into its wait after the status query.
    std::this_thread::sleep_for(milliseconds(300));
    service_->Kill();
    Clock::time_point killedAt = Clock::now();
    console.join();
    ASSERT_TRUE(connected);
    EXPECT_LT(Clock::now() - killedAt, milliseconds(5000));
    EXPECT_EQ(result.exitCode, 103) << result.out;
    EXPECT_THAT(result.out, EndsWith("\r\nConnection to build service terminated\r\n"));
}

} // namespace
} // namespace qz
