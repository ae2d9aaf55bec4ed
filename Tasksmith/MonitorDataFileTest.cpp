#include "MonitorDataFile.h"

#include "BuildSession.h"
#include "CM/EnvUtils.h"
#include "CM/Exceptions.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "EventWriter.h"
#include "testsupport/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <sys/stat.h>

namespace qz::tasksmith {
namespace {

class MonitorDataFileTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterAllPacketClasses(); }

    static std::unique_ptr<TPacket> Output(const std::string& text) {
        auto packet = std::make_unique<TMonitorEventOutputPacket>();
        packet->SetStr(TMonitorEventOutputPacket::Text, text);
        return packet;
    }

    static std::vector<std::string> Texts(const std::string& file) {
        TMonitorFile monitor = OpenMonitorFile(file);
        std::vector<std::string> texts;
        for (const auto& e : ReadMonitorEvents(*monitor.Events)) {
            texts.push_back(e->Str(TMonitorEventOutputPacket::Text));
        }
        return texts;
    }

    test::TempDir dir_;
};

TEST_F(MonitorDataFileTest, IsReadableAfterEveryFlushAndCompleteAfterFinish) {
    TMetaBuildPacket head;
    head.SetStr(TMetaBuildPacket::Caption, "demo");
    head.SetBool(TMetaBuildPacket::Incomplete, true);
    std::string name = dir_ / "History/Local/45678/b.nv_mon";
    MonitorDataFile file(name, head);
    TVirtualStream live;
    StreamEventSink liveSink(live);
    EventWriter writer;
    writer.AddSink(&file);
    writer.AddSink(&liveSink);
    // Read before anything was flushed: an empty but valid stream.
    EXPECT_TRUE(Texts(name).empty());
    writer.Write(*Output("one"));
    writer.Write(*Output("two"));
    writer.Flush();
    EXPECT_EQ(Texts(name), (std::vector<std::string>{"one", "two"}));
    writer.Write(*Output(std::string(3 * 1024 * 1024, 'x'))); // beyond one compressed block
    writer.Write(*Output("four"));
    writer.Flush();
    EXPECT_EQ(Texts(name).size(), 4u);
    EXPECT_EQ(file.Total(), writer.Position());
    head.SetBool(TMetaBuildPacket::Incomplete, false);
    head.SetInt(TMetaBuildPacket::ExitCode, 7);
    file.Finish(head);
    TMonitorFile monitor = OpenMonitorFile(name);
    EXPECT_FALSE(monitor.Meta->Bool(TMetaBuildPacket::Incomplete));
    EXPECT_EQ(monitor.Meta->Int(TMetaBuildPacket::ExitCode), 7);
    EXPECT_EQ(monitor.Meta->Str(TMetaBuildPacket::Caption), "demo");
    // The file's events are the very bytes the live stream got.
    std::string fromFile(static_cast<std::size_t>(monitor.Events->Size()), '\0');
    monitor.Events->ReadBuffer(fromFile.data(), monitor.Events->Size());
    EXPECT_EQ(fromFile, live.AsString());
}

TEST_F(MonitorDataFileTest, TheStreamIntroducesEachClassOnce) {
    TVirtualStream live;
    StreamEventSink sink(live);
    EventWriter writer;
    writer.AddSink(&sink);
    writer.Write(*Output("a"));
    std::int64_t second = writer.Position();
    writer.Write(*Output("b"));
    ASSERT_GT(live.Size(), second);
    EXPECT_EQ(live.View()[0], '\0'); // a new class: 0, then its introduction
    EXPECT_EQ(live.View()[static_cast<std::size_t>(second)], '\x02'); // then context number 1
}

TEST_F(MonitorDataFileTest, ADamagedStartTimeNamesNoDayFolder) {
    EXPECT_EQ(DayFolderText(45678.75), "45678");
    EXPECT_EQ(DayFolderText(-0.5), "0");
    EXPECT_EQ(DayFolderText(std::nan("")), "");
    EXPECT_EQ(DayFolderText(std::numeric_limits<double>::infinity()), "");
    EXPECT_EQ(DayFolderText(-std::numeric_limits<double>::infinity()), "");
    EXPECT_EQ(DayFolderText(1e300), "");
    EXPECT_EQ(DayFolderText(-1e19), "");
}

TEST_F(MonitorDataFileTest, AFolderThatCannotBeMadeRaisesTheSystemError) {
    test::WriteFile(dir_ / "file", "x");
    TMetaBuildPacket head;
    try {
        MonitorDataFile file(dir_ / "file/sub/b.nv_mon", head);
        FAIL() << "must raise";
    } catch (const EOSError& e) {
        EXPECT_THAT(e.Message(), ::testing::HasSubstr("Cannot create folder"));
    }
}

TEST(BuildRequestTest, JobAndEnvironmentOfARequest) {
    RegisterAllPacketClasses();
    TBuildCommandPacket request;
    request.SetStr(TBuildCommandPacket::CurDir, "/work");
    request.SetStr(TBuildCommandPacket::Command, "make -j2");
    JobSpec job = JobOfRequest(request);
    ASSERT_EQ(job.tasks.size(), 1u);
    EXPECT_EQ(job.tasks[0].shellLine, "make -j2");
    EXPECT_EQ(job.tasks[0].folder, "/work");

    request.SetStr(TBuildCommandPacket::Command, "");
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "build.CMD");
    job = JobOfRequest(request);
    EXPECT_EQ(job.tasks[0].arguments, (std::vector<std::string>{"/bin/sh", "/work/build.CMD"}));

    request.SetStr(TBuildCommandPacket::PrimaryFilename, "project.sln");
    EXPECT_THROW(JobOfRequest(request), Exception);
    request.SetStr(TBuildCommandPacket::PrimaryFilename, "");
    EXPECT_THROW(JobOfRequest(request), Exception);

    request.SetStr(TBuildCommandPacket::EnvBlock,
                   std::string("A=1\0=C:=C:\\\0B=2\0\0C=ignored\0", 27));
    request.Strings(TBuildCommandPacket::ForcedEnv).Add("B=forced");
    request.Strings(TBuildCommandPacket::ForcedEnv).Add("=bad");
    EXPECT_EQ(EnvironmentOfRequest(request), (std::vector<std::string>{"A=1", "B=forced"}));
}

TEST(DayFolder, TakesTheHistoryFoldersModeWhateverTheUmask) {
    test::TempDir dir;
    std::string history = dir / "History/Local";
    std::filesystem::create_directories(history);
    // As the package makes it for the builders' group: group-writable, setgid, sticky.
    ASSERT_EQ(::chmod(history.c_str(), 03775), 0);
    const mode_t old = ::umask(0022);
    MakeDayFolder(history, "46365");
    ::umask(old);
    struct stat info {};
    ASSERT_EQ(::stat((history + "/46365").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 03775u);
    // A day folder that exists is left as it is.
    ASSERT_EQ(::chmod((history + "/46365").c_str(), 0750), 0);
    MakeDayFolder(history, "46365");
    ASSERT_EQ(::stat((history + "/46365").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
}

TEST(DayFolder, APrivateHistoryStaysPrivateAndAMissingOneIsMade) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "private");
    ASSERT_EQ(::chmod((dir / "private").c_str(), 0700), 0);
    MakeDayFolder(dir / "private", "1");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "private/1").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    MakeDayFolder(dir / "new/History/Local", "2");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "new/History/Local/2"));
}

TEST(DayFolder, AFileInTheWayIsAnError) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "History");
    test::WriteFile(dir / "History/7", "not a folder");
    EXPECT_THROW(MakeDayFolder(dir / "History", "7"), EOSError);
    EXPECT_EQ(test::ReadFile(dir / "History/7").value_or(""), "not a folder");
}

} // namespace
} // namespace qz::tasksmith
