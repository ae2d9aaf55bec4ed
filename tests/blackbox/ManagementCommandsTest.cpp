// The console's management commands run as a user would, against a service on "Build Service":
// a stand-in built on the comm layer in a forked process of the test, which answers like the
// agent service and stops and starts the build cache service through the machine's own service
// supervision, as the agent service does.

#include "CM/CommTesting.h"
#include "CM/LocalComm.h"
#include "CM/ProductInfo.h"
#include "CM/ServicePackets.h"
#include "TestSupport.h"
#include "platform/RegistryStore.h"
#include "platform/ServiceControl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace qz {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using ::testing::EndsWith;

constexpr const char* kCacheService = "Orvane BuildCache";
const char* const kBuild1 = "{11111111-1111-1111-1111-111111111111}";
const char* const kBuild2 = "{22222222-2222-2222-2222-222222222222}";
const char* const kBuild3 = "{33333333-3333-3333-3333-333333333333}";

struct Agent {
    bool allowEnableDisable = true;
    std::vector<std::pair<std::string, std::string>> builds; ///< id, caption
    std::vector<std::string> refusedStops;                   ///< ids whose stop fails
};

class ManagementCommandsTest : public commtest::CommTest {
protected:
    void SetUp() override {
        CommTest::SetUp();
        RegisterAllPacketClasses();
        service_ = std::make_unique<commtest::StandInAgent>();
        fs::create_directories(dir_ / "agent/resources");
        test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                                               (dir_ / "agent") + "\"\n");
        test::WriteFile(dir_ / "agent/resources/buildcache_service_config.json",
                        R"({"fileSystem":{"cacheDirectoryLocation":")" + (dir_ / "cache") +
                            R"("}})");
        fs::create_directories(dir_ / "cache/FileCache/ab");
        test::WriteFile(dir_ / "cache/FileCache/ab/entry", "1");
    }
    void TearDown() override {
        service_.reset();
        if (platform::QueryServiceState(kCacheService) != platform::ServiceState::Stopped) {
            int pid = std::atoi(test::ReadFile(pidFile_).value_or("0").c_str());
            if (pid > 0) {
                kill(pid, SIGKILL);
            }
        }
        CommTest::TearDown();
    }

    void StartAgent(const Agent& agent) {
        std::string posts = dir_ / "posts.txt";
        ASSERT_TRUE(service_->Start(
            [&agent, posts](TLocalCommServer& server) {
                auto record = [posts](const std::string& name) {
                    std::ofstream(posts, std::ios::app) << name << "\n";
                };
                server.MethodMap().Add(
                    TQueryServiceStatusPacket::StaticClass(), [&](TCommExecuteContext& context) {
                        TQueryServiceStatusReplyPacket reply;
                        reply.Nested(TQueryServiceStatusReplyPacket::StaticPacket)
                            .SetBool(TStaticPacket::AllowEnableDisable, agent.allowEnableDisable);
                        context.SendReply(reply);
                    });
                server.MethodMap().Add(
                    TRequestBuildStatusPacket::StaticClass(), [&](TCommExecuteContext& context) {
                        TRequestBuildStatusReplayPacket reply;
                        for (const auto& [id, caption] : agent.builds) {
                            auto build = std::make_unique<TBuildStatusPacket>();
                            build->SetGuid(TBuildStatusPacket::BuildID, GuidFromText(id));
                            build->SetStr(TBuildStatusPacket::Caption, caption);
                            reply.List(TRequestBuildStatusReplayPacket::Builds)
                                .Add(std::move(build));
                        }
                        context.SendReply(reply);
                    });
                server.MethodMap().Add(
                    TStopJobPacket::StaticClass(), [&](TCommExecuteContext& context) {
                        std::string id = GuidToText(context.Request().Guid(TStopJobPacket::JobID));
                        bool known = std::any_of(agent.builds.begin(), agent.builds.end(),
                                                 [&](const auto& b) { return b.first == id; });
                        bool refused =
                            std::find(agent.refusedStops.begin(), agent.refusedStops.end(), id) !=
                            agent.refusedStops.end();
                        bool theOnlyOne = IsNullGuid(GuidFromText(id)) && agent.builds.size() == 1;
                        if ((known && !refused) || theOnlyOne) {
                            context.SendReply(TStopJobPacket(context.Request().Guid(0)));
                        } else {
                            context.SendReply(TRequestBuildStatusReplayPacket());
                        }
                    });
                for (const TPacketClass* cls :
                     {&TEnableAgentPacket::StaticClass(), &TClearFileCachePacket::StaticClass()}) {
                    server.MethodMap().Add(*cls, [record](TCommExecuteContext& context) {
                        std::string name = context.Request().ClassName();
                        if (name == "TEnableAgentPacket") {
                            name +=
                                context.Request().Bool(TEnableAgentPacket::Enable) ? " on" : " off";
                        }
                        record(name);
                    });
                }
                server.MethodMap().Add(TStopBCServicePacket::StaticClass(),
                                       [record](TCommExecuteContext&) {
                                           record("TStopBCServicePacket");
                                           platform::StopService(kCacheService);
                                       });
                server.MethodMap().Add(TStartBCServicePacket::StaticClass(),
                                       [record](TCommExecuteContext&) {
                                           record("TStartBCServicePacket");
                                           platform::StartService(kCacheService);
                                       });
            },
            milliseconds(60000)));
    }

    test::RunResult RunConsole(std::vector<std::string> args) {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        args.push_back("/NOLOGO");
        test::RunOptions options = ProgramOptions();
        options.timeout = milliseconds(60000);
        test::RunResult result = test::RunProgram(args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }
    std::string Posts() const { return test::ReadFile(dir_ / "posts.txt").value_or(""); }

    // The build cache service under the machine's own supervision.
    void RegisterCacheService() {
        auto status = platform::RegistryStore::Update(
            platform::RegistryRoot::LocalMachine, [&](platform::RegistryDocument& document) {
                std::string key = platform::SupervisedServiceKey(kCacheService);
                document.SetValue(key, {"PidFile", platform::RegistryValueType::String, pidFile_});
                document.SetValue(
                    key, {"Start", platform::RegistryValueType::String,
                          std::string("'") + QZ_FAKE_SERVICE_PATH + "' '" + pidFile_ + "'"});
                return platform::Result<>{};
            });
        ASSERT_TRUE(status) << status.error().Text();
    }
    platform::ServiceState WaitForCacheService(platform::ServiceState wanted) {
        commtest::WaitUntil([&] { return platform::QueryServiceState(kCacheService) == wanted; },
                            milliseconds(10000));
        return platform::QueryServiceState(kCacheService);
    }

    std::unique_ptr<commtest::StandInAgent> service_;
    std::string pidFile_ = dir_ / "buildcache.pid";
    // The console and the stand-in (forked later) share the test's settings store, data folder
    // and the absence of a system bus.
    test::ScopedEnv registry_{"TamrelRegistryRoot", dir_.path()};
    test::ScopedEnv programData_{"PROGRAMDATA", dir_.path()};
    test::ScopedEnv bus_{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus")};
};

TEST_F(ManagementCommandsTest, StopWithTwoBuildsRunningIsRefused) {
    StartAgent({true, {{kBuild1, "one"}, {kBuild2, "two"}}, {}});
    test::RunResult r = RunConsole({"/STOP", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.out, "Invalid build ID or multiple builds running.\r\n");
    EXPECT_EQ(r.exitCode, 103);

    r = RunConsole({std::string("/STOP=") + kBuild2});
    EXPECT_EQ(r.out, "Build Stop request sent successfully.\r\n");
    EXPECT_EQ(r.exitCode, 2);

    r = RunConsole({"/STOP=build-7", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.out, "Fatal Error: Invalid build ID \"build-7\"\n");
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(ManagementCommandsTest, StopAllWithThreeBuildsAndWithNone) {
    StartAgent({true, {{kBuild1, "a"}, {kBuild2, "b"}, {kBuild3, "c"}}, {kBuild3}});
    test::RunResult r = RunConsole({"/STOPALL"});
    EXPECT_EQ(r.out, "Build Stop request sent successfully.\r\n"
                     "Build Stop request sent successfully.\r\n"
                     "Invalid build ID or multiple builds running.\r\n");
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(ManagementCommandsTest, StopAllWithNoBuild) {
    StartAgent({});
    test::RunResult r = RunConsole({"/STOPALL", "/EXITCODEBASE=100"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(ManagementCommandsTest, ListInTheServicesOrder) {
    StartAgent({true, {{kBuild3, "third (x)"}, {kBuild1, "first"}}, {}});
    test::RunResult r = RunConsole({"/LIST"});
    EXPECT_EQ(r.out,
              std::string("1: ") + kBuild3 + " (third (x))\r\n2: " + kBuild1 + " (first)\r\n");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(ManagementCommandsTest, EnableAndDisableFollowTheAgentsSetting) {
    StartAgent({false, {}, {}});
    test::RunResult r = RunConsole({"/ENABLE"});
    EXPECT_EQ(r.out, "Error: not allowed to enable agent.\r\n");
    EXPECT_EQ(r.exitCode, 3);
    r = RunConsole({"/DISABLE"});
    EXPECT_EQ(r.out, "Error: not allowed to disable agent.\r\n");
    EXPECT_EQ(Posts(), "");
}

TEST_F(ManagementCommandsTest, EnableDisableAndResetReachTheAgent) {
    StartAgent({});
    EXPECT_EQ(RunConsole({"/DISABLE"}).out, "Agent disabled.\r\n");
    EXPECT_EQ(RunConsole({"/ENABLE", "/DISABLE"}).out, "Agent enabled.\r\n");
    test::RunResult r = RunConsole({"/RESET"});
    EXPECT_EQ(r.out, "Agent file cache contents cleared successfully.\r\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(commtest::WaitUntil(
        [&] {
            return Posts() == "TEnableAgentPacket off\nTEnableAgentPacket on\n"
                              "TClearFileCachePacket\n";
        },
        milliseconds(5000)))
        << Posts();
}

TEST_F(ManagementCommandsTest, ClearBuildCacheRestartsARunningCacheService) {
    RegisterCacheService();
    ASSERT_TRUE(platform::StartService(kCacheService).has_value());
    ASSERT_EQ(WaitForCacheService(platform::ServiceState::Running),
              platform::ServiceState::Running);
    std::string before = test::ReadFile(pidFile_).value_or("");
    StartAgent({});
    test::RunResult r = RunConsole({"/CLEARBUILDCACHE"});
    EXPECT_EQ(r.out, "Build cache cleaned.\r\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(fs::exists(dir_ / "cache/FileCache"));
    EXPECT_EQ(WaitForCacheService(platform::ServiceState::Running),
              platform::ServiceState::Running);
    EXPECT_NE(test::ReadFile(pidFile_).value_or(""), before);
}

TEST_F(ManagementCommandsTest, ClearBuildCacheLeavesAStoppedCacheServiceStopped) {
    RegisterCacheService();
    StartAgent({});
    test::RunResult r = RunConsole({"/CLEARBUILDCACHE"});
    EXPECT_EQ(r.out, "Build cache cleaned.\r\n");
    EXPECT_FALSE(fs::exists(dir_ / "cache/FileCache"));
    EXPECT_TRUE(commtest::WaitUntil([&] { return Posts() == "TStopBCServicePacket\n"; },
                                    milliseconds(5000)))
        << Posts();
    EXPECT_EQ(platform::QueryServiceState(kCacheService), platform::ServiceState::Stopped);
}

} // namespace
} // namespace qz
