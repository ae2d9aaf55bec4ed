#include "Guid.h"

#include "Exceptions.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(GuidTest, TextRoundTripAndLayout) {
    TGuid guid = TextToGuid("{7ee3d029-afa5-4df1-ac03-5512e6918071}");
    EXPECT_EQ(guid.bytes[0], 0x29);
    EXPECT_EQ(guid.bytes[3], 0x7E);
    EXPECT_EQ(guid.bytes[4], 0xA5);
    EXPECT_EQ(guid.bytes[8], 0xAC);
    EXPECT_EQ(GuidToText(guid), "{7EE3D029-AFA5-4DF1-AC03-5512E6918071}");
    EXPECT_EQ(TextToGuid("7EE3D029-AFA5-4DF1-AC03-5512E6918071"), guid);
    EXPECT_TRUE(TGuid{}.IsNull());
    EXPECT_FALSE(guid.IsNull());
    EXPECT_THROW(TextToGuid("{7EE3D029-AFA5-4DF1-AC03-5512E691807}"), Exception);
    EXPECT_THROW(TextToGuid("{7EE3D029+AFA5-4DF1-AC03-5512E6918071}"), Exception);
}

} // namespace
} // namespace qz
