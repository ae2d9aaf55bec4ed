#include "CmdLine.h"

#include "CM/EnvUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qz::nv {
namespace {

using Tokens = std::vector<std::string>;

TEST(CRTCmdLineTokenizer, RawTextsFollowTheTokens) {
    TCRTCmdLineTokenizer tokenizer(R"(/TITLE="My build" x)");
    EXPECT_EQ(tokenizer.Arguments(), (Tokens{"/TITLE=My build", "x"}));
    EXPECT_EQ(tokenizer.RawArguments(), (Tokens{R"(/TITLE="My build")", "x"}));
}

TEST(CRTCmdLineTokenizer, GivesBackEveryRebuiltArgumentVector) {
    Tokens argv = {"qzConsole", "/TITLE=My build", "", R"(a"b)", R"(trail\)", R"(x\\"y)", "\t"};
    EXPECT_EQ(TokenizeCommandLine(BuildCommandLine(argv)), argv);
}

TEST(CmdLineParser, RawWordsKeepTheirQuotes) {
    EXPECT_EQ(TCmdLineParser::SplitRaw("a \"b c\"d  e"), (Tokens{"a", "\"b c\"d", "e"}));
    EXPECT_EQ(TCmdLineParser::SplitRaw("x \"open to the end"), (Tokens{"x", "\"open to the end"}));
}

TEST(CmdLineParser, SwitchValuesAreUnquotedAndFirstOccurrenceWins) {
    TCmdLineParser parser(R"(prog /TITLE="Nightly build" -title=second plain "quoted plain")");
    EXPECT_EQ(parser.SwitchValue("title"), "Nightly build");
    EXPECT_EQ(parser.SwitchValue("missing", "dflt"), "dflt");
    EXPECT_EQ(parser.PlainArguments(), (Tokens{"plain", "quoted plain"}));
}

TEST(CmdLineParser, OptionFilesAreReadWhenPresent) {
    qz::test::TempDir dir;
    qz::test::WriteFile(dir / "opts.rsp", "/title=\"From file\"\r\n@" + (dir / "opts.rsp") + "\n");
    TCmdLineParser parser("prog @" + (dir / "opts.rsp") + " @" + (dir / "missing.rsp"));
    EXPECT_EQ(parser.SwitchValue("TITLE"), "From file");
}

} // namespace
} // namespace qz::nv
