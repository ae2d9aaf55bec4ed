#include "platform/Result.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qz::platform {
namespace {

Result<int> Half(int value) {
    if (value % 2 != 0) {
        return Fail(EINVAL, "halve " + std::to_string(value));
    }
    return value / 2;
}

TEST(ResultTest, CarriesTheValueOrTheFailureWithItsText) {
    ASSERT_TRUE(Half(8));
    EXPECT_EQ(*Half(8), 4);

    const Result<int> odd = Half(3);
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error().code, EINVAL);
    EXPECT_EQ(odd.error().Text(), "halve 3: " + SystemErrorText(EINVAL));
    EXPECT_EQ((Failure{0, "only context"}.Text()), "only context");
    EXPECT_EQ((Failure{ENOENT, ""}.Text()), SystemErrorText(ENOENT));
}

} // namespace
} // namespace qz::platform
