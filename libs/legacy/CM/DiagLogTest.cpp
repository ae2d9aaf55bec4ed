#include "DiagLog.h"

#include "DiagHooks.h"
#include "ExceptionWatch.h"
#include "TestSupport.h"
#include "platform/Diagnostics.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

namespace qz {
namespace {

class DiagLogTest : public ::testing::Test {
protected:
    void SetUp() override { DiagLogReset(); }
    void TearDown() override { DiagLogReset(); }
    void SetUpLog(int level, bool debug, const std::string& registryError = "") {
        DiagLogSettings settings;
        settings.level = level;
        settings.debug = debug;
        settings.registryError = registryError;
        DiagLogSetUp(file_, settings);
    }
    std::string Contents() { return test::ReadFile(file_).value_or(""); }

    test::TempDir dir_;
    std::string file_ = dir_ / "Logs/qz_cm_tests.log";
};

TEST_F(DiagLogTest, SectionGeometry) {
    EXPECT_EQ(LogSection("Warning", '='), "");
    SetUpLog(0, false);
    std::string header = LogSection("Warning", '=');
    ASSERT_EQ(header.size(), 79u);
    EXPECT_EQ(header.substr(0, 40), std::string(10, '=') + "Warning" + std::string(23, '='));
    EXPECT_TRUE(std::regex_match(header.substr(40, 23),
                                 std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})")));
    EXPECT_EQ(header.substr(63), std::string(16, '='));
    std::string longTitle(40, 'T');
    header = LogSection(longTitle, '-');
    EXPECT_EQ(header.size(), 79u);
    EXPECT_EQ(header.substr(10, 41), longTitle + header.substr(50, 1));
    EXPECT_EQ(LogSection(std::string(60, 'x'), '-').size(), 93u); // never cut
}

TEST_F(DiagLogTest, RuntimeUnitsWriteThroughTheirHooks) {
    SetUpLog(1, false);
    InstallRuntimeHooks();
    diag::LogText("DBG: plain line");
    diag::LogSection("Thread Error", "it failed");
    std::string text = Contents();
    EXPECT_NE(text.find("DBG: plain line\r\n"), std::string::npos);
    EXPECT_NE(text.find("Thread Error"), std::string::npos);
    EXPECT_NE(text.find("\r\nit failed\r\n"), std::string::npos);
    EXPECT_EQ(diag::BuildNumber(), "14861");
}

TEST_F(DiagLogTest, LevelsAndFlags) {
    SetUpLog(0, false, "An error occurred while initializing log.\r\nboom");
    LogWrite("ordinary", 0);
    LogWrite("verbose", lfVerboseOnly);
    EXPECT_FALSE(test::ReadFile(file_)); // nothing written, not even opened
    LogWarning("careful");
    LogWrite("always", lfAlways | lfFlush);
    std::string text = Contents();
    EXPECT_EQ(text.find("An error occurred while initializing log.\r\nboom\r\n"), 0u);
    EXPECT_NE(text.find("=\r\ncareful\r\n\r\n"), std::string::npos);
    EXPECT_NE(text.find("always\r\n"), std::string::npos);
    EXPECT_EQ(text.find("ordinary"), std::string::npos);

    SetUpLog(1, false);
    LogWrite("ordinary", 0);
    LogDebug("hidden");
    SetUpLog(0, true);
    LogDebug("shown");
    text = Contents();
    EXPECT_NE(text.find("ordinary\r\n"), std::string::npos);
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\[\d+\|\d+\] shown\r\n)")));
    EXPECT_EQ(DiagLogLevel(), 1);
}

TEST_F(DiagLogTest, QuietThreadWritesNothingOthersDo) {
    SetUpLog(1, false);
    {
        QuietScope quiet;
        LogWrite("from quiet thread", lfAlways);
        std::thread other([] { LogWrite("from other thread", lfAlways); });
        other.join();
    }
    LogWrite("after quiet", lfAlways);
    std::string text = Contents();
    EXPECT_EQ(text.find("from quiet thread"), std::string::npos);
    EXPECT_NE(text.find("from other thread"), std::string::npos);
    EXPECT_NE(text.find("after quiet"), std::string::npos);
}

TEST_F(DiagLogTest, OversizedFileIsCutToItsLastThreeMegabytes) {
    std::string big(5 * 1024 * 1024, 'a');
    for (size_t i = 0; i < big.size(); i += 1000) {
        big[i] = static_cast<char>('A' + (i / 1000) % 26);
    }
    test::WriteFile(dir_ / "placeholder", "");
    SetUpLog(0, false);
    LogWrite("first", lfAlways); // creates the folder
    test::WriteFile(file_, big);
    LogWrite("next", lfAlways);
    std::string text = Contents();
    ASSERT_EQ(text.size(), static_cast<size_t>(kLogKeepSize) + 6);
    EXPECT_EQ(text.substr(0, static_cast<size_t>(kLogKeepSize)),
              big.substr(big.size() - static_cast<size_t>(kLogKeepSize)));
    EXPECT_EQ(text.substr(text.size() - 6), "next\r\n");

    SetUpLog(0, true); // verbose: grows without limit
    test::WriteFile(file_, big);
    LogWrite("more", lfAlways);
    EXPECT_EQ(Contents().size(), big.size() + 6);
}

TEST_F(DiagLogTest, TwoProcessesDoNotInterleaveInsideAnEntry) {
    constexpr int kEntries = 300;
    auto codes = test::ForkChildren(2, [&](int index) {
        DiagLogSetUp(file_, DiagLogSettings{}); // each child opens its own descriptor
        char fill = index == 0 ? 'x' : 'y';
        for (int i = 0; i < kEntries; ++i) {
            LogWrite("P" + std::to_string(index) + ":" + std::string(3000, fill) + ":end",
                     lfAlways);
        }
        return 0;
    });
    ASSERT_EQ(codes, (std::vector<int>{0, 0}));
    std::string text = Contents();
    std::regex entry(R"(P0:x{3000}:end|P1:y{3000}:end)");
    int count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(std::regex_match(text.substr(start, end - start), entry)) << "entry " << count;
        start = end + 2;
        ++count;
    }
    EXPECT_EQ(count, 2 * kEntries);
}

TEST_F(DiagLogTest, ThreadsOfOneProcessWriteWholeEntries) {
    SetUpLog(0, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                LogWrite(std::string(500, static_cast<char>('a' + t)), lfAlways);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::string text = Contents();
    ASSERT_EQ(text.size(), 4u * 200 * 502);
    for (size_t at = 0; at < text.size(); at += 502) {
        ASSERT_EQ(text.substr(at, 502), std::string(500, text[at]) + "\r\n") << at;
    }
}

TEST_F(DiagLogTest, FileNameFollowsTheExecutableAndInstance) {
    {
        test::ScopedEnv instance("TamrelLogInstance", "7");
        std::string path = DiagLogFilePath();
        EXPECT_EQ(path.substr(path.size() - 23), "/Logs/qz_cm_tests_7.log");
    }
    test::ScopedEnv instance("TamrelLogInstance", "");
    std::string path = DiagLogFilePath();
    EXPECT_EQ(path.substr(path.size() - 21), "/Logs/qz_cm_tests.log");
}

TEST_F(DiagLogTest, ThreadNamesKeepTheNewest129) {
    SetUpLog(0, false);
    for (int id = 1; id <= 129; ++id) {
        RegisterThreadName(100000 + id, "T" + std::to_string(id));
    }
    EXPECT_EQ(ThreadName(100001), "T1");
    RegisterThreadName(100130, "T130");
    EXPECT_EQ(ThreadName(100001), "");
    EXPECT_EQ(ThreadName(100002), "T2");
    RegisterThreadName(100002, "renamed");
    EXPECT_EQ(ThreadName(100002), "renamed");
}

TEST_F(DiagLogTest, SettingsFromTheRegistry) {
    test::ScopedEnv root("TamrelRegistryRoot", dir_.path());
    // An unconfigured machine (no store, or a store without the key): defaults, nothing to report.
    DiagLogSettings settings = ReadDiagLogSettings();
    EXPECT_EQ(settings.level, 0);
    EXPECT_FALSE(settings.debug);
    EXPECT_EQ(settings.folder, "");
    EXPECT_EQ(settings.registryError, "");
    test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"/x\"\n");
    EXPECT_EQ(ReadDiagLogSettings().registryError, "");

    test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Log]\n\"Level\"=dword:00000002\n"
                                       "\"Debug\"=\"1\"\n\"Folder\"=\"/srv/logs\"\n");
    settings = ReadDiagLogSettings();
    EXPECT_EQ(settings.level, 2);
    EXPECT_TRUE(settings.debug);
    EXPECT_EQ(settings.folder, "/srv/logs");
    EXPECT_EQ(settings.registryError, "");
    test::WriteFile(dir_ / "HKLM.reg",
                    "[SOFTWARE\\Tamrel\\Orvane\\Log]\n\"Level\"=\"x\"\n\"Debug\"=\"1\"\n");
    settings = ReadDiagLogSettings();
    EXPECT_FALSE(settings.debug);
    EXPECT_NE(settings.registryError.find("Invalid registry integer value at: "),
              std::string::npos);
    test::WriteFile(dir_ / "HKLM.reg",
                    "[SOFTWARE\\Tamrel\\Orvane\\Log]\n\"Folder\"=dword:00000001\n");
    settings = ReadDiagLogSettings();
    EXPECT_EQ(settings.folder, "");
    EXPECT_NE(settings.registryError.find("Invalid data type for 'Folder'"), std::string::npos)
        << settings.registryError;

    // A damaged store is reported: nobody can tell whether the key is in it.
    test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Log]\nnot a value line\n");
    settings = ReadDiagLogSettings();
    EXPECT_EQ(settings.level, 0);
    EXPECT_EQ(settings.registryError.find("An error occurred while initializing log.\r\nFailed to "
                                          "access registry information.\r\n"),
              0u)
        << settings.registryError;
    EXPECT_NE(settings.registryError.find("line 2"), std::string::npos) << settings.registryError;
}

DiagLogPlaceFacts InstalledFacts() {
    DiagLogPlaceFacts facts;
    facts.executable = "/usr/bin/qzConsole";
    facts.product = "Orvane";
    facts.home = "/home/ann";
    return facts;
}

TEST_F(DiagLogTest, SystemProgramFolders) {
    for (const char* folder : {"/usr/bin", "/usr/local/bin", "/usr/lib/orvane", "/bin", "/sbin",
                               "/opt/orvane/bin", "/lib64", "/snap/x/bin", "/usr"}) {
        EXPECT_TRUE(IsSystemProgramFolder(folder)) << folder;
    }
    for (const char* folder : {"/usrx/bin", "/home/ann/orvane/bin", "/work/build/QzConsole",
                               "/tmp/x", "/optional", "/var/lib/orvane", "", "usr/bin", "/"}) {
        EXPECT_FALSE(IsSystemProgramFolder(folder)) << folder;
    }
}

TEST_F(DiagLogTest, LogFolderOfAnInstalledProgram) {
    DiagLogPlaceFacts facts = InstalledFacts();
    // A user: the state folder, $XDG_STATE_HOME when it is absolute.
    EXPECT_EQ(DiagLogFolder(facts), "/home/ann/.local/state/orvane/log/");
    facts.stateHome = "/data/state/";
    EXPECT_EQ(DiagLogFolder(facts), "/data/state/orvane/log/");
    facts.stateHome = "relative/state";
    EXPECT_EQ(DiagLogFolder(facts), "/home/ann/.local/state/orvane/log/");
    // Nowhere to put it: no log, never the program folder or the current folder.
    facts.home = "";
    EXPECT_EQ(DiagLogFolder(facts), "");
    facts.home = "relative";
    EXPECT_EQ(DiagLogFolder(facts), "");
    // Root, and an account that may write the machine's log folder (a service account).
    facts = InstalledFacts();
    facts.root = true;
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane/");
    facts.root = false;
    facts.machineFolderWritable = true;
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane/");
    // The product name names the folders, in lower case.
    facts.product = "Other Product";
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/other product/");
    facts.product = "";
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane/");
}

TEST_F(DiagLogTest, LogFolderOverrides) {
    DiagLogPlaceFacts facts = InstalledFacts();
    facts.root = true;
    // systemd's LogsDirectory= (first entry), then the "Folder" setting above everything.
    facts.logsDirectory = "/var/log/orvane-agent:/var/log/other";
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane-agent/");
    facts.logsDirectory = "relative";
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane/");
    facts.configuredFolder = "/srv/logs";
    EXPECT_EQ(DiagLogFolder(facts), "/srv/logs/");
    facts.configuredFolder = "logs"; // only an absolute folder counts
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane/");
}

TEST_F(DiagLogTest, LogFolderOfAPrivateInstallation) {
    DiagLogPlaceFacts facts = InstalledFacts();
    facts.executable = "/home/ann/orvane/bin/qzConsole";
    EXPECT_EQ(DiagLogFolder(facts), "/home/ann/orvane/bin/Logs/");
    facts.root = true;
    EXPECT_EQ(DiagLogFolder(facts), "/home/ann/orvane/bin/Logs/");
    facts.executable = "/qzConsole";
    EXPECT_EQ(DiagLogFolder(facts), "/Logs/");
    // An unreadable executable path gives no program folder: the standard places.
    facts.executable = "";
    EXPECT_EQ(DiagLogFolder(facts), "/var/log/orvane/");
}

TEST_F(DiagLogTest, WaitWarningCarriesIdentityAndTrace) {
    SetUpLog(0, false);
    RegisterThreadName(platform::diag::ThreadId(), "Waiter");
    LogWaitWarning("waited too long");
    std::string text = Contents();
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(-{10}Warning-{23}.{23}-{16}\r\nPID=\d+ TID=\d+ \[Waiter\] )"
                         R"(Build=14861\r\nwaited too long\r\n\(\$CALLTRACE:[0-9A-F]{16}:)")))
        << text;
}

TEST_F(DiagLogTest, StartupAndShutdownSections) {
    test::WriteFile(dir_ / "HKLM.reg",
                    "[SOFTWARE\\Tamrel\\Orvane\\Log]\n\"Level\"=dword:00000001\n");
    std::string instance = test::UniqueName("start");
    test::ScopedEnv root("TamrelRegistryRoot", dir_.path());
    test::ScopedEnv logInstance("TamrelLogInstance", instance);
    std::string path = DiagLogFilePath();
    auto codes = test::ForkChildren(1, [](int) {
        DiagLogStartup();
        DiagLogStartup(); // once only
        LogWrite("ordinary", 0);
        DiagLogShutdown();
        LogWrite("after shutdown", lfAlways);
        return 0;
    });
    ASSERT_EQ(codes, std::vector<int>{0});
    std::string text = test::ReadFile(path).value_or("");
    std::filesystem::remove(path);
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(path).parent_path(), ignored); // when empty
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(^-{10}Started-{23}.{23}-{16}\r\nBuild=14861   PID=\d+   TID=\d+   )"
                         R"(Computer=[^\r]+\r\n\r\nordinary\r\n-{10}Stopped \(PID=\d+\)-+)")))
        << text;
    EXPECT_EQ(text.find("after shutdown"), std::string::npos);
    EXPECT_EQ(text.find("Special Debugging"), std::string::npos);
}

} // namespace
} // namespace qz
