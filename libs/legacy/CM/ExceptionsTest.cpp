#include "Exceptions.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qz {
namespace {

TEST(Format, DirectivesAndWidths) {
    EXPECT_EQ(Format("List index out of bounds (%d)", -1), "List index out of bounds (-1)");
    EXPECT_EQ(Format("Cannot load library '%s'", std::string("x.so")),
              "Cannot load library 'x.so'");
    EXPECT_EQ(Format("0x0%x", 255), "0x0ff");
    EXPECT_EQ(Format("%.8X", 0xABCu), "00000ABC");
    EXPECT_EQ(Format("0x0%x", -1), "0x0ffffffff");
    EXPECT_EQ(Format("%d:%d", 1), "1:%d");
    EXPECT_EQ(Format("100%% %s", "done"), "100% done");
    EXPECT_EQ(Format("%5d|%-3s|", 42, "a"), "   42|a  |");
}

TEST(Exceptions, OsErrorFormAndCode) {
    try {
        RaiseOsError("Failed to open", ENOENT);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), ENOENT);
        EXPECT_EQ(e.Message(), "Failed to open: No such file or directory (2)");
    }
}

TEST(Exceptions, NtStatusFormNamesKnownCodes) {
    EXPECT_EQ(NtStatusMessage("Wait failed", EINVAL), "Wait failed: EINVAL (0x00000016)");
    EXPECT_EQ(NtStatusMessage("Wait failed", 0x7ABCDEF0),
              "Wait failed: STATUS 0x7ABCDEF0 (0x7ABCDEF0)");
}

TEST(Exceptions, RaiseWithContextKeepsClassAndCode) {
    try {
        try {
            RaiseOsError("inner", EACCES);
        } catch (...) {
            RaiseWithContext("Failed to start build.");
        }
        ADD_FAILURE() << "nothing raised";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), EACCES);
        EXPECT_EQ(e.Message(), "Failed to start build.\r\ninner: Permission denied (13)");
    }
    EXPECT_THROW(
        {
            try {
                throw EAbort("quiet");
            } catch (...) {
                RaiseWithContext("ctx");
            }
        },
        EAbort);
    try {
        try {
            throw ERangeError("bounds");
        } catch (...) {
            RaiseWithContext("ctx");
        }
        ADD_FAILURE() << "nothing raised";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "Exception");
        EXPECT_EQ(e.Message(), "ctx\r\nbounds");
    }
}

TEST(Exceptions, AssertionNamesUnitAndLine) {
    try {
        QZ_ASSERT(1 + 1 == 3);
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_NE(e.Message().find("Assertion failure"), std::string::npos);
        EXPECT_NE(e.Message().find("ExceptionsTest.cpp, line"), std::string::npos);
    }
}

} // namespace
} // namespace qz
