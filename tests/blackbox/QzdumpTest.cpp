#include "CM/BuildCommandPackets.h"
#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "CM/Packets.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using qz::test::RunProgram;
using testing::HasSubstr;

// A TStopJobPacket file as the agent service would write it.
std::string StopJobFile() {
    std::string bytes("\x02\0\0\0\x30\0\0\0\x01\0\0\0\0\0\0\0", 16);
    bytes += std::string("\x29\xD0\xE3\x7E\xA5\xAF\xF1\x4D\xAC\x03\x55\x12\xE6\x91\x80\x71", 16);
    bytes += std::string("\x33\x22\x11\x00\x55\x44\x77\x66\x88\x99\xAA\xBB\xCC\xDD\xEE\xFF", 16);
    return bytes;
}

TEST(QzdumpBlackBox, PrintsAPacketFile) {
    qz::test::TempDir dir;
    qz::test::WriteFile(dir / "stop.pkt", StopJobFile());
    auto result = RunProgram({QZDUMP_PATH, "packet", dir / "stop.pkt"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "(TStopJobPacket)\n  JobID = {00112233-4455-6677-8899-AABBCCDDEEFF}\n");
}

TEST(QzdumpBlackBox, PrintsNestedPacketsIndented) {
    qz::RegisterAllPacketClasses();
    qz::test::TempDir dir;
    qz::TBuildCommandPacket command;
    auto project = std::make_unique<qz::TBuildCommandProjectPacket>();
    project->SetStr(qz::TBuildCommandProjectPacket::Name, "core");
    command.List(qz::TBuildCommandPacket::ActiveProjects).Add(std::move(project));
    command.Strings(qz::TBuildCommandPacket::AllowRemote).AssignCommaText("cl.exe,link.exe");
    command.SaveToFile(dir / "job.nv_bld_cmd");
    auto result = RunProgram({QZDUMP_PATH, "packet", dir / "job.nv_bld_cmd"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("\n  AllowRemote = \n    cl.exe\n    link.exe\n"));
    EXPECT_THAT(result.out, HasSubstr("\n  ActiveProjects = \n    [1/1]\n    "
                                      "(TBuildCommandProjectPacket)\n      Name = 'core'\n"));
    EXPECT_THAT(result.out, HasSubstr("\n  OverrideLogLevel = -1\n"));
}

TEST(QzdumpBlackBox, DamagedAndMissingFilesFailWithTheMessage) {
    qz::test::TempDir dir;
    std::string damaged = StopJobFile().substr(0, 40);
    qz::test::WriteFile(dir / "short.pkt", damaged);
    auto result = RunProgram({QZDUMP_PATH, "packet", dir / "short.pkt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Trying to load JobID (16 bytes) beyond the buffer end"));
    EXPECT_EQ(result.out, "");

    std::string unknown = StopJobFile();
    unknown[20] = 0;
    qz::test::WriteFile(dir / "unknown.pkt", unknown);
    result = RunProgram({QZDUMP_PATH, "packet", dir / "unknown.pkt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Unregistered packet class: {7EE3D029-AF00-4DF1-"));

    result = RunProgram({QZDUMP_PATH, "monitor", dir / "missing.nv_mon"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Cannot open file"));

    qz::test::WriteFile(dir / "bad.nv_mon", "\x02");
    result = RunProgram({QZDUMP_PATH, "monitor", dir / "bad.nv_mon"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Trying to load packet header beyond the buffer end"));
}

TEST(QzdumpBlackBox, MonitorFileWithForeignEventMarkerIsRejected) {
    qz::RegisterAllPacketClasses();
    qz::test::TempDir dir;
    qz::TMetaBuildPacket meta;
    meta.Blob(qz::TMetaBuildPacket::OldMonitorEvents).SetContent("something else");
    meta.SaveToFile(dir / "odd.nv_mon");
    auto result = RunProgram({QZDUMP_PATH, "monitor", dir / "odd.nv_mon"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Invalid or corrupted .nv_mon file"));
}

TEST(QzdumpBlackBox, UsageErrorsExitWithTwo) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"packet"}, {"dump", "x"}, {"sdc-compress", "in"}, {"packet", "a", "b"}}) {
        args.insert(args.begin(), QZDUMP_PATH);
        auto result = RunProgram(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_THAT(result.err, HasSubstr("Usage: qzdump"));
    }
}

TEST(QzdumpBlackBox, CompressAndDecompressFiles) {
    qz::test::TempDir dir;
    std::string data;
    for (int i = 0; i < 300000; ++i) {
        data += "line " + std::to_string(i % 977) + "\n";
    }
    qz::test::WriteFile(dir / "in", data);
    auto result = RunProgram({QZDUMP_PATH, "sdc-compress", dir / "in", dir / "packed"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::string packed = *qz::test::ReadFile(dir / "packed");
    EXPECT_EQ(packed.substr(0, 4), "sdc2");
    EXPECT_LT(packed.size(), data.size() / 4);
    result = RunProgram({QZDUMP_PATH, "sdc-decompress", dir / "packed", dir / "out"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(*qz::test::ReadFile(dir / "out"), data);

    // An empty file compresses to a header alone and comes back empty.
    qz::test::WriteFile(dir / "empty", "");
    ASSERT_EQ(RunProgram({QZDUMP_PATH, "sdc-compress", dir / "empty", dir / "e.sdc"}).exitCode, 0);
    ASSERT_EQ(RunProgram({QZDUMP_PATH, "sdc-decompress", dir / "e.sdc", dir / "e"}).exitCode, 0);
    EXPECT_EQ(*qz::test::ReadFile(dir / "e"), "");
}

TEST(QzdumpBlackBox, DecompressingDamagedInputFailsAndWritesNothing) {
    qz::test::TempDir dir;
    qz::test::WriteFile(dir / "plain", "not compressed at all");
    auto result = RunProgram({QZDUMP_PATH, "sdc-decompress", dir / "plain", dir / "out"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err,
                HasSubstr("Decompression error: Header contains an invalid signature."));
    EXPECT_FALSE(qz::test::ReadFile(dir / "out").has_value());

    result = RunProgram({QZDUMP_PATH, "sdc-compress", dir / "missing", dir / "out"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr("Cannot open file"));
}

TEST(QzdumpBlackBox, PrintsAMonitorFileWithItsEvents) {
    qz::RegisterAllPacketClasses();
    qz::test::TempDir dir;
    qz::TMetaBuildPacket meta;
    meta.SetStr(qz::TMetaBuildPacket::ProductVersionText, "10.24.2");
    qz::TMonitorEventOutputPacket first;
    first.SetStr(qz::TMonitorEventOutputPacket::Text, "compiling a.cpp");
    qz::TMonitorEventOutputPacket second;
    second.SetStr(qz::TMonitorEventOutputPacket::Text, "linking");
    for (bool append : {false, true}) {
        std::string file = dir / (append ? "appended.nv_mon" : "inside.nv_mon");
        qz::WriteMonitorFile(file, meta, {&first, &second}, append);
        auto result = RunProgram({QZDUMP_PATH, "monitor", file});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_THAT(result.out, testing::StartsWith("(TMetaBuildPacket)\n"));
        EXPECT_THAT(result.out, HasSubstr("\n  ProductVersionText = '10.24.2'\n"));
        auto firstAt = result.out.find("Text = 'compiling a.cpp'");
        auto secondAt = result.out.find("Text = 'linking'");
        ASSERT_NE(firstAt, std::string::npos) << result.out;
        ASSERT_NE(secondAt, std::string::npos) << result.out;
        EXPECT_LT(firstAt, secondAt);
    }
}

} // namespace
