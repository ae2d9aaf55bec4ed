#include "StreamUtils.h"

#include "CmTestSupport.h"
#include "Exceptions.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace qz {
namespace {

using test::MessageOf;

using Clock = std::chrono::steady_clock;

std::int64_t ElapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Pattern(std::size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = char((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
    }
    return data;
}

const std::uint16_t kReadShareRead = FileMode::Read | FileMode::ShareDenyWrite;
const std::uint16_t kWriteShareRead = FileMode::Write | FileMode::ShareDenyWrite;
const std::uint16_t kReadShareAll = FileMode::Read | FileMode::ShareDenyNone;

// ---- opening -----------------------------------------------------------------------------------

TEST(FileStreamOpen, CreateTruncatesAndNormalModesNeedAnExistingFile) {
    test::TempDir dir;
    std::string name = dir / "a.bin";
    test::WriteFile(name, "old contents");
    {
        TFileStreamEx file(name, FileMode::Create);
        EXPECT_TRUE(file.Created());
        EXPECT_EQ(file.Size(), 0);
        file.WriteBuffer("new", 3);
    }
    EXPECT_EQ(test::ReadFile(name), "new");

    std::string missing = dir / "missing.bin";
    EXPECT_EQ(MessageOf([&] { TFileStreamEx(missing, kWriteShareRead); }),
              "Cannot open file: " + missing);
    {
        TFileStreamEx file(missing, kWriteShareRead, 0, FileOption::OpenAlways);
        file.WriteBuffer("xy", 2);
    }
    {
        TFileStreamEx file(missing, kWriteShareRead, 0, FileOption::OpenAlways);
        file.Seek(0, SeekOrigin::End);
        file.WriteBuffer("z", 1);
    }
    EXPECT_EQ(test::ReadFile(missing), "xyz");
    { TFileStreamEx file(missing, kWriteShareRead, 0, FileOption::CreateAlways); }
    EXPECT_EQ(test::ReadFile(missing), "");
}

TEST(FileStreamOpen, MissingFileFailsAtOnceWhateverTheWaitTime) {
    test::TempDir dir;
    std::string name = dir / "nothing.txt";
    auto start = Clock::now();
    try {
        TFileStreamEx file(name, kReadShareRead, 4);
        FAIL() << "opened a missing file";
    } catch (const EOSError&) {
        FAIL() << "an open error is not a system error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot open file: " + name);
    }
    EXPECT_LT(ElapsedMs(start), 500);
}

TEST(FileStreamOpen, CreateFoldersMakesTheMissingPath) {
    test::TempDir dir;
    std::string name = dir / "one/two/log.txt";
    try {
        TFileStreamEx file(name, FileMode::Create);
        FAIL() << "created a file in a missing folder";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file: " + name + ": ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "one"));
    {
        TFileStreamEx file(name, FileMode::Create, 0, FileOption::CreateFolders);
        file.WriteBuffer("ok", 2);
    }
    EXPECT_EQ(test::ReadFile(name), "ok");
    // A path that cannot be made still fails with the create message.
    test::WriteFile(dir / "plain", "");
    EXPECT_EQ(MessageOf([&] {
                  TFileStreamEx(dir / "plain/sub/x", FileMode::Create, 0,
                                FileOption::CreateFolders);
              }).rfind("Cannot create file: " + (dir / "plain/sub/x"), 0),
              0u);
}

TEST(FileStreamOpen, ReadOnlyFilesAreExplained) {
    test::TempDir dir;
    std::string name = dir / "ro.txt";
    test::WriteFile(name, "keep");
    std::filesystem::permissions(name, std::filesystem::perms::owner_read);
    if (std::ofstream(name, std::ios::app)) {
        GTEST_SKIP() << "the file system lets this user write read-only files";
    }
    EXPECT_EQ(MessageOf([&] {
                  TFileStreamEx(name, kWriteShareRead);
              }).rfind("Cannot open a read-only file for writing: " + name + ": ", 0),
              0u);
    EXPECT_EQ(MessageOf([&] {
                  TFileStreamEx(name, FileMode::Create);
              }).rfind("Cannot overwrite a read-only file: " + name + ": ", 0),
              0u);
    EXPECT_EQ(test::ReadFile(name), "keep");
    TFileStreamEx reader(name, kReadShareRead);
    EXPECT_EQ(reader.Size(), 4);
}

TEST(FileStreamOpen, DeleteOnCloseRemovesTheFile) {
    test::TempDir dir;
    std::string name = dir / "tmp.bin";
    {
        TFileStreamEx file(name, FileMode::Create, 0, FileOption::DeleteOnClose);
        EXPECT_TRUE(std::filesystem::exists(name));
    }
    EXPECT_FALSE(std::filesystem::exists(name));
}

// ---- sharing -----------------------------------------------------------------------------------

TEST(FileStreamSharing, LogFileOthersMayReadButNotWrite) {
    test::TempDir dir;
    std::string name = dir / "build.log";
    TFileStreamEx writer(name, kWriteShareRead, 0, FileOption::OpenAlways);
    writer.WriteBuffer("line 1\n", 7);

    // A reader that lets others do anything sees what was written.
    TFileStreamEx reader(name, kReadShareAll);
    char buffer[7];
    reader.ReadBuffer(buffer, 7);
    EXPECT_EQ(std::string(buffer, 7), "line 1\n");

    // A second writer and a reader that would deny the writer are refused.
    EXPECT_EQ(MessageOf([&] { TFileStreamEx(name, kWriteShareRead); }),
              "Cannot open file: " + name);
    EXPECT_EQ(MessageOf([&] { TFileStreamEx(name, kReadShareRead); }), "Cannot open file: " + name);
}

TEST(FileStreamSharing, ReadersShareAndExcludeWriters) {
    test::TempDir dir;
    std::string name = dir / "data.bin";
    test::WriteFile(name, "data");
    TFileStreamEx first(name, kReadShareRead);
    TFileStreamEx second(name, kReadShareRead);
    EXPECT_EQ(MessageOf([&] { TFileStreamEx(name, kWriteShareRead); }),
              "Cannot open file: " + name);
}

TEST(FileStreamSharing, RefusedCreateKeepsTheOtherHandlesData) {
    test::TempDir dir;
    std::string name = dir / "held.bin";
    TFileStreamEx holder(name, FileMode::Create);
    holder.WriteBuffer("precious", 8);
    try {
        TFileStreamEx other(name, FileMode::Create);
        FAIL() << "a second exclusive handle was opened";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file: " + name +
                                        ": The file is in use by another process (",
                                    0),
                  0u)
            << e.Message();
    }
    EXPECT_EQ(test::ReadFile(name), "precious");
}

TEST(FileStreamSharing, HandleOfAnotherProcessIsWaitedFor) {
    test::TempDir dir;
    std::string name = dir / "other.bin";
    test::WriteFile(name, "x");
    auto child = std::async(std::launch::async, [&] {
        return test::RunProgram({"/usr/bin/flock", "-x", name, "/usr/bin/sleep", "0.7"});
    });
    // Wait until the other process holds the file.
    auto start = Clock::now();
    for (;;) {
        try {
            TFileStreamEx probe(name, kReadShareRead);
        } catch (const Exception&) {
            break;
        }
        ASSERT_LT(ElapsedMs(start), 5000) << "the other process never took the file";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    TFileStreamEx file(name, kReadShareRead, 3);
    EXPECT_GT(file.WaitedMs(), 0);
    EXPECT_LE(file.WaitedMs(), 3000);
    EXPECT_EQ(child.get().exitCode, 0);
}

// ---- retry window ------------------------------------------------------------------------------

TEST(FileStreamRetry, SucceedsWhenTheHolderLetsGoWithinTheWindow) {
    test::TempDir dir;
    std::string name = dir / "r.bin";
    auto holder = std::make_unique<TFileStreamEx>(name, FileMode::Create);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.reset();
    });
    auto start = Clock::now();
    TFileStreamEx file(name, kReadShareRead, 2);
    release.join();
    EXPECT_GE(ElapsedMs(start), 300); // it did wait for the holder
    // The waited time counts the 50 ms retry steps taken (a loaded machine's steps take longer
    // than 50 ms, so it can be below the elapsed time, never above the window).
    EXPECT_GT(file.WaitedMs(), 0);
    EXPECT_EQ(file.WaitedMs() % 50, 0);
    EXPECT_LT(file.WaitedMs(), 2000);
    // No waiting at all records no time.
    TFileStreamEx again(name, kReadShareRead, 2);
    EXPECT_EQ(again.WaitedMs(), 0);
}

TEST(FileStreamRetry, GivesUpWhenTheWindowEnds) {
    test::TempDir dir;
    std::string name = dir / "r.bin";
    TFileStreamEx holder(name, FileMode::Create);
    auto start = Clock::now();
    EXPECT_EQ(MessageOf([&] { TFileStreamEx(name, kReadShareRead, 1); }),
              "Cannot open file: " + name);
    // 20 retry steps of at least 50 ms each; the upper bound only catches a hang.
    std::int64_t elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 20000);
}

// ---- transfers ---------------------------------------------------------------------------------

TEST(FileStreamTransfer, ShortReadsAtTheEndAndFailedTransfersRaise) {
    test::TempDir dir;
    std::string name = dir / "t.bin";
    test::WriteFile(name, "0123456789");
    {
        TFileStreamEx file(name, kReadShareRead);
        char buffer[16];
        file.Seek(-4, SeekOrigin::End);
        EXPECT_EQ(file.Read(buffer, 16), 4);
        EXPECT_EQ(std::string(buffer, 4), "6789");
        EXPECT_EQ(file.Read(buffer, 16), 0);
        file.SetPosition(8);
        EXPECT_EQ(MessageOf([&] { file.ReadBuffer(buffer, 4); }), "Stream read error");
        try {
            file.SetPosition(2);
            file.WriteBuffer("ab", 2);
            FAIL() << "wrote through a read-only handle";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.Message().rfind(
                          "Failed to write to file '" + name + "' (2 bytes at position 2): ", 0),
                      0u)
                << e.Message();
        }
    }
    TFileStreamEx writer(name, kWriteShareRead);
    char buffer[4];
    try {
        writer.Read(buffer, 4);
        FAIL() << "read through a write-only handle";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind(
                      "Failed to read from file '" + name + "' (4 bytes at position 0): ", 0),
                  0u)
            << e.Message();
    }
    writer.SetSize(3);
    EXPECT_EQ(writer.Size(), 3);
    EXPECT_EQ(writer.Position(), 0);
    EXPECT_THROW(writer.Seek(-1, SeekOrigin::Begin), EOSError);
}

// ---- virtual stream ----------------------------------------------------------------------------

TEST(VirtualStreamGrowth, CapacityIsRoundedToTheStep) {
    TVirtualStream stream;
    stream.SetSize(5000);
    EXPECT_EQ(stream.Capacity(), 8192);
    stream.SetSize(70000);
    EXPECT_EQ(stream.Capacity(), 131072);
    TVirtualStream large(VirtualStreamOption::Step1M);
    large.SetSize(3000000);
    EXPECT_EQ(large.Capacity(), 3145728);
    TVirtualStream highestWins(VirtualStreamOption::Step256K | VirtualStreamOption::Step4M);
    EXPECT_EQ(highestWins.LargestStep(), 4 << 20);
    TVirtualStream exact(VirtualStreamOption::ExactCapacity);
    exact.SetSize(5000);
    EXPECT_EQ(exact.Capacity(), 5000);
    stream.SetSizeExact(12345);
    EXPECT_EQ(stream.Capacity(), 12345);
}

TEST(VirtualStreamGrowth, SmallBlocksFromTheHeapLargeFromVirtualMemory) {
    TVirtualStream small;
    for (int i = 0; i < 1000; ++i) {
        WriteByte(small, std::uint8_t(i));
    }
    EXPECT_EQ(small.Capacity(), 4096);
    EXPECT_EQ(small.Kind(), TVirtualStream::MemoryKind::Heap);

    TVirtualStream big;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        WriteByte(big, std::uint8_t(i * 7));
        expected += char(i * 7);
    }
    EXPECT_EQ(big.Capacity(), 131072);
    EXPECT_EQ(big.Kind(), TVirtualStream::MemoryKind::Virtual);
    EXPECT_EQ(big.AsString(), expected);

    // Shrinking back under 48 KB moves the content to the heap again.
    big.SetSize(1000);
    EXPECT_EQ(big.Kind(), TVirtualStream::MemoryKind::Heap);
    EXPECT_EQ(big.AsString(), expected.substr(0, 1000));

    TVirtualStream heap(VirtualStreamOption::AlwaysHeap);
    heap.SetSize(200000);
    EXPECT_EQ(heap.Kind(), TVirtualStream::MemoryKind::Heap);
    TVirtualStream virt(VirtualStreamOption::AlwaysVirtual);
    virt.SetSize(10);
    EXPECT_EQ(virt.Kind(), TVirtualStream::MemoryKind::Virtual);
}

TEST(VirtualStreamGrowth, LargeContentSurvivesGrowingAndShrinking) {
    TVirtualStream stream(VirtualStreamOption::Step1M);
    std::string data = Pattern(5 << 20);
    stream.WriteBuffer(data.data(), 3 << 20);
    stream.WriteBuffer(data.data() + (3 << 20), 2 << 20);
    EXPECT_EQ(stream.AsString(), data);
    stream.SetSize(40000); // virtual memory to heap, copied in slices
    EXPECT_EQ(stream.AsString(), data.substr(0, 40000));
    // Growing again reads zeros beyond the old end, also past a seek beyond the end.
    stream.Seek(50000, SeekOrigin::Begin);
    WriteByte(stream, 0xAB);
    std::string content = stream.AsString();
    ASSERT_EQ(content.size(), 50001u);
    EXPECT_EQ(content.substr(40000, 10000), std::string(10000, '\0'));
    EXPECT_EQ(std::uint8_t(content.back()), 0xAB);
}

TEST(VirtualStreamGrowth, OptionBitsKeepOrRefuseTheBlock) {
    TVirtualStream neverShrink(VirtualStreamOption::NeverShrink);
    neverShrink.SetSize(100000);
    void* block = neverShrink.Memory();
    neverShrink.SetSize(10);
    EXPECT_EQ(neverShrink.Memory(), block);
    EXPECT_EQ(neverShrink.Capacity(), 131072);

    TVirtualStream keep(VirtualStreamOption::KeepMemory);
    keep.SetSize(1000);
    keep.SetSize(0);
    EXPECT_EQ(keep.Capacity(), 4096);
    EXPECT_TRUE(keep.IsEmpty());
    TVirtualStream release;
    release.SetSize(1000);
    release.SetSize(0);
    EXPECT_EQ(release.Capacity(), 0);
    EXPECT_EQ(release.Kind(), TVirtualStream::MemoryKind::None);

    TVirtualStream locked(VirtualStreamOption::Locked);
    EXPECT_EQ(MessageOf([&] { locked.SetSize(1); }),
              "Failed to reallocate virtual stream (to 1 bytes)\r\nCannot resize a locked stream");
    locked.SetSize(0);

    char external[16] = "external bytes";
    int released = 0;
    {
        TVirtualStream stream;
        stream.SetExternalMemory(external, 8, [&](void* memory) {
            EXPECT_EQ(memory, external);
            ++released;
        });
        EXPECT_EQ(stream.AsString(), "external");
        EXPECT_EQ(MessageOf([&] { stream.WriteBuffer("0123456789", 10); }),
                  "Failed to reallocate virtual stream (to 10 bytes)\r\nCannot resize an external "
                  "memory stream");
    }
    EXPECT_EQ(released, 1);
}

TEST(VirtualStreamContent, SizedStringsAssignAndCompare) {
    TVirtualStream stream;
    WriteString(stream, std::string("\x05\0\0\0hello", 9));
    WriteString(stream, std::string("\xFF\xFF\xFF\x7F", 4)); // damaged length
    stream.SetPosition(0);
    EXPECT_EQ(stream.ReadSizedString(), "hello");
    EXPECT_EQ(MessageOf([&] { stream.ReadSizedString(); }), "Stream read error");

    TVirtualStream copy;
    copy.WriteBuffer("junk", 4);
    copy.Assign(stream);
    EXPECT_EQ(copy.Position(), 0);
    EXPECT_TRUE(copy.SameContent(stream));
    WriteByte(copy, 'X');
    EXPECT_FALSE(copy.SameContent(stream));
}

// ---- mapped file stream ------------------------------------------------------------------------

constexpr std::int64_t kView = 256 << 10;

TEST(MappedFileStream, FileIsCutToTheLogicalSizeOnClose) {
    test::TempDir dir;
    std::string name = dir / "m.bin";
    std::int64_t reported = -1;
    {
        TMappedFileStream stream(name, FileMode::Create);
        stream.SetSizeChanged([&](std::int64_t size) { reported = size; });
        stream.WriteBuffer("0123456789", 10);
        EXPECT_EQ(stream.Size(), 10);
        EXPECT_EQ(stream.MappingSize(), kView);
        EXPECT_EQ(std::filesystem::file_size(name), std::uintmax_t(kView));
    }
    EXPECT_EQ(reported, 10);
    EXPECT_EQ(test::ReadFile(name), "0123456789");
}

TEST(MappedFileStream, ViewsAreCachedLeastRecentlyUsedFirst) {
    test::TempDir dir;
    std::string name = dir / "m.bin";
    std::string data = Pattern(3 * kView + 1000);
    test::WriteFile(name, data);
    TMappedFileStream stream(name, kReadShareRead);
    EXPECT_FALSE(stream.Writable());
    EXPECT_EQ(stream.Size(), std::int64_t(data.size()));
    char buffer[100];
    auto readAt = [&](std::int64_t position) {
        stream.SetPosition(position);
        stream.ReadBuffer(buffer, 100);
        EXPECT_EQ(std::string(buffer, 100), data.substr(std::size_t(position), 100));
    };
    readAt(0);
    readAt(300 << 10);
    EXPECT_EQ(stream.Cache().CachedViews(), (std::vector<std::int64_t>{1, 0}));
    readAt(10);
    EXPECT_EQ(stream.Cache().CachedViews(), (std::vector<std::int64_t>{0, 1}));
    readAt(2 * kView + 5);
    EXPECT_EQ(stream.Cache().CachedViews(), (std::vector<std::int64_t>{2, 0}));
    // The last, partial view of a read-only file maps only to the end of the file.
    stream.Seek(-50, SeekOrigin::End);
    EXPECT_EQ(stream.Read(buffer, 100), 50);
    EXPECT_EQ(std::string(buffer, 50), data.substr(data.size() - 50));
    EXPECT_EQ(stream.Read(buffer, 100), 0);
    EXPECT_EQ(MessageOf([&] { stream.WriteBuffer("x", 1); }),
              "Cannot write to a read-only mapped file.");
}

TEST(MappedFileStream, TransfersAcrossViewEdges) {
    test::TempDir dir;
    std::string name = dir / "edges.bin";
    std::string data = Pattern(2 * kView + 777, 3);
    {
        TMappedFileStream stream(name, FileMode::Create);
        // Odd chunk sizes so that writes straddle both view edges.
        for (std::size_t done = 0; done < data.size();) {
            std::size_t n = std::min<std::size_t>(99991, data.size() - done);
            stream.WriteBuffer(data.data() + done, std::int64_t(n));
            done += n;
        }
        char buffer[6];
        stream.SetPosition(kView - 3);
        stream.ReadBuffer(buffer, 6);
        EXPECT_EQ(std::string(buffer, 6), data.substr(kView - 3, 6));
        stream.SetPosition(2 * kView - 1);
        stream.WriteBuffer("EDGE", 4);
        data.replace(2 * kView - 1, 4, "EDGE");
        EXPECT_EQ(stream.Cache().CachedViews(), (std::vector<std::int64_t>{2, 1}));
        stream.Flush();
        EXPECT_EQ(stream.Cache().CachedViews().size(), 0u);
    }
    EXPECT_EQ(test::ReadFile(name), data);
    // Reopened for writing, a shorter logical size cuts the file on close.
    {
        TMappedFileStream stream(name, FileMode::ReadWrite | FileMode::ShareDenyWrite);
        EXPECT_EQ(stream.Size(), std::int64_t(data.size()));
        stream.SetSize(kView + 1);
    }
    EXPECT_EQ(test::ReadFile(name), data.substr(0, kView + 1));
    // A write that starts inside the file's data and runs past its end, on a write-only open.
    {
        TMappedFileStream stream(name, kWriteShareRead);
        stream.Seek(-2, SeekOrigin::End);
        stream.WriteBuffer("tail end", 8);
        char buffer[8];
        stream.Seek(-8, SeekOrigin::End);
        stream.ReadBuffer(buffer, 8);
        EXPECT_EQ(std::string(buffer, 8), "tail end");
    }
    EXPECT_EQ(test::ReadFile(name), data.substr(0, kView - 1) + "tail end");
}

TEST(MappedViewCache, RangeAndMappingFailuresAreReported) {
    TMappedViewCache cache(18, 2,
                           [](std::int64_t) -> platform::MappedView { Raise("no mapping here"); });
    char buffer[16];
    std::int64_t position = 10;
    EXPECT_EQ(MessageOf([&] { cache.Read(buffer, position, 15, 10); }),
              "Cannot map view of mapped stream: Invalid position/size requested (position = 10, "
              "size = 10, stream size = 15)");
    EXPECT_EQ(MessageOf([&] { cache.Write(buffer, position, 100, 4); }),
              "Failed to write 4 bytes at 10 to mapped view\r\nno mapping here");
    EXPECT_EQ(position, 10);
}

// ---- helpers -----------------------------------------------------------------------------------

TEST(StreamHelpers, EnsureSizeAndLargeAdapter) {
    auto owned = std::make_unique<TVirtualStream>();
    TVirtualStream* inner = owned.get();
    WriteString(*inner, "abc");
    EnsureSize(*inner, 10);
    EXPECT_EQ(inner->Size(), 10);
    EXPECT_EQ(inner->Position(), 3);
    EnsureSize(*inner, 5);
    EXPECT_EQ(inner->Size(), 10);

    TOwningStreamAdapter<TVirtualStream> adapter(std::move(owned));
    EXPECT_TRUE(adapter.OwnsStream());
    EXPECT_EQ(&adapter.Wrapped(), inner);
    EXPECT_EQ(adapter.Size64(), 10);
    adapter.SetPosition64(1);
    EXPECT_EQ(inner->Position(), 1);
    EXPECT_EQ(adapter.Position64(), 1);

    TVirtualStream local;
    TLargeStreamAdapter borrowed(local);
    EXPECT_FALSE(borrowed.OwnsStream());
    borrowed.WriteBuffer("xyz", 3);
    EXPECT_EQ(local.AsString(), "xyz");
}

// ---- text files --------------------------------------------------------------------------------

std::string TextOf(const test::TempDir& dir, const std::string& bytes, std::uint32_t options,
                   std::int64_t limit = INT64_MAX) {
    std::string name = dir / "text.txt";
    test::WriteFile(name, bytes);
    return ReadFileText(name, options, limit);
}

TEST(ReadFileText, ByteOrderMarks) {
    test::TempDir dir;
    const auto decode = ReadFileTextOption::DecodeBom;
    EXPECT_EQ(TextOf(dir,
                     "\xEF\xBB\xBF"
                     "abc",
                     decode),
              "abc");
    EXPECT_EQ(TextOf(dir, std::string("\xFF\xFEh\0\xE9\0=\xD8\x00\xDE", 10), decode),
              "h\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(TextOf(dir, std::string("\xFE\xFF\0h\0\xE9", 6), decode), "h\xC3\xA9");
    EXPECT_EQ(TextOf(dir, "plain text", decode), "plain text");
    // Without the option every byte comes back unchanged.
    EXPECT_EQ(TextOf(dir,
                     "\xEF\xBB\xBF"
                     "abc",
                     0),
              "\xEF\xBB\xBF"
              "abc");
    // Damaged text is replaced, never passed on half decoded.
    EXPECT_EQ(TextOf(dir,
                     "\xEF\xBB\xBF"
                     "a\xC3",
                     decode),
              "a\xEF\xBF\xBD");
    EXPECT_EQ(TextOf(dir, std::string("\xFF\xFE\x00\xD8x", 5), decode), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(TextOf(dir, "0123456789", 0, 4), "0123");
}

TEST(ReadFileText, FailuresNameTheFile) {
    test::TempDir dir;
    std::string name = dir / "none.txt";
    EXPECT_EQ(MessageOf([&] { ReadFileText(name, 0); }),
              "Failed to read file.\r\nCannot open file: " + name);
    std::string folder = dir.path();
    EXPECT_EQ(MessageOf([&] { ReadFileText(folder, 0); }),
              "Failed to read file.\r\nCannot open file: " + folder);
}

} // namespace
} // namespace qz
