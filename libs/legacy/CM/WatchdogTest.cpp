#include "Watchdog.h"

#include "DiagLog.h"
#include "TestSupport.h"
#include "platform/Diagnostics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <regex>
#include <thread>

namespace qz {
namespace {

class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override { DiagLogReset(); }
    void TearDown() override { DiagLogReset(); }
    void SetUpLog(int level, bool debug) {
        DiagLogSettings settings;
        settings.level = level;
        settings.debug = debug;
        DiagLogSetUp(file_, settings);
    }
    std::string Contents() { return test::ReadFile(file_).value_or(""); }

    test::TempDir dir_;
    std::string file_ = dir_ / "Logs/watch.log";
};

// A thread parked on a condition variable until released.
class ParkedThread {
public:
    ParkedThread() : thread_([this] { Park(); }) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return id_ != 0; });
    }
    ~ParkedThread() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            release_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    int id() const { return id_; }

private:
    void Park() {
        std::unique_lock<std::mutex> guard(lock_);
        id_ = platform::diag::ThreadId();
        changed_.notify_all();
        changed_.wait(guard, [this] { return release_; });
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool release_ = false;
    int id_ = 0;
    std::thread thread_;
};

TEST_F(WatchdogTest, ThreadDumpTracesEveryOtherThread) {
    SetUpLog(0, false);
    ParkedThread parked;
    int self = platform::diag::ThreadId();
    WriteThreadDump(false, parked.id());
    std::string text = Contents();
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^-{10}Thread State PID=\d+)")));
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(\r\nMain Thread: \(\$CALLTRACE:[0-9A-F]{16}:[0-9A-F]+,)")))
        << text;
    EXPECT_EQ(text.find("Thread " + std::to_string(self) + ":"), std::string::npos);
}

TEST_F(WatchdogTest, VerboseDetectsAStallAndStopsPromptly) {
    SetUpLog(0, true);
    ParkedThread parked;
    TMainThreadWatchdog watchdog;
    WatchdogTiming timing;
    timing.stallMs = 900; // far above the 50 ms heartbeats, even on a loaded machine
    timing.dumpPeriodMs = 150;
    timing.dumpIntervalMs = 50;
    timing.sleepMs = 60000;
    ASSERT_TRUE(watchdog.Start(false, parked.id(), timing));
    watchdog.WaitReady();
    for (int i = 0; i < 5; ++i) { // a turning loop: no stall
        watchdog.Heartbeat();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(Contents().find("stall detected"), std::string::npos);
    EXPECT_TRUE(test::WaitUntil(
        [&] { return Contents().find("Starting sleep period") != std::string::npos; },
        std::chrono::seconds(20)));
    auto before = std::chrono::steady_clock::now();
    watchdog.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    std::string text = Contents();
    EXPECT_NE(text.find("!!!!! MainThreadWatch Init"), std::string::npos);
    EXPECT_NE(text.find("!!!!! NotifyQueue 0 seconds stall detected"), std::string::npos);
    EXPECT_NE(text.find("CPU Usage:"), std::string::npos);
    EXPECT_NE(text.find("Main Thread: ($CALLTRACE:"), std::string::npos);
    EXPECT_NE(text.find("!!!!! Loop ended"), std::string::npos);
}

TEST_F(WatchdogTest, StartsOnlyWhenTheSettingsAskForIt) {
    test::ScopedEnv root("TamrelRegistryRoot", dir_.path());
    SetUpLog(0, false);
    EXPECT_FALSE(MainThreadWatchWanted());
    SetUpLog(1, false);
    EXPECT_TRUE(MainThreadWatchWanted()); // the key cannot be read
    test::WriteFile(dir_ / "HKLM.reg",
                    "[SOFTWARE\\Tamrel\\Orvane\\Log]\n\"MainThreadWatch\"=\"0\"\n");
    EXPECT_FALSE(MainThreadWatchWanted());
    test::WriteFile(dir_ / "HKLM.reg",
                    "[SOFTWARE\\Tamrel\\Orvane\\Log]\n\"MainThreadWatch\"=\"1\"\n");
    EXPECT_TRUE(MainThreadWatchWanted());
    SetUpLog(0, true);
    EXPECT_TRUE(MainThreadWatchWanted());
}

} // namespace
} // namespace qz
