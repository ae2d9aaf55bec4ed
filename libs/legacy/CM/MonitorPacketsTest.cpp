#include "MonitorPackets.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

TEST(MonitorPacketsTest, ConstructorsTakeEveryField) {
    TMonitorEventCompletePacket complete(5, false, "failed", false, 0, 1, 2, 3, 4);
    EXPECT_EQ(complete.Int(TMonitorEventCompletePacket::SystemErrorCount), 1);
    EXPECT_EQ(complete.Str(TMonitorEventCompletePacket::Summary), "failed");
    EXPECT_EQ(complete.Int(TMonitorEventCompletePacket::ExitCode), 4);
    TMonitorEventMessagePacket message(0, 2, 45000.5, "Boardview has failed", "reason", "", "", 0);
    EXPECT_EQ(message.Str(TMonitorEventMessagePacket::Message), "Boardview has failed");
    EXPECT_EQ(message.Double(TMonitorEventMessagePacket::Now), 45000.5);
    std::string text;
    EXPECT_EQ(message.GetFieldText(TMonitorEventMessagePacket::Now, text), 1);
    EXPECT_EQ(text, "2023-03-15 12:00:00");
}

TEST(MonitorPacketsTest, NewerCompleteEventIsRefusedInContextStream) {
    TPacketClassDef def = MonitorPacketClasses()[1];
    ASSERT_STREQ(def.name, "TMonitorEventCompletePacket");
    def.factory = nullptr;
    def.fields.push_back(PF("Future", TValueType::Integer));
    TPacketClass newer(def, &TPacket::StaticClass());
    TPacket event(newer);
    TVirtualStream stream;
    TPacketSaveContext saveContext;
    event.SaveToStream(stream, &saveContext);
    stream.SetPosition(0);
    TPacketLoadContext loadContext;
    try {
        TPacket::CreateFromStream(stream, &loadContext);
        ADD_FAILURE();
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(),
                  "Unsupported version of packet class: TMonitorEventCompletePacket (version 10)");
    }
}

TEST(MonitorPacketsTest, StartedEventNestsTheOpaqueClass) {
    TMonitorEventStartedPacket started;
    EXPECT_EQ(started.Nested(TMonitorEventStartedPacket::Opaque4).ClassName(),
              "TOpaqueStatusPacket");
    started.SetStr(TMonitorEventStartedPacket::Caption, "build");
    TVirtualStream stream;
    TPacketSaveContext saveContext;
    started.SaveToStream(stream, &saveContext);
    stream.SetPosition(0);
    TPacketLoadContext loadContext;
    EXPECT_TRUE(TPacket::CreateFromStream(stream, &loadContext)->Equals(started));
}

} // namespace
} // namespace qz
