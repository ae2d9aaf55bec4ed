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

TEST(ResultTest, KindsAndConditionalFailures) {
    // A parse failure's context is its whole text: the code's system text would add nothing.
    EXPECT_EQ((Failure{EBADMSG, "HKLM.reg, line 4: bad", FailureKind::Corrupt}.Text()),
              "HKLM.reg, line 4: bad");
    EXPECT_EQ((Failure{ENOENT, "open x", FailureKind::NotFound}.Text()),
              "open x: " + SystemErrorText(ENOENT));
    EXPECT_EQ(Fail(EAGAIN, "", FailureKind::Exhausted).value().kind, FailureKind::Exhausted);
    EXPECT_EQ(Fail(EAGAIN).value().kind, FailureKind::Other);

    EXPECT_TRUE(FailUnless(true, EINVAL));
    const Result<> refused = FailUnless(false, EINVAL, "set value");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, EINVAL);
    EXPECT_EQ(refused.error().context, "set value");
}

} // namespace
} // namespace qz::platform
