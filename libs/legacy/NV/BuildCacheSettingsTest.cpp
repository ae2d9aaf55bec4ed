#include "BuildCacheSettings.h"

#include "CM/CrossRegistry.h"
#include "CM/Exceptions.h"
#include "CM/SpecialDirs.h"
#include "JsonDocument.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::nv {
namespace {

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no exception)";
}

std::string Merged(const std::string& target, const std::string& source) {
    std::optional<TJsonDocument> a = TJsonDocument::Parse(target);
    std::optional<TJsonDocument> b = TJsonDocument::Parse(source);
    EXPECT_TRUE(a && b) << target << " / " << source;
    a->MergeFrom(std::move(*b));
    return a->ToText();
}

TEST(JsonDocument, LenientParsing) {
    EXPECT_TRUE(TJsonDocument::Parse("{\"a\":1} trailing garbage {"));
    EXPECT_TRUE(TJsonDocument::Parse("// comment\n{/* inside */ \"a\": 1}"));
    EXPECT_TRUE(TJsonDocument::Parse("\xEF\xBB\xBF{\"a\":1}"));
    EXPECT_FALSE(TJsonDocument::Parse(""));
    EXPECT_FALSE(TJsonDocument::Parse("   "));
    EXPECT_FALSE(TJsonDocument::Parse("{\"a\":1,}"));
    EXPECT_FALSE(TJsonDocument::Parse("{\"a\":\"\xC3\"}"));
    EXPECT_FALSE(TJsonDocument::Parse("{\"a\": [1, 2}"));
}

TEST(JsonDocument, DottedReadsOnlyGiveTheTypeRead) {
    auto doc = TJsonDocument::Parse(R"({"s":{"port":8080,"big":18446744073709551615,
        "neg":-5,"f":1.5,"t":"x\u0000y","b":true,"n":null,"num":"12"},"a.b":1})");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->ReadInteger("s.port"), 8080);
    EXPECT_EQ(doc->ReadInteger("s.big"), -1);
    EXPECT_EQ(doc->ReadInteger("s.neg"), -5);
    EXPECT_EQ(doc->ReadInteger("s.f"), std::nullopt);
    EXPECT_EQ(doc->ReadInteger("s.num"), std::nullopt);
    EXPECT_EQ(doc->ReadText("s.t"), "x");
    EXPECT_EQ(doc->ReadText("s.port"), std::nullopt);
    EXPECT_EQ(doc->ReadBool("s.b"), true);
    EXPECT_EQ(doc->ReadBool("s.n"), std::nullopt);
    EXPECT_EQ(doc->ReadInteger("s.port.x"), std::nullopt);
    EXPECT_EQ(doc->ReadInteger("a.b"), std::nullopt);
    EXPECT_EQ(doc->ReadInteger(""), std::nullopt);
    EXPECT_EQ(doc->ReadInteger("s..port"), std::nullopt);
}

TEST(JsonDocument, MergeRules) {
    // Objects member by member, members only in the target stay.
    EXPECT_EQ(Merged(R"({"a":{"x":1,"y":2},"k":0})", R"({"a":{"y":3,"z":4}})"),
              R"({"a":{"x":1,"y":3,"z":4},"k":0})");
    // Arrays by position, the source's extra elements appended, objects inside merged.
    EXPECT_EQ(Merged(R"({"a":[{"p":1,"q":1},2,3]})", R"({"a":[{"q":9},7]})"),
              R"({"a":[{"p":1,"q":9},7,3]})");
    EXPECT_EQ(Merged(R"({"a":[1]})", R"({"a":[5,6,[7]]})"), R"({"a":[5,6,[7]]})");
    // A member that changes type is replaced whole; a null makes it null.
    EXPECT_EQ(Merged(R"({"a":{"x":1}})", R"({"a":"text"})"), R"({"a":"text"})");
    EXPECT_EQ(Merged(R"({"a":"text"})", R"({"a":{"x":1}})"), R"({"a":{"x":1}})");
    EXPECT_EQ(Merged(R"({"a":{"x":1},"b":2})", R"({"a":null})"), R"({"a":null,"b":2})");
    // Integer and float are one JSON type.
    EXPECT_EQ(Merged(R"({"a":1})", R"({"a":2.5})"), R"({"a":2.5})");
    // Roots of different types: the source wins.
    EXPECT_EQ(Merged(R"({"a":1})", R"([1])"), R"([1])");
}

TEST(JsonDocument, DeepNestingDoesNotExhaustTheStack) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string deepObject;
    for (int i = 0; i < 50000; ++i) {
        deepObject += "{\"a\":";
    }
    deepObject += "1" + std::string(50000, '}');
    auto target = TJsonDocument::Parse(deepObject);
    auto source = TJsonDocument::Parse(deepObject);
    ASSERT_TRUE(target && source);
    target->MergeFrom(std::move(*source));
    auto arrays = TJsonDocument::Parse(deep);
    ASSERT_TRUE(arrays);
    auto moreArrays = TJsonDocument::Parse(deep);
    arrays->MergeFrom(std::move(*moreArrays));
}

constexpr const char* kDefaultConfig = R"({
    // installed with the agent
    "service": {"port": 9090, "gridId": "grid-1", "useTls": true, "tlsCnPattern": "cn*",
                "compression": "lz4"},
    "localRedisInstance": {"port": 6379, "dbLocation": "%PROGRAMDATA%/Orvane/BuildCache",
                           "dbLocationUser": "redis", "dbLocationPassword": "secret"},
    "fileSystem": {"cacheDirectoryLocation": "", "remoteUser": "cache"},
    "cacheCleaner": {"maxCacheSize": 4294967297}
})";

TEST(BuildCacheSettings, DefaultFileAloneAndTheFolderRule) {
    TBuildCacheSettings settings(kDefaultConfig, "/d.json", std::nullopt,
                                 "/data/Orvane/BuildCache");
    EXPECT_EQ(settings.ServicePort(), 9090);
    EXPECT_EQ(settings.GridId(), "grid-1");
    EXPECT_TRUE(settings.UseTls());
    EXPECT_EQ(settings.TlsCnPattern(), "cn*");
    EXPECT_EQ(settings.Compression(), "lz4");
    EXPECT_EQ(settings.RedisPort(), 6379);
    EXPECT_EQ(settings.DbLocationUser(), "redis");
    EXPECT_EQ(settings.RemoteUser(), "cache");
    EXPECT_EQ(settings.MaxCacheSize(), 1); // the low 32 bits
    EXPECT_EQ(settings.DbLocation(), "/data/Orvane/BuildCache");
    EXPECT_EQ(settings.CacheDirectoryLocation(), "/data/Orvane/BuildCache");
    EXPECT_EQ(settings.TaskExtraInfoFile(), "/data/Orvane/BuildCache/TaskExtraInfo.db");

    // The Windows spelling of the placeholder means the same folder.
    TBuildCacheSettings windows(
        R"({"fileSystem":{"cacheDirectoryLocation":"%PROGRAMDATA%\\Orvane\\BuildCache"}})", "/d",
        std::nullopt, "/x");
    EXPECT_EQ(windows.CacheDirectoryLocation(), "/x");

    // Anything else is literal: a trailing separator, other letter case, variables.
    for (const char* text :
         {"%PROGRAMDATA%/Orvane/BuildCache/", "%programdata%/Orvane/BuildCache", "$HOME/cache"}) {
        TBuildCacheSettings literal(std::string(R"({"fileSystem":{"cacheDirectoryLocation":")") +
                                        text + "\"}}",
                                    "/d", std::nullopt, "/x");
        EXPECT_EQ(literal.CacheDirectoryLocation(), text);
    }
}

TEST(BuildCacheSettings, MissingKeysReadAsZeroEmptyFalse) {
    TBuildCacheSettings settings("{}", "/d", std::nullopt, "/x");
    EXPECT_EQ(settings.ServicePort(), 0);
    EXPECT_EQ(settings.GridId(), "");
    EXPECT_FALSE(settings.UseTls());
    EXPECT_EQ(settings.MaxCacheSize(), 0);
    EXPECT_EQ(settings.DbLocation(), "/x");
    EXPECT_EQ(settings.CacheDirectoryLocation(), "/x");
    // A document that is not an object has no keys either.
    TBuildCacheSettings array("[1,2]", "/d", std::nullopt, "/x");
    EXPECT_EQ(array.CacheDirectoryLocation(), "/x");
}

TEST(BuildCacheSettings, OverrideCases) {
    TBuildCacheSettings one(kDefaultConfig, "/d",
                            R"({"fileSystem":{"cacheDirectoryLocation":"/fast/cache"}})", "/x");
    EXPECT_EQ(one.CacheDirectoryLocation(), "/fast/cache");
    EXPECT_EQ(one.RemoteUser(), "cache");
    EXPECT_EQ(one.ServicePort(), 9090);
    EXPECT_EQ(one.DbLocation(), "/x");

    // "fileSystem" as a text replaces the whole member: the folder falls back.
    TBuildCacheSettings retyped(kDefaultConfig, "/d", R"({"fileSystem":"nothing"})", "/x");
    EXPECT_EQ(retyped.CacheDirectoryLocation(), "/x");
    EXPECT_EQ(retyped.RemoteUser(), "");

    TBuildCacheSettings nulled(kDefaultConfig, "/d", R"({"service":{"port":null}})", "/x");
    EXPECT_EQ(nulled.ServicePort(), 0);
    EXPECT_EQ(nulled.GridId(), "grid-1");

    for (const char* bad : {"", "{\"service\":", "not json"}) {
        TBuildCacheSettings ignored(kDefaultConfig, "/d", std::string(bad), "/x");
        EXPECT_EQ(ignored.ServicePort(), 9090) << bad;
    }
}

TEST(BuildCacheSettings, DefaultThatDoesNotParse) {
    for (const char* bad : {"", "{\"service\": {", "\x01"}) {
        EXPECT_EQ(MessageOf([&] { TBuildCacheSettings s(bad, "/a/b.json", std::nullopt, "/x"); }),
                  "Default Build Cache service configuration file not found: /a/b.json");
    }
}

class BuildCacheSettingsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        SetProductRegistryName("Orvane");
        std::filesystem::create_directories(dir_ / "agent/resources");
        std::filesystem::create_directories(dir_ / "programdata/Orvane/BuildCache");
        test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                                               (dir_ / "agent") + "\"\n");
    }
    std::string DefaultFile() const {
        return dir_ / "agent/resources/buildcache_service_config.json";
    }
    std::string OverrideFile() const {
        return dir_ / "programdata/Orvane/BuildCache/buildcache_service_config.json";
    }

    test::TempDir dir_;
    test::ScopedEnv root_{"TamrelRegistryRoot", dir_.path()};
    test::ScopedEnv programData_{"PROGRAMDATA", dir_ / "programdata"};
};

TEST_F(BuildCacheSettingsFiles, ReadsAndMergesTheFiles) {
    test::WriteFile(DefaultFile(), kDefaultConfig);
    test::WriteFile(OverrideFile(), R"({"service":{"port":1}})");
    TBuildCacheSettings settings;
    EXPECT_EQ(TBuildCacheSettings::CacheDataFolder(), dir_ / "programdata/Orvane/BuildCache");
    EXPECT_EQ(settings.ServicePort(), 1);
    EXPECT_EQ(settings.CacheDirectoryLocation(), dir_ / "programdata/Orvane/BuildCache");
}

TEST_F(BuildCacheSettingsFiles, FilesThatCannotBeRead) {
    EXPECT_EQ(MessageOf([] { TBuildCacheSettings s; }), "Cannot open file " + DefaultFile());
    test::WriteFile(DefaultFile(), "");
    EXPECT_EQ(MessageOf([] { TBuildCacheSettings s; }),
              "Default Build Cache service configuration file not found: " + DefaultFile());
    test::WriteFile(DefaultFile(), kDefaultConfig);
    // A pipe in the override's place would block the open: refused, never waited on.
    ASSERT_EQ(mkfifo(OverrideFile().c_str(), 0600), 0);
    EXPECT_EQ(MessageOf([] { TBuildCacheSettings s; }), "Cannot open file " + OverrideFile());
}

TEST_F(BuildCacheSettingsFiles, AgentFolderMissing) {
    test::WriteFile(dir_ / "HKLM.reg", "[SOFTWARE\\Tamrel\\Orvane\\Builder]\n");
    EXPECT_EQ(MessageOf([] { TBuildCacheSettings s; }),
              "Failed to read Orvane Agent installation folder from registry.");
}

TEST(SpecialDirs, FallsBackToTheUserFoldersAndReportsTheLastFailure) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "home/.local/share");
    test::ScopedEnv home("HOME", dir / "home");
    test::ScopedEnv data("XDG_DATA_HOME", std::nullopt);
    test::ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    {
        test::ScopedEnv programData("PROGRAMDATA", dir.path() + "//");
        EXPECT_EQ(CommonAppDataFolder(), dir.path());
    }
    test::ScopedEnv programData("PROGRAMDATA", "relative/folder");
    EXPECT_EQ(CommonAppDataFolder(), dir / "home/.local/share");
    test::ScopedEnv missingData("XDG_DATA_HOME", dir / "missing");
    EXPECT_EQ(MessageOf([] { CommonAppDataFolder(); }),
              "Unable to get special path: Application Data\r\nSHGetFolderPath returned 0x2");
}

} // namespace
} // namespace qz::nv
