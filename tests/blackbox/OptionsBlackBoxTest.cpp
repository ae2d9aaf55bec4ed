// The console's switches as a user meets them before the agent service is asked: the banner,
// /SILENT, /OUT with /TITLE, global override errors and the exit codes.

#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kNotRunning =
    "Processing is unable to continue due to the Agent Service is not running.\r\n";

class OptionsBlackBox : public ::testing::Test {
protected:
    qz::test::RunResult Run(std::vector<std::string> args, const char* params = nullptr) {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        qz::test::RunOptions options;
        options.cwd = dir_.path();
        options.env["TamrelBuildContext"] = std::nullopt;
        options.env["qzConsoleParams"] = params ? std::optional<std::string>(params) : std::nullopt;
        options.env["TamrelRegistryRoot"] = dir_.path();
        options.env["TamrelObjectDir"] = dir_.path(); // named objects stay in the test
        return qz::test::RunProgram(args, options);
    }
    std::string Read(const std::string& name) {
        return qz::test::ReadFile(dir_ / name).value_or("<missing>");
    }
    qz::test::TempDir dir_;
};

TEST_F(OptionsBlackBox, BannerUnlessNoLogoOrSilent) {
    auto r = Run({"/COMMAND=make"});
    const std::string dashes(42, '-'); // the copyright line is longer than the title
    EXPECT_THAT(r.out,
                StartsWith("\r\n" + dashes + "\r\nOrvane Console 10.24.2 (build 14861)\r\n"));
    EXPECT_THAT(r.out, EndsWith(".\r\n" + dashes + "\r\n\r\n\n" + kNotRunning));
    EXPECT_EQ(Run({"-nologo", "/COMMAND=make"}).out, kNotRunning);
    r = Run({"/COMMAND=make"}, "/Silent");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 3);
    // Neither the usage text nor fatal errors are silenced.
    EXPECT_THAT(Run({"/SILENT", "/?"}).out, HasSubstr("Usage:"));
    EXPECT_EQ(Run({"/SILENT", "/pemode=5", "/COMMAND=make"}).out,
              "Fatal Error: The /PEMODE parameter value is invalid.\r\n");
}

TEST_F(OptionsBlackBox, OutFileFromAnOptionFileGetsTheLinesButNotTheBanner) {
    qz::test::WriteFile(dir_ / "opts.rsp", "/OUT=logs/$(Title).out\n");
    auto r = Run({"@opts.rsp", "/COMMAND=make", "/TITLE=Weekly"});
    EXPECT_THAT(r.out, StartsWith("\r\n---"));
    EXPECT_THAT(r.out, Not(HasSubstr("Weekly")));
    EXPECT_EQ(Read("logs/Weekly.out"), "Weekly\r\n\r\n" + kNotRunning);

    // An exception that escapes prints "Fatal Error: " on standard output only, exit code 3.
    r = Run({"/exitcodebase=100", "/NOLOGO", "/TITLE=T", "/OUT=o.txt", "/SETENV==1", "/COMMAND=x"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, StartsWith("Fatal Error: Failed to set environment variable"));
    EXPECT_EQ(Read("o.txt"), "T\r\n\r\n");
}

TEST_F(OptionsBlackBox, ErrorsOfTheSwitchesUseTheExitCodeBase) {
    qz::test::WriteFile(dir_ / "file", "");
    auto r = Run({"/NOLOGO", "/OUT=file/o.txt", "/exitcodebase=50", "/COMMAND=make"});
    EXPECT_EQ(r.out, "Fatal Error: The path specified with /OUT parameter is invalid.\r\n");
    EXPECT_EQ(r.exitCode, 53);
    r = Run({"/NOLOGO", "-EXITCODEBASE=100", "/OUT=o.txt", "/BUILDCACHEREMOTESERVER=h:8080:x",
             "/COMMAND=make"});
    EXPECT_EQ(r.out, "Fatal Error: Invalid remote cache server port format\r\n");
    EXPECT_EQ(r.exitCode, 103);
    // A bare base (10000) counts from the console switches on; 10003 arrives as its low 8 bits.
    EXPECT_EQ(Run({"/NOLOGO", "/EXITCODEBASE", "/OUT=file/o.txt", "/COMMAND=x"}).exitCode, 19);
    EXPECT_EQ(Run({"/NOLOGO", "/EXITCODEBASE", "/pemode=9", "/COMMAND=x"}).exitCode, 3);
}

} // namespace
