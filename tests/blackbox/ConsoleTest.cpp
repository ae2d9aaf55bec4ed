// The console as a user runs it: usage, option files, the nested-job guard, the exit-code base
// and the status report without an agent service.

#include "CM/ProductInfo.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

using qz::test::RunOptions;
using qz::test::RunProgram;
using qz::test::RunResult;
using qz::test::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kNotRunning =
    "Processing is unable to continue due to the Agent Service is not running.\r\n";

class ConsoleBlackBox : public ::testing::Test {
protected:
    RunResult Run(std::vector<std::string> args, RunOptions options = {}) {
        args.insert(args.begin(), console_);
        if (options.cwd.empty()) {
            options.cwd = dir_.path();
        }
        options.env.emplace("TamrelBuildContext", std::nullopt);
        options.env.emplace("qzConsoleParams", std::nullopt);
        options.env.emplace("TamrelRegistryRoot", dir_.path());
        options.env.emplace("TamrelObjectDir", dir_.path()); // named objects stay in the test
        RunResult result = RunProgram(args, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    TempDir dir_;
    std::string console_ = QZ_CONSOLE_PATH;
};

TEST_F(ConsoleBlackBox, NoArgumentsPrintsUsageAndExitsZero) {
    RunResult r = Run({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Usage:\r\n\r\n        qzConsole <job.xml>        [options]\r\n"));
    EXPECT_THAT(r.out,
                HasSubstr("        qzConsole /COMMAND=\"<job command line>\"   [options]\r\n"));
    EXPECT_THAT(r.out, HasSubstr("  /EXITCODEBASE[=n]           Adds a base number"));
    EXPECT_THAT(r.out, HasSubstr("cancellation. (Default value is 10000.)\r\n"));
    EXPECT_THAT(r.out, HasSubstr("  /MAXWINVER=<version>        Max. allowed Windows version for "
                                 "helper Agents\r\n                              {XP, 2003, "
                                 "Vista, 2008, 7, 8, 8.1, 10}\r\n"));
    EXPECT_THAT(r.out, HasSubstr("Clean and build (XML only)\r\n"));
    // The text ends with two empty lines.
    EXPECT_THAT(r.out, ::testing::EndsWith("frameworks\r\n\r\n\r\n"));
}

TEST_F(ConsoleBlackBox, UsageNamesTheRunningExecutable) {
    std::filesystem::copy_file(console_, dir_ / "qz.bin");
    console_ = dir_ / "qz.bin";
    RunResult r = Run({"/?"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("        qz <job.xpx>        [options]\r\n"));
}

TEST_F(ConsoleBlackBox, HelpIgnoresOtherSwitches) {
    RunResult r = Run({"/HELP", "/whatever=1", "job.xml"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Usage:"));
}

TEST_F(ConsoleBlackBox, EmptyOptionFileSuppressesUsage) {
    qz::test::WriteFile(dir_ / "empty.rsp", "");
    RunResult r = Run({"@empty.rsp"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, Not(HasSubstr("Usage:")));
    EXPECT_THAT(r.out, HasSubstr(kNotRunning));
}

TEST_F(ConsoleBlackBox, BuildRequestWithoutServiceExitsThree) {
    RunResult r = Run({"/COMMAND=make all"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, HasSubstr(kNotRunning));
}

TEST_F(ConsoleBlackBox, NestedJobIsRefused) {
    RunOptions options;
    options.env["TamrelBuildContext"] = "1";
    RunResult r = Run({"/COMMAND=make"}, options);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, HasSubstr("Fatal Error: An Orvane distributed job cannot be started from "
                                 "within another distributed job.\r\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("Processing is unable")));
}

TEST_F(ConsoleBlackBox, OtherNestedJobValuesAreAccepted) {
    for (const char* value : {"0", "true", ""}) {
        RunOptions options;
        options.env["TamrelBuildContext"] = value;
        RunResult r = Run({"/COMMAND=make"}, options);
        EXPECT_EQ(r.exitCode, 3) << value;
        EXPECT_THAT(r.out, HasSubstr(kNotRunning)) << value;
    }
}

TEST_F(ConsoleBlackBox, ExitCodeBaseRaisesConsoleCodes) {
    RunResult r = Run({"/exitcodebase=100", "/COMMAND=make"});
    EXPECT_EQ(r.exitCode, 103);
    // A base that is not a number is 10000; the parent sees the low 8 bits of 10003.
    r = Run({"-EXITCODEBASE=abc", "/COMMAND=make"});
    EXPECT_EQ(r.exitCode, 10003 & 0xFF);
}

TEST_F(ConsoleBlackBox, EscapingExceptionExitsWithThreeExactly) {
    RunResult r = Run({"/exitcodebase=100", "@missing.rsp"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_THAT(r.out, HasSubstr("Fatal Error: "));
    EXPECT_THAT(r.out, HasSubstr("missing.rsp"));
}

TEST_F(ConsoleBlackBox, AgentStatusWithoutServiceOrManagerLibrary) {
    RunResult r = Run({"/QUERYAGENTSTATUS"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Agent Services Status: not running\r\n"
                                 "Connectivity to Coordinator: not connected\r\n"
                                 "MGL Connection to Manager: Not connected (error: Cannot load "
                                 "library '"));
    EXPECT_THAT(r.out, HasSubstr("libMgrlink.so'"));
}

TEST_F(ConsoleBlackBox, AgentStatusAsksTheManagerLibraryBesideTheProgram) {
    std::filesystem::copy_file(console_, dir_ / "qzConsole");
    std::filesystem::copy_file(QZ_FAKE_MGRLINK_PATH, dir_ / "libMgrlink.so");
    console_ = dir_ / "qzConsole";
    RunResult r = Run({"/QUERYAGENTSTATUS"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("MGL Connection to Manager: OK\r\n"));

    RunOptions options;
    options.env["FAKE_MGRLINK_UNHEALTHY"] = "1";
    r = Run({"/QUERYAGENTSTATUS"}, options);
    EXPECT_THAT(r.out,
                HasSubstr("MGL Connection to Manager: Not connected (manager unreachable)\r\n"));
}

TEST_F(ConsoleBlackBox, AMissingManagerLibraryIsNoRaisedExceptionInTheLog) {
    std::filesystem::copy_file(console_, dir_ / "qzConsole");
    console_ = dir_ / "qzConsole";
    RunOptions options;
    options.env["TamrelRegistryRoot"] = dir_.path();
    ASSERT_EQ(RunProgram({QZ_QZREG_PATH, "set", "HKLM", "SOFTWARE\\Tamrel\\Orvane\\Log", "Level",
                          "1", "dword"},
                         options)
                  .exitCode,
              0);
    std::string log = dir_ / "Logs/qzConsole.log";
    for (int query = 0; query < 2; ++query) {
        RunResult r = Run({"/QUERYAGENTSTATUS"});
        EXPECT_EQ(r.exitCode, 0);
        // The console still says why there is no manager connection.
        EXPECT_THAT(r.out, HasSubstr("MGL Connection to Manager: Not connected (error: Cannot "
                                     "load library '"));
    }
    // (Without an agent the failed connection is logged; the library is not.)
    std::string text = qz::test::ReadFile(log).value_or("");
    EXPECT_THAT(text, HasSubstr("Started"));
    EXPECT_THAT(text, Not(HasSubstr("Cannot load library")));

    // A library that is there but does not load is worth the entry.
    qz::test::WriteFile(dir_ / "libMgrlink.so", "not a shared object");
    RunResult r = Run({"/QUERYAGENTSTATUS"});
    EXPECT_THAT(r.out, HasSubstr("MGL Connection to Manager: Not connected (error: Cannot load"));
    EXPECT_THAT(qz::test::ReadFile(log).value_or(""), HasSubstr("Cannot load library"));
}

TEST_F(ConsoleBlackBox, ProductNameOfInfoDatNamesTheRegistryKeys) {
    std::filesystem::copy_file(console_, dir_ / "qzConsole");
    console_ = dir_ / "qzConsole";
    qz::TProductInformationPacket info;
    info.SetStr(qz::TProductInformationPacket::ProductCaption, "Other");
    info.SaveToFile(dir_ / "info.dat");
    auto setLevel = [&](const std::string& product) {
        RunOptions options;
        options.env["TamrelRegistryRoot"] = dir_.path();
        RunResult r = RunProgram({QZ_QZREG_PATH, "set", "HKLM",
                                  "SOFTWARE\\Tamrel\\" + product + "\\Log", "Level", "1", "dword"},
                                 options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    };
    std::string log = dir_ / "Logs/qzConsole.log";

    // The default product's log settings are not this product's.
    setLevel("Orvane");
    EXPECT_EQ(Run({"/?"}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(log));

    setLevel("Other");
    EXPECT_EQ(Run({"/?"}).exitCode, 0);
    EXPECT_THAT(qz::test::ReadFile(log).value_or(""), HasSubstr("Started"));
}

} // namespace
