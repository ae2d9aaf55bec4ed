#include "CM/CrossRegistry.h"
#include "GridConsoleTesting.h"
#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace qz::nv {
namespace {

namespace fs = std::filesystem;
using testing::TCapturingConsole;
using State = platform::ServiceState;

std::unique_ptr<TPacket> BuildList(const std::vector<std::pair<std::string, std::string>>& builds) {
    auto reply = std::make_unique<TRequestBuildStatusReplayPacket>();
    for (const auto& [id, caption] : builds) {
        auto build = std::make_unique<TBuildStatusPacket>();
        build->SetGuid(TBuildStatusPacket::BuildID, GuidFromText(id));
        build->SetStr(TBuildStatusPacket::Caption, caption);
        reply->List(TRequestBuildStatusReplayPacket::Builds).Add(std::move(build));
    }
    return reply;
}

class ServiceCommands : public testing::ConsoleFixture {
protected:
    // Runs the console with the agent function in place.
    std::unique_ptr<TCapturingConsole>
    RunWith(std::vector<std::string> args,
            std::function<std::unique_ptr<TPacket>(TPacket&)> agent = nullptr,
            const std::function<void(TCapturingConsole&)>& prepare = nullptr) {
        auto console = Make(std::move(args));
        console->agent = std::move(agent);
        if (prepare) {
            prepare(*console);
        }
        console->RunCommand();
        return console;
    }
    // An agent that answers the status request and hands everything else to rest.
    static std::function<std::unique_ptr<TPacket>(TPacket&)>
    Agent(std::function<std::unique_ptr<TPacket>(TPacket&)> rest, bool allowEnableDisable = true) {
        return [rest, allowEnableDisable](TPacket& request) -> std::unique_ptr<TPacket> {
            if (request.ClassName() == "TQueryServiceStatusPacket") {
                return TCapturingConsole::StatusReply(allowEnableDisable);
            }
            return rest(request);
        };
    }
};

// The order, the lines and the exit codes of a stop of all builds are tested black-box; here
// the replies a real service does not give.
TEST_F(ServiceCommands, StopAllAndListWithAWrongReply) {
    auto console = RunWith({"/STOPALL"}, Agent([](TPacket&) { return nullptr; }));
    EXPECT_EQ(console->out, "Fatal Error: Resulting packet = nil!\r\n");
    EXPECT_EQ(ProcessExitCode(), 3);
    console =
        RunWith({"/STOPALL"}, Agent([](TPacket&) { return std::make_unique<TStopJobPacket>(); }));
    EXPECT_EQ(console->out, "Fatal Error: Wrong packet type!\r\n");
    EXPECT_EQ(RunRaises({"/LIST"}), "Invalid class typecast");
}

TEST_F(ServiceCommands, EnableWithoutAStatusReply) {
    // The status reply for the command itself missing or of another class.
    int calls = 0;
    auto console = RunWith({"/ENABLE"}, [&](TPacket&) -> std::unique_ptr<TPacket> {
        return ++calls == 1 ? TCapturingConsole::StatusReply() : nullptr;
    });
    EXPECT_EQ(console->out, "Fatal Error: Disable/Enable Agent: Resulting packet = nil!\r\n");
    calls = 0;
    console = RunWith({"/DISABLE"}, [&](TPacket&) -> std::unique_ptr<TPacket> {
        return ++calls == 1 ? TCapturingConsole::StatusReply() : BuildList({});
    });
    EXPECT_EQ(console->out, "Fatal Error: Disable/Enable Agent: Wrong packet type!\r\n");
    EXPECT_EQ(ProcessExitCode(), 3);
}

TEST_F(ServiceCommands, PostsThatCannotBeSentAreFailures) {
    for (const char* command : {"/ENABLE", "/DISABLE", "/RESET"}) {
        auto console =
            RunWith({command}, nullptr, [](TCapturingConsole& c) { c.postsFail = true; });
        EXPECT_EQ(console->out,
                  "Fatal Error: The request could not be sent to the Agent Service.\r\n")
            << command;
        EXPECT_EQ(ProcessExitCode(), 3) << command;
    }
    auto console = RunWith({"/RESET"});
    EXPECT_EQ(console->out, "Agent file cache contents cleared successfully.\r\n");
    EXPECT_EQ(console->posts, std::vector<std::string>{"TClearFileCachePacket"});
    EXPECT_EQ(ProcessExitCode(), 0);
}

TEST_F(ServiceCommands, StatusReportReadsTheStatusReply) {
    auto reply = [](bool standAlone, bool mismatch) {
        return [=](TPacket&) -> std::unique_ptr<TPacket> {
            auto status = TCapturingConsole::StatusReply();
            status->SetBool(TQueryServiceStatusReplyPacket::StandAlone, standAlone);
            status->SetBool(TQueryServiceStatusReplyPacket::CoordinatorVersionMismatch, mismatch);
            return status;
        };
    };
    auto console = RunWith({"/QUERYAGENTSTATUS"}, reply(false, false));
    EXPECT_EQ(console->out.substr(0, console->out.find("MGL")),
              "Agent Services Status: OK\r\nConnectivity to Coordinator: OK\r\n");
    console = RunWith({"/QUERYAGENTSTATUS"}, reply(false, true));
    EXPECT_NE(console->out.find("Connectivity to Coordinator: Updating Version\r\n"),
              std::string::npos);
    console = RunWith({"/QUERYAGENTSTATUS"}, reply(true, true));
    EXPECT_NE(console->out.find("Connectivity to Coordinator: not connected\r\n"),
              std::string::npos);
}

// The clean as the console runs it, on a cache laid out in the test's folder.
class ClearBuildCacheCommand : public ServiceCommands {
protected:
    void SetUp() override {
        ServiceCommands::SetUp();
        SetProductRegistryName("Orvane");
        fs::create_directories(dir_ / "agent/resources");
        fs::create_directories(dir_ / "registry");
        test::WriteFile(dir_ / "registry/HKLM.reg",
                        "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" + (dir_ / "agent") +
                            "\"\n");
        test::WriteFile(dir_ / "agent/resources/buildcache_service_config.json",
                        R"({"fileSystem":{"cacheDirectoryLocation":")" + (dir_ / "cache") +
                            R"("}})");
        fs::create_directories(dir_ / "cache/FileCache/x");
        test::WriteFile(dir_ / "cache/FileCache/x/entry", "1");
    }
    bool CacheIntact() const { return fs::exists(dir_ / "cache/FileCache/x/entry"); }
    std::unique_ptr<TCapturingConsole> Clean(State state, bool obeys = true,
                                             bool postsFail = false) {
        return RunWith({"/CLEARBUILDCACHE"}, nullptr, [&](TCapturingConsole& c) {
            c.cacheState = state;
            c.cacheServiceObeys = obeys;
            c.postsFail = postsFail;
            c.SetCacheServiceStopTimeoutMs(300);
        });
    }

    test::ScopedEnv root_{"TamrelRegistryRoot", dir_ / "registry"};
    test::ScopedEnv programData_{"PROGRAMDATA", dir_.path()};
};

TEST_F(ClearBuildCacheCommand, RunningServiceIsStoppedAndStartedAgain) {
    auto console = Clean(State::Running);
    EXPECT_EQ(console->out, "Build cache cleaned.\r\n");
    EXPECT_EQ(console->posts,
              (std::vector<std::string>{"TStopBCServicePacket", "TStartBCServicePacket"}));
    EXPECT_FALSE(CacheIntact());
    EXPECT_EQ(ProcessExitCode(), 0);
}

TEST_F(ClearBuildCacheCommand, StoppedServiceIsNotStarted) {
    for (State state : {State::Stopped, State::NotInstalled}) {
        auto console = Clean(state);
        EXPECT_EQ(console->out, "Build cache cleaned.\r\n");
        EXPECT_EQ(console->posts, std::vector<std::string>{"TStopBCServicePacket"});
        EXPECT_FALSE(CacheIntact());
    }
}

TEST_F(ClearBuildCacheCommand, AServiceThatDoesNotStopKeepsItsCache) {
    auto console = Clean(State::Running, false);
    EXPECT_EQ(console->out, "Fatal Error: Build cache clean failed.\r\n");
    EXPECT_TRUE(CacheIntact());
    // It was running, so it is asked to run on.
    EXPECT_EQ(console->posts,
              (std::vector<std::string>{"TStopBCServicePacket", "TStartBCServicePacket"}));
    EXPECT_EQ(ProcessExitCode(), 3);

    console = Clean(State::StopPending, false);
    EXPECT_TRUE(CacheIntact());
    EXPECT_EQ(console->posts, std::vector<std::string>{"TStopBCServicePacket"});

    // A stop request that could not be sent cannot stop it either.
    console = Clean(State::Running, true, true);
    EXPECT_EQ(console->out, "Fatal Error: Build cache clean failed.\r\n");
    EXPECT_TRUE(CacheIntact());
}

TEST_F(ClearBuildCacheCommand, WithoutRightsTheServiceIsLeftAlone) {
    // A store that cannot be written, whoever runs the test: its folder is a file.
    test::WriteFile(dir_ / "not-a-folder", "");
    test::ScopedEnv root("TamrelRegistryRoot", dir_ / "not-a-folder/registry");
    auto console = Clean(State::Running);
    EXPECT_EQ(console->out, "Please note that user has no administrative rights so cannot clear "
                            "cache.\r\nFatal Error: Build cache clean failed.\r\n");
    EXPECT_TRUE(console->posts.empty());
    EXPECT_EQ(console->cacheState, State::Running);
    EXPECT_TRUE(CacheIntact());
    EXPECT_EQ(ProcessExitCode(), 3);
}

TEST_F(ClearBuildCacheCommand, ACleanErrorStillRestartsTheService) {
    fs::remove(dir_ / "agent/resources/buildcache_service_config.json");
    auto console = Clean(State::Running);
    EXPECT_EQ(console->out, "Error: Cannot open file " +
                                (dir_ / "agent/resources/buildcache_service_config.json") +
                                "\r\nFatal Error: Build cache clean failed.\r\n");
    EXPECT_EQ(console->posts.back(), "TStartBCServicePacket");
    EXPECT_EQ(console->cacheState, State::Running);
}

// The cache service of the machine's own supervision: a real process that holds its pid file
// and is stopped by a signal and started by its registered command.
class SupervisedCacheService : public ClearBuildCacheCommand {
protected:
    void Register(const std::string& startCommand) {
        auto status = platform::RegistryStore::Update(
            platform::RegistryRoot::LocalMachine, [&](platform::RegistryDocument& document) {
                std::string key = platform::SupervisedServiceKey(kBuildCacheServiceName);
                document.SetValue(key, {"PidFile", platform::RegistryValueType::String, pidFile_});
                document.SetValue(key,
                                  {"Start", platform::RegistryValueType::String, startCommand});
                return platform::Result<>{};
            });
        ASSERT_TRUE(status) << status.error().Text();
    }
    std::string StartCommand(const std::string& options) const {
        return std::string("'") + QZ_FAKE_SERVICE_PATH + "' '" + pidFile_ + "'" + options;
    }
    State WaitFor(State wanted) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        State state = platform::QueryServiceState(kBuildCacheServiceName);
        while (state != wanted && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            state = platform::QueryServiceState(kBuildCacheServiceName);
        }
        return state;
    }
    void TearDown() override {
        // Whatever the test left running goes, by the pid its file names.
        if (platform::QueryServiceState(kBuildCacheServiceName) != State::Stopped) {
            int pid = std::atoi(test::ReadFile(pidFile_).value_or("0").c_str());
            if (pid > 0) {
                kill(pid, SIGKILL);
            }
            WaitFor(State::Stopped);
        }
        ClearBuildCacheCommand::TearDown();
    }
    std::unique_ptr<TCapturingConsole> CleanWithTheRealService() {
        return RunWith({"/CLEARBUILDCACHE"}, nullptr, [](TCapturingConsole& c) {
            c.realCacheService = true;
            c.SetCacheServiceStopTimeoutMs(500);
        });
    }

    std::string pidFile_ = dir_ / "buildcache.pid";
    test::ScopedEnv bus_{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus")};
};

TEST_F(SupervisedCacheService, AServiceThatIgnoresTheStopKeepsItsFiles) {
    Register(StartCommand(" --ignore-term"));
    ASSERT_TRUE(platform::StartService(kBuildCacheServiceName).has_value());
    ASSERT_EQ(WaitFor(State::Running), State::Running);
    auto console = CleanWithTheRealService();
    EXPECT_EQ(console->out, "Fatal Error: Build cache clean failed.\r\n");
    EXPECT_TRUE(CacheIntact());
    EXPECT_EQ(platform::QueryServiceState(kBuildCacheServiceName), State::Running);
}

} // namespace
} // namespace qz::nv
