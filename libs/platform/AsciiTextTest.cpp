#include "platform/AsciiText.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace qz::platform {
namespace {

TEST(AsciiText, OnlyAsciiLettersFold) {
    EXPECT_TRUE(SameTextAscii("AbC", "aBc"));
    EXPECT_TRUE(SameTextAscii("", ""));
    EXPECT_FALSE(SameTextAscii("abc", "abcd"));
    EXPECT_FALSE(SameTextAscii("@", "`"));               // differ by the case bit only
    EXPECT_FALSE(SameTextAscii("[", "{"));               // likewise
    EXPECT_FALSE(SameTextAscii("\xC3\xA9", "\xC3\x89")); // UTF-8 letters compare exactly
    EXPECT_EQ(LowerAscii('Z'), 'z');
    EXPECT_EQ(UpperAscii('z'), 'Z');
    EXPECT_EQ(LowerAscii('\xC9'), '\xC9');
}

TEST(AsciiText, ParseIntegerTakesTheWholeTextOrNothing) {
    EXPECT_EQ(ParseInteger<int>("42"), 42);
    EXPECT_EQ(ParseInteger<int>("+42"), 42);
    EXPECT_EQ(ParseInteger<int>("-42"), -42);
    EXPECT_EQ(ParseInteger<int>("2147483647"), 2147483647);
    EXPECT_EQ(ParseInteger<int>("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseInteger<std::uint32_t>("ffffffff", 16), 0xFFFFFFFFu);
    for (const char* text : {"", "+", "-", "12x", "x12", " 12", "12 ", "wheel", "+-5", "-+5", "1.5",
                             "0x10", "2147483648", "-2147483649", "99999999999999999999"}) {
        EXPECT_EQ(ParseInteger<int>(text), std::nullopt) << text;
    }
    // An unsigned type takes no minus sign at all, not even "-0".
    EXPECT_EQ(ParseInteger<std::uint32_t>("-1"), std::nullopt);
    EXPECT_EQ(ParseInteger<std::uint32_t>("-0"), std::nullopt);
    EXPECT_EQ(ParseInteger<std::uint32_t>("4294967296"), std::nullopt);
    EXPECT_EQ(ParseInteger<std::uint32_t>("100000000", 16), std::nullopt);
}

} // namespace
} // namespace qz::platform
