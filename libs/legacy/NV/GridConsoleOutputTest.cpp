// The console's output: the three sinks of WriteLine, the /OUT file, the build log with its
// names and header, the caption line, title macros and the waiting lines.

#include "CM/StreamUtils.h"
#include "GridConsoleTesting.h"

#include <gmock/gmock.h>

#include <regex>

namespace qz::nv {
namespace {

using ::testing::HasSubstr;
using Req = TBuildCommandPacket;

class OutputTest : public testing::ConsoleFixture {
protected:
    std::string Read(const std::string& name) {
        return qz::test::ReadFile(dir_ / name).value_or("<missing>");
    }
    bool Exists(const std::string& name) { return std::filesystem::exists(dir_ / name); }
};

TEST_F(OutputTest, OutFileTakesStandardOutputAndErrorFromItsFirstLine) {
    File("old.txt", "old content that is truncated\r\n");
    auto console = Run({"/OUT=out/sub/o.txt", "/COMMAND=make"});
    // The folder exists at once, the file only from the first line on.
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "out/sub"));
    EXPECT_FALSE(Exists("out/sub/o.txt"));
    console->WriteLine("to standard output");
    console->WriteLine("to standard error", true);
    console->WriteLine("");
    EXPECT_EQ(console->out + console->err, "");
    EXPECT_EQ(Read("out/sub/o.txt"), "to standard output\r\nto standard error\r\n\r\n");

    console = Run({"/out=old.txt", "/COMMAND=make"});
    console->WriteLine("new");
    EXPECT_EQ(Read("old.txt"), "new\r\n");
}

TEST_F(OutputTest, LinesBeforeTheOutCheckReachTheConsole) {
    auto console = Run({"/OUT=o.txt", "/pemode=7", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: The /PEMODE parameter value is invalid.\r\n");
    EXPECT_FALSE(Exists("o.txt"));
    // Later errors go to the file.
    console = Run({"/OUT=o.txt", "/bogus", "/COMMAND=make"});
    EXPECT_EQ(console->out, "");
    EXPECT_EQ(Read("o.txt"), "Fatal Error: Invalid/conflicting options specified: bogus\r\n");
}

TEST_F(OutputTest, OutPathThatCannotBeMadeEndsTheRun) {
    File("plain.txt");
    auto console = Run({"/OUT=plain.txt/o.txt", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: The path specified with /OUT parameter is invalid.\r\n");
    EXPECT_EQ(ProcessExitCode(), 3);
}

TEST_F(OutputTest, CaptionLineGoesToTheOutFileButNotTheLog) {
    auto console = Run({"/TITLE=Nightly", "/OUT=$(title)/o.txt", "/LOG=l.txt", "/COMMAND=make"});
    EXPECT_EQ(console->BuildCommand().Str(Req::Caption), "Nightly");
    EXPECT_EQ(console->OutPath(), "Nightly/o.txt");
    EXPECT_EQ(Read("Nightly/o.txt"), "Nightly\r\n\r\n");
    EXPECT_THAT(Read("l.txt"), Not(HasSubstr("Nightly")));

    console = Run({"/TITLE=Nightly", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Nightly\r\n\r\n");
}

TEST_F(OutputTest, CaptionComesFromTheCommandLineOrTheOptionList) {
    SetEnv("qzConsoleParams", "/TITLE=\"from env\"");
    auto console = Run({"/COMMAND=make"});
    // No raw record for a switch of the environment: the option-list value keeps its quotes.
    EXPECT_EQ(console->BuildCommand().Str(Req::Caption), "\"from env\"");
    console = Run({"/title=Mine", "/COMMAND=make"});
    EXPECT_EQ(console->BuildCommand().Str(Req::Caption), "Mine");
    // The environment's repetition is left over.
    EXPECT_THAT(console->out, HasSubstr("specified: \"TITLE=\"\"from env\"\"\""));
}

TEST_F(OutputTest, SilentKeepsTheConsoleQuietButTheLogComplete) {
    auto console = Run({"/SILENT", "/LOG", "/COMMAND=make"});
    console->WriteLine("build output");
    console->WriteLine("an error", true);
    EXPECT_EQ(console->out + console->err, "");
    EXPECT_THAT(Read("NV_.log"), ::testing::EndsWith("\r\n\r\nbuild output\r\nan error\r\n"));

    // Fatal clears /SILENT.
    console = Run({"/SILENT", "/LOG=x.log", "/bogus", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: Invalid/conflicting options specified: bogus\r\n");
    EXPECT_THAT(Read("x.log"), ::testing::EndsWith("specified: bogus\r\n"));
}

TEST_F(OutputTest, LogNames) {
    File("job.xml");
    auto console = Run({"/LOG", "job.xml"});
    EXPECT_EQ(console->LogPath(), "NV_job.log");
    EXPECT_TRUE(Exists("NV_job.log"));

    console = Run({"/log=logs/build", "job.xml"});
    EXPECT_EQ(console->LogPath(), console->StartDirectory() + "/logs/build.log");
    EXPECT_TRUE(Exists("logs/build.log"));

    console = Run({"/LOG=$(Title).txt", "/TITLE=Nightly", "/COMMAND=make"});
    EXPECT_TRUE(Exists("Nightly.txt"));

    File("my.xml");
    console = Run({"/LOG=${TITLE}.txt", "my.xml"});
    EXPECT_TRUE(Exists("My.txt"));

    std::filesystem::create_directory(dir_ / "d\xC3\xA9");
    File("d\xC3\xA9/my.xml");
    console = Run({"/LOG=$[Title].txt", "d\xC3\xA9/my.xml"});
    EXPECT_TRUE(Exists("my.txt"));
}

TEST_F(OutputTest, EmptyValuedLogWithoutBareLogIsLeftOver) {
    auto console = Run({"/LOG=", "/COMMAND=make"});
    EXPECT_EQ(console->out, "Fatal Error: Invalid/conflicting options specified: LOG=\r\n");
    console = Run({"/LOG=", "/LOG", "/COMMAND=make"});
    EXPECT_EQ(console->out, "");
    EXPECT_EQ(console->LogPath(), "NV_.log");
}

TEST_F(OutputTest, LogFolderThatCannotBeMadeRaises) {
    File("plain.txt");
    try {
        Run({"/LOG=plain.txt/x.log", "/COMMAND=make"});
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_THAT(e.Message(), ::testing::StartsWith("Unable to create log file directory: "));
    }
}

TEST_F(OutputTest, LogHeaderLayout) {
    auto console = Run({"/LOG=h.log", "/COMMAND=make"});
    const std::string title = "Orvane Console 10.24.2 (build 14861)";
    const std::string dashes(title.size(), '-');
    // "Build Log" and the time stamp fill the title's width.
    std::regex header(dashes + "\r\n" + "Orvane Console 10\\.24\\.2 \\(build 14861\\)\r\n" +
                      dashes + "\r\nBuild Log {8}\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n" +
                      dashes + "\r\n\r\n");
    EXPECT_TRUE(std::regex_match(Read("h.log"), header)) << Read("h.log");

    // A title shorter than "Build Log" and the time stamp leaves no blank between them.
    UnsetEnv("TamrelBuildContext");
    platform::SetProcessArguments(
        std::vector<std::string>{"qzConsole", "/LOG=s.log", "/COMMAND=make", "/NOLOGO"});
    testing::TCapturingConsole shortTitle("X");
    shortTitle.RunCommand();
    EXPECT_TRUE(std::regex_search(Read("s.log"), std::regex("\r\nBuild Log\\d{4}-")))
        << Read("s.log");
}

TEST_F(OutputTest, LogStaysReadableWhileOpen) {
    auto console = Run({"/LOG=r.log", "/COMMAND=make"});
    console->WriteLine("line");
    TFileStreamEx reader(dir_ / "r.log", FileMode::Read | FileMode::ShareDenyNone);
    std::string content(static_cast<size_t>(reader.Size()), '\0');
    reader.ReadBuffer(content.data(), reader.Size());
    EXPECT_THAT(content, ::testing::EndsWith("line\r\n"));
    // Another writer that wants the same protection is refused.
    EXPECT_THROW(TFileStreamEx(dir_ / "r.log", FileMode::Write | FileMode::ShareDenyWrite),
                 Exception);
}

TEST_F(OutputTest, TitleMacrosExpandOnceInOnePass) {
    auto console = Run({"/TITLE=$(Title)x", "/COMMAND=make"});
    std::string path = "a/$(TITLE)/${title}-$[Title].log$(Title";
    console->ExpandTitleMacros(path);
    EXPECT_EQ(path, "a/$(Title)x/$(Title)x-$(Title)x.log$(Title");

    File("lower.cmd");
    console = Run({"lower.cmd"});
    path = "$(title)";
    console->ExpandTitleMacros(path);
    EXPECT_EQ(path, "Lower");
}

TEST_F(OutputTest, WaitingLinesAreShownOnceAndClearedAfterAGrant) {
    auto console = Run({"/COMMAND=make"});
    console->ClearProgressLine();
    EXPECT_EQ(console->out, "");
    console->ShowWaitingLine("Maximum number of concurrent builds reached.");
    console->ShowWaitingLine("again");
    EXPECT_TRUE(console->WaitingShown());
    console->ClearProgressLine();
    EXPECT_EQ(console->out, "\r\nMaximum number of concurrent builds reached.\r\nWaiting for a "
                            "build to complete...\r\n" +
                                std::string(25, ' ') + "\r\n\r\n");
}

} // namespace
} // namespace qz::nv
