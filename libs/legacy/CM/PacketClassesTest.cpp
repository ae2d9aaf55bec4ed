#include "BuildCommandPackets.h"
#include "MonitorPackets.h"
#include "Packets.h"
#include "ServicePackets.h"

#include <gtest/gtest.h>

#include <set>

namespace qz {
namespace {

using enum TValueType;

const bool g_registered = (RegisterAllPacketClasses(), true);

// Gives every field of the packet a value other than its default, nested packets and list items
// included, so that a lost or misplaced field shows in a round trip.
void Fill(TPacket& packet, int seed, int depth = 0) {
    const TPacketClass& cls = packet.Class();
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TPacketField& f = cls.Field(i);
        int v = seed * 100 + i + 1;
        switch (f.type) {
        case Integer:
        case Word:
        case Enum:
        case RawEnum:
            packet.SetInt(i, v % 250 + 1 == f.intDefault ? v % 250 + 2 : v % 250 + 1);
            break;
        case Int8:
            packet.SetInt(i, v % 100 + 1);
            break;
        case Cardinal:
        case Handle:
            packet.SetInt(i, 3000000000u + static_cast<unsigned>(v));
            break;
        case Int64:
            packet.SetInt(i, (std::int64_t{1} << 40) + v);
            break;
        case CompactInt:
            packet.SetInt(i, 200 + v);
            break;
        case Boolean:
            packet.SetBool(i, f.intDefault == 0);
            break;
        case Set:
            packet.SetBits(i, 0xA5C3F00F12345678ull ^ static_cast<std::uint64_t>(v));
            break;
        case DateTime:
            packet.SetDouble(i, 45678.5 + v);
            break;
        case String:
            packet.SetStr(i, "text " + std::to_string(v) + std::string(1, '\0') +
                                 std::string(static_cast<std::size_t>(v % 3) * 70, 'x'));
            break;
        case WideString:
            packet.SetWStr(i, u"wide \u00E4\u20AC " + std::u16string(1, char16_t(u'0' + v % 10)));
            break;
        case Guid: {
            TGuid guid;
            for (std::size_t k = 0; k < 16; ++k) {
                guid.Bytes()[k] = static_cast<std::uint8_t>(v + k);
            }
            packet.SetGuid(i, guid);
            break;
        }
        case Record: {
            std::string bytes(static_cast<std::size_t>(f.size), '\0');
            for (std::size_t k = 0; k < bytes.size(); ++k) {
                bytes[k] = static_cast<char>(v + k);
            }
            packet.SetRecordBytes(i, bytes);
            break;
        }
        case StringList:
        case StringListAsText:
            packet.Strings(i) = TStringListEx({"line " + std::to_string(v), "second"});
            break;
        case Blob:
            packet.Blob(i).SetContent("blob " + std::to_string(v));
            break;
        case IntegerList:
            packet.IntList(i) = {1, -2, v};
            break;
        case Int64List:
            packet.Int64List(i) = {std::int64_t{1} << 40, -5, v};
            break;
        case Packet:
            Fill(packet.Nested(i), seed + 1, depth + 1);
            break;
        case OptionalPacket:
            Fill(packet.EnsureOptional(i), seed + 1, depth + 1);
            break;
        case PacketList:
            if (depth < 3) {
                for (int k = 0; k < 2; ++k) {
                    auto item = f.ref->Create();
                    Fill(*item, seed + 2 + k, depth + 1);
                    packet.List(i).Add(std::move(item));
                }
            } else {
                packet.List(i).Add(f.ref->Create());
            }
            break;
        }
    }
}

class EveryPacketClassTest : public testing::TestWithParam<const TPacketClass*> {};

TEST_P(EveryPacketClassTest, RoundTripsEveryFieldInBothFramings) {
    const TPacketClass& cls = *GetParam();
    auto fresh = cls.Create();
    auto filled = cls.Create();
    Fill(*filled, 1);
    int differing = 0;
    filled->CompareFields(*fresh, [&](int) { ++differing; });
    int fixed = 0; // nested packets of classes without fields cannot differ
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TPacketField& f = cls.Field(i);
        fixed += f.type == Packet && f.ref->FieldCount() == 0 ? 1 : 0;
    }
    EXPECT_EQ(differing, cls.FieldCount() - fixed) << "every field must leave its default";

    TVirtualStream header;
    filled->SaveToStream(header);
    filled->SaveToStream(header);
    header.SetPosition(0);
    for (int k = 0; k < 2; ++k) {
        auto loaded = TPacket::CreateFromStream(header);
        EXPECT_EQ(&loaded->Class(), &cls);
        EXPECT_TRUE(loaded->Equals(*filled));
    }
    EXPECT_EQ(header.Position(), header.Size());

    TVirtualStream context;
    TPacketSaveContext saveContext;
    filled->SaveToStream(context, &saveContext);
    fresh->SaveToStream(context, &saveContext);
    context.SetPosition(0);
    TPacketLoadContext loadContext;
    EXPECT_TRUE(TPacket::CreateFromStream(context, &loadContext)->Equals(*filled));
    EXPECT_TRUE(TPacket::CreateFromStream(context, &loadContext)->Equals(*fresh));
    EXPECT_EQ(context.Position(), context.Size());

    auto clone = filled->Clone();
    EXPECT_TRUE(clone->Equals(*filled));
    TStringListEx lines;
    clone->DumpToStrings(lines);
    EXPECT_GE(lines.Count(), cls.FieldCount() + 1);
    clone->Clear();
    for (int i = 0; i < cls.FieldCount(); ++i) {
        if (cls.Field(i).type == OptionalPacket) {
            fresh->EnsureOptional(i); // Clear keeps a present optional packet
        }
    }
    EXPECT_TRUE(clone->Equals(*fresh));
}

std::string ClassTestName(const testing::TestParamInfo<const TPacketClass*>& info) {
    return info.param->Name();
}

INSTANTIATE_TEST_SUITE_P(AllClasses, EveryPacketClassTest, testing::ValuesIn(AllPacketClasses()),
                         ClassTestName);

TEST(PacketCatalogTest, EveryClassIsRegisteredUnderItsOwnGuid) {
    std::set<std::string> guids;
    for (const TPacketClass* cls : AllPacketClasses()) {
        EXPECT_TRUE(guids.insert(GuidToText(cls->ClassGUID())).second) << cls->Name();
        EXPECT_EQ(FindPacketClass(cls->ClassGUID()), cls) << cls->Name();
        EXPECT_GE(PacketClassIndex(*cls), 1);
        for (int i = 0; i < cls->FieldCount(); ++i) {
            EXPECT_EQ(cls->FieldIndex(cls->FieldName(i)), i) << cls->Name();
        }
    }
    EXPECT_EQ(FindPacketClassByName("TCommPacket"), nullptr);
}

TEST(PacketCatalogTest, WrapperEnumsMatchTheTables) {
    EXPECT_EQ(TBuildCommandPacket::StaticClass().FieldCount(), 76);
    EXPECT_EQ(TBuildCommandPacket::StaticClass().FieldName(TBuildCommandPacket::BuildCacheProfile),
              "BuildCacheProfile");
    EXPECT_EQ(TBuildCommandPacket::StaticClass().FieldName(TBuildCommandPacket::MonitoredDirs),
              "MonitoredDirs");
    EXPECT_EQ(TMetaBuildPacket::StaticClass().FieldCount(), 35);
    EXPECT_EQ(TMetaBuildPacket::StaticClass().FieldName(TMetaBuildPacket::MonitorEvents),
              "MonitorEvents");
    EXPECT_EQ(TStaticPacket::StaticClass().FieldCount(), 66);
    EXPECT_EQ(TStaticPacket::StaticClass().FieldName(TStaticPacket::OSVersionInfo),
              "OSVersionInfo");
    EXPECT_EQ(TQueryServiceStatusReplyPacket::StaticClass().FieldCount(), 20);
    EXPECT_EQ(TCoordBuildActivityInfo::StaticClass().FieldCount(), 57);
    EXPECT_EQ(TCoordBuildActivityInfo::StaticClass().FieldName(TCoordBuildActivityInfo::Opaque48),
              "Opaque48");
    EXPECT_EQ(TBuildStatusPacket::StaticClass().FieldCount(), 23);
    EXPECT_EQ(TMonitorEventStartedPacket::StaticClass().FieldCount(), 11);
    EXPECT_EQ(TMonitorEventCompletePacket::StaticClass().FieldCount(), 9);
    EXPECT_EQ(TMonitorEventMessagePacket::StaticClass().FieldCount(), 8);
}

} // namespace
} // namespace qz
