#include "BuildCacheClient.h"

#include "CacheProtocol.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace qz::tasksmith {
namespace {

class TaskKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        job_.baseFolder = dir_.path();
        test::WriteFile(dir_ / "in.c", "int x;\n");
        task_.id = "t";
        task_.arguments = {"cc", "-c", "in.c"};
        task_.folder = dir_.path();
        task_.inputs = {dir_ / "in.c"};
        task_.outputs = {dir_ / "in.o"};
        task_.cacheable = true;
        job_.tasks = {task_};
    }
    std::string Key(const JobTask& task, std::vector<std::string> env = {"PATH=/usr/bin:/bin"}) {
        FileDigests digests;
        std::string why;
        std::optional<std::string> key = TaskKey(task, job_, env, digests, why);
        EXPECT_TRUE(key) << why;
        return key.value_or("");
    }
    test::TempDir dir_;
    JobSpec job_;
    JobTask task_;
};

TEST_F(TaskKeyTest, IsStableAndADigest) {
    EXPECT_EQ(Key(task_), Key(task_));
    EXPECT_TRUE(buildcache::IsDigest(Key(task_)));
}

TEST_F(TaskKeyTest, ChangesWithEverythingThatDecidesTheResult) {
    const std::string base = Key(task_);
    JobTask t = task_;
    t.arguments.push_back("-O2");
    EXPECT_NE(Key(t), base);
    t = task_;
    t.environment = {{"CFLAGS", "-g"}};
    EXPECT_NE(Key(t), base);
    t = task_;
    t.outputs = {dir_ / "other.o"};
    EXPECT_NE(Key(t), base);
    t = task_;
    t.cacheEnv = {"LANG"};
    EXPECT_NE(Key(t, {"PATH=/usr/bin:/bin", "LANG=C"}), Key(t, {"PATH=/usr/bin:/bin", "LANG=de"}));
    // An unlisted variable does not matter.
    EXPECT_EQ(Key(task_, {"PATH=/usr/bin:/bin", "X=1"}), base);
    test::WriteFile(dir_ / "in.c", "int y;\n");
    EXPECT_NE(Key(task_), base);
}

TEST_F(TaskKeyTest, TheJobsFolderDoesNotMatterOnlyPlacesBelowIt) {
    const std::string base = Key(task_);
    test::TempDir other;
    test::WriteFile(other / "in.c", "int x;\n");
    JobSpec moved = job_;
    moved.baseFolder = other.path();
    JobTask t = task_;
    t.folder = other.path();
    t.inputs = {other / "in.c"};
    t.outputs = {other / "in.o"};
    FileDigests digests;
    std::string why;
    EXPECT_EQ(TaskKey(t, moved, {"PATH=/usr/bin:/bin"}, digests, why).value_or(""), base);
}

TEST_F(TaskKeyTest, AMissingInputOrProgramMakesTheTaskUncacheable) {
    FileDigests digests;
    std::string why;
    JobTask t = task_;
    t.inputs.push_back(dir_ / "missing.h");
    EXPECT_FALSE(TaskKey(t, job_, {"PATH=/usr/bin:/bin"}, digests, why));
    EXPECT_NE(why.find("missing.h"), std::string::npos);
    t = task_;
    t.arguments = {"no-such-program-here"};
    EXPECT_FALSE(TaskKey(t, job_, {"PATH=/usr/bin:/bin"}, digests, why));
}

TEST(RelativeTo, OnlyBelowTheBase) {
    EXPECT_EQ(RelativeTo("/a/b/c", "/a/b"), "c");
    EXPECT_EQ(RelativeTo("/a/bc", "/a/b"), "/a/bc");
    EXPECT_EQ(RelativeTo("/a/b", "/a/b"), ".");
    EXPECT_EQ(RelativeTo("/x", "/a"), "/x");
}

TEST(CacheEndpoint, FollowsTheRequestsOptions) {
    RegisterAllPacketClasses();
    TBuildCommandPacket request;
    std::string notice;
    EXPECT_FALSE(CacheEndpointOfRequest(request, notice));
    EXPECT_TRUE(notice.empty());
    // The field's default is on; only the switch (its override flag) turns the local cache on.
    EXPECT_TRUE(request.Bool(TBuildCommandPacket::UseLocalBuildCache));
    request.SetStr(TBuildCommandPacket::RemoteBuildCacheServer, "cachehost:8123");
    request.SetBool(TBuildCommandPacket::BuildCacheReadOnly, true);
    std::optional<CacheEndpoint> endpoint = CacheEndpointOfRequest(request, notice);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->host, "cachehost");
    EXPECT_EQ(endpoint->port, 8123);
    EXPECT_TRUE(endpoint->readOnly);
    request.SetStr(TBuildCommandPacket::RemoteBuildCacheServer, "cachehost:99999");
    EXPECT_FALSE(CacheEndpointOfRequest(request, notice));
    EXPECT_NE(notice.find("host:port"), std::string::npos);
    request.SetBool(TBuildCommandPacket::UseBuildCacheCluster, true);
    notice.clear();
    EXPECT_FALSE(CacheEndpointOfRequest(request, notice));
    EXPECT_NE(notice.find("clusters are not supported"), std::string::npos);
}

} // namespace
} // namespace qz::tasksmith
