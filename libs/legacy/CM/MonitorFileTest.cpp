#include "MonitorFile.h"

#include "MonitorPackets.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

// A stand-in for the compressed format: a 4-byte length, then the bytes unchanged.
class TFramingCompression : public TPacketCompression {
public:
    void CompressToStream(TStream& source, TStream& target, int) override {
        TBytesStream plain;
        plain.CopyFrom(source, source.Size() - source.Position());
        auto n = static_cast<std::uint32_t>(plain.Size());
        target.WriteBuffer(&n, 4);
        target.WriteBuffer(plain.Bytes().data(), n);
    }
    std::string Decompress(TStream& source) override {
        std::uint32_t n = 0;
        source.ReadBuffer(&n, 4);
        if (n > source.Size() - source.Position()) {
            Raise("Damaged compressed stream");
        }
        std::string bytes(n, '\0');
        source.ReadBuffer(bytes.data(), n);
        return bytes;
    }
};

class MonitorFileTest : public testing::Test {
protected:
    void SetUp() override { SetPacketCompression(std::make_shared<TFramingCompression>()); }
    void TearDown() override { SetPacketCompression(nullptr); }

    void WriteAndRead(bool append) {
        TMetaBuildPacket meta;
        meta.SetStr(TMetaBuildPacket::ProductVersionText, "10.24.2");
        meta.Nested(TMetaBuildPacket::Command).SetStr(TBuildCommandPacket::Caption, "My build");
        TMonitorEventOutputPacket output;
        output.SetStr(TMonitorEventOutputPacket::Text, "compiling");
        TMonitorEventCompletePacket complete(9, false, "done", true, 0, 0, 0, 0, 0);
        std::string file = m_dir / "build.nv_mon";
        WriteMonitorFile(file, meta, {&output, &output, &complete}, append);

        TMonitorFile opened = OpenMonitorFile(file);
        EXPECT_EQ(opened.Meta->Str(TMetaBuildPacket::ProductVersionText), "10.24.2");
        EXPECT_EQ(opened.Meta->Blob(TMetaBuildPacket::MonitorEvents).Size(), 0);
        auto events = ReadMonitorEvents(*opened.Events);
        ASSERT_EQ(events.size(), 3u);
        EXPECT_TRUE(events[1]->Equals(output));
        EXPECT_TRUE(events[2]->Equals(complete));
    }

    test::TempDir m_dir;
};

TEST_F(MonitorFileTest, EventsInsideTheHead) {
    WriteAndRead(false);
}

TEST_F(MonitorFileTest, EventsAppendedAfterTheHead) {
    WriteAndRead(true);
}

TEST_F(MonitorFileTest, OtherOldEventContentIsRejected) {
    for (std::string old :
         {std::string("\x27\0\0\0", 4) + "EventsInParentStreamAppendedToMetaBuilX",
          std::string("abc")}) {
        TMetaBuildPacket meta;
        meta.Blob(TMetaBuildPacket::OldMonitorEvents).Bytes() = old;
        std::string file = m_dir / "bad.nv_mon";
        meta.SaveToFile(file);
        try {
            OpenMonitorFile(file);
            ADD_FAILURE();
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), "Invalid or corrupted .nv_mon file");
        }
    }
    // The marker is compared ignoring case.
    TMetaBuildPacket meta;
    meta.Blob(TMetaBuildPacket::OldMonitorEvents).Bytes() =
        std::string("\x27\0\0\0", 4) + "EVENTSINPARENTSTREAMAPPENDEDTOMETABUILD";
    std::string file = m_dir / "upper.nv_mon";
    meta.SaveToFile(file);
    std::string content = *test::ReadFile(file) + std::string("\0\0\0\0", 4);
    test::WriteFile(file, content);
    EXPECT_TRUE(ReadMonitorEvents(*OpenMonitorFile(file).Events).empty());
}

} // namespace
} // namespace qz
