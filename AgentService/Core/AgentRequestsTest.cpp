#include "AgentRequests.h"

#include "CM/CrossRegistry.h"
#include "CM/Exceptions.h"
#include "CM/ServicePackets.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace qz::agent {
namespace {

namespace fs = std::filesystem;

class Console : public TConsoleLink {
public:
    TConsoleState State() override { return TConsoleState::Connected; }
};

class AgentRequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterAllPacketClasses();
        SetProductRegistryName("Orvane");
        platform::SetObjectDirectory(dir_.path());
        platform::SetObjectPrefix(test::UniqueName("req"));
        requests_.onlineProcessors = [] { return 4; };
    }
    void TearDown() override {
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }

    /// The machine key's "Builder" section with these value lines.
    void Settings(const std::string& lines) {
        test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                                               dir_.path() + "/agent\"\n" + lines);
    }

    std::unique_ptr<TPacket> Ask(TPacket&& request) {
        return requests_.Handle(request, TRequestOrigin{-2, std::make_shared<Console>()});
    }

    int StartJob(TGuid* id = nullptr) {
        auto reply = Ask(TStartJobRequestPacket(
            kConsoleComponentVersion, kConsoleComponentVersionText, -1, "Orvane Console"));
        auto& typed = TPacket::CastPacket<TStartJobRequestReplyPacket>(*reply);
        if (id) {
            *id = typed.Guid(TStartJobRequestReplyPacket::JobID);
        }
        return static_cast<int>(typed.Int(TStartJobRequestReplyPacket::Result));
    }

    std::string MessageOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const Exception& e) {
            return e.Message();
        }
        return "(no exception)";
    }

    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
    TBuildSlotTable slots_{[](const std::string&) { return TWinMutex::TState::NotFound; }};
    TAgentRequests requests_{slots_};
};

TEST_F(AgentRequestsTest, StatusReplyWithoutAnySettings) {
    auto reply = Ask(TQueryServiceStatusPacket());
    auto& status = TPacket::CastPacket<TQueryServiceStatusReplyPacket>(*reply);
    using S = TQueryServiceStatusReplyPacket;
    EXPECT_TRUE(status.Bool(S::StandAlone));
    EXPECT_FALSE(status.Bool(S::CoordinatorVersionMismatch));
    EXPECT_EQ(status.Int(S::CpuCount), 4);
    const TPacket& info = status.Nested(S::StaticPacket);
    EXPECT_TRUE(info.Bool(TStaticPacket::AllowEnableDisable));
    EXPECT_FALSE(info.Str(TStaticPacket::Host).empty());
    EXPECT_EQ(info.Str(TStaticPacket::VersionText), kConsoleComponentVersionText);

    // The reply survives its encoding: what a console decodes.
    TVirtualStream stream;
    status.SaveToStream(stream);
    stream.SetPosition(0);
    auto decoded = TPacket::CreateFromStream(stream);
    EXPECT_TRUE(decoded->Equals(status));
}

TEST_F(AgentRequestsTest, SettingsShapeStatusAndSlots) {
    Settings("\"AllowEnableDisable\"=\"0\"\n\"VersionUpdatePending\"=\"1\"\n");
    auto reply = Ask(TQueryServiceStatusPacket());
    EXPECT_FALSE(reply->Nested(TQueryServiceStatusReplyPacket::StaticPacket)
                     .Bool(TStaticPacket::AllowEnableDisable));
    EXPECT_TRUE(reply->Bool(TQueryServiceStatusReplyPacket::CoordinatorVersionMismatch));
    EXPECT_EQ(StartJob(), srUpdatePending);

    Settings("\"MinCoresPerBuild\"=\"5\"\n");
    EXPECT_EQ(StartJob(), srNotEnoughCores);

    Settings("\"MaxConcurrentBuilds\"=\"1\"\n");
    TGuid id{};
    EXPECT_EQ(StartJob(&id), srGranted);
    EXPECT_FALSE(IsNullGuid(id));
    EXPECT_EQ(StartJob(), srMaxBuildsReached);

    // Without the setting (or with nonsense) the limit is the processor count.
    Settings("\"MaxConcurrentBuilds\"=\"0\"\n");
    EXPECT_EQ(StartJob(), srGranted);
    EXPECT_EQ(StartJob(), srGranted);
    EXPECT_EQ(StartJob(), srGranted);
    EXPECT_EQ(StartJob(), srMaxBuildsReached);
}

TEST_F(AgentRequestsTest, SlotRequestWithoutReplyTakesNoSlot) {
    Settings("\"MaxConcurrentBuilds\"=\"1\"\n");
    TStartJobRequestPacket request(kConsoleComponentVersion, kConsoleComponentVersionText, -1, "x");
    EXPECT_EQ(requests_.Handle(request, {-2, std::make_shared<Console>(), false}), nullptr);
    EXPECT_TRUE(slots_.Empty());
    EXPECT_EQ(StartJob(), srGranted);
}

TEST_F(AgentRequestsTest, EnableAndDisableHonourTheSetting) {
    Settings("");
    EXPECT_EQ(Ask(TEnableAgentPacket(false)), nullptr);
    EXPECT_NE(test::ReadFile(dir_ / "HKLM.reg").value_or("").find("\"Enabled\"=\"0\""),
              std::string::npos);
    Ask(TEnableAgentPacket(true));
    EXPECT_NE(test::ReadFile(dir_ / "HKLM.reg").value_or("").find("\"Enabled\"=\"1\""),
              std::string::npos);

    Settings("\"AllowEnableDisable\"=\"0\"\n");
    EXPECT_EQ(MessageOf([&] { Ask(TEnableAgentPacket(false)); }),
              "This agent may not be enabled or disabled from a console");
    EXPECT_EQ(test::ReadFile(dir_ / "HKLM.reg").value_or("").find("Enabled\"=\"0"),
              std::string::npos);
}

TEST_F(AgentRequestsTest, ResetEmptiesOnlyTheFileCache) {
    Settings("");
    // No cache yet: nothing to do, nothing created.
    EXPECT_EQ(Ask(TClearFileCachePacket()), nullptr);
    EXPECT_FALSE(fs::exists(dir_ / "agent"));

    std::string cache = dir_ / "agent/Temp/FileCache";
    fs::create_directories(cache + "/sub/deeper");
    test::WriteFile(cache + "/a.obj", "x");
    test::WriteFile(cache + "/sub/deeper/b.obj", "y");
    test::WriteFile(dir_ / "outside.txt", "keep");
    fs::create_directories(dir_ / "outside");
    test::WriteFile(dir_ / "outside/kept.txt", "keep");
    fs::create_symlink(dir_ / "outside", cache + "/link");
    fs::create_symlink(dir_ / "outside.txt", cache + "/filelink");
    test::WriteFile(dir_ / "agent/Temp/other.nv_bld_cmd", "keep");

    EXPECT_EQ(Ask(TClearFileCachePacket()), nullptr);
    EXPECT_TRUE(fs::is_directory(cache));
    EXPECT_TRUE(fs::is_empty(cache));
    EXPECT_TRUE(fs::exists(dir_ / "outside/kept.txt"));
    EXPECT_TRUE(fs::exists(dir_ / "outside.txt"));
    EXPECT_TRUE(fs::exists(dir_ / "agent/Temp/other.nv_bld_cmd"));
}

TEST_F(AgentRequestsTest, ResetRefusesAFileCacheThatIsALink) {
    Settings("");
    fs::create_directories(dir_ / "agent/Temp");
    fs::create_directories(dir_ / "elsewhere");
    test::WriteFile(dir_ / "elsewhere/precious.txt", "keep");
    fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "agent/Temp/FileCache");
    EXPECT_THAT(MessageOf([&] { Ask(TClearFileCachePacket()); }),
                ::testing::StartsWith("Failed to clear the file cache '" + dir_.path() +
                                      "/agent/Temp/FileCache'"));
    EXPECT_TRUE(fs::exists(dir_ / "elsewhere/precious.txt"));
}

TEST_F(AgentRequestsTest, ResetWithoutAgentFolderIsAnError) {
    EXPECT_NE(MessageOf([&] { Ask(TClearFileCachePacket()); }), "(no exception)");
}

TEST_F(AgentRequestsTest, ListAndStop) {
    Settings("");
    auto list = [&] {
        auto reply = Ask(TRequestBuildStatusPacket());
        return &TPacket::CastPacket<TRequestBuildStatusReplayPacket>(*reply.release());
    };
    std::unique_ptr<TPacket> empty(list());
    EXPECT_EQ(empty->List(TRequestBuildStatusReplayPacket::Builds).Count(), 0);

    TGuid first{}, second{};
    StartJob(&first);
    StartJob(&second);
    // The console wrote the first build's command file.
    fs::create_directories(dir_ / "agent/Temp");
    TBuildCommandPacket command;
    command.SetStr(TBuildCommandPacket::Caption, "Nightly");
    command.SetStr(TBuildCommandPacket::BuildClass, "wrap");
    command.SaveToFile(dir_ / ("agent/Temp/" + GuidToText(first) + ".nv_bld_cmd"));
    test::WriteFile(dir_ / ("agent/Temp/" + GuidToText(second) + ".nv_bld_cmd"), "damaged");

    std::unique_ptr<TPacket> builds(list());
    const TCustomPacketList& items = builds->List(TRequestBuildStatusReplayPacket::Builds);
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items[0].Guid(TBuildStatusPacket::BuildID), first);
    EXPECT_EQ(items[0].Str(TBuildStatusPacket::Caption), "Nightly");
    EXPECT_EQ(items[0].Str(TBuildStatusPacket::BuildClass), "wrap");
    EXPECT_EQ(items[1].Guid(TBuildStatusPacket::BuildID), second);
    EXPECT_EQ(items[1].Str(TBuildStatusPacket::Caption), "Orvane Console");

    EXPECT_EQ(Ask(TStopJobPacket(TGuid{})), nullptr); // two running: which one?
    EXPECT_EQ(Ask(TStopJobPacket(NewGuid())), nullptr);
    auto stopped = Ask(TStopJobPacket(second));
    ASSERT_NE(stopped, nullptr);
    EXPECT_EQ(&stopped->Class(), &TStopJobPacket::StaticClass());
    EXPECT_EQ(stopped->Guid(TStopJobPacket::JobID), second);
}

TEST_F(AgentRequestsTest, NoticesAndCacheServiceRequestsHaveNoReply) {
    EXPECT_EQ(Ask(TCoordBuildActivityInfo()), nullptr);
    EXPECT_EQ(Ask(TStopBCServicePacket()), nullptr);
    std::vector<bool> calls;
    requests_.buildCacheControl = [&](bool start) { calls.push_back(start); };
    Ask(TStopBCServicePacket());
    Ask(TStartBCServicePacket());
    EXPECT_EQ(calls, (std::vector<bool>{false, true}));
}

TEST_F(AgentRequestsTest, AClustersControllerStandsForTheCoordinator) {
    using S = TQueryServiceStatusReplyPacket;
    std::atomic<int> calls{0};
    std::atomic<TClusterState> state{TClusterState::Answers};
    auto probe = [&] {
        ++calls;
        return TClusterProbe{state.load(), 12, "test"};
    };
    auto watch = std::make_unique<TClusterWatch>(10, probe);
    requests_.clusterWatch = watch.get();
    Settings("\"VersionUpdatePending\"=\"1\"\n");
    ASSERT_TRUE(test::WaitUntil([&] { return watch->State() == TClusterState::Answers; }));
    auto reply = Ask(TQueryServiceStatusPacket());
    EXPECT_FALSE(reply->Bool(S::StandAlone));
    EXPECT_FALSE(reply->Bool(S::CoordinatorMisconnection));
    EXPECT_FALSE(reply->Bool(S::CoordinatorVersionMismatch));
    EXPECT_EQ(reply->Int(S::MaxHelpersPerJob), 12);

    state = TClusterState::NoAnswer;
    ASSERT_TRUE(test::WaitUntil([&] { return watch->State() == TClusterState::NoAnswer; }));
    reply = Ask(TQueryServiceStatusPacket());
    EXPECT_TRUE(reply->Bool(S::StandAlone));
    EXPECT_TRUE(reply->Bool(S::CoordinatorMisconnection));
    EXPECT_EQ(reply->Int(S::MaxHelpersPerJob), 0);
    requests_.clusterWatch = nullptr;
    watch.reset();
    EXPECT_GE(calls.load(), 2);
}

TEST_F(AgentRequestsTest, AHangingControllerCheckNeverDelaysARequest) {
    std::atomic<bool> release{false};
    auto watch = std::make_unique<TClusterWatch>(10, [&] {
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return TClusterProbe{TClusterState::Answers, 1, {}};
    });
    requests_.clusterWatch = watch.get();
    for (int i = 0; i < 20; ++i) {
        auto reply = Ask(TQueryServiceStatusPacket());
        EXPECT_TRUE(reply->Bool(TQueryServiceStatusReplyPacket::StandAlone));
    }
    // Twenty answers while the check hangs: they do not wait for it.
    EXPECT_EQ(watch->State(), TClusterState::None);
    release = true;
    requests_.clusterWatch = nullptr;
    watch.reset();
}

TEST_F(AgentRequestsTest, UnhandledClassRaises) {
    EXPECT_FALSE(requests_.Handles(TStaticPacket::StaticClass()));
    EXPECT_TRUE(requests_.Handles(TStopJobPacket::StaticClass()));
    EXPECT_EQ(MessageOf([&] { Ask(TStaticPacket()); }),
              "The agent service does not handle TStaticPacket");
}

} // namespace
} // namespace qz::agent
