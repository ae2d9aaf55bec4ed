#include "MonitorHistory.h"

#include "CM/Exceptions.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace qz::timeline {
namespace {

class MonitorHistoryTest : public testing::Test {
protected:
    // A file in the day folder, written at the given second after an arbitrary base time.
    void Add(const std::string& day, const std::string& name, int second) {
        std::filesystem::create_directories(m_dir / day);
        test::WriteFile(m_dir / day + "/" + name, "x");
        std::filesystem::last_write_time(
            m_dir / day + "/" + name,
            std::filesystem::file_time_type(std::chrono::seconds(1700000000 + second)));
    }
    test::TempDir m_dir;
};

TEST_F(MonitorHistoryTest, TheMostRecentlyWrittenMonitorFileOfAnyDayWins) {
    Add("46000", "{A}.nv_mon", 50);
    Add("46001", "{B}.nv_mon", 10);
    Add("46001", "{C}.NV_MON", 20);
    Add("46001", "newer.txt", 90);   // not a monitor file
    Add("backup", "{D}.nv_mon", 99); // not a day folder
    EXPECT_EQ(NewestMonitorFile(m_dir.path()), m_dir / "46000/{A}.nv_mon");
    Add("46002", "{E}.nv_mon", 60);
    EXPECT_EQ(NewestMonitorFile(m_dir.path()), m_dir / "46002/{E}.nv_mon");
}

TEST_F(MonitorHistoryTest, NoFileOrNoFolderIsAClearError) {
    std::filesystem::create_directories(m_dir / "46000");
    try {
        NewestMonitorFile(m_dir.path());
        ADD_FAILURE();
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "No monitor data file in " + m_dir.path());
    }
    try {
        NewestMonitorFile(m_dir / "History/Local");
        ADD_FAILURE();
    } catch (const EOSError& error) {
        EXPECT_THAT(error.Message(), testing::StartsWith("Cannot read the monitor history folder"));
    }
    EXPECT_EQ(LocalHistoryFolder("/opt/agent"), "/opt/agent/History/Local");
    EXPECT_EQ(LocalHistoryFolder("/opt/agent/"), "/opt/agent/History/Local");
}

} // namespace
} // namespace qz::timeline
