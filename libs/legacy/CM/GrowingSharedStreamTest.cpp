#include "GrowingSharedStream.h"

#include "CommTesting.h"
#include "Exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace qz {
namespace {

using commtest::CommTest;
using std::chrono::milliseconds;

constexpr std::uint32_t kSection = 0x10000; // 64 KiB keeps the tests small

std::string Pattern(std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) & 0xFF);
    }
    return bytes;
}

std::string ReadAll(TGrowingSharedStream& stream, std::int64_t from, std::int64_t count) {
    std::string bytes(static_cast<std::size_t>(count), '\0');
    stream.SetPosition(from);
    bytes.resize(static_cast<std::size_t>(stream.Read(bytes.data(), count)));
    return bytes;
}

class GrowingSharedStreamTest : public CommTest {};

TEST_F(GrowingSharedStreamTest, NamesFollowTheSessionNumber) {
    TGuid guid = GuidFromText("{01234567-89AB-CDEF-0123-456789ABCDEF}");
    std::string base = "Tamrel_{01234567-89AB-CDEF-0123-456789ABCDEF}_X";
    EXPECT_EQ(MakeSessionObjectName(guid, SessionGlobal, "X", false), "Global\\" + base);
    EXPECT_EQ(MakeSessionObjectName(guid, SessionGlobal, "X", true), "\\BaseNamedObjects\\" + base);
    EXPECT_EQ(MakeSessionObjectName(guid, 7, "X", false), "Session\\7\\" + base);
    EXPECT_EQ(MakeSessionObjectName(guid, 7, "X", true),
              "\\Sessions\\7\\BaseNamedObjects\\" + base);
    EXPECT_EQ(MakeSessionObjectName(guid, SessionLocal, "X", false), base);
    EXPECT_EQ(MakeSessionObjectName(guid, SessionLocal, "X", true),
              CurrentSessionDirectory() + base);
    // Both forms of the local name reach the same object.
    TGrowingSharedStream owner(guid, SessionLocal, true, kSection);
    TGrowingSharedStream viaCurrent(guid, CurrentSessionNumber(), false, 0);
    EXPECT_EQ(viaCurrent.SectionSize(), kSection);
}

TEST_F(GrowingSharedStreamTest, WritesAtTheCapacityEdgeAndAcrossSections) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection);
    EXPECT_EQ(owner.Capacity(), kSection);
    std::string first = Pattern(kSection, 1);
    owner.WriteBuffer(first.data(), kSection);
    EXPECT_EQ(owner.Capacity(), kSection) << "a write of exactly the capacity adds no section";
    EXPECT_EQ(CountObjects("SharedStream_Section_"), 1);
    owner.WriteBuffer("x", 1);
    EXPECT_EQ(owner.Capacity(), 2 * kSection);
    EXPECT_EQ(CountObjects("SharedStream_Section_"), 2);

    // A write straddling the boundary, read back by an opener in pieces that straddle it too.
    std::string across = Pattern(1000, 2);
    owner.SetPosition(kSection - 500);
    owner.WriteBuffer(across.data(), 1000);
    TGrowingSharedStream opener(guid, SessionGlobal, false, 0);
    EXPECT_EQ(ReadAll(opener, kSection - 500, 1000), across);
    EXPECT_EQ(opener.DataSize(), kSection + 500);
    // A read asking for more than there is returns what is there.
    EXPECT_EQ(ReadAll(opener, kSection + 400, 5000).size(), 100u);
    EXPECT_EQ(ReadAll(opener, kSection + 600, 10).size(), 0u);
}

TEST_F(GrowingSharedStreamTest, OpenerInAnotherProcessGrowsThroughTheOwnersThread) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection);
    std::string data = Pattern(kSection * 5 / 2, 3);
    int child = commtest::ForkPeer([&](TNotifyQueue&) {
        TGrowingSharedStream opener(guid, SessionGlobal, false, 12345);
        opener.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
        return opener.Capacity() == 3 * kSection ? 0 : 1;
    });
    EXPECT_EQ(test::WaitChild(child, milliseconds(20000)), 0);
    EXPECT_EQ(owner.Capacity(), 3 * kSection);
    EXPECT_EQ(owner.DataSize(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(ReadAll(owner, 0, owner.DataSize()), data);
}

TEST_F(GrowingSharedStreamTest, TruncateIsSeenByAnOpenerThroughTheGeneration) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection);
    TGrowingSharedStream opener(guid, SessionGlobal, false, 0);
    std::string old = Pattern(kSection * 2, 4);
    owner.WriteBuffer(old.data(), static_cast<std::int64_t>(old.size()));
    EXPECT_EQ(ReadAll(opener, kSection, 10), old.substr(kSection, 10)); // maps section 1
    std::int32_t generation = owner.Generation();
    owner.Truncate();
    EXPECT_EQ(owner.Generation(), generation + 1);
    EXPECT_EQ(opener.DataSize(), 0);
    EXPECT_EQ(ReadAll(opener, 0, 10).size(), 0u);
    // The stream grows again; the opener sees the new bytes, not its stale view of section 1.
    std::string fresh = Pattern(kSection * 2, 5);
    owner.SetPosition(0);
    owner.WriteBuffer(fresh.data(), static_cast<std::int64_t>(fresh.size()));
    EXPECT_EQ(ReadAll(opener, kSection, 100), fresh.substr(kSection, 100));
    // A truncate of a one-section stream drops nothing and keeps the generation.
    owner.Truncate();
    owner.Truncate();
    EXPECT_EQ(owner.Generation(), generation + 2);
}

TEST_F(GrowingSharedStreamTest, OpenerFailsClearlyWithoutOwner) {
    try {
        TGrowingSharedStream opener(NewGuid(), SessionGlobal, false, 0);
        FAIL() << "opened a stream that does not exist";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind("Failed to open event 'Global\\Tamrel_{", 0), 0u)
            << e.Message();
    }
}

TEST_F(GrowingSharedStreamTest, SecondOwnerOfTheSameNameIsRefused) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection);
    EXPECT_THROW(TGrowingSharedStream(guid, SessionGlobal, true, kSection), EOSError);
}

TEST_F(GrowingSharedStreamTest, SectionSizeMustBeAPowerOfTwo) {
    try {
        TGrowingSharedStream owner(NewGuid(), SessionGlobal, true, 0x30000);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot convert size to shift-value: 196608");
    }
}

TEST_F(GrowingSharedStreamTest, DamagedHeaderIsReportedNotFollowed) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection);
    TGrowingSharedStream opener(guid, SessionGlobal, false, 0);
    owner.WriteBuffer("abc", 3);
    SharedStreamHeader& header = owner.Header();
    // Size beyond the capacity: a reader would copy from sections that do not exist.
    header.Size = kSection * 100;
    char buffer[16];
    try {
        opener.SetPosition(0);
        opener.Read(buffer, sizeof buffer);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("Failed to read from shared stream\r\nShared stream is damaged"),
                  std::string::npos)
            << e.Message();
    }
    header.Size = -5;
    EXPECT_THROW(opener.Read(buffer, 1), Exception);
    header.Size = 3;
    // A capacity that claims a section the owner never made: the opener misses it.
    header.Capacity = 4 * kSection;
    header.Size = 4 * kSection;
    opener.SetPosition(3 * kSection);
    try {
        opener.Read(buffer, 1);
        FAIL();
    } catch (const EAbort& e) {
        EXPECT_NE(e.Message().find("Failed to open section"), std::string::npos) << e.Message();
    }
    header.Capacity = kSection;
    header.Size = 3;
    opener.SetPosition(0);
    EXPECT_EQ(opener.Read(buffer, 3), 3);
}

TEST_F(GrowingSharedStreamTest, GrowthIsCappedAndTheGrowThreadSurvivesAHostileRequest) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection, 4 * kSection);
    TGrowingSharedStream opener(guid, SessionGlobal, false, 0);
    // A hostile opener asks for a terabyte: the owner grows to its limit and no further.
    owner.Header().RequestedCapacity = std::int64_t(1) << 40;
    TWinEvent(MakeSessionObjectName(guid, SessionGlobal, "SharedStream_GrowEvent", false), false)
        .SetEvent();
    EXPECT_TRUE(commtest::WaitUntil([&] { return owner.Capacity() == 4 * kSection; }));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(owner.Capacity(), 4 * kSection);
    EXPECT_EQ(CountObjects("SharedStream_Section_"), 4);
    // Writes within the limit still work; the owner's own write beyond it is refused.
    std::string data = Pattern(3 * kSection, 6);
    opener.SetPosition(0);
    opener.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
    owner.SetPosition(4 * kSection);
    EXPECT_THROW(owner.WriteBuffer("x", 1), Exception);
    // After a truncate the grow thread still serves requests.
    owner.Truncate();
    opener.SetPosition(0);
    opener.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(owner.Capacity(), 3 * kSection);
}

TEST_F(GrowingSharedStreamTest, TruncateRacingGrowthKeepsCapacityAndSectionsInStep) {
    TGuid guid = NewGuid();
    TGrowingSharedStream owner(guid, SessionGlobal, true, kSection);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread writer([&] {
        TGrowingSharedStream opener(guid, SessionGlobal, false, 0);
        std::string data = Pattern(kSection + 100, 7);
        while (!stop) {
            try {
                opener.SetPosition(kSection * 2);
                opener.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
            } catch (const Exception&) {
                ++failures;
            }
        }
    });
    for (int i = 0; i < 300; ++i) {
        owner.Truncate();
        std::this_thread::yield();
    }
    stop = true;
    writer.join();
    EXPECT_EQ(failures.load(), 0);
    owner.Truncate();
    EXPECT_EQ(owner.Capacity(), kSection);
    EXPECT_EQ(CountObjects("SharedStream_Section_"), 1);
    owner.SetPosition(kSection * 3 - 1);
    owner.WriteBuffer("z", 1);
    EXPECT_EQ(owner.Capacity(), 3 * kSection);
    EXPECT_EQ(CountObjects("SharedStream_Section_"), 3);
}

} // namespace
} // namespace qz
