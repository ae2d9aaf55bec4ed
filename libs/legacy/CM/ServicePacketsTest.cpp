#include "ServicePackets.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

const bool g_registered = (RegisterAllPacketClasses(), true);

std::string Encode(const TPacket& packet) {
    TVirtualStream stream;
    packet.SaveToStream(stream);
    return stream.AsString();
}

TEST(ServicePacketsTest, StartJobRequestFromBuildCommand) {
    TBuildCommandPacket command;
    TStartJobRequestPacket request(command, "qzConsole");
    EXPECT_EQ(request.Int(TStartJobRequestPacket::ComponentVersion), 2015861);
    EXPECT_EQ(request.Str(TStartJobRequestPacket::ComponentVersionText), "10.24.2 (build 14861)");
    EXPECT_EQ(request.Str(TStartJobRequestPacket::ComponentDisplayName), "qzConsole");
    EXPECT_EQ(request.Int(TStartJobRequestPacket::PluginVersion), -1);
    command.SetInt(TBuildCommandPacket::PluginUpDateVer, 12);
    EXPECT_EQ(TStartJobRequestPacket(command, "x").Int(TStartJobRequestPacket::PluginVersion), 12);
    EXPECT_TRUE(TStartJobRequestPacket::StaticClass().InheritsFrom(TCommPacket::StaticClass()));
}

TEST(ServicePacketsTest, EncodingDetailsOfReplies) {
    TStartJobRequestReplyPacket reply;
    reply.SetInt(TStartJobRequestReplyPacket::Result, 2);
    std::string bytes = Encode(reply);
    ASSERT_EQ(bytes.size(), 32u + 1 + 16);
    EXPECT_EQ(bytes[32], 2); // a bare byte, no size byte

    TRequestBuildStatusReplayPacket builds;
    EXPECT_EQ(Encode(builds).substr(32), std::string(4, '\0'));

    TStaticPacket agent;
    EXPECT_TRUE(agent.Bool(TStaticPacket::AllowEnableDisable));
    EXPECT_EQ(agent.Str(TStaticPacket::MSVCVersion), "-1");
    EXPECT_EQ(agent.Int(TStaticPacket::ProductInfoType), 4294967295ll);
    EXPECT_EQ(agent.RecordBytes(TStaticPacket::VersionInfo).size(), 148u);
    EXPECT_EQ(agent.Nested(TStaticPacket::Benchmark).ClassName(), "TBenchmarkPacket");
}

TEST(ServicePacketsTest, NamedConstructors) {
    TGuid job = GuidFromText("{01234567-89AB-CDEF-0123-456789ABCDEF}");
    EXPECT_EQ(TStopJobPacket(job).Guid(TStopJobPacket::JobID), job);
    EXPECT_TRUE(TEnableAgentPacket(true).Bool(TEnableAgentPacket::Enable));
    EXPECT_FALSE(TEnableAgentPacket(false).Bool(TEnableAgentPacket::Enable));
}

TEST(ServicePacketsTest, StatusReplyCarriesStaticDescription) {
    TQueryServiceStatusReplyPacket reply;
    reply.Nested(TQueryServiceStatusReplyPacket::StaticPacket)
        .SetStr(TStaticPacket::Host, "builder");
    TVirtualStream stream;
    stream.SetContent(Encode(reply));
    auto loaded = TPacket::CreateFromStream(stream);
    auto& typed = TPacket::CastPacket<TQueryServiceStatusReplyPacket>(*loaded);
    EXPECT_EQ(typed.NestedAs<TStaticPacket>(TQueryServiceStatusReplyPacket::StaticPacket)
                  .Str(TStaticPacket::Host),
              "builder");
}

} // namespace
} // namespace qz
