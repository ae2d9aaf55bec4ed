#include "CacheProtocol.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qz::buildcache {
namespace {

const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(CacheProtocol, DigestsAreSha256InLowerCaseHex) {
    EXPECT_EQ(HashBytes(""), kEmpty);
    EXPECT_TRUE(IsDigest(kEmpty));
    EXPECT_FALSE(IsDigest(kEmpty.substr(1)));
    std::string upper = kEmpty;
    upper[0] = 'E';
    EXPECT_FALSE(IsDigest(upper));
    EXPECT_FALSE(IsDigest("../../../../etc/passwd" + std::string(42, 'a')));
}

TEST(CacheProtocol, FieldsCannotRunTogether) {
    Hasher a;
    a.AddField("ab");
    a.AddField("c");
    Hasher b;
    b.AddField("a");
    b.AddField("bc");
    EXPECT_NE(a.Finish(), b.Finish());
}

TEST(CacheProtocol, HashFileMatchesHashBytes) {
    test::TempDir dir;
    std::string bytes(3 << 20, 'x');
    bytes[12345] = '\0';
    test::WriteFile(dir / "f", bytes);
    EXPECT_EQ(HashFile(dir / "f").value_or(""), HashBytes(bytes));
    EXPECT_FALSE(HashFile(dir / "missing"));
}

TEST(CacheProtocol, ManifestsRoundTrip) {
    Manifest m;
    m.outputs.push_back({kEmpty, 0, 0755});
    m.outputBlob = kEmpty;
    m.durationMs = 1234;
    m.command = "cc -c \xff\xfe not UTF-8";
    std::string error;
    std::optional<Manifest> back = ParseManifest(ManifestToText(m), error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->outputs.size(), 1u);
    EXPECT_EQ(back->outputs[0].mode, 0755u);
    EXPECT_EQ(back->durationMs, 1234u);
    EXPECT_EQ(back->Blobs().size(), 2u);
}

TEST(CacheProtocol, HostileManifestsAreRefused) {
    std::string error;
    for (std::string text :
         {std::string(""), std::string("[]"), std::string("{\"v\":2,\"outputs\":[]}"),
          std::string("{\"v\":1}"), std::string("{\"v\":1,\"outputs\":[{\"blob\":\"../x\"}]}"),
          std::string("{\"v\":1,\"outputs\":[{\"blob\":\"" + kEmpty +
                      "\",\"size\":-1,\"mode\":1}]}"),
          std::string("{\"v\":1,\"outputs\":[{\"blob\":\"" + kEmpty +
                      "\",\"size\":1,\"mode\":999999}]}"),
          std::string("{\"v\":1,\"outputs\":[],\"output\":\"zz\"}"),
          std::string("{\"v\":1,\"outputs\":[],\"durationMs\":\"x\"}"),
          std::string(kMaxManifestSize + 1, ' ')}) {
        error.clear();
        EXPECT_FALSE(ParseManifest(text, error)) << text.substr(0, 80);
        EXPECT_FALSE(error.empty());
    }
}

TEST(CacheProtocol, RecordedOutputRoundTripsAndRefusesDamage) {
    RecordedOutput out;
    out.chunks = {{false, "line 1\r\nline 2"}, {true, std::string("err\0or", 6)}, {false, ""}};
    std::string bytes = EncodeOutput(out);
    std::optional<RecordedOutput> back = DecodeOutput(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->chunks, out.chunks);
    EXPECT_FALSE(DecodeOutput(bytes.substr(0, bytes.size() - 1)));
    std::string bad = bytes;
    bad[0] = '\7';
    EXPECT_FALSE(DecodeOutput(bad));
    std::string huge = bytes;
    huge[8] = '\x7f'; // a length far beyond the data
    EXPECT_FALSE(DecodeOutput(huge));
}

} // namespace
} // namespace qz::buildcache
