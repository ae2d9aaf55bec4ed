#include "SlurmCluster.h"

#include "CM/CrossRegistry.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace qz::nv {
namespace {

using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

TCommandResult Shell(const std::string& line, int timeoutMs = 5000,
                     const std::vector<std::string>& environment = {}) {
    return RunBounded({"/bin/sh", "-c", line}, environment, timeoutMs);
}

TEST(RunBoundedTest, OutputAndExitCodeOfBothStreams) {
    TCommandResult r = Shell("echo out; echo err >&2; exit 3");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.output, "out\nerr\n");
    EXPECT_EQ(r.Problem("tool"), "tool failed (exit code 3): out");
    EXPECT_TRUE(Shell("true").Succeeded());
    EXPECT_EQ(Shell("kill -9 $$").exitCode, 137);
}

TEST(RunBoundedTest, AHangingCommandIsKilledAtItsLimit) {
    auto begin = Clock::now();
    TCommandResult r = Shell("echo started; exec sleep 30", 300);
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.Succeeded());
    EXPECT_EQ(r.output, "started\n");
    EXPECT_EQ(r.Problem("scontrol ping"), "scontrol ping did not answer in time");
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
}

TEST(RunBoundedTest, WhatTheCommandLeftRunningDoesNotHoldItUp) {
    auto begin = Clock::now();
    // The background sleep holds the output pipe open; it dies with the command's group.
    TCommandResult r = Shell("sleep 30 & echo done", 20000);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "done\n");
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
}

TEST(RunBoundedTest, EndlessOutputIsCappedAndBounded) {
    TCommandResult r = Shell("yes", 500);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.output.size(), 1024u * 1024u);
}

TEST(RunBoundedTest, AMissingProgramSaysSo) {
    TCommandResult r = RunBounded({"/nonexistent/srun"}, {}, 1000);
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_THAT(r.Problem("srun"), HasSubstr("srun could not be started: "));
}

TEST(RunBoundedTest, TheEnvironmentIsTheOneGiven) {
    TCommandResult r = Shell("echo $ONLY", 5000, {"ONLY=this", "PATH=/usr/bin:/bin"});
    EXPECT_EQ(r.output, "this\n");
}

TEST(ClusterEnvironmentTest, TheConfigReplacesSlurmConf) {
    TClusterSettings settings;
    std::vector<std::string> env = ClusterEnvironment(settings, {"A=1", "SLURM_CONF=/old"});
    EXPECT_EQ(env, (std::vector<std::string>{"A=1", "SLURM_CONF=/old"}));
    settings.config = "/new/slurm.conf";
    env = ClusterEnvironment(settings, {"A=1", "SLURM_CONF=/old"});
    EXPECT_EQ(env, (std::vector<std::string>{"A=1", "SLURM_CONF=/new/slurm.conf"}));
}

class ClusterSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { SetProductRegistryName("Orvane"); }
    void Settings(const std::string& lines) {
        test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                                               dir_.path() + "\"\n" + lines);
    }
    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
};

TEST_F(ClusterSettingsTest, NoClusterWithoutTheSetting) {
    Settings("");
    EXPECT_FALSE(ReadClusterSettings().enabled);
    Settings("\"Cluster\"=\"pbs\"\n");
    EXPECT_FALSE(ReadClusterSettings().enabled);
}

TEST_F(ClusterSettingsTest, ValuesAreReadAndBounded) {
    Settings("\"Cluster\"=\" Slurm \"\n\"ClusterPartition\"=\"build\"\n"
             "\"ClusterCloudPartition\"=\"cloud\"\n\"ClusterAccount\"=\"acct\"\n"
             "\"ClusterMaxRemoteTasks\"=\"100000\"\n\"ClusterTimeLimit\"=\"0\"\n"
             "\"ClusterCommandTimeout\"=\"seven\"\n\"ClusterConfig\"=\"/etc/x.conf\"\n");
    TClusterSettings s = ReadClusterSettings();
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.partition, "build");
    EXPECT_EQ(s.cloudPartition, "cloud");
    EXPECT_EQ(s.account, "acct");
    EXPECT_EQ(s.maxRemoteTasks, 4096);
    EXPECT_EQ(s.timeLimitMinutes, 1);
    EXPECT_EQ(s.commandTimeoutSeconds, 20);
    EXPECT_EQ(s.config, "/etc/x.conf");
}

TEST_F(ClusterSettingsTest, TheControllerCheckIsBoundedAndReadsItsAnswer) {
    // A stand-in scontrol first in PATH.
    std::string bin = dir_ / "bin";
    std::filesystem::create_directories(bin);
    auto fake = [&](const std::string& body) {
        test::WriteFile(bin + "/scontrol", "#!/bin/sh\n" + body + "\n");
        chmod((bin + "/scontrol").c_str(), 0755);
    };
    test::ScopedEnv path("PATH", bin + ":/usr/bin:/bin");
    TClusterSettings settings;
    settings.enabled = true;
    settings.commandTimeoutSeconds = 1;
    std::string detail;
    fake("echo \"Slurmctld(primary) at ctl is UP\"");
    EXPECT_TRUE(ClusterControllerAnswers(settings, detail));
    EXPECT_EQ(detail, "Slurmctld(primary) at ctl is UP");
    fake("echo \"Slurmctld(primary) at ctl is DOWN\"; exit 1");
    EXPECT_FALSE(ClusterControllerAnswers(settings, detail));
    EXPECT_EQ(detail, "scontrol ping failed (exit code 1): Slurmctld(primary) at ctl is DOWN");
    fake("echo garbage");
    EXPECT_FALSE(ClusterControllerAnswers(settings, detail));
    fake("exec sleep 30");
    auto begin = Clock::now();
    EXPECT_FALSE(ClusterControllerAnswers(settings, detail));
    EXPECT_EQ(detail, "scontrol ping did not answer in time");
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
}

} // namespace
} // namespace qz::nv
