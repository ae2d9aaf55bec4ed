#include "BuildCacheHelper.h"

#include "AgentReg.h"
#include "CM/CrossRegistry.h"
#include "CM/DiagLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace qz::nv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// A machine with an agent, its cache configuration and a full cache:
//   <dir>/agent/resources/buildcache_service_config.json
//   <dir>/programdata/Orvane/BuildCache  (the data folder: Intermediate/, sync_timestamp)
//   <dir>/cache                          (the cache directory: FileCache/, TaskExtraInfo.db)
//   <dir>/db                             (the database folder: *.rdb)
class BuildCacheClean : public ::testing::Test {
protected:
    void SetUp() override {
        SetProductRegistryName("Orvane");
        fs::permissions(dir_.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::create_directories(dir_ / "agent/resources");
        fs::create_directories(dir_ / "registry");
        test::WriteFile(dir_ / "registry/HKLM.reg",
                        "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" + (dir_ / "agent") +
                            "\"\n");
        test::WriteFile(dir_ / "agent/resources/buildcache_service_config.json",
                        R"({"localRedisInstance":{"dbLocation":")" + (dir_ / "db") +
                            R"("},"fileSystem":{"cacheDirectoryLocation":")" + (dir_ / "cache") +
                            R"("}})");
        fs::create_directories(dir_ / "outside");
        test::WriteFile(dir_ / "outside/keep.txt", "precious");

        fs::create_directories(cache_ + "/FileCache/ab/cd");
        test::WriteFile(cache_ + "/FileCache/ab/cd/entry", "1");
        test::WriteFile(cache_ + "/FileCache/.lock", "1");
        fs::create_directories(cache_ + "/FileCache/.git");
        test::WriteFile(cache_ + "/TaskExtraInfo.db", "1");
        test::WriteFile(cache_ + "/other", "1");
        fs::create_directories(data_ + "/Intermediate/x");
        test::WriteFile(data_ + "/Intermediate/x/y", "1");
        test::WriteFile(data_ + "/sync_timestamp", "1");
        test::WriteFile(data_ + "/keep.json", "1");
        fs::create_directories(db_);
        test::WriteFile(db_ + "/dump.rdb", "1");
        test::WriteFile(db_ + "/DUMP2.RDB", "1");
        test::WriteFile(db_ + "/appendonly.aof", "1");

        DiagLogReset();
        test::WriteFile(log_, "");
        fs::permissions(log_, fs::perms::all);
        DiagLogSetUp(log_, DiagLogSettings{});
    }
    void TearDown() override { DiagLogReset(); }

    std::string Log() const { return test::ReadFile(log_).value_or(""); }
    bool OutsideIntact() const {
        return test::ReadFile(dir_ / "outside/keep.txt").value_or("") == "precious";
    }
    bool Clear() {
        lines_.clear();
        return TBuildCacheHelper::ClearBuildCache(
            [this](const std::string& line) { lines_.push_back(line); });
    }

    // Runs the clean in a child process as an unprivileged user that owns the given paths
    // (when the tests run as root; otherwise as the own user). Returns the clean's result (0 or
    // 1) and its lines.
    int ClearAsUser(const std::vector<std::string>& owned, std::vector<std::string>& lines) {
        bool root = geteuid() == 0;
        if (root) {
            for (const std::string& path : owned) {
                for (const auto& entry : fs::recursive_directory_iterator(path)) {
                    lchown(entry.path().c_str(), kNobody, kNobody);
                }
                lchown(path.c_str(), kNobody, kNobody);
            }
        }
        int pipeFds[2];
        EXPECT_EQ(pipe(pipeFds), 0);
        int pid = test::ForkChild([&] {
            close(pipeFds[0]);
            if (root && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
                return 90;
            }
            bool result = TBuildCacheHelper::ClearBuildCache([&](const std::string& line) {
                std::string text = line + "\n";
                (void)!write(pipeFds[1], text.data(), text.size());
            });
            return result ? 1 : 0;
        });
        close(pipeFds[1]);
        int code = test::WaitChild(pid, 30s);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        close(pipeFds[0]);
        lines.clear();
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return code;
    }

    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_ / "registry"};
    test::ScopedEnv programData_{"PROGRAMDATA", dir_ / "programdata"};
    std::string cache_ = dir_ / "cache";
    std::string data_ = dir_ / "programdata/Orvane/BuildCache";
    std::string db_ = dir_ / "db";
    std::string log_ = dir_ / "diag.log";
    std::vector<std::string> lines_;
};

TEST_F(BuildCacheClean, DeletesTheFiveTargetsAndNothingElse) {
    EXPECT_TRUE(Clear());
    EXPECT_TRUE(lines_.empty());
    EXPECT_FALSE(fs::exists(cache_ + "/FileCache"));
    EXPECT_FALSE(fs::exists(data_ + "/Intermediate"));
    EXPECT_FALSE(fs::exists(db_ + "/dump.rdb"));
    EXPECT_FALSE(fs::exists(db_ + "/DUMP2.RDB"));
    EXPECT_FALSE(fs::exists(cache_ + "/TaskExtraInfo.db"));
    EXPECT_FALSE(fs::exists(data_ + "/sync_timestamp"));
    EXPECT_TRUE(fs::exists(db_ + "/appendonly.aof"));
    EXPECT_TRUE(fs::exists(cache_ + "/other"));
    EXPECT_TRUE(fs::exists(data_ + "/keep.json"));
    EXPECT_EQ(Log().find("Warning"), std::string::npos);
    // The agent key's "Log" subkey was made to test the rights, and stays.
    EXPECT_NE(test::ReadFile(dir_ / "registry/HKLM.reg")->find("[SOFTWARE\\Tamrel\\Orvane\\Log]"),
              std::string::npos);

    // Nothing left to delete is no failure.
    fs::remove(cache_ + "/other");
    EXPECT_TRUE(Clear());
}

TEST_F(BuildCacheClean, LinksInTheCacheAreRemovedAndTheOutsideSurvives) {
    fs::create_directory_symlink(dir_ / "outside", cache_ + "/FileCache/ab/evil");
    fs::remove_all(data_ + "/Intermediate");
    fs::create_directory_symlink(dir_ / "outside", data_ + "/Intermediate");
    fs::create_symlink(dir_ / "outside/keep.txt", db_ + "/linked.rdb");
    fs::remove(cache_ + "/TaskExtraInfo.db");
    fs::create_symlink(dir_ / "outside/keep.txt", cache_ + "/TaskExtraInfo.db");
    EXPECT_TRUE(Clear());
    EXPECT_TRUE(OutsideIntact());
    EXPECT_FALSE(fs::exists(fs::symlink_status(data_ + "/Intermediate")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(db_ + "/linked.rdb")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(cache_ + "/TaskExtraInfo.db")));
    EXPECT_FALSE(fs::exists(cache_ + "/FileCache"));
}

TEST_F(BuildCacheClean, FileCacheThatIsItselfALink) {
    fs::remove_all(cache_ + "/FileCache");
    fs::create_directory_symlink(dir_ / "outside", cache_ + "/FileCache");
    EXPECT_TRUE(Clear());
    EXPECT_TRUE(OutsideIntact());
    EXPECT_FALSE(fs::exists(fs::symlink_status(cache_ + "/FileCache")));
}

TEST_F(BuildCacheClean, ConfigurationErrorsGiveOneErrorLineAndTouchNothing) {
    fs::remove(dir_ / "agent/resources/buildcache_service_config.json");
    EXPECT_FALSE(Clear());
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0], "Error: Cannot open file " +
                             (dir_ / "agent/resources/buildcache_service_config.json"));
    EXPECT_TRUE(fs::exists(cache_ + "/FileCache/ab/cd/entry"));
    EXPECT_TRUE(fs::exists(db_ + "/dump.rdb"));

    test::WriteFile(dir_ / "agent/resources/buildcache_service_config.json", "{\"a\":");
    EXPECT_FALSE(Clear());
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_EQ(lines_[0], "Error: Default Build Cache service configuration file not found: " +
                             (dir_ / "agent/resources/buildcache_service_config.json"));
    EXPECT_TRUE(fs::exists(cache_ + "/TaskExtraInfo.db"));
}

TEST_F(BuildCacheClean, AStoreThatCannotBeWrittenGivesOnlyTheRightsLine) {
    std::vector<std::string> lines;
    fs::permissions(dir_ / "registry/HKLM.reg", fs::perms::owner_read | fs::perms::others_read);
    fs::permissions(dir_ / "registry", fs::perms::owner_read | fs::perms::owner_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(ClearAsUser({cache_, dir_ / "programdata", db_}, lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"Please note that user has no administrative "
                                              "rights so cannot clear cache."});
    EXPECT_TRUE(fs::exists(cache_ + "/FileCache/ab/cd/entry"));
    EXPECT_TRUE(fs::exists(data_ + "/Intermediate/x/y"));
    EXPECT_TRUE(fs::exists(db_ + "/dump.rdb"));
    EXPECT_TRUE(fs::exists(cache_ + "/TaskExtraInfo.db"));
    EXPECT_TRUE(fs::exists(data_ + "/sync_timestamp"));
    fs::permissions(dir_ / "registry", fs::perms::owner_all);
}

TEST_F(BuildCacheClean, AFolderWithoutWritePermissionFailsWithAWarningTheRestGoes) {
    fs::create_directories(cache_ + "/FileCache/locked/inner");
    test::WriteFile(cache_ + "/FileCache/locked/inner/held", "1");
    std::vector<std::string> lines;
    fs::permissions(cache_ + "/FileCache/locked/inner",
                    fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(ClearAsUser({cache_, dir_ / "programdata", db_, dir_ / "registry"}, lines), 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(fs::exists(cache_ + "/FileCache/locked/inner/held"));
    EXPECT_FALSE(fs::exists(cache_ + "/FileCache/ab"));
    EXPECT_FALSE(fs::exists(cache_ + "/FileCache/.lock"));
    EXPECT_FALSE(fs::exists(data_ + "/Intermediate"));
    EXPECT_FALSE(fs::exists(db_ + "/dump.rdb"));
    EXPECT_FALSE(fs::exists(cache_ + "/TaskExtraInfo.db"));
    std::string log = Log();
    EXPECT_NE(log.find("Cache clean failed on attempt to delete " + cache_ + "/FileCache/"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Intermediate"), std::string::npos);
    fs::permissions(cache_ + "/FileCache/locked/inner", fs::perms::owner_all);
}

TEST_F(BuildCacheClean, TaskInformationDatabaseMissingOrUndeletable) {
    fs::remove_all(cache_ + "/FileCache");
    fs::remove(cache_ + "/TaskExtraInfo.db");
    EXPECT_TRUE(Clear());

    test::WriteFile(cache_ + "/TaskExtraInfo.db", "1");
    // The cache directory itself may not be changed: its file cannot be deleted.
    fs::permissions(cache_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    std::vector<std::string> lines;
    EXPECT_EQ(ClearAsUser({dir_ / "programdata", db_, dir_ / "registry"}, lines), 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(fs::exists(cache_ + "/TaskExtraInfo.db"));
    EXPECT_NE(Log().find("Cache clean failed on attempt to delete " + cache_ + "/TaskExtraInfo.db"),
              std::string::npos);
    fs::permissions(cache_, fs::perms::owner_all);
}

TEST_F(BuildCacheClean, AnUndeletableTimeStampNeverChangesTheResult) {
    fs::remove(data_ + "/sync_timestamp");
    fs::create_directories(data_ + "/sync_timestamp");
    EXPECT_TRUE(Clear());
    EXPECT_TRUE(fs::exists(data_ + "/sync_timestamp"));
}

TEST(BuildCacheHelper, RefusedFolderNames) {
    for (const char* name : {"", ".", "/", "\\"}) {
        EXPECT_FALSE(TBuildCacheHelper::DeleteMatching(name, "*.*")) << name;
        EXPECT_FALSE(TBuildCacheHelper::DeleteFolderTree(name)) << name;
    }
}

} // namespace
} // namespace qz::nv
