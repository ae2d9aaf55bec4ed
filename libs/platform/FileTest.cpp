#include "platform/File.h"

#include "TestSupport.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

FileOpenRequest Request(FileAccess access, FileShare share) {
    FileOpenRequest request;
    request.access = access;
    request.share = share;
    request.disposition = FileDisposition::OpenAlways;
    return request;
}

// Which second handle a first one lets in, for the access and sharing pairs the system uses.
TEST(FileSharing, SecondHandleIsCheckedAgainstTheFirst) {
    test::TempDir dir;
    std::string name = dir / "shared.bin";
    const FileOpenRequest exclusive = Request(FileAccess::ReadWrite, FileShare::None);
    const FileOpenRequest readShareRead = Request(FileAccess::Read, FileShare::Read);
    const FileOpenRequest writeShareRead = Request(FileAccess::Write, FileShare::Read);
    const FileOpenRequest readShareAll = Request(FileAccess::Read, FileShare::ReadWrite);
    struct Case {
        const FileOpenRequest& first;
        const FileOpenRequest& second;
        bool allowed;
    };
    const Case cases[] = {
        {readShareRead, readShareRead, true},   {readShareRead, writeShareRead, false},
        {writeShareRead, readShareRead, false}, {writeShareRead, writeShareRead, false},
        {writeShareRead, readShareAll, true},   {readShareAll, writeShareRead, true},
        {exclusive, readShareRead, false},      {exclusive, exclusive, false},
        {readShareRead, exclusive, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        File first;
        ASSERT_TRUE(first.Open(name, c.first)) << "case " << index;
        File second;
        Result<> opened = second.Open(name, c.second);
        EXPECT_EQ(opened.has_value(), c.allowed) << "case " << index;
        if (!opened) {
            EXPECT_EQ(opened.error().kind, FailureKind::SharingViolation) << "case " << index;
        }
        ++index;
    }
}

TEST(FileErrors, MissingFilesAndFoldersAreToldApart) {
    test::TempDir dir;
    File file;
    EXPECT_EQ(file.Open(dir / "none", {}).error().kind, FailureKind::NotFound);
    EXPECT_EQ(file.Open(dir / "no/such/file", {}).error().kind, FailureKind::PathNotFound);
    EXPECT_EQ(file.Open(dir.path(), {}).error().kind, FailureKind::AccessDenied);
    ASSERT_TRUE(MakeFolder(dir / "no"));
    ASSERT_TRUE(MakeFolder(dir / "no/such"));
    FileOpenRequest create = Request(FileAccess::Write, FileShare::Read);
    EXPECT_TRUE(file.Open(dir / "no/such/file", create));
    EXPECT_TRUE(file.IsOpen());
}

} // namespace
} // namespace qz::platform
