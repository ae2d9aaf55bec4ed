#include "OutputLines.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

using Lines = std::vector<std::string>;

Lines Collect(std::initializer_list<std::string_view> chunks, bool finish = true) {
    TOutputLineCollector collector;
    for (std::string_view chunk : chunks) {
        collector.Feed(chunk);
    }
    if (finish) {
        collector.Finish();
    }
    return collector.Lines();
}

TEST(OutputLines, CarriageReturnLetsTheNextLineOverwrite) {
    EXPECT_EQ(Collect({"50%\r60%\r100%\n"}), Lines{"100%"});
    EXPECT_EQ(Collect({"abcdef\rxy\n"}), Lines{"xycdef"});
    EXPECT_EQ(Collect({"one\r\ntwo\r\r\nthree\n"}), (Lines{"one", "two", "three"}));
}

TEST(OutputLines, LineEndsSplitAcrossChunks) {
    // A CR at the end of a chunk may be the first half of CR LF.
    EXPECT_EQ(Collect({"one\r", "\ntwo\n"}), (Lines{"one", "two"}));
    EXPECT_EQ(Collect({"abcdef\r", "xy\n"}), Lines{"xycdef"});
    EXPECT_EQ(Collect({"par", "tial", " line\n"}), Lines{"partial line"});
}

TEST(OutputLines, LastLineWithoutEndArrivesAtFinish) {
    EXPECT_EQ(Collect({"first\nlast"}, false), Lines{"first"});
    EXPECT_EQ(Collect({"first\nlast"}), (Lines{"first", "last"}));
    EXPECT_EQ(Collect({"first\n"}), Lines{"first"});
    EXPECT_EQ(Collect({"\n\n"}), (Lines{"", ""}));
}

TEST(OutputLines, TerminateMarkerEndsTheCapture) {
    TOutputLineCollector collector;
    EXPECT_TRUE(collector.Feed("before\n"));
    EXPECT_FALSE(collector.Feed("done___TamrelTerminateOutput___\nafter\n"));
    EXPECT_FALSE(collector.Feed("more\n"));
    collector.Finish();
    EXPECT_EQ(collector.Lines(), (Lines{"before", "done"}));
    EXPECT_TRUE(collector.Terminated());
    // Only a complete line counts, and the marker alone adds nothing.
    EXPECT_EQ(Collect({"x___TamrelTerminateOutput___"}), Lines{"x___TamrelTerminateOutput___"});
    EXPECT_EQ(Collect({"___TamrelTerminateOutput___\r\nlater\n"}), Lines{});
}

} // namespace
} // namespace qz
