// Where an installed program's diagnostic log goes: a copy of the console placed in a system
// program hierarchy (/opt) and run by root and by a normal user, with and without log settings.
// Nothing may appear beside the program; the log lies in /var/log/<product> for root and in the
// user's state folder otherwise, and a user without a writable place loses only the log. The
// copies run under a product name of their own, so the machine's folders of the real product are
// never touched. Placing a program below /opt needs root: the tests are skipped for other users.

#include "CM/ProductInfo.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using qz::test::RunOptions;
using qz::test::RunProgram;
using qz::test::RunResult;
using qz::test::TempDir;
using ::testing::HasSubstr;

class LogPlacementBlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "placing a program below /opt needs root";
        }
        if (!fs::exists("/usr/bin/setpriv")) {
            GTEST_SKIP() << "setpriv (util-linux) is missing";
        }
        std::string unique = qz::test::UniqueName("qzlog");
        std::replace(unique.begin(), unique.end(), '.', '-');
        product_ = "QzLogTest-" + unique;
        machineLogs_ = "/var/log/qzlogtest-" + unique;
        for (char& c : machineLogs_) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        programFolder_ = "/opt/" + unique + "/bin";
        fs::create_directories(programFolder_);
        fs::copy_file(QZ_CONSOLE_PATH, programFolder_ + "/qzConsole");
        qz::TProductInformationPacket info;
        info.SetStr(qz::TProductInformationPacket::ProductCaption, product_);
        info.SaveToFile(programFolder_ + "/info.dat");
        // Everything a normal user needs to read or write lives in the test's folder.
        fs::permissions(dir_.path(), fs::perms::all | fs::perms::sticky_bit);
        fs::create_directories(dir_ / "registry");
        fs::create_directories(dir_ / "objects");
        fs::permissions(dir_ / "objects", fs::perms::all | fs::perms::sticky_bit);
    }

    void TearDown() override {
        std::error_code ignored;
        if (!programFolder_.empty()) {
            fs::remove_all(fs::path(programFolder_).parent_path(), ignored);
        }
        if (!machineLogs_.empty()) {
            fs::remove_all(machineLogs_, ignored);
        }
    }

    void SetLevel(int level) {
        qz::test::WriteFile(dir_ / "registry/HKLM.reg", "[SOFTWARE\\Tamrel\\" + product_ +
                                                            "\\Log]\n\"Level\"=dword:0000000" +
                                                            std::to_string(level) + "\n");
        fs::permissions(dir_ / "registry/HKLM.reg", fs::perms::owner_read | fs::perms::owner_write |
                                                        fs::perms::group_read |
                                                        fs::perms::others_read);
    }

    // Runs the installed copy as root, or as the user "nobody" through setpriv.
    RunResult Run(bool asUser, std::vector<std::string> args,
                  std::map<std::string, std::optional<std::string>> env = {}) {
        std::vector<std::string> argv;
        if (asUser) {
            argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        }
        argv.push_back(programFolder_ + "/qzConsole");
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = dir_.path();
        options.env = std::move(env);
        options.env.emplace("TamrelRegistryRoot", dir_ / "registry");
        options.env.emplace("TamrelObjectDir", dir_ / "objects");
        options.env.emplace("TamrelBuildContext", std::nullopt);
        options.env.emplace("qzConsoleParams", std::nullopt);
        options.env.emplace("TamrelLogInstance", std::nullopt);
        options.env.emplace("LOGS_DIRECTORY", std::nullopt);
        options.env.emplace("XDG_STATE_HOME", std::nullopt);
        RunResult result = RunProgram(argv, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    // The program folder holds exactly what was put there.
    void ExpectProgramFolderUntouched() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(programFolder_)) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"info.dat", "qzConsole"}));
        EXPECT_FALSE(fs::exists(fs::path(programFolder_).parent_path() / "Logs"));
    }

    std::string UserHome() {
        std::string home = dir_ / "home";
        fs::create_directories(home);
        EXPECT_EQ(RunProgram({"/bin/chown", "65534", home}).exitCode, 0);
        return home;
    }

    TempDir dir_;
    std::string product_;
    std::string machineLogs_;
    std::string programFolder_;
};

TEST_F(LogPlacementBlackBox, RootLogsIntoTheMachineLogFolder) {
    SetLevel(1);
    RunResult r = Run(false, {"/?"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(qz::test::ReadFile(machineLogs_ + "/qzConsole.log").value_or(""),
                HasSubstr("Started"));
    ExpectProgramFolderUntouched();
}

TEST_F(LogPlacementBlackBox, UserLogsIntoTheStateFolder) {
    SetLevel(1);
    std::string home = UserHome();
    RunResult r = Run(true, {"/?"}, {{"HOME", home}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string log =
        home + "/.local/state/" + fs::path(machineLogs_).filename().string() + "/log/qzConsole.log";
    EXPECT_THAT(qz::test::ReadFile(log).value_or(""), HasSubstr("Started"));
    EXPECT_FALSE(fs::exists(machineLogs_));
    ExpectProgramFolderUntouched();

    // $XDG_STATE_HOME names the state folder.
    std::string state = dir_ / "state";
    fs::create_directories(state);
    fs::permissions(state, fs::perms::all);
    r = Run(true, {"/?"}, {{"HOME", home}, {"XDG_STATE_HOME", state}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(state + "/" + fs::path(machineLogs_).filename().string() +
                           "/log/qzConsole.log"));
    ExpectProgramFolderUntouched();
}

TEST_F(LogPlacementBlackBox, AUserWithoutAWritablePlaceLosesOnlyTheLog) {
    SetLevel(1);
    RunResult expected = Run(false, {"/NOLOGO", "/QUERYAGENTSTATUS"});
    RunResult r = Run(true, {"/NOLOGO", "/QUERYAGENTSTATUS"}, {{"HOME", "/nonexistent"}});
    EXPECT_EQ(r.exitCode, expected.exitCode);
    EXPECT_EQ(r.out, expected.out);
    EXPECT_EQ(r.err, "");
    ExpectProgramFolderUntouched();
}

TEST_F(LogPlacementBlackBox, AnUnconfiguredMachineWritesNothingBesideThePrograms) {
    // No store at all, then a store without the log key: both are a machine nobody configured.
    std::string home = UserHome();
    for (bool asUser : {false, true}) {
        for (const char* args : {"/?", "/QUERYAGENTSTATUS", "/STOP", "/NOSUCHSWITCH"}) {
            Run(asUser, {args}, {{"HOME", home}});
            ExpectProgramFolderUntouched();
        }
    }
    qz::test::WriteFile(dir_ / "registry/HKLM.reg", "[SOFTWARE\\Tamrel\\Other]\n\"X\"=\"1\"\n");
    fs::permissions(dir_ / "registry/HKLM.reg", fs::perms::owner_read | fs::perms::others_read);
    for (bool asUser : {false, true}) {
        Run(asUser, {"/QUERYAGENTSTATUS"}, {{"HOME", home}});
        ExpectProgramFolderUntouched();
    }
    // Whatever was written reports no missing log settings.
    for (const std::string& log :
         {machineLogs_ + "/qzConsole.log", home + "/.local/state/" +
                                               fs::path(machineLogs_).filename().string() +
                                               "/log/qzConsole.log"}) {
        EXPECT_THAT(qz::test::ReadFile(log).value_or(""),
                    ::testing::Not(HasSubstr("An error occurred while initializing log")))
            << log;
    }
}

} // namespace
