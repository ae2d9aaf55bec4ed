#include "platform/StreamFile.h"

#include "TestSupport.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace qz::platform {
namespace {

namespace fs = std::filesystem;

class StreamFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qz-streamfile-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

std::string ReadAll(StreamReader& reader, std::size_t piece) {
    std::string all;
    std::string buffer(piece, '\0');
    for (;;) {
        Result<std::size_t> n = reader.Read(buffer.data(), buffer.size());
        EXPECT_TRUE(n);
        if (!n || *n == 0) {
            return all;
        }
        all.append(buffer.data(), *n);
    }
}

TEST_F(StreamFileTest, WritesInPiecesAndRenamesIntoPlaceWithTheMode) {
    Result<StreamWriter> writer = StreamWriter::Create(Path("part"), 1 << 20);
    ASSERT_TRUE(writer) << writer.error().Text();
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        std::string piece(static_cast<std::size_t>(i % 97 + 1), static_cast<char>(i));
        ASSERT_TRUE(writer->Write(piece));
        expected += piece;
    }
    EXPECT_EQ(writer->Written(), expected.size());
    ASSERT_TRUE(writer->Commit(Path("whole"), 0750));
    EXPECT_FALSE(fs::exists(Path("part")));
    // The reservation beyond the bytes written is given back.
    EXPECT_EQ(fs::file_size(Path("whole")), expected.size());
    Result<unsigned> mode = FilePermissions(Path("whole"));
    ASSERT_TRUE(mode);
    EXPECT_EQ(*mode & 07777, 0750u);

    Result<StreamReader> reader = StreamReader::Open(Path("whole"));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Size(), expected.size());
    EXPECT_EQ(ReadAll(*reader, 7), expected);
}

TEST_F(StreamFileTest, SmallAndLargePiecesKeepTheirOrder) {
    Result<StreamWriter> writer = StreamWriter::Create(Path("part"));
    ASSERT_TRUE(writer);
    std::string expected;
    // Pieces around the buffer's size, small ones between.
    for (std::size_t size : {std::size_t(3), std::size_t(1) << 20, std::size_t(5),
                             (std::size_t(1) << 20) - 2, std::size_t(7), std::size_t(3) << 20}) {
        std::string piece(size, static_cast<char>('a' + expected.size() % 26));
        piece.front() = '<';
        piece.back() = '>';
        ASSERT_TRUE(writer->Write(piece));
        expected += piece;
    }
    ASSERT_TRUE(writer->Commit(Path("whole")));
    EXPECT_TRUE(test::ReadFile(Path("whole")) == expected);
}

TEST_F(StreamFileTest, ADeviceNameIsNeverWrittenThrough) {
    Result<StreamWriter> writer = StreamWriter::Create("/dev/full");
    // The name exists: a device is never created over or written through.
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.error().code, EEXIST);
}

TEST_F(StreamFileTest, AnUncommittedWriterLeavesNothing) {
    {
        Result<StreamWriter> writer = StreamWriter::Create(Path("part"));
        ASSERT_TRUE(writer);
        ASSERT_TRUE(writer->Write("half"));
    }
    EXPECT_FALSE(fs::exists(Path("part")));
    Result<StreamWriter> writer = StreamWriter::Create(Path("part"));
    ASSERT_TRUE(writer);
    StreamWriter moved = std::move(*writer);
    moved.Discard();
    EXPECT_FALSE(fs::exists(Path("part")));
    EXPECT_FALSE(moved.Write("late"));
}

TEST_F(StreamFileTest, CreateRefusesAnExistingNameAndALink) {
    ASSERT_TRUE(WritePrivateFile(Path("taken"), "old"));
    Result<StreamWriter> taken = StreamWriter::Create(Path("taken"));
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().code, EEXIST);
    fs::create_symlink(Path("elsewhere"), Path("link"));
    EXPECT_FALSE(StreamWriter::Create(Path("link")));
    EXPECT_FALSE(fs::exists(Path("elsewhere")));
    // The old file is untouched.
    Result<std::string> contents = ReadPrivateFile(Path("taken"), 100);
    ASSERT_TRUE(contents);
    EXPECT_EQ(*contents, "old");
}

TEST_F(StreamFileTest, ACommitThatCannotRenameRemovesTheFile) {
    Result<StreamWriter> writer = StreamWriter::Create(Path("part"));
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->Write("bytes"));
    Result<void> commit = writer->Commit(Path("no-such-folder/whole"));
    ASSERT_FALSE(commit);
    EXPECT_EQ(commit.error().code, ENOENT);
    EXPECT_FALSE(fs::exists(Path("part")));
}

TEST_F(StreamFileTest, ReaderRefusesWhatIsNotARegularFile) {
    Result<StreamReader> missing = StreamReader::Open(Path("missing"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().Text().find("missing"), std::string::npos);

    Result<StreamReader> folder = StreamReader::Open(dir_.string());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().code, EINVAL);

    // A FIFO with no writer would block a plain open and a read.
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    Result<StreamReader> fifo = StreamReader::Open(Path("fifo"));
    ASSERT_FALSE(fifo);
    EXPECT_EQ(fifo.error().code, EINVAL);
}

TEST_F(StreamFileTest, AnEmptyFileReadsAsItsEnd) {
    ASSERT_TRUE(WritePrivateFile(Path("empty"), ""));
    Result<StreamReader> reader = StreamReader::Open(Path("empty"));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Size(), 0u);
    char byte = 0;
    Result<std::size_t> n = reader->Read(&byte, 1);
    ASSERT_TRUE(n);
    EXPECT_EQ(*n, 0u);
    reader->Close();
    EXPECT_FALSE(reader->Read(&byte, 1));
}

} // namespace
} // namespace qz::platform
