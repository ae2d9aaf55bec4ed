// The console's switches as a user meets them before the agent service is asked: the banner,
// /SILENT, /OUT, /TITLE, /SETENV, the global overrides and the exit codes of their errors.

#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

using qz::test::RunOptions;
using qz::test::RunProgram;
using qz::test::RunResult;
using qz::test::TempDir;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kNotRunning =
    "Processing is unable to continue due to the Agent Service is not running.\r\n";

class OptionsBlackBox : public ::testing::Test {
protected:
    RunResult Run(std::vector<std::string> args, RunOptions options = {}) {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        options.cwd = dir_.path();
        options.env.emplace("TamrelBuildContext", std::nullopt);
        options.env.emplace("qzConsoleParams", std::nullopt);
        options.env.emplace("TamrelRegistryRoot", dir_.path());
        RunResult result = RunProgram(args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::string Read(const std::string& name) {
        return qz::test::ReadFile(dir_ / name).value_or("<missing>");
    }

    TempDir dir_;
};

TEST_F(OptionsBlackBox, BannerPrecedesEverythingUnlessNoLogoOrSilent) {
    RunResult r = Run({"/COMMAND=make"});
    const std::string title = "Orvane Console 10.24.2 (build 14861)";
    EXPECT_THAT(r.out, StartsWith("\r\n-"));
    EXPECT_THAT(r.out, HasSubstr("\r\n" + title + "\r\n"));
    // The dashes match the longer of the title and the copyright line, above and below.
    size_t dashes = r.out.find("\r\n", 2) - 2;
    EXPECT_GE(dashes, title.size());
    EXPECT_EQ(r.out.substr(2, dashes), std::string(dashes, '-'));
    EXPECT_THAT(r.out, EndsWith(std::string(dashes, '-') + "\r\n\r\n\n" + kNotRunning));
    EXPECT_EQ(r.exitCode, 3);

    r = Run({"-nologo", "/COMMAND=make"});
    EXPECT_EQ(r.out, kNotRunning);
    r = Run({"/Silent", "/COMMAND=make"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(OptionsBlackBox, SilentDoesNotHideTheUsageOrFatalErrors) {
    RunResult r = Run({"/SILENT", "/?"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Usage:"));
    r = Run({"/SILENT", "/pemode=5", "/COMMAND=make"});
    EXPECT_EQ(r.out, "Fatal Error: The /PEMODE parameter value is invalid.\r\n");
}

TEST_F(OptionsBlackBox, OutFileReceivesTheLinesButNotTheBanner) {
    RunResult r = Run({"/OUT=logs/run.txt", "/TITLE=Nightly", "/COMMAND=make"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, Not(HasSubstr("Processing")));
    EXPECT_THAT(r.out, HasSubstr("Orvane Console"));
    EXPECT_EQ(Read("logs/run.txt"), std::string("Nightly\r\n\r\n") + kNotRunning);
}

TEST_F(OptionsBlackBox, OutPathWithTitleMacroAndOptionFile) {
    qz::test::WriteFile(dir_ / "opts.rsp", "/NOLOGO\n/OUT=$(Title).out\n");
    RunResult r = Run({"@opts.rsp", "/COMMAND=make", "/TITLE=Weekly"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Read("Weekly.out"), std::string("Weekly\r\n\r\n") + kNotRunning);
}

TEST_F(OptionsBlackBox, EscapingExceptionDoesNotReachTheOutFile) {
    // An environment variable that cannot be set raises after the /OUT file has its first lines.
    RunResult r = Run(
        {"/exitcodebase=100", "/NOLOGO", "/TITLE=T", "/OUT=o.txt", "/SETENV==1", "/COMMAND=make"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, StartsWith("Fatal Error: Failed to set environment variable"));
    EXPECT_EQ(Read("o.txt"), "T\r\n\r\n");
}

TEST_F(OptionsBlackBox, OutPathThatCannotBeCreated) {
    qz::test::WriteFile(dir_ / "file", "");
    RunResult r = Run({"/NOLOGO", "/OUT=file/o.txt", "/exitcodebase=50", "/COMMAND=make"});
    EXPECT_EQ(r.out, "Fatal Error: The path specified with /OUT parameter is invalid.\r\n");
    EXPECT_EQ(r.exitCode, 53);
}

TEST_F(OptionsBlackBox, GlobalOverrideErrorsUseTheExitCodeBase) {
    RunResult r = Run({"/NOLOGO", "-EXITCODEBASE=100", "/OUT=o.txt",
                       "/BUILDCACHEREMOTESERVER=host:8080:x", "/COMMAND=make"});
    EXPECT_EQ(r.out, "Fatal Error: Invalid remote cache server port format\r\n");
    EXPECT_EQ(r.exitCode, 103);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "o.txt"));

    r = Run({"/NOLOGO", "/buildcachecluster=c", "/buildcacheremoteserver=h:1", "/COMMAND=x"});
    EXPECT_EQ(r.out, "Fatal Error: Cannot specify /BUILDCACHECLUSTER together with "
                     "/BUILDCACHEREMOTESERVER\r\n");
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(OptionsBlackBox, SwitchesFromTheEnvironmentCount) {
    RunOptions options;
    options.env["qzConsoleParams"] = "/NOLOGO /SILENT";
    RunResult r = Run({"/COMMAND=make"}, options);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(OptionsBlackBox, BareExitCodeBaseIsTenThousand) {
    qz::test::WriteFile(dir_ / "file", "");
    RunResult r = Run({"/NOLOGO", "/EXITCODEBASE", "/OUT=file/o.txt", "/COMMAND=make"});
    // 10003 as the parent sees it: the low 8 bits.
    EXPECT_EQ(r.exitCode, 10003 & 0xFF);
    // The bare form is read with the console switches, after the global overrides.
    r = Run({"/NOLOGO", "/EXITCODEBASE", "/pemode=9", "/COMMAND=make"});
    EXPECT_EQ(r.exitCode, 3);
}

} // namespace
