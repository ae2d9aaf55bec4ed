#include "Packets.h"

#include "BuildCommandPackets.h"
#include "MonitorPackets.h"
#include "ServicePackets.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace qz {
namespace {

using enum TValueType;

const bool g_registered = (RegisterAllPacketClasses(), true);

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) {
        bytes += static_cast<char>(v);
    }
    return bytes;
}

std::string Encode(const TPacket& packet, TPacketSaveContext* context = nullptr) {
    TVirtualStream stream;
    packet.SaveToStream(stream, context);
    return stream.AsString();
}

// Builds a class from a def (references resolved through the catalogue).
std::unique_ptr<TPacketClass> MakeClass(const TPacketClassDef& def) {
    auto cls = std::make_unique<TPacketClass>(def, &TPacket::StaticClass());
    cls->ResolveReferences(FindPacketClassByName);
    return cls;
}

std::unique_ptr<TPacketClass> VersionClass(int fields) {
    TPacketClassDef def{"TVersionTestPacket", "{99999999-2222-3333-4444-555555555555}", false, {}};
    static const char* kNames[] = {"F1", "F2", "F3", "F4", "F5", "F6"};
    for (int i = 0; i < fields; ++i) {
        def.fields.push_back(PF(kNames[i], Integer, "7"));
    }
    return MakeClass(def);
}

const TPacketClass& RegisteredVersionClass() {
    static const std::unique_ptr<TPacketClass> cls = [] {
        auto c = VersionClass(5);
        RegisterPacketClass(*c);
        return c;
    }();
    return *cls;
}

const TPacketClass& RegisteredAllTypes() {
    static const std::unique_ptr<TPacketClass> cls = [] {
        auto c = MakeClass(TPacketClassDef{
            "TAllTypesTestPacket",
            "{11111111-2222-3333-4444-555555555555}",
            false,
            {PF("I", Integer), PF("E", Enum), PFSet("S2", 2), PF("Str", String), PF("Blob", Blob),
             PF("H", Handle), PFOptional("Opt", "TStopJobPacket"), PFList("List", "TPacket"),
             PF("Nums", IntegerList), PF("Lines", StringList), PF("D", DateTime), PF("B", Boolean),
             PF("I8", Int8), PF("W", WideString), PF("G", Guid), PF("C", CompactInt),
             PFSet("S8", 8), PF("Card", Cardinal), PF("I64", Int64)}});
        RegisterPacketClass(*c);
        return c;
    }();
    return *cls;
}

enum AllField { fI, fE, fS2, fStr, fBlob, fH, fOpt, fList, fNums, fLines, fD, fB, fI8, fW, fG };

template <typename E>
void ExpectError(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const E& error) {
        EXPECT_EQ(error.Message(), message);
        if constexpr (std::is_same_v<E, Exception>) {
            EXPECT_STREQ(error.ClassName(), "Exception");
        }
    }
}

// Loads the bytes into a fresh all-types packet and expects the error.
void ExpectLoadError(const std::string& bytes, const std::string& message, bool range = true) {
    TVirtualStream stream;
    stream.SetContent(bytes);
    TPacket packet(RegisteredAllTypes());
    if (range) {
        ExpectError<ERangeError>([&] { packet.LoadFromStream(stream); }, message);
    } else {
        ExpectError<Exception>([&] { packet.LoadFromStream(stream); }, message);
    }
}

// Header for a stored all-types packet with the given field count and body.
std::string AllTypesPacket(int fieldCount, const std::string& body) {
    std::string bytes = Bytes({2, 0, 0, 0});
    std::uint32_t length = 32 + static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>(length >> (8 * i));
    }
    bytes += static_cast<char>(fieldCount);
    bytes += std::string(7, '\0');
    bytes.append(reinterpret_cast<const char*>(RegisteredAllTypes().ClassGUID().Bytes()), 16);
    return bytes + body;
}

// ---- Worked examples ----

TEST(PacketEncodingTest, StopJobPacketWithHeaderIs48Bytes) {
    TGuid job = GuidFromText("{00112233-4455-6677-8899-AABBCCDDEEFF}");
    TStopJobPacket packet(job);
    std::string bytes = Encode(packet);
    EXPECT_EQ(Hex(bytes), "02 00 00 00 30 00 00 00 01 00 00 00 00 00 00 00 "
                          "29 D0 E3 7E A5 AF F1 4D AC 03 55 12 E6 91 80 71 "
                          "33 22 11 00 55 44 77 66 88 99 AA BB CC DD EE FF");
    TVirtualStream stream;
    stream.SetContent(bytes);
    auto loaded = TPacket::CreateFromStream(stream);
    EXPECT_EQ(loaded->ClassName(), "TStopJobPacket");
    EXPECT_TRUE(dynamic_cast<TStopJobPacket*>(loaded.get()) != nullptr);
    EXPECT_EQ(loaded->Guid(TStopJobPacket::JobID), job);
    EXPECT_EQ(stream.Position(), 48);
}

TEST(PacketEncodingTest, FreshBuildCommandDefaultsAndFlags) {
    TBuildCommandPacket command;
    std::string bytes = Encode(command);
    ASSERT_EQ(bytes.size(), 183u);
    EXPECT_EQ(Hex(bytes.substr(48, 9)), "08 00 00 00 00 00 00 00 00");
    EXPECT_EQ(static_cast<unsigned char>(bytes[93]), 0xFF);  // OverrideLogLevel
    EXPECT_EQ(Hex(bytes.substr(114, 4)), "FF FF FF FF");     // PluginUpDateVer
    EXPECT_EQ(static_cast<unsigned char>(bytes[147]), 0x01); // UseLocalBuildCache
    command.SetFlag(0, true);
    command.SetFlag(1, true);
    EXPECT_EQ(Hex(Encode(command).substr(48, 9)), "08 03 00 00 00 00 00 00 00");
}

TEST(PacketEncodingTest, ContextIntroducesClassOnceThenReferencesIt) {
    TPacketSaveContext context;
    TMonitorEventOutputPacket first, second;
    std::string a = Encode(first, &context);
    std::string b = Encode(second, &context);
    EXPECT_EQ(Hex(a.substr(0, 20)),
              "00 00 07 00 " +
                  Hex(std::string(reinterpret_cast<const char*>(first.ClassGUID().Bytes()), 16)));
    EXPECT_EQ(static_cast<unsigned char>(b[0]), 0x02);
    EXPECT_EQ(a.substr(20), b.substr(1));
}

// 130 registered classes with one Integer field each, for long context streams.
const std::vector<std::unique_ptr<TPacketClass>>& ContextTestClasses() {
    static const std::vector<std::unique_ptr<TPacketClass>> classes = [] {
        std::vector<std::unique_ptr<TPacketClass>> made;
        static std::vector<std::string> names, guids;
        for (int i = 0; i < 130; ++i) {
            names.push_back("TContextTestPacket" + std::to_string(i));
            guids.push_back(Format("{AAAAAAAA-0000-0000-0000-%.12d}", i));
        }
        for (int i = 0; i < 130; ++i) {
            made.push_back(MakeClass(TPacketClassDef{names[static_cast<std::size_t>(i)].c_str(),
                                                     guids[static_cast<std::size_t>(i)].c_str(),
                                                     false,
                                                     {PF("Value", Integer)}}));
            RegisterPacketClass(*made.back());
        }
        return made;
    }();
    return classes;
}

TEST(PacketEncodingTest, HundredTwentyEighthContextClassTakesTwoBytes) {
    std::vector<const TPacketClass*> classes;
    for (const auto& cls : ContextTestClasses()) {
        classes.push_back(cls.get());
    }
    TVirtualStream stream;
    TPacketSaveContext context;
    std::vector<std::unique_ptr<TPacket>> written;
    for (int i = 0; i < 128; ++i) {
        written.push_back(classes[static_cast<std::size_t>(i)]->Create());
        written.back()->SetInt(0, i);
        written.back()->SaveToStream(stream, &context);
    }
    std::int64_t mark = stream.Position();
    written.push_back(classes[127]->Create());
    written.back()->SaveToStream(stream, &context);
    EXPECT_EQ(Hex(stream.AsString().substr(static_cast<std::size_t>(mark), 2)), "01 01");

    stream.SetPosition(0);
    TPacketLoadContext loadContext;
    for (const auto& expected : written) {
        auto loaded = TPacket::CreateFromStream(stream, &loadContext);
        EXPECT_TRUE(loaded->Equals(*expected)) << expected->ClassName();
    }
    EXPECT_EQ(stream.Position(), stream.Size());
}

TEST(PacketEncodingTest, StringOf128BytesHasFourByteLength) {
    TMonitorEventOutputPacket packet;
    packet.SetStr(TMonitorEventOutputPacket::Text, std::string(128, 'x'));
    std::string bytes = Encode(packet);
    EXPECT_EQ(Hex(bytes.substr(36, 4)), "01 01 00 00");
}

// ---- Version rule ----

TEST(PacketVersionTest, FewerStoredFieldsKeepCurrentValuesOrDefaults) {
    const TPacketClass& reader = RegisteredVersionClass();
    auto writer = VersionClass(3);
    TPacket written(*writer);
    for (int i = 0; i < 3; ++i) {
        written.SetInt(i, 100 + i);
    }
    std::string bytes = Encode(written) + "tail";

    TPacket existing(reader);
    existing.SetInt(3, 40);
    existing.SetInt(4, 50);
    TVirtualStream stream;
    stream.SetContent(bytes);
    existing.LoadFromStream(stream);
    EXPECT_EQ(existing.Int(2), 102);
    EXPECT_EQ(existing.Int(3), 40);
    EXPECT_EQ(existing.Int(4), 50);
    EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(bytes.size() - 4));

    stream.SetPosition(0);
    auto created = TPacket::CreateFromStream(stream);
    EXPECT_EQ(created->Int(0), 100);
    EXPECT_EQ(created->Int(3), 7);
    EXPECT_EQ(created->Int(4), 7);
}

TEST(PacketVersionTest, MoreStoredFieldsAreSkippedWithHeaderRefusedWithContext) {
    RegisteredVersionClass();
    auto writer = VersionClass(6);
    TPacket written(*writer);
    written.SetInt(5, 66);
    std::string bytes = Encode(written);
    TVirtualStream stream;
    stream.SetContent(bytes + "x");
    auto created = TPacket::CreateFromStream(stream);
    EXPECT_EQ(created->FieldCount(), 5);
    EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(bytes.size()));

    TPacketSaveContext saveContext;
    TVirtualStream contextStream;
    written.SaveToStream(contextStream, &saveContext);
    contextStream.SetPosition(0);
    TPacketLoadContext loadContext;
    ExpectError<Exception>([&] { TPacket::CreateFromStream(contextStream, &loadContext); },
                           "Unsupported version of packet class: TVersionTestPacket (version 6)");

    auto older = VersionClass(4);
    TPacket four(*older);
    four.SetInt(3, 44);
    TPacketSaveContext saveContext4;
    TVirtualStream stream4;
    four.SaveToStream(stream4, &saveContext4);
    four.SaveToStream(stream4, &saveContext4);
    stream4.SetPosition(0);
    TPacketLoadContext loadContext4;
    auto a = TPacket::CreateFromStream(stream4, &loadContext4);
    auto b = TPacket::CreateFromStream(stream4, &loadContext4);
    EXPECT_EQ(a->Int(3), 44);
    EXPECT_EQ(b->Int(4), 7);
    EXPECT_EQ(stream4.Position(), stream4.Size());
}

TEST(PacketVersionTest, BuildCommandOfNewerAndOlderVersions) {
    TPacketClassDef def = BuildCommandPacketClasses()[1];
    ASSERT_STREQ(def.name, "TBuildCommandPacket");
    def.factory = nullptr;
    TPacketClassDef newer = def;
    newer.fields.push_back(PF("Future1", String));
    newer.fields.push_back(PF("Future2", Integer));
    auto newerClass = MakeClass(newer);
    TPacket written(*newerClass);
    written.SetStr(TBuildCommandPacket::BuildCacheProfile, "profile");
    written.SetStr(76, "future");
    written.SetInt(77, 5);
    std::string bytes = Encode(written);

    TVirtualStream stream;

    stream.SetContent(bytes + "next");
    auto loaded = TPacket::CreateFromStream(stream);
    EXPECT_EQ(loaded->FieldCount(), 76);
    EXPECT_EQ(loaded->Str(TBuildCommandPacket::BuildCacheProfile), "profile");
    EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(bytes.size()));

    TPacketClassDef older = def;
    older.fields.resize(74);
    auto olderClass = MakeClass(older);
    TBuildCommandPacket current;
    current.SetStr(TBuildCommandPacket::BuildCacheProfile, "p");
    current.SetStr(TBuildCommandPacket::Caption, "caption");
    std::string currentBytes = Encode(current);
    TVirtualStream olderStream;
    olderStream.SetContent(currentBytes);
    TPacket old(*olderClass);
    old.LoadFromStream(olderStream);
    EXPECT_EQ(old.Str(TBuildCommandPacket::Caption), "caption");
    EXPECT_EQ(olderStream.Position(), static_cast<std::int64_t>(currentBytes.size()));
}

TEST(PacketVersionTest, HeaderLengthZeroAndNegativeNextPosition) {
    TStopJobPacket packet;
    std::string bytes = Encode(packet);
    bytes[4] = 0;
    TVirtualStream stream;
    stream.SetContent(bytes);
    TStopJobPacket loaded;
    loaded.LoadFromStream(stream);
    EXPECT_EQ(stream.Position(), 0);

    bytes[4] = 0;
    bytes[5] = bytes[6] = bytes[7] = static_cast<char>(0x80);
    TVirtualStream negative;
    negative.SetContent(bytes);
    ExpectError<ERangeError>(
        [&] { loaded.LoadFromStream(negative); },
        "Next packet position is negative after loading TStopJobPacket packet fields");
}

// ---- Bounds and format errors ----

TEST(PacketDecodingTest, HeaderErrors) {
    ExpectLoadError("", "Buffer position out of bounds before loading packet header");
    ExpectLoadError(std::string(31, '\2'), "Trying to load packet header beyond the buffer end");
    std::string bytes = AllTypesPacket(0, "");
    bytes[0] = 3;
    ExpectLoadError(bytes, "Cannot load packet. Unknown format version: 3", false);

    TStopJobPacket stop;
    TVirtualStream stream;
    stream.SetContent(Encode(stop));
    TPacket other(RegisteredAllTypes());
    ExpectError<Exception>([&] { other.LoadFromStream(stream); },
                           "Incompatible packet class: {7EE3D029-AFA5-4DF1-AC03-5512E6918071} "
                           "({11111111-2222-3333-4444-555555555555}, TAllTypesTestPacket "
                           "expected)");

    std::string unknown = Encode(stop);
    unknown[16] = 0x55;
    TVirtualStream unknownStream;
    unknownStream.SetContent(unknown);
    ExpectError<Exception>([&] { TPacket::CreateFromStream(unknownStream); },
                           "Unregistered packet class: {7EE3D055-AFA5-4DF1-AC03-5512E6918071}");
}

TEST(PacketDecodingTest, FieldBoundsErrors) {
    ExpectLoadError(AllTypesPacket(1, Bytes({1, 2})),
                    "Trying to load I (4 bytes) beyond the buffer end");
    std::string i4 = Bytes({1, 0, 0, 0});
    ExpectLoadError(AllTypesPacket(2, i4),
                    "Trying to load E field's length (1 byte) beyond the buffer end");
    ExpectLoadError(AllTypesPacket(2, i4 + Bytes({0})),
                    "Zero or Negative length (0 bytes) trying to load E");
    ExpectLoadError(AllTypesPacket(2, i4 + Bytes({3, 1})),
                    "Trying to load E (3 bytes) beyond the buffer end");
    std::string e = Bytes({1, 4});
    std::string s2 = Bytes({2, 1, 0});
    ExpectLoadError(AllTypesPacket(4, i4 + e + s2),
                    "Trying to load short Str field's length (1 byte) beyond the buffer end");
    ExpectLoadError(AllTypesPacket(4, i4 + e + s2 + Bytes({1, 2})),
                    "Trying to load Str field's length (3 bytes) beyond the buffer end");
    ExpectLoadError(AllTypesPacket(4, i4 + e + s2 + Bytes({10, 'a'})),
                    "Trying to load Str (5 bytes) beyond the buffer end");
    // Positions are 64-bit: the largest length cannot overflow them, it is simply not there.
    ExpectLoadError(AllTypesPacket(4, i4 + e + s2 + Bytes({0xFF, 0xFF, 0xFF, 0xFF})),
                    "Trying to load Str (2147483647 bytes) beyond the buffer end");
    std::string str = Bytes({0});
    ExpectLoadError(AllTypesPacket(5, i4 + e + s2 + str + Bytes({1})),
                    "Trying to load Blob field's length (4 bytes) beyond the buffer end");
    ExpectLoadError(AllTypesPacket(5, i4 + e + s2 + str + Bytes({0xFE, 0xFF, 0xFF, 0xFF})),
                    "Negative length (-2 bytes) trying to load Blob");
    ExpectLoadError(AllTypesPacket(5, i4 + e + s2 + str + Bytes({9, 0, 0, 0})),
                    "Trying to load Blob (9 bytes) beyond the buffer end");
    std::string blob = Bytes({0, 0, 0, 0});
    ExpectLoadError(AllTypesPacket(6, i4 + e + s2 + str + blob + Bytes({5, 0, 0, 0, 0, 0})),
                    "Invalid size value (5 bytes) for H");
    ExpectLoadError(
        AllTypesPacket(6, i4 + e + s2 + str + blob + Bytes({8, 0, 0, 0, 0, 0, 0, 0, 0})),
        "The size read for the handler (8 bytes) is bigger than the native type of H (4 bytes)");
    ExpectLoadError(AllTypesPacket(6, i4 + e + s2 + str + blob + Bytes({4, 0})),
                    "Trying to load H (4 bytes) beyond the buffer end");
    std::string h = Bytes({4, 0, 0, 0, 0});
    ExpectLoadError(AllTypesPacket(7, i4 + e + s2 + str + blob + h),
                    "Trying to load Opt field's availability (1 byte) beyond the buffer end");
    std::string opt = Bytes({0});
    ExpectLoadError(
        AllTypesPacket(8, i4 + e + s2 + str + blob + h + opt + Bytes({0xFF, 0xFF, 0xFF, 0xFF})),
        "List capacity out of bounds (-1)", false);
    ExpectLoadError(AllTypesPacket(8, i4 + e + s2 + str + blob + h + opt + Bytes({1, 0})),
                    "Stream read error", false);
    std::string list = Bytes({0, 0, 0, 0});
    ExpectLoadError(AllTypesPacket(9, i4 + e + s2 + str + blob + h + opt + list +
                                          Bytes({0x01, 0xFF, 0xFF, 0x7F})),
                    "Stream read error", false);
    std::string nums = Bytes({0});
    ExpectLoadError(AllTypesPacket(10, i4 + e + s2 + str + blob + h + opt + list + nums +
                                           Bytes({4, 2, 'a', 2})),
                    "Trying to load Lines#2 (1 bytes) beyond the buffer end");
}

TEST(PacketDecodingTest, SizedValuesWidenAndNarrow) {
    std::string body = Bytes({1, 0, 0, 0}) + Bytes({4, 9, 8, 7, 6}) +
                       Bytes({8, 0x34, 0x12, 1, 2, 3, 4, 5, 6}) + Bytes({0});
    TVirtualStream stream;
    stream.SetContent(AllTypesPacket(4, body));
    TPacket packet(RegisteredAllTypes());
    packet.LoadFromStream(stream);
    EXPECT_EQ(packet.Int(fE), 9);
    EXPECT_EQ(packet.Bits(fS2), 0x1234u);
    EXPECT_EQ(stream.Position(), stream.Size());

    std::string narrow = Bytes({1, 0, 0, 0}) + Bytes({1, 3}) + Bytes({1, 0x7F}) + Bytes({0});
    TVirtualStream narrowStream;
    narrowStream.SetContent(AllTypesPacket(4, narrow));
    packet.SetBits(fS2, 0xFFFF);
    packet.LoadFromStream(narrowStream);
    EXPECT_EQ(packet.Bits(fS2), 0x7Fu);
}

TEST(PacketDecodingTest, ContextReferenceErrors) {
    TPacketLoadContext context;
    auto load = [&](const std::string& bytes) {
        TVirtualStream stream;
        stream.SetContent(bytes);
        TPacket::CreateFromStream(stream, &context);
    };
    ExpectError<Exception>([&] { load(Bytes({2})); }, "Invalid streaming context ID: 1");
    ExpectError<ERangeError>(
        [&] { load(Bytes({1})); },
        "Trying to load PacketClass field's wlength (1 byte) beyond the buffer end");
    ExpectError<ERangeError>(
        [&] {
            load(Bytes({0, 0, 1}));
        },
        "Trying to load packet class intro beyond the buffer end");
    ExpectError<Exception>(
        [&] {
            load(Bytes({0, 0, 0, 0}) + std::string(16, '\x42'));
        },
        "Unregistered packet class in context: "
        "{42424242-4242-4242-4242-424242424242}");
    TVirtualStream empty;
    int count = 0;
    ExpectError<ERangeError>(
        [&] { ReadClassReference(empty, context, count); },
        "Trying to load short PacketClass field's wlength (1 byte) beyond the buffer end");
}

TEST(PacketDecodingTest, CreateFromStreamWrapsFieldErrors) {
    std::string bytes = Encode(TStopJobPacket());
    bytes.resize(40);
    bytes[4] = 48;
    TVirtualStream stream;
    stream.SetContent(bytes);
    ExpectError<Exception>([&] { TPacket::CreateFromStream(stream); },
                           "Failed to load packet fields\r\nTrying to load JobID (16 bytes) "
                           "beyond the buffer end");
}

TEST(PacketDecodingTest, ForeignNestedStatusPacketIsSkippedByLength) {
    TQueryServiceStatusReplyPacket reply;
    reply.SetStr(TQueryServiceStatusReplyPacket::AgentID, "agent");
    std::string bytes = Encode(reply);
    // Replace the nested packet (32 bytes, no fields) by one of an unknown class with 3 bytes.
    std::string nested = bytes.substr(32, 32);
    nested[4] = 35;
    nested[8] = 1;
    nested[16] = 0x77;
    std::string forged = bytes.substr(0, 32) + nested + "abc" + bytes.substr(64);
    std::uint32_t length = static_cast<std::uint32_t>(forged.size());
    forged[4] = static_cast<char>(length);
    forged[5] = static_cast<char>(length >> 8);
    TVirtualStream stream;
    stream.SetContent(forged);
    auto loaded = TPacket::CreateFromStream(stream);
    EXPECT_EQ(loaded->Str(TQueryServiceStatusReplyPacket::AgentID), "agent");
    EXPECT_EQ(stream.Position(), stream.Size());
}

TEST(PacketDecodingTest, SelfReferencingListItemsDoNotLoopForever) {
    // A list claiming 2^31-1 items whose item header has length 0: every item would re-read the
    // same bytes.
    std::string item = Encode(TPacket());
    item[4] = 0;
    std::string body = Bytes({1, 0, 0, 0}) + Bytes({1, 0}) + Bytes({2, 0, 0}) + Bytes({0}) +
                       Bytes({0, 0, 0, 0}) + Bytes({4, 0, 0, 0, 0}) + Bytes({0}) +
                       Bytes({0xFF, 0xFF, 0xFF, 0x7F}) + item;
    TVirtualStream stream;
    stream.SetContent(AllTypesPacket(8, body));
    TPacket packet(RegisteredAllTypes());
    EXPECT_THROW(packet.LoadFromStream(stream), ERangeError);
}

TEST(PacketDecodingTest, NestingDepthIsLimited) {
    auto build = [](int depth) {
        auto outer = std::make_unique<TRequestBuildStatusReplayPacket>();
        TPacket* current = outer.get();
        for (int i = 0; i < depth; ++i) {
            current = &current->List(0).Add(std::make_unique<TRequestBuildStatusReplayPacket>());
        }
        TVirtualStream stream;
        TPacketSaveContext context;
        outer->SaveToStream(stream, &context);
        return stream.AsString();
    };
    TVirtualStream deep;
    deep.SetContent(build(200));
    TPacketLoadContext context;
    try {
        TPacket::CreateFromStream(deep, &context);
        ADD_FAILURE();
    } catch (const Exception& error) {
        EXPECT_THAT(error.Message(), testing::EndsWith("Packets nested deeper than 64 levels"));
    }
    TVirtualStream shallow;
    shallow.SetContent(build(10));
    TPacketLoadContext shallowContext;
    EXPECT_NO_THROW(TPacket::CreateFromStream(shallow, &shallowContext));
}

// A stream whose bytes sit at a large offset, as the tail of a long event stream does.
class OffsetStream : public TStream {
public:
    OffsetStream(std::int64_t offset, std::string bytes)
        : offset_(offset), bytes_(std::move(bytes)), position_(offset) {}
    std::int64_t Read(void* buffer, std::int64_t count) override {
        std::int64_t n = std::max<std::int64_t>(0, std::min(count, Size() - position_));
        std::memcpy(buffer, bytes_.data() + (position_ - offset_), static_cast<std::size_t>(n));
        position_ += n;
        return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override {
        std::int64_t base = origin == SeekOrigin::Begin     ? 0
                            : origin == SeekOrigin::Current ? position_
                                                            : Size();
        position_ = std::clamp(base + offset, offset_, Size());
        return position_;
    }
    void SetSize(std::int64_t) override {}
    std::int64_t Size() override { return offset_ + static_cast<std::int64_t>(bytes_.size()); }

private:
    std::int64_t offset_;
    std::string bytes_;
    std::int64_t position_;
};

TEST(PacketDecodingTest, EventsPastTwoGibibytesLoad) {
    TVirtualStream encoded;
    TPacketSaveContext save;
    for (int i = 0; i < 3; ++i) {
        TMonitorEventOutputPacket event;
        event.SetStr(TMonitorEventOutputPacket::Text, std::string(40, static_cast<char>('a' + i)));
        event.SaveToStream(encoded, &save);
    }
    // The second string crosses 2^31.
    for (std::int64_t offset : {std::int64_t{0x7FFFFFC0}, std::int64_t{0xFFFFFFF0}}) {
        OffsetStream stream(offset, encoded.AsString());
        TPacketLoadContext load;
        for (int i = 0; i < 3; ++i) {
            auto event = TPacket::CreateFromStream(stream, &load);
            EXPECT_EQ(event->Str(TMonitorEventOutputPacket::Text),
                      std::string(40, static_cast<char>('a' + i)));
        }
        EXPECT_EQ(stream.Position(), stream.Size());
    }
    // A length beyond the end is still refused at such positions.
    std::string cut = encoded.AsString();
    cut.resize(cut.size() - 5);
    OffsetStream stream(0x7FFFFFF0, cut);
    TPacketLoadContext load;
    TPacket::CreateFromStream(stream, &load);
    TPacket::CreateFromStream(stream, &load);
    EXPECT_THROW(TPacket::CreateFromStream(stream, &load), Exception);
}

// ---- Object model ----

TEST(PacketModelTest, AccessorErrorsNameClassAndField) {
    TStopJobPacket packet;
    ExpectError<Exception>([&] { packet.GetFieldAsObject(0); },
                           "Cannot get field as object: TStopJobPacket.JobID");
    ExpectError<Exception>([&] { packet.GetFieldAsInteger(0); },
                           "Cannot get field as integer: TStopJobPacket.JobID");
    ExpectError<Exception>([&] { packet.SetFieldAsInteger(0, 1); },
                           "Cannot set field as integer: TStopJobPacket.JobID");
    ExpectError<Exception>([&] { packet.GetFieldAsString(5); },
                           "Cannot get field as string: TStopJobPacket.");
    ExpectError<Exception>([&] { packet.SetFieldAsString(0, ""); },
                           "Cannot set field as string: TStopJobPacket.JobID");
    ExpectError<Exception>([&] { packet.GetFieldAsDouble(0); },
                           "Cannot get field as double: TStopJobPacket.JobID");
    ExpectError<Exception>([&] { packet.SetFieldAsDouble(-1, 0); },
                           "Cannot set field as double: TStopJobPacket.");
    TPacket all(RegisteredAllTypes());
    ExpectError<Exception>([&] { all.GetFieldAsObject(fOpt); },
                           "Attempt to access uninitialized member object: "
                           "TAllTypesTestPacket.Opt");
}

TEST(PacketModelTest, ClassLevelQueries) {
    const TPacketClass& cls = TStopJobPacket::StaticClass();
    EXPECT_EQ(cls.FieldIndex("JobID"), 0);
    EXPECT_EQ(cls.FieldIndex("jobid"), -1);
    EXPECT_EQ(cls.FieldIndex("Nope"), -1);
    EXPECT_EQ(cls.FieldName(cls.FieldCount()), "");
    EXPECT_EQ(cls.FieldCaption(0), "JobID");
    EXPECT_EQ(cls.FieldKind(0), FieldKindOther);
    EXPECT_EQ(cls.FieldKind(7), FieldKindOther);
    EXPECT_TRUE(cls.InheritsFrom(TCommPacket::StaticClass()));
    EXPECT_EQ(GuidToText(TCommPacket::StaticClass().ClassGUID()),
              "{47BF5205-8993-41F5-98E9-03CB6EA34D1E}");
    std::string text;
    TStopJobPacket packet;
    EXPECT_EQ(packet.GetFieldText(1, text), 0);
    int before = cls.InstanceCount();
    {
        TStopJobPacket another;
        EXPECT_EQ(cls.InstanceCount(), before + 1);
    }
    EXPECT_EQ(cls.InstanceCount(), before);
    EXPECT_EQ(PacketClassIndex(TPacket::StaticClass()), 1);
}

// Integer text in a field reads as everywhere else (TryTextToInt): the whole text, in range.
TEST(PacketModelTest, IntegerTextIsCheckedToTheEndAndForRange) {
    TPacket p(RegisteredAllTypes());
    p.SetFieldAsString(fI, "$7FFFFFFF");
    EXPECT_EQ(p.Int(fI), 2147483647);
    p.SetFieldAsString(fI, "-2147483648");
    EXPECT_EQ(p.Int(fI), INT32_MIN);
    p.SetFieldAsString(fI, "x10");
    EXPECT_EQ(p.Int(fI), 16);
    for (const char* text : {"2147483648", "-2147483649", "$100000000", "0x-1", "+-1", "1 2"}) {
        ExpectError<Exception>([&] { p.SetFieldAsString(fI, text); },
                               std::string("'") + text + "' is not a valid integer value");
    }
    EXPECT_EQ(p.Int(fI), 16);
}

TEST(PacketModelTest, ValueConversions) {
    TPacket p(RegisteredAllTypes());
    p.SetDouble(fD, 45678.75);
    EXPECT_EQ(p.GetFieldAsString(fD), "4.568E4");
    p.SetFieldAsString(fB, "TRUE");
    EXPECT_TRUE(p.Bool(fB));
    p.SetFieldAsString(fB, "yes");
    EXPECT_FALSE(p.Bool(fB));
    p.SetFieldAsInteger(fI8, 300);
    EXPECT_EQ(p.GetFieldAsInteger(fI8), 44);
    p.SetFieldAsInteger(fI8, 255);
    EXPECT_EQ(p.GetFieldAsInteger(fI8), -1);
    p.SetFieldAsString(fI, "12");
    ExpectError<Exception>([&] { p.SetFieldAsString(fI, "12x"); },
                           "'12x' is not a valid integer value");
    EXPECT_EQ(p.Int(fI), 12);
    p.SetFieldAsString(fI, "");
    EXPECT_EQ(p.Int(fI), 0);
    p.SetFieldAsDouble(fI, 2.5);
    EXPECT_EQ(p.Int(fI), 2);
    p.SetFieldAsDouble(fI, 3.5);
    EXPECT_EQ(p.Int(fI), 4);
    p.SetFieldAsString(fLines, "a\r\nb\r\n");
    EXPECT_THAT(p.Strings(fLines).Strings(), testing::ElementsAre("a", "b"));
    EXPECT_EQ(p.GetFieldAsString(fLines), "a\r\nb\r\n");
    p.SetFieldAsString(fW, "w\xC3\xA4");
    EXPECT_EQ(p.WStr(fW), u"w\u00E4");
    EXPECT_EQ(p.GetFieldAsString(fW), "w\xC3\xA4");
    // Malformed UTF-8 becomes U+FFFD per maximal invalid subsequence and loses no valid character
    // after it: a cut-short lead byte, a stray continuation byte, an overlong form, an encoded
    // surrogate, a value above U+10FFFF and a truncated sequence at the end.
    p.SetFieldAsString(fW, "\xC3"
                           "A");
    EXPECT_EQ(p.WStr(fW), u"\uFFFDA");
    p.SetFieldAsString(fW, "a\x80"
                           "b\xC0\xAF"
                           "c\xED\xA0\x80"
                           "d\xF4\x90\x80\x80"
                           "e\xE2\x82");
    EXPECT_EQ(p.WStr(fW),
              u"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFDd\uFFFD\uFFFD\uFFFD\uFFFDe\uFFFD");
}

TEST(PacketModelTest, DumpOfOutputEvent) {
    TMonitorEventOutputPacket packet;
    packet.SetInt(TMonitorEventOutputPacket::ms, 1500);
    packet.SetStr(TMonitorEventOutputPacket::Text, "done");
    packet.SetInt(TMonitorEventOutputPacket::TaskID, 3);
    TStringListEx lines;
    packet.DumpToStrings(lines);
    EXPECT_THAT(lines.Strings(), testing::ElementsAre("(TMonitorEventOutputPacket)", "  ms = 1500",
                                                      "  Text = 'done'", "  TaskID = 3",
                                                      "  ErrorCount = 0", "  WarningCount = 0",
                                                      "  CreateRegion = True", "  ErrText = ''"));
}

TEST(PacketModelTest, DumpOfListsSetsAndNestedPackets) {
    TPacket p(RegisteredAllTypes());
    p.List(fList).Add(std::make_unique<TStopJobPacket>());
    p.List(fList).Add(std::make_unique<TStopJobPacket>());
    p.List(fList).Add(std::make_unique<TPacket>());
    EXPECT_EQ(p.List(fList).Text(), "[1/3]\r\n(TStopJobPacket)\r\n  JobID = "
                                    "{00000000-0000-0000-0000-000000000000}\r\n\r\n[2/3]\r\n("
                                    "TStopJobPacket)\r\n  JobID = "
                                    "{00000000-0000-0000-0000-000000000000}\r\n\r\n[3/3]\r\n("
                                    "TPacket)\r\n");
    TStringListEx lines;
    p.DumpToStrings(lines);
    EXPECT_EQ(lines[2], "  E = (?)");
    EXPECT_EQ(lines[3], "  S2 = (?)");
    EXPECT_EQ(lines[5], "  Blob = (size = 0)");
    EXPECT_EQ(lines[7], "  Opt = (null)");
    EXPECT_EQ(lines[8], "  List = ");
    EXPECT_EQ(lines[9], "    [1/3]");
    TPacket empty(RegisteredAllTypes());
    EXPECT_EQ(empty.List(fList).Text(), "(empty list)");
}

TEST(PacketModelTest, CompareAssignClearAndOptionalPackets) {
    TPacket a(RegisteredAllTypes()), b(RegisteredAllTypes());
    int calls = 0;
    EXPECT_TRUE(a.CompareFields(b, [&](int) { ++calls; }));
    EXPECT_EQ(calls, 0);
    TStopJobPacket other;
    std::vector<int> differences;
    EXPECT_FALSE(a.CompareFields(other, [&](int i) { differences.push_back(i); }));
    EXPECT_EQ(differences, std::vector<int>{-1});

    a.SetInt(fI, 1);
    a.SetStr(fStr, "s");
    a.EnsureOptional(fOpt).SetGuid(TStopJobPacket::JobID,
                                   GuidFromText("{11111111-0000-0000-0000-000000000000}"));
    differences.clear();
    EXPECT_FALSE(a.CompareFields(b, [&](int i) { differences.push_back(i); }));
    EXPECT_EQ(differences, (std::vector<int>{fI, fStr, fOpt}));
    EXPECT_FALSE(a.Equals(b));
    b.Assign(a);
    EXPECT_TRUE(a.Equals(b));
    EXPECT_TRUE(b.HasOptional(fOpt));
    ExpectError<Exception>([&] { b.Assign(other); }, "Invalid class typecast");
    EXPECT_FALSE(b.Equals(other));

    a.Clear();
    EXPECT_TRUE(a.HasOptional(fOpt));
    EXPECT_TRUE(a.Nested(fOpt).Guid(TStopJobPacket::JobID).IsNull());
    EXPECT_EQ(a.Int(fI), 0);
    a.ReleaseOptional(fOpt);
    EXPECT_TRUE(a.Equals(TPacket(RegisteredAllTypes())));
}

TEST(PacketListTest, OwningListOperations) {
    TBuildCommandProjectPacketList list;
    EXPECT_EQ(&list.ItemClass(), &TBuildCommandProjectPacket::StaticClass());
    auto& item = list.AddChecked(std::make_unique<TBuildCommandProjectPacket>());
    item.SetStr(TBuildCommandProjectPacket::Name, "p");
    TBuildCommandProjectPacketList copy;
    copy.Assign(list);
    EXPECT_TRUE(copy.Equals(list));
    EXPECT_EQ(copy.ItemAs(0).Str(TBuildCommandProjectPacket::Name), "p");
    ExpectError<Exception>([&] { list.Item(1); }, "List index out of bounds (1)");
    copy.Add(std::make_unique<TStopJobPacket>());
    EXPECT_FALSE(copy.Equals(list));
    ExpectError<Exception>([&] { copy.ItemAs(1); }, "Invalid class typecast");

    TVirtualStream stream;
    copy.SaveToStream(stream);
    stream.SetPosition(0);
    TBuildCommandProjectPacketList loaded;
    loaded.LoadFromStream(stream);
    ASSERT_EQ(loaded.Count(), 2);
    EXPECT_EQ(loaded.Item(1).ClassName(), "TStopJobPacket");
    EXPECT_TRUE(loaded.Equals(copy));
}

TEST(PacketRegistryTest, RegistrationOnceAndDuplicateGuid) {
    const TPacketClass& stop = TStopJobPacket::StaticClass();
    int index = PacketClassIndex(stop);
    RegisterPacketClass(stop);
    EXPECT_EQ(PacketClassIndex(stop), index);
    EXPECT_EQ(FindPacketClass(stop.ClassGUID()), &stop);

    TPacketClassDef def{"TDuplicateTestPacket", "{7EE3D029-AFA5-4DF1-AC03-5512E6918071}", true, {}};
    TPacketClass duplicate(def, &TCommPacket::StaticClass());
    ExpectError<Exception>([&] { RegisterPacketClass(duplicate); },
                           "Failed to register packet class: TDuplicateTestPacket\r\n"
                           "TGuidListEx_HashTable: Hashtable does not allow duplicates.");
    EXPECT_EQ(FindPacketClass(stop.ClassGUID()), &stop);
    EXPECT_EQ(AllPacketClasses().front(), &TPacket::StaticClass());
}

// ---- Flags, compression and files ----

TEST(PacketFlagsTest, CompressAndBufferFlags) {
    TStopJobPacket packet(GuidFromText("{00112233-4455-6677-8899-AABBCCDDEEFF}"));
    TVirtualStream buffered;
    packet.SaveToStream(buffered, nullptr, pfBuffered);
    EXPECT_EQ(buffered.AsString(), Encode(packet));

    // The compressed form is the sdc stream of the plain encoding, written where the stream
    // stands; loading with the decompress flag reads it back.
    TVirtualStream compressed;
    compressed.SetContent("lead");
    compressed.SetPosition(4);
    packet.SaveToStream(compressed, nullptr, pfCompress | pfBuffered);
    EXPECT_EQ(compressed.AsString().substr(0, 8), "leadsdc2");
    TVirtualStream plain;
    plain.SetContent(Encode(packet));
    TVirtualStream expected;
    CompressToStream(plain, plain.Size(), expected, kCompressFormatQuickLZ131);
    EXPECT_EQ(compressed.AsString().substr(4), expected.AsString());
    compressed.SetPosition(4);
    TStopJobPacket loaded;
    loaded.LoadFromStream(compressed, nullptr, pfDecompress);
    EXPECT_TRUE(loaded.Equals(packet));
    compressed.SetPosition(4);
    EXPECT_TRUE(TPacket::CreateFromStream(compressed, nullptr, pfDecompress)->Equals(packet));

    TVirtualStream notCompressed;
    notCompressed.SetContent(Encode(packet));
    ExpectError<Exception>([&] { loaded.LoadFromStream(notCompressed, nullptr, pfDecompress); },
                           "Decompression error: Header contains an invalid signature.");
}

TEST(PacketFlagsTest, LargeCompressedPacketsRoundTripThroughFiles) {
    test::TempDir dir;
    TMetaBuildPacket meta;
    std::string events(5 * 1000 * 1000, '\0');
    for (std::size_t i = 0; i < events.size(); ++i) {
        events[i] = static_cast<char>((i * 7919) >> 5);
    }
    meta.Blob(TMetaBuildPacket::MonitorEvents).SetContent(events);
    std::string file = dir / "meta.pkt";
    meta.SaveToFile(file, pfCompress | pfMappedWrite);
    EXPECT_LT(std::filesystem::file_size(file), events.size() / 2);
    TMetaBuildPacket loaded;
    loaded.LoadFromFile(file, pfDecompress);
    EXPECT_TRUE(loaded.Equals(meta));
    EXPECT_TRUE(TPacket::CreateFromFile(file, pfDecompress)->Equals(meta));
}

TEST(PacketFileTest, SaveAndLoadFiles) {
    test::TempDir dir;
    TStopJobPacket packet(GuidFromText("{00112233-4455-6677-8899-AABBCCDDEEFF}"));
    std::string nested = dir / "a/b/job.nv_bld_cmd";
    packet.SaveToFile(nested, pfCreateFolders | pfMappedWrite);
    EXPECT_EQ(test::ReadFile(nested), Encode(packet));

    std::string target = dir / "job.pkt";
    test::WriteFile(target, "old");
    packet.SaveToFile(target, pfSafeReplace);
    EXPECT_FALSE(std::filesystem::exists(target + ".temp"));
    TStopJobPacket loaded;
    loaded.LoadFromFile(target);
    EXPECT_TRUE(loaded.Equals(packet));

    std::string missing = dir / "missing.pkt";
    try {
        loaded.LoadFromFile(missing);
        ADD_FAILURE();
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Failed to load packet TStopJobPacket from file " + missing +
                                       "\r\nCannot open file: " + missing);
    }
    test::WriteFile(target, "");
    ExpectError<Exception>([&] { loaded.LoadFromFile(target); },
                           "Failed to load packet TStopJobPacket from file " + target +
                               "\r\nBuffer position out of bounds before loading packet header");
    std::string plainNested = dir / "c/d/job.pkt";
    packet.SaveToFile(plainNested, pfCreateFolders);
    EXPECT_EQ(test::ReadFile(plainNested), Encode(packet));
    test::WriteFile(target, "damaged");
    ExpectError<Exception>([&] { loaded.LoadFromFile(target); },
                           "Failed to load packet TStopJobPacket from file " + target +
                               "\r\nTrying to load packet header beyond the buffer end");

    std::string late = dir / "late.pkt";
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        packet.SaveToFile(late, pfSafeReplace);
    });
    TStopJobPacket retried;
    retried.LoadFromFile(late, pfRetryOpen);
    writer.join();
    EXPECT_TRUE(retried.Equals(packet));
}

} // namespace
} // namespace qz
