#include "ByteOrder.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(ByteOrder, StoresTheLowByteFirst) {
    std::uint8_t bytes[8] = {};
    Store32(bytes, 0x11223344u);
    EXPECT_EQ(bytes[0], 0x44);
    EXPECT_EQ(bytes[3], 0x11);
    Store16(bytes + 4, 0xA1B2);
    EXPECT_EQ(bytes[4], 0xB2);
    EXPECT_EQ(bytes[5], 0xA1);
    Store64(bytes, 0x0102030405060708ull);
    EXPECT_EQ(bytes[0], 0x08);
    EXPECT_EQ(bytes[7], 0x01);
}

TEST(ByteOrder, LoadsAtAnyAlignment) {
    const std::uint8_t bytes[11] = {0xFF, 0x78, 0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x90, 0, 0};
    EXPECT_EQ(Load32(bytes + 1), 0x12345678u);
    EXPECT_EQ(Load16(bytes + 1), 0x5678u);
    EXPECT_EQ(Load64(bytes + 1), 0x90ABCDEF12345678ull);
    EXPECT_EQ(Load32(bytes + 5), 0x90ABCDEFu);
}

TEST(ByteOrder, PartialWidthsTakeTheLowBytes) {
    std::uint8_t bytes[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    StoreLE(bytes, 0x123456789Aull, 3);
    EXPECT_EQ(bytes[0], 0x9A);
    EXPECT_EQ(bytes[2], 0x56);
    EXPECT_EQ(bytes[3], 0xAA); // untouched past the width
    EXPECT_EQ(LoadLE(bytes, 3), 0x56789Au);
    EXPECT_EQ(LoadLE(bytes, 1), 0x9Au);
    for (std::size_t size = 1; size <= 8; ++size) {
        std::uint8_t round[8] = {};
        StoreLE(round, 0xFEDCBA9876543210ull, size);
        const std::uint64_t mask = size == 8 ? ~0ull : (1ull << (8 * size)) - 1;
        EXPECT_EQ(LoadLE(round, size), 0xFEDCBA9876543210ull & mask) << size;
    }
}

} // namespace
} // namespace qz
