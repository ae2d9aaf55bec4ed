#include "BuildSlots.h"

#include "CM/Exceptions.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

namespace qz::agent {
namespace {

class FakeConsole : public TConsoleLink {
public:
    TConsoleState State() override { return state; }
    TConsoleState state = TConsoleState::Connected;
};

class BuildSlotsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetObjectDirectory(dir_.path());
        platform::SetObjectPrefix(test::UniqueName("slots"));
    }
    void TearDown() override {
        table_.reset();
        platform::SetObjectDirectory("");
        platform::SetObjectPrefix("");
    }

    /// A table whose mutexes and clock are this fixture's.
    TBuildSlotTable& Table() {
        if (!table_) {
            table_ = std::make_unique<TBuildSlotTable>(
                [this](const std::string& name) {
                    auto it = mutexes_.find(name);
                    return it == mutexes_.end() ? TWinMutex::TState::NotFound : it->second;
                },
                [this] { return now_; });
        }
        return *table_;
    }

    TGuid Grant(std::shared_ptr<FakeConsole> console = std::make_shared<FakeConsole>(),
                int session = -2) {
        TSlotRequest request{"Orvane Console", session, console};
        TGuid id{};
        EXPECT_EQ(Table().Request(limits_, request, id), srGranted);
        return id;
    }

    test::TempDir dir_;
    std::map<std::string, TWinMutex::TState> mutexes_;
    std::uint32_t now_ = 0xFFFFF000; // close to the tick counter's wrap
    TSlotLimits limits_{2, 1, 4, false};
    std::unique_ptr<TBuildSlotTable> table_;
};

TEST_F(BuildSlotsTest, RefusalsInTheirOrder) {
    TSlotRequest request{"c", -2, std::make_shared<FakeConsole>()};
    TGuid id{};
    EXPECT_EQ(Table().Request({2, 8, 4, true}, request, id), srUpdatePending);
    EXPECT_EQ(Table().Request({2, 8, 4, false}, request, id), srNotEnoughCores);
    EXPECT_EQ(Table().Request({0, 1, 4, false}, request, id), srMaxBuildsReached);
    EXPECT_TRUE(Table().Empty());

    TGuid first = Grant();
    TGuid second = Grant();
    EXPECT_NE(first, second);
    EXPECT_EQ(Table().Request(limits_, request, id), srMaxBuildsReached);
    ASSERT_EQ(Table().Slots().size(), 2u);
    EXPECT_EQ(Table().Slots()[0]->id, first); // start order
    EXPECT_EQ(Table().Slots()[1]->id, second);
}

TEST_F(BuildSlotsTest, BuildLeavesWhenItsMutexIsReleasedOrAbandoned) {
    TGuid a = Grant();
    TGuid b = Grant(std::make_shared<FakeConsole>(), 3);
    // a runs in the global namespace, b in the console's session 3.
    mutexes_[TBuildSlotTable::BuildMutexName(a, -2)] = TWinMutex::TState::Owned;
    mutexes_["Session\\3\\TamrelBuildMutex_" + GuidToText(b)] = TWinMutex::TState::Owned;
    EXPECT_EQ(Table().Sweep(), 0);
    EXPECT_TRUE(Table().Slots()[0]->buildSystemSeen);
    EXPECT_TRUE(Table().Slots()[1]->buildSystemSeen);

    mutexes_[TBuildSlotTable::BuildMutexName(a, -2)] = TWinMutex::TState::Abandoned;
    EXPECT_EQ(Table().Sweep(), 1);
    ASSERT_EQ(Table().Slots().size(), 1u);
    EXPECT_EQ(Table().Slots()[0]->id, b);

    // Its last holder closed it: the name is gone.
    mutexes_.erase("Session\\3\\TamrelBuildMutex_" + GuidToText(b));
    EXPECT_EQ(Table().Sweep(), 1);
    EXPECT_TRUE(Table().Empty());
}

TEST_F(BuildSlotsTest, EveryFreedSlotIsToldOnce) {
    std::vector<TGuid> told;
    Table().onReleased = [&told](const TBuildSlot& slot) { told.push_back(slot.id); };
    auto console = std::make_shared<FakeConsole>();
    TGuid a = Grant(console);
    TGuid b = Grant();
    mutexes_[TBuildSlotTable::BuildMutexName(a, -2)] = TWinMutex::TState::Owned;
    EXPECT_EQ(Table().Sweep(), 0);
    EXPECT_TRUE(told.empty());
    mutexes_[TBuildSlotTable::BuildMutexName(a, -2)] = TWinMutex::TState::Free;
    EXPECT_EQ(Table().Sweep(), 1);
    EXPECT_EQ(told, std::vector<TGuid>{a});
    EXPECT_EQ(Table().Sweep(), 0);
    EXPECT_EQ(told.size(), 1u);
    ASSERT_NE(Table().Find(b), nullptr);
}

TEST_F(BuildSlotsTest, RunningBuildStaysWhateverItsConsoleDoes) {
    auto console = std::make_shared<FakeConsole>();
    TGuid id = Grant(console);
    mutexes_[TBuildSlotTable::BuildMutexName(id, -2)] = TWinMutex::TState::Owned;
    console->state = TConsoleState::Ended;
    now_ += 3600000;
    EXPECT_EQ(Table().Sweep(), 0);
}

TEST_F(BuildSlotsTest, KilledConsoleGetsItsGraceClosedConsoleNone) {
    auto closed = std::make_shared<FakeConsole>();
    auto killed = std::make_shared<FakeConsole>();
    limits_.maxConcurrentBuilds = 3;
    TGuid closedId = Grant(closed);
    TGuid killedId = Grant(killed);
    Grant(); // stays connected
    killed->state = TConsoleState::Ended;
    EXPECT_EQ(Table().Sweep(), 0); // noticed now
    now_ += TBuildSlotTable::kEndedConsoleGrace - 1;
    EXPECT_EQ(Table().Sweep(), 0);
    // A console that comes back in time restarts its grace.
    killed->state = TConsoleState::Connected;
    EXPECT_EQ(Table().Sweep(), 0);
    killed->state = TConsoleState::Ended;
    Table().Sweep();
    now_ += TBuildSlotTable::kEndedConsoleGrace - 1;
    EXPECT_EQ(Table().Sweep(), 0);
    now_ += 1;
    EXPECT_EQ(Table().Sweep(), 1);
    EXPECT_EQ(Table().Find(killedId), nullptr);

    // An orderly close comes after the build system's start or after the console gave it up:
    // a build mutex that is not owned then means the build is over.
    closed->state = TConsoleState::Closed;
    EXPECT_EQ(Table().Sweep(), 1);
    EXPECT_EQ(Table().Find(closedId), nullptr);
    EXPECT_EQ(Table().Slots().size(), 1u);
}

TEST_F(BuildSlotsTest, BuildShorterThanASweepFreesItsSlotForTheNextRequest) {
    // The mutex was owned and released between two sweeps; the console then closed its channel.
    limits_.maxConcurrentBuilds = 1;
    for (int round = 0; round < 50; ++round) {
        auto console = std::make_shared<FakeConsole>();
        TGuid id = Grant(console);
        console->state = TConsoleState::Closed;
        EXPECT_EQ(Table().Find(id)->buildSystemSeen, false);
    }
    EXPECT_EQ(Table().Slots().size(), 1u);
}

TEST_F(BuildSlotsTest, ClosedConsoleKeepsTheSlotWhileItsBuildRuns) {
    auto console = std::make_shared<FakeConsole>();
    TGuid id = Grant(console);
    console->state = TConsoleState::Closed;
    mutexes_[TBuildSlotTable::BuildMutexName(id, -2)] = TWinMutex::TState::Owned;
    now_ += 3600000;
    EXPECT_EQ(Table().Sweep(), 0);
    mutexes_.erase(TBuildSlotTable::BuildMutexName(id, -2));
    EXPECT_EQ(Table().Sweep(), 1);
}

TEST_F(BuildSlotsTest, RefusedRequestFirstFreesSlotsOfEndedBuilds) {
    limits_.maxConcurrentBuilds = 1;
    TGuid id = Grant();
    mutexes_[TBuildSlotTable::BuildMutexName(id, -2)] = TWinMutex::TState::Owned;
    Table().Sweep();
    mutexes_[TBuildSlotTable::BuildMutexName(id, -2)] = TWinMutex::TState::Free;
    Grant(); // the ended build's slot is free again
    EXPECT_EQ(Table().Slots().size(), 1u);
}

TEST_F(BuildSlotsTest, FailingProbeCountsAsNoInformation) {
    TBuildSlotTable table([](const std::string&) -> TWinMutex::TState { throw Exception("x"); },
                          [this] { return now_; });
    TGuid id{};
    ASSERT_EQ(table.Request(limits_, {"c", -2, std::make_shared<FakeConsole>()}, id), srGranted);
    EXPECT_EQ(table.Sweep(), 0);
}

TEST_F(BuildSlotsTest, StopSetsTheBuildsNamedEvent) {
    TGuid id = Grant();
    TWinEvent stop(TBuildSlotTable::StopEventName(id), false);
    EXPECT_FALSE(stop.WaitFor(0));
    EXPECT_FALSE(Table().Stop(NewGuid()));
    std::optional<TGuid> stopped = Table().Stop(TGuid{}); // the one running build
    ASSERT_TRUE(stopped);
    EXPECT_EQ(*stopped, id);
    EXPECT_TRUE(stop.WaitFor(1000));
    EXPECT_TRUE(stop.WaitFor(0)); // manual reset: stays set for every waiter

    Grant();
    EXPECT_FALSE(Table().Stop(TGuid{})); // several running
    EXPECT_EQ(Table().Stop(id), id);
    EXPECT_EQ(TBuildSlotTable::StopEventName(id),
              "Global\\Orvane_Build_" + GuidToText(id) + "_StopEvent");
}

TEST_F(BuildSlotsTest, RealBuildMutexOfAKilledBuildSystem) {
    TBuildSlotTable table({}, [this] { return now_; });
    TGuid id{};
    ASSERT_EQ(table.Request(limits_, {"c", -2, std::make_shared<FakeConsole>()}, id), srGranted);
    std::string name = TBuildSlotTable::BuildMutexName(id, -2);
    TWinEvent ready(nullptr, "Global\\ready", true, false);
    int child = test::ForkChild([&] {
        TWinMutex mutex(NullDaclSecurityAttributes(), name);
        mutex.Acquire(INFINITE, 0);
        ready.SetEvent();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        return 0;
    });
    ASSERT_TRUE(ready.WaitFor(10000));
    EXPECT_EQ(table.Sweep(), 0);
    EXPECT_TRUE(table.Slots()[0]->buildSystemSeen);
    test::KillChild(child);
    EXPECT_EQ(table.Sweep(), 1);
}

} // namespace
} // namespace qz::agent
