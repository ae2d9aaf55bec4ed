#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleBlackBox, Starts) {
    auto result = qz::test::RunProgram({QZ_CONSOLE_PATH});
    EXPECT_FALSE(result.timedOut);
}

} // namespace
