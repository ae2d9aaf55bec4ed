#include "MonitorFile.h"

#include "MonitorPackets.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

class MonitorFileTest : public testing::Test {
protected:
    void WriteAndRead(bool append) {
        TMetaBuildPacket meta;
        meta.SetStr(TMetaBuildPacket::ProductVersionText, "10.24.2");
        meta.Nested(TMetaBuildPacket::Command).SetStr(TBuildCommandPacket::Caption, "My build");
        TMonitorEventOutputPacket output;
        output.SetStr(TMonitorEventOutputPacket::Text, "compiling");
        TMonitorEventCompletePacket complete(9, false, "done", true, 0, 0, 0, 0, 0);
        std::string file = m_dir / "build.nv_mon";
        WriteMonitorFile(file, meta, {&output, &output, &complete}, append);

        // The events are an sdc stream: inside the head's blob, or right after the head.
        {
            TMetaBuildPacket head;
            TMappedFileStream raw(file, FileMode::Read | FileMode::ShareDenyWrite);
            head.LoadFromStream(raw);
            std::string signature(4, '\0');
            if (append) {
                raw.ReadBuffer(signature.data(), 4);
            } else {
                signature = head.Blob(TMetaBuildPacket::MonitorEvents).AsString().substr(0, 4);
            }
            EXPECT_EQ(signature, "sdc2");
        }

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
        meta.Blob(TMetaBuildPacket::OldMonitorEvents).SetContent(old);
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
    meta.Blob(TMetaBuildPacket::OldMonitorEvents)
        .SetContent(std::string("\x27\0\0\0", 4) + "EVENTSINPARENTSTREAMAPPENDEDTOMETABUILD");
    std::string file = m_dir / "upper.nv_mon";
    meta.SaveToFile(file);
    TVirtualStream empty;
    TVirtualStream noEvents;
    CompressToStream(empty, 0, noEvents, kCompressFormatQuickLZ131);
    test::WriteFile(file, *test::ReadFile(file) + noEvents.AsString());
    EXPECT_TRUE(ReadMonitorEvents(*OpenMonitorFile(file).Events).empty());
}

TEST_F(MonitorFileTest, DamagedEventStreamRaisesTheDecompressionError) {
    TMetaBuildPacket meta;
    meta.Blob(TMetaBuildPacket::MonitorEvents).SetContent("not sdc data");
    std::string file = m_dir / "damaged.nv_mon";
    meta.SaveToFile(file);
    try {
        OpenMonitorFile(file);
        ADD_FAILURE();
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Decompression error: Header contains an invalid signature.");
    }
}

} // namespace
} // namespace qz
