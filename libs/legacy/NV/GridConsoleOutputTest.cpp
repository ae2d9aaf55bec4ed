// The console's output: the sinks of WriteLine, the /OUT file, the build log with its names and
// header, the caption line, title macros and the waiting lines.

#include "CM/StreamUtils.h"
#include "GridConsoleTesting.h"

#include <gmock/gmock.h>

#include <regex>

namespace qz::nv {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

class OutputTest : public testing::ConsoleFixture {};

TEST_F(OutputTest, OutFileTakesBothStreamsFromItsFirstLine) {
    File("o.txt", "old content\r\n");
    auto console = Run({"/OUT=out/sub/$(Title).txt", "/TITLE=T", "/COMMAND=make"});
    console->WriteLine("to error", true);
    EXPECT_EQ(console->out + console->err, "");
    EXPECT_EQ(Read("out/sub/T.txt"), "T\r\n\r\nto error\r\n"); // the caption line first

    console = Run({"/out=o.txt", "/COMMAND=make"});
    EXPECT_EQ(Read("o.txt"), "old content\r\n"); // not created before its first line
    console->WriteLine("new");
    EXPECT_EQ(Read("o.txt"), "new\r\n");

    File("plain");
    console = Run({"/OUT=plain/o.txt", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: The path specified with /OUT parameter is invalid.\r\n");
}

TEST_F(OutputTest, SilentKeepsTheConsoleQuietButTheLogComplete) {
    auto console = Run({"/SILENT", "/LOG", "/TITLE=Cap", "/COMMAND=make"});
    console->WriteLine("build output");
    console->WriteLine("an error", true);
    EXPECT_EQ(console->err, "");
    EXPECT_EQ(console->out, "Cap\r\n\r\n"); // written before /SILENT is read, not logged
    EXPECT_THAT(Read("NV_.log"), EndsWith("-\r\n\r\nbuild output\r\nan error\r\n"));

    console = Run({"/SILENT", "/LOG=x.log", "/bogus", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: Invalid/conflicting options specified: bogus\r\n");
    EXPECT_THAT(Read("x.log"), EndsWith("\r\n\r\nFatal Error: Invalid/conflicting options "
                                        "specified: bogus\r\n"));
}

TEST_F(OutputTest, LogNames) {
    File("job.xml");
    File("my.xml");
    std::filesystem::create_directory(dir_ / "d\xC3\xA9");
    File("d\xC3\xA9/my.xml");
    EXPECT_EQ(Run({"/LOG", "job.xml"})->LogPath(), "NV_job.log");
    EXPECT_EQ(Run({"/log=logs/build", "job.xml"})->LogPath(),
              CurrentDirectory() + "/logs/build.log");
    Run({"/LOG=$(Title).txt", "/TITLE=Nightly", "/COMMAND=make"});
    Run({"/LOG=${TITLE}.txt", "my.xml"});
    Run({"/LOG=$[Title]-2.txt", "d\xC3\xA9/my.xml"}); // non-ASCII path: name unchanged
    for (const char* name : {"NV_job.log", "logs/build.log", "Nightly.txt", "My.txt", "my-2.txt"}) {
        EXPECT_TRUE(std::filesystem::exists(dir_ / name)) << name;
    }
    // "/LOG=" alone names no log and is left over; beside a bare /LOG it is the default name.
    EXPECT_THAT(Run({"/LOG=", "/COMMAND=make"})->out, HasSubstr("specified: LOG=\r\n"));
    EXPECT_EQ(Run({"/LOG=", "/LOG", "/COMMAND=make"})->LogPath(), "NV_.log");

    File("plain");
    EXPECT_THAT(RunRaises({"/LOG=plain/x.log", "/COMMAND=make"}),
                ::testing::StartsWith("Unable to create log file directory: "));
}

TEST_F(OutputTest, LogHeaderAndSharing) {
    auto console = Run({"/LOG=h.log", "/COMMAND=make"});
    const std::string dashes(36, '-'); // the length of the title
    std::regex header(dashes + "\r\nOrvane Console 10\\.24\\.2 \\(build 14861\\)\r\n" + dashes +
                      "\r\nBuild Log {8}\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n" + dashes +
                      "\r\n\r\nline\r\n");
    console->WriteLine("line");
    // Others may read the log while it is written, but not write it.
    TFileStreamEx reader(dir_ / "h.log", FileMode::Read | FileMode::ShareDenyNone);
    std::string content(static_cast<size_t>(reader.Size()), '\0');
    reader.ReadBuffer(content.data(), reader.Size());
    EXPECT_TRUE(std::regex_match(content, header)) << content;
    EXPECT_THROW(TFileStreamEx(dir_ / "h.log", FileMode::Write | FileMode::ShareDenyWrite),
                 Exception);

    // A title shorter than "Build Log" and the time stamp leaves no blank between them.
    Make({"/LOG=s.log", "/COMMAND=make"}, "X")->RunCommand();
    EXPECT_TRUE(std::regex_search(Read("s.log"), std::regex("-\r\nBuild Log\\d{4}-")))
        << Read("s.log");
}

TEST_F(OutputTest, TitleMacrosExpandOnceInOnePass) {
    auto console = Run({"/TITLE=$(Title)x", "/COMMAND=make"});
    std::string path = "a/$(TITLE)/${title}-$[Title].log$(Title";
    console->ExpandTitleMacros(path);
    EXPECT_EQ(path, "a/$(Title)x/$(Title)x-$(Title)x.log$(Title");

    SetEnv("qzConsoleParams", "/TITLE=\"from env\"");
    // No raw record for a switch of the environment: the option-list value keeps its quotes.
    EXPECT_EQ(Run({"/COMMAND=make"})->BuildCommand().Str(TBuildCommandPacket::Caption),
              "\"from env\"");
}

TEST_F(OutputTest, WaitingLinesAreShownOnceAndClearedAfterAGrant) {
    auto console = Run({"/COMMAND=make"});
    console->ClearProgressLine();
    console->ShowWaitingLine("No slot.");
    console->ShowWaitingLine("again");
    console->ClearProgressLine();
    EXPECT_EQ(console->out, "\r\nNo slot.\r\nWaiting for a build to complete...\r\n" +
                                std::string(25, ' ') + "\r\n\r\n");
}

} // namespace
} // namespace qz::nv
