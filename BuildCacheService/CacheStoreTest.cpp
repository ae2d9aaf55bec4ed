// The store with a real index server (redis-server) in a temporary folder on a socket file.

#include "CacheStore.h"

#include "CM/Exceptions.h"
#include "CacheServer.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <httplib.h>
#include <thread>

namespace qz::buildcache {
namespace {

using ::testing::HasSubstr;

class CacheStoreTest : public ::testing::Test {
protected:
    StoreOptions Options(std::uint64_t maxBytes = 0) {
        StoreOptions options;
        options.cacheDirectory = dir_ / "cache";
        options.redis.folder = dir_ / "db";
        options.maxBytes = maxBytes;
        return options;
    }
    // Stores bytes as the only output of key; returns the blob name.
    std::string StoreEntry(CacheStore& store, const std::string& key, const std::string& bytes) {
        std::string hash = HashBytes(bytes);
        EXPECT_NE(store.PutBlob(hash, bytes), StoreResult::Refused);
        Manifest m;
        m.outputs.push_back({hash, bytes.size(), 0644});
        std::string why;
        EXPECT_NE(store.PutEntry(key, m, why), StoreResult::Refused) << why;
        return hash;
    }
    test::TempDir dir_;
};

std::string Key(int n) {
    return HashBytes("key " + std::to_string(n));
}

TEST_F(CacheStoreTest, StoresFindsAndSurvivesARestart) {
    std::string hash;
    {
        CacheStore store(Options());
        EXPECT_FALSE(store.FindEntry(Key(1)));
        hash = StoreEntry(store, Key(1), "object code");
        std::optional<Manifest> m = store.FindEntry(Key(1));
        ASSERT_TRUE(m);
        EXPECT_EQ(m->outputs[0].blob, hash);
        EXPECT_EQ(store.ReadBlob(hash).value_or(""), "object code");
        EXPECT_TRUE(std::filesystem::exists(dir_ / "cache/TaskExtraInfo.db"));
    }
    // The index was saved at the stop, in the database folder.
    EXPECT_TRUE(std::filesystem::exists(dir_ / "db/dump.rdb"));
    CacheStore again(Options());
    EXPECT_TRUE(again.FindEntry(Key(1)));
    EXPECT_EQ(again.Stats().entries, 1);
}

TEST_F(CacheStoreTest, BytesMustMatchTheirName) {
    CacheStore store(Options());
    EXPECT_EQ(store.PutBlob(HashBytes("a"), "b"), StoreResult::Refused);
    Manifest m;
    m.outputs.push_back({HashBytes("never stored"), 12, 0644});
    std::string why;
    EXPECT_EQ(store.PutEntry(Key(2), m, why), StoreResult::Refused);
    EXPECT_FALSE(store.FindEntry(Key(2)));
}

TEST_F(CacheStoreTest, ADamagedBlobIsAMissAndIsRemoved) {
    CacheStore store(Options());
    std::string hash = StoreEntry(store, Key(3), "good bytes");
    test::WriteFile(store.BlobPath(hash), "evil bytes");
    EXPECT_FALSE(store.ReadBlob(hash));
    EXPECT_FALSE(std::filesystem::exists(store.BlobPath(hash)));
    EXPECT_FALSE(store.FindEntry(Key(3)));
    EXPECT_EQ(store.Stats().damaged, 1);
    // Stored again, it is whole again.
    StoreEntry(store, Key(3), "good bytes");
    EXPECT_TRUE(store.FindEntry(Key(3)));
}

TEST_F(CacheStoreTest, TheFirstGoodEntryOfAKeyStays) {
    CacheStore store(Options());
    std::string first = StoreEntry(store, Key(4), "first");
    StoreEntry(store, Key(4), "second");
    EXPECT_EQ(store.FindEntry(Key(4))->outputs[0].blob, first);
}

TEST_F(CacheStoreTest, ConcurrentStoresOfOneKeyLeaveOneGoodEntry) {
    CacheStore store(Options());
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back(
            [&, i] { StoreEntry(store, Key(5), "same " + std::to_string(i % 2)); });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::optional<Manifest> m = store.FindEntry(Key(5));
    ASSERT_TRUE(m);
    std::optional<std::string> bytes = store.ReadBlob(m->outputs[0].blob);
    ASSERT_TRUE(bytes);
    EXPECT_THAT(*bytes, HasSubstr("same "));
    EXPECT_EQ(store.Stats().entries, 1);
}

TEST_F(CacheStoreTest, TheLeastRecentlyUsedGoAboveTheLimit) {
    CacheStore store(Options(3000));
    for (int i = 0; i < 3; ++i) {
        StoreEntry(store, Key(10 + i), std::string(1000, static_cast<char>('a' + i)));
    }
    EXPECT_TRUE(store.FindEntry(Key(10))); // now the most recently used
    StoreEntry(store, Key(13), std::string(1000, 'z'));
    EXPECT_TRUE(store.FindEntry(Key(10)));
    EXPECT_FALSE(store.FindEntry(Key(11)));
    EXPECT_TRUE(store.FindEntry(Key(13)));
    EXPECT_LE(store.Stats().bytes, 3000);
    EXPECT_EQ(store.Stats().evicted, 1);
}

std::size_t FilesIn(const std::filesystem::path& folder) {
    std::size_t n = 0;
    if (std::filesystem::exists(folder)) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            n += entry.is_regular_file() ? 1 : 0;
        }
    }
    return n;
}

TEST_F(CacheStoreTest, AStreamedBlobIsPublishedOnlyWithTheDigestOfItsName) {
    CacheStore store(Options());
    std::string bytes;
    for (int i = 0; i < 5000; ++i) {
        bytes += "piece " + std::to_string(i) + "\n";
    }
    const std::string hash = HashBytes(bytes);
    std::unique_ptr<BlobUpload> upload;
    ASSERT_EQ(store.BeginBlob(hash, bytes.size(), upload), StoreResult::Ok);
    for (std::size_t at = 0; at < bytes.size(); at += 777) {
        ASSERT_TRUE(upload->Write(std::string_view(bytes).substr(at, 777)));
    }
    EXPECT_FALSE(std::filesystem::exists(store.BlobPath(hash))) << "published before its check";
    ASSERT_EQ(store.FinishBlob(*upload), StoreResult::Ok);
    EXPECT_EQ(store.ReadBlob(hash).value_or(""), bytes);
    EXPECT_EQ(store.Stats().bytes, static_cast<std::int64_t>(bytes.size()));

    // A second upload of the name is not needed.
    ASSERT_EQ(store.BeginBlob(hash, bytes.size(), upload), StoreResult::Exists);
    EXPECT_FALSE(upload);

    // Bytes that are not what the name says are dropped, and nothing is left of them.
    const std::string other = HashBytes("other");
    ASSERT_EQ(store.BeginBlob(other, 6, upload), StoreResult::Ok);
    ASSERT_TRUE(upload->Write("OTHER!"));
    EXPECT_EQ(store.FinishBlob(*upload), StoreResult::Refused);
    EXPECT_FALSE(std::filesystem::exists(store.BlobPath(other)));
    EXPECT_EQ(FilesIn(dir_ / "cache/FileCache/tmp"), 0u);
}

TEST_F(CacheStoreTest, AnAbandonedUploadLeavesNothing) {
    CacheStore store(Options());
    const std::string hash = HashBytes("never finished");
    {
        std::unique_ptr<BlobUpload> upload;
        ASSERT_EQ(store.BeginBlob(hash, 1 << 20, upload), StoreResult::Ok);
        ASSERT_TRUE(upload->Write("never"));
        EXPECT_EQ(FilesIn(dir_ / "cache/FileCache/tmp"), 1u);
    }
    EXPECT_EQ(FilesIn(dir_ / "cache/FileCache/tmp"), 0u);
    EXPECT_FALSE(std::filesystem::exists(store.BlobPath(hash)));
    EXPECT_EQ(store.Stats().bytes, 0);
}

TEST_F(CacheStoreTest, BlobsNoEntryNamesGoOnceTheyAreOldEnough) {
    std::string claimed;
    std::string unclaimed;
    {
        CacheStore store(Options());
        claimed = StoreEntry(store, Key(20), "claimed bytes");
        unclaimed = HashBytes("a store that died before its entry");
        ASSERT_EQ(store.PutBlob(unclaimed, "a store that died before its entry"), StoreResult::Ok);
        // Young: a store in progress is never hit.
        EXPECT_EQ(store.Sweep(), 0);
        EXPECT_TRUE(std::filesystem::exists(store.BlobPath(unclaimed)));
    }
    // A stray file in a blob folder (no blob of the index), left by a crash.
    test::WriteFile(dir_ / ("cache/FileCache/" + claimed.substr(0, 2) + "/" + HashBytes("stray")),
                    "stray");
    test::WriteFile(dir_ / "cache/FileCache/zz-not-a-blob", "x");
    StoreOptions options = Options();
    options.unclaimedBlobAgeSeconds = 0;
    CacheStore store(options); // sweeps at its start
    EXPECT_FALSE(std::filesystem::exists(store.BlobPath(unclaimed)));
    EXPECT_EQ(FilesIn(dir_ / ("cache/FileCache/" + claimed.substr(0, 2))), 1u);
    EXPECT_TRUE(store.FindEntry(Key(20)));
    EXPECT_EQ(store.ReadBlob(claimed).value_or(""), "claimed bytes");
    EXPECT_GE(store.Stats().unclaimed, 1);
    EXPECT_EQ(store.Stats().bytes, static_cast<std::int64_t>(std::string("claimed bytes").size()));
    // Only files below the blob folders are its business.
    EXPECT_TRUE(std::filesystem::exists(dir_ / "cache/FileCache/zz-not-a-blob"));
}

TEST_F(CacheStoreTest, ADamagedIndexFileIsReportedAtStart) {
    std::filesystem::create_directories(dir_ / "db");
    test::WriteFile(dir_ / "db/dump.rdb", "REDIS0009 this is not a database");
    try {
        CacheStore store(Options());
        FAIL() << "a damaged index started";
    } catch (const Exception& e) {
        EXPECT_THAT(e.Message(), HasSubstr("may be damaged"));
    }
}

TEST_F(CacheStoreTest, ADamagedTaskDatabaseIsReportedAtStart) {
    std::filesystem::create_directories(dir_ / "cache");
    test::WriteFile(dir_ / "cache/TaskExtraInfo.db", std::string(8192, 'x'));
    try {
        CacheStore store(Options());
        FAIL() << "a damaged database opened";
    } catch (const Exception& e) {
        EXPECT_THAT(e.Message(), HasSubstr("is damaged"));
    }
}

class CacheServerTest : public CacheStoreTest {
protected:
    void SetUp() override {
        store_ = std::make_unique<CacheStore>(Options());
        ServerOptions options;
        options.maxBody = 1 << 20;
        server_ = std::make_unique<CacheServer>(*store_, options);
        port_ = server_->Bind();
        thread_ = std::thread([this] { server_->Run(); });
    }
    void TearDown() override {
        server_->Stop();
        thread_.join();
        server_.reset();
        store_.reset();
    }
    std::unique_ptr<CacheStore> store_;
    std::unique_ptr<CacheServer> server_;
    std::thread thread_;
    int port_ = 0;
};

TEST_F(CacheServerTest, ServesTheProtocol) {
    httplib::Client client("127.0.0.1", port_);
    std::string bytes = "blob bytes";
    std::string hash = HashBytes(bytes);
    auto r = client.Put(("/v1/blob/" + hash).c_str(), bytes, "application/octet-stream");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 201);
    Manifest m;
    m.outputs.push_back({hash, bytes.size(), 0644});
    r = client.Put(("/v1/entry/" + Key(1)).c_str(), ManifestToText(m), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 201);
    r = client.Get(("/v1/entry/" + Key(1)).c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    r = client.Get(("/v1/blob/" + hash).c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, bytes);
    r = client.Get("/v1/stats");
    ASSERT_TRUE(r);
    EXPECT_THAT(r->body, HasSubstr("\"entries\":1"));
}

TEST_F(CacheServerTest, HostileRequestsGetAnErrorReply) {
    httplib::Client client("127.0.0.1", port_);
    struct Case {
        const char* method;
        std::string path;
        std::string body;
        int status;
    };
    std::string hash = HashBytes("x");
    std::vector<Case> cases = {
        {"GET", "/v1/blob/../../../etc/passwd", "", 400},
        {"GET", "/v1/blob/%2e%2e%2f%2e%2e%2fetc%2fpasswd", "", 400},
        {"GET", "/v1/entry/" + std::string(64, 'A'), "", 400},
        {"GET", "/v1/entry/" + std::string(65, 'a'), "", 400},
        {"GET", "/etc/passwd", "", 404},
        {"DELETE", "/v1/blob/" + hash, "", 405},
        {"PUT", "/v1/blob/" + hash, "not x", 400},
        {"PUT", "/v1/entry/" + hash, "{not json", 400},
        {"PUT", "/v1/entry/" + hash,
         "{\"v\":1,\"outputs\":[{\"blob\":\"" + hash + "\",\"size\":1,\"mode\":420}]}", 409},
        {"PUT", "/v1/blob/" + hash, std::string((1 << 20) + 1, 'x'), 413},
    };
    for (const Case& c : cases) {
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.body = c.body;
        auto r = client.send(request);
        ASSERT_TRUE(r) << c.method << " " << c.path;
        EXPECT_EQ(r->status, c.status) << c.method << " " << c.path;
        EXPECT_FALSE(r->body.empty());
    }
    // Nothing was written outside the cache's folders.
    EXPECT_FALSE(std::filesystem::exists(dir_ / "etc"));
    // And the service still serves.
    auto r = client.Get("/v1/stats");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

} // namespace
} // namespace qz::buildcache
