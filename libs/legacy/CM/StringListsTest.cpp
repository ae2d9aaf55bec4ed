#include "StringLists.h"

#include "platform/ProcessInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>

namespace qz {
namespace {

using ::testing::ElementsAre;
using O = void*;

/// Expects the general exception with exactly this message.
template <typename F>
void ExpectListError(F&& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), message);
    }
}

/// Counts how often objects of this class were destroyed.
struct Tracked {
    explicit Tracked(int& deaths) : deaths_(deaths) {}
    ~Tracked() { ++deaths_; }
    int& deaths_;
};

TEST(StringListsCompare, OrderingFoldsOnlyAsciiLetters) {
    EXPECT_EQ(CompareListStrings("abc", "ABC", false), 0);
    EXPECT_GT(CompareListStrings("abc", "ABC", true), 0);
    EXPECT_LT(CompareListStrings("ab", "abc", false), 0);
    EXPECT_GT(CompareListStrings("_", "z", false), 0); // '_' lies between upper and lower case
    EXPECT_LT(CompareListStrings("_", "a", true), 0);
    EXPECT_GT(CompareListStrings("\xE9", "z", false), 0); // bytes compare unsigned
}

TEST(StringListsCompare, EqualityFoldsOnlyLetters) {
    EXPECT_TRUE(SameListStrings("ABC", "abc", false));
    EXPECT_FALSE(SameListStrings("ABC", "abc", true));
    EXPECT_FALSE(SameListStrings("@", "`", false)); // 0x40 and 0x60 differ by the case bit only
    EXPECT_FALSE(SameListStrings("[", "{", false));
    EXPECT_FALSE(SameListStrings("ab", "abc", false));

    TStringListEx list({"x", "abc", "@"});
    EXPECT_EQ(list.IndexOf("ABC"), 1);
    EXPECT_EQ(list.IndexOf("`"), -1);
    EXPECT_EQ(TStringListEx({"abc"}, StringListOption::CaseSensitive).IndexOf("ABC"), -1);
}

TEST(StringListsSorted, OrderDependsOnCaseSensitivity) {
    TStringListEx folded(StringListOption::Sorted);
    TStringListEx exact(StringListOption::Sorted | StringListOption::CaseSensitive);
    for (const char* s : {"B", "a", "_"}) {
        folded.Add(s);
        exact.Add(s);
    }
    EXPECT_THAT(folded.Strings(), ElementsAre("a", "B", "_"));
    EXPECT_THAT(exact.Strings(), ElementsAre("B", "_", "a"));
    EXPECT_EQ(folded.IndexOf("b"), 1);
    EXPECT_EQ(exact.IndexOf("b"), -1);
}

TEST(StringListsSorted, IgnoreDuplicatesReturnsExistingIndex) {
    for (unsigned options :
         {0u, StringListOption::IgnoreDuplicates,
          StringListOption::IgnoreDuplicates | StringListOption::RejectDuplicates}) {
        TStringListEx list(StringListOption::Sorted | options);
        list.Add("m");
        EXPECT_EQ(list.Add("x"), 1);
        EXPECT_EQ(list.Add("X"), 1);
        EXPECT_EQ(list.Count(), 2);
        EXPECT_EQ(list.Duplicates(), TDuplicates::Ignore);
    }
}

TEST(StringListsSorted, RejectDuplicatesRaisesAndKeepsTheList) {
    TStringListEx list(StringListOption::Sorted | StringListOption::RejectDuplicates |
                       StringListOption::AcceptDuplicates);
    EXPECT_EQ(list.Duplicates(), TDuplicates::Reject);
    list.Add("b");
    ExpectListError([&] { list.Add("B"); }, "String list does not allow duplicates");
    EXPECT_THAT(list.Strings(), ElementsAre("b"));

    // Bulk additions are all or nothing.
    ExpectListError([&] { list.Split("a;c;b;d", ';'); }, "String list does not allow duplicates");
    EXPECT_THAT(list.Strings(), ElementsAre("b"));
    ExpectListError([&] { list.AddWords("z b"); }, "String list does not allow duplicates");
    ExpectListError([&] { list.AssignText("q\r\nq\r\n"); },
                    "String list does not allow duplicates");
    EXPECT_THAT(list.Strings(), ElementsAre("b"));
}

TEST(StringListsSorted, AcceptDuplicatesInsertsBeforeEqualEntries) {
    TStringListEx list(StringListOption::Sorted | StringListOption::AcceptDuplicates);
    list.AddWithObject("a", O(1));
    list.AddWithObject("k", O(2));
    list.AddWithObject("z", O(3));
    EXPECT_EQ(list.AddWithObject("K", O(4)), 1);
    EXPECT_EQ(list.AddWithObject("k", O(5)), 1);
    EXPECT_THAT(list.Strings(), ElementsAre("a", "k", "K", "k", "z"));
    EXPECT_EQ(list.ObjectAt(1), O(5));
    int index = -1;
    EXPECT_TRUE(list.Find("K", index));
    EXPECT_EQ(index, 1); // the first of the equal entries
    EXPECT_FALSE(list.Find("m", index));
    EXPECT_EQ(index, 4);
}

TEST(StringListsSorted, AddWithObjectReplacesObjectOfIgnoredDuplicate) {
    TStringListEx list(StringListOption::Sorted);
    list.AddWithObject("a", O(1));
    EXPECT_EQ(list.AddWithObject("A", O(2)), 0);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.ObjectAt(0), O(2));
}

TEST(StringListsSorted, RefusesPositionalChangesButAllowsSwap) {
    TStringListEx list({"b", "a"}, StringListOption::Sorted);
    ExpectListError([&] { list.Insert(0, "c"); }, "Operation not allowed on sorted string list");
    ExpectListError([&] { list.SetAt(0, "c"); }, "Operation not allowed on sorted string list");
    ExpectListError([&] { list.SetLast("c"); }, "Operation not allowed on sorted string list");
    list.Swap(0, 1);
    EXPECT_THAT(list.Strings(), ElementsAre("b", "a"));
}

TEST(StringListsSorted, SetSortedSortsAndSortWithHonoursTheMark) {
    TStringListEx list({"d", "b", "a", "c", "b"});
    list.SetObjectAt(0, O(4));
    auto reverse = [](const TStringListEx& l, int x, int y) {
        return CompareListStrings(l.At(y), l.At(x), true);
    };
    list.SortWith(reverse);
    EXPECT_THAT(list.Strings(), ElementsAre("d", "c", "b", "b", "a"));
    EXPECT_EQ(list.ObjectAt(0), O(4)); // objects travel with their strings
    list.SetSorted(true);
    EXPECT_THAT(list.Strings(), ElementsAre("a", "b", "b", "c", "d"));
    list.SortWith(reverse); // a list marked sorted stays as it is
    EXPECT_EQ(list.At(0), "a");
    list.SetSorted(false);
    list.Insert(0, "z");
    EXPECT_EQ(list.At(0), "z");
}

TEST(StringListsSorted, SortHandlesLargeShuffledInput) {
    TStringListEx list;
    for (int i = 0; i < 500; ++i) {
        list.Add(std::to_string((i * 7919) % 500));
    }
    list.SetSorted(true);
    for (int i = 1; i < list.Count(); ++i) {
        EXPECT_LT(CompareListStrings(list[i - 1], list[i], false), 0);
    }
    EXPECT_EQ(list.Count(), 500);
    for (int v = 0; v < 500; v += 37) {
        EXPECT_EQ(list.At(list.IndexOf(std::to_string(v))), std::to_string(v));
    }
}

TEST(StringListsStorage, IndexErrorsNameTheOffendingIndex) {
    TStringListEx list({"a", "b"});
    ExpectListError([&] { list.At(2); }, "List index out of bounds (2)");
    ExpectListError([&] { list.ObjectAt(-1); }, "List index out of bounds (-1)");
    ExpectListError([&] { list.Delete(5); }, "List index out of bounds (5)");
    ExpectListError([&] { list.Swap(0, 7); }, "List index out of bounds (7)");
    ExpectListError([&] { list.Swap(9, 7); }, "List index out of bounds (9)");
    ExpectListError([&] { list.Insert(3, "x"); }, "List index out of bounds (3)");
    ExpectListError([&] { list.NameAt(2); }, "List index out of bounds (2)");
    ExpectListError([&] { list.ValueAt(-3); }, "List index out of bounds (-3)");
    list.Insert(2, "c");
    EXPECT_EQ(list.Last(), "c");
    TStringListEx empty;
    ExpectListError([&] { empty.Last(); }, "List index out of bounds (-1)");
    ExpectListError([&] { empty.SetLast("x"); }, "List index out of bounds (-1)");
    ExpectListError([&] { empty.DeleteFirst(); }, "List index out of bounds (0)");
}

TEST(StringListsStorage, CapacityGrowsInTheKnownSteps) {
    TStringListEx list;
    std::vector<int> capacities;
    for (int i = 0; i < 100; ++i) {
        list.Add("x");
        if (capacities.empty() || capacities.back() != list.Capacity()) {
            capacities.push_back(list.Capacity());
        }
    }
    EXPECT_THAT(capacities, ElementsAre(4, 8, 12, 28, 44, 60, 76, 95, 118));
    list.Clear();
    EXPECT_EQ(list.Capacity(), 0);
    list.EnsureCapacity(17);
    EXPECT_EQ(list.Capacity(), 32);
    list.EnsureCapacity(3);
    EXPECT_EQ(list.Capacity(), 32);
    TStringListEx other({"a", "b", "c"});
    list.AppendList(other);
    EXPECT_EQ(list.Capacity(), 32);
}

TEST(StringListsStorage, OwnedObjectsAreFreedExactlyOnce) {
    int deaths = 0;
    {
        TObjectStringList<Tracked> list(StringListOption::OwnsObjects);
        for (const char* s : {"a", "b", "c", "d"}) {
            list.AddOwned(s, std::make_unique<Tracked>(deaths));
        }
        list.Delete(1);
        EXPECT_EQ(deaths, 1);
        list.SetObjectAt(0, list.ObjectAt(0)); // storing the same object keeps it
        EXPECT_EQ(deaths, 1);
        list.SetObjectAt(0, new Tracked(deaths));
        EXPECT_EQ(deaths, 2);
        list.Clear();
        EXPECT_EQ(deaths, 5);
        list.AddOwned("e", std::make_unique<Tracked>(deaths));
    }
    EXPECT_EQ(deaths, 6); // destruction frees the rest

    TObjectStringList<Tracked> keyed(StringListOption::Sorted | StringListOption::RejectDuplicates |
                                     StringListOption::OwnsObjects);
    keyed.AddOwned("k", std::make_unique<Tracked>(deaths));
    EXPECT_THROW(keyed.AddOwned("K", std::make_unique<Tracked>(deaths)), Exception);
    EXPECT_EQ(deaths, 7); // the refused object is not leaked
    EXPECT_EQ(keyed.Count(), 1);

    TObjectStringList<Tracked> moved(std::move(keyed));
    EXPECT_EQ(keyed.Count(), 0);
    EXPECT_EQ(moved.ObjectOf(0)->deaths_, deaths);
}

TEST(StringListsStorage, AppendListSameAsAndCopies) {
    TStringListEx source({"b", "a"});
    source.SetObjectAt(0, O(7));
    TStringListEx sorted(StringListOption::Sorted);
    sorted.Add("A");
    sorted.AppendList(source);
    EXPECT_THAT(sorted.Strings(), ElementsAre("A", "b"));
    EXPECT_EQ(sorted.ObjectAt(1), O(7));

    TStringListEx copy = source;
    EXPECT_TRUE(copy.SameAs(source));
    copy.SetObjectAt(1, O(1));
    EXPECT_FALSE(copy.SameAs(source));
    EXPECT_FALSE(TStringListEx({"A"}).SameAs(TStringListEx({"a"})));

    copy.AppendList(copy);
    EXPECT_THAT(copy.Strings(), ElementsAre("b", "a", "b", "a"));
    copy.Assign(sorted);
    EXPECT_THAT(copy.Strings(), ElementsAre("A", "b"));
    EXPECT_FALSE(copy.Sorted());
}

TEST(StringListsText, ToTextAndAssignText) {
    TStringListEx list;
    EXPECT_EQ(list.ToText(), "");
    list.AssignText("a\r\n\r\nb\n");
    EXPECT_THAT(list.Strings(), ElementsAre("a", "", "b"));
    EXPECT_EQ(list.ToText(), "a\r\n\r\nb\r\n");
    list.AssignText("x\ry\n\rz");
    EXPECT_THAT(list.Strings(), ElementsAre("x", "y", "", "z"));
    list.AddLines("1\r\n2");
    EXPECT_THAT(list.Strings(), ElementsAre("x", "y", "", "z", "1", "2"));
    list.AssignText("");
    EXPECT_TRUE(list.IsEmpty());
}

TEST(StringListsText, CommaTextQuotesWhatNeedsIt) {
    TStringListEx list({"a", "b c", "d\"e", ""});
    EXPECT_EQ(list.ToCommaText(), "a,\"b c\",\"d\"\"e\",");
    EXPECT_EQ(TStringListEx({""}).ToCommaText(), "\"\"");
    EXPECT_EQ(TStringListEx().ToCommaText(), "");
    EXPECT_EQ(TStringListEx({"", "x"}).ToCommaText(), ",x");
    EXPECT_EQ(TStringListEx({"p,q", "t\tu", "ok"}).ToCommaText(), "\"p,q\",\"t\tu\",ok");
}

TEST(StringListsText, CommaTextParsesBlanksCommasAndQuotes) {
    TStringListEx list;
    list.AssignCommaText("  a b,,\"c \"\"d\"\"\" , e ");
    EXPECT_THAT(list.Strings(), ElementsAre("a", "b", "", "c \"d\"", "e"));
    list.AssignCommaText("\"\"");
    EXPECT_THAT(list.Strings(), ElementsAre(""));
    list.AssignCommaText("\"open, never closed");
    EXPECT_THAT(list.Strings(), ElementsAre("open, never closed"));
    list.AssignCommaText(std::string("a\0,b", 4));
    EXPECT_THAT(list.Strings(), ElementsAre("a"));

    TStringListEx original({"x", "y z", "q\"r", "", "s,t"});
    list.AssignCommaText(original.ToCommaText());
    EXPECT_THAT(list.Strings(), ElementsAre("x", "y z", "q\"r", "", "s,t"));
}

TEST(StringListsNameValue, OptionListLookups) {
    TStringListEx options({"Wait", "command=make"});
    EXPECT_EQ(options.FindName("COMMAND"), 1);
    EXPECT_EQ(options.ValueOf("command"), "make");
    EXPECT_EQ(options.ValueOf("missing"), "");
    EXPECT_EQ(options.RemoveString("wait"), 0);
    EXPECT_THAT(options.Strings(), ElementsAre("command=make"));
    EXPECT_EQ(options.RemoveString("wait"), -1);
    EXPECT_EQ(options.RemoveName("Command"), 0);
    EXPECT_TRUE(options.IsEmpty());
    EXPECT_EQ(TStringListEx({"wait"}).FindName("wait"), -1);
    EXPECT_EQ(TStringListEx({"commander=x"}).FindName("command"), -1);
}

TEST(StringListsNameValue, NameAndValueSplitAtTheFirstEquals) {
    TStringListEx list({"x=a=b", "x", "=v"});
    EXPECT_EQ(list.ValueOf("x"), "a=b");
    EXPECT_EQ(list.NameAt(0), "x");
    EXPECT_EQ(list.ValueAt(0), "a=b");
    EXPECT_EQ(list.NameAt(1), "");
    EXPECT_EQ(list.ValueAt(1), "");
    EXPECT_EQ(list.FindName(""), 2);
}

TEST(StringListsNameValue, SetValueOfAddsReplacesAndDeletes) {
    TStringListEx list({"a=1", "b=2"});
    list.SetValueOf("A", "9");
    list.SetValueOf("c", "3");
    EXPECT_THAT(list.Strings(), ElementsAre("A=9", "b=2", "c=3"));
    list.SetValueOf("b", "");
    list.SetValueOf("zz", "");
    EXPECT_THAT(list.Strings(), ElementsAre("A=9", "c=3"));

    TStringListEx sorted({"a=1", "b=2"}, StringListOption::Sorted);
    sorted.SetObjectAt(0, O(3));
    sorted.SetValueOf("a", "z");
    EXPECT_THAT(sorted.Strings(), ElementsAre("a=z", "b=2"));
    EXPECT_EQ(sorted.ObjectAt(0), O(3));
}

TEST(StringListsNameValue, CleanValueTrimsThenUnquotes) {
    TStringListEx list({"out= \"my file\" ", "\"bare\"", "o", " \"x\""});
    EXPECT_EQ(list.CleanValueAt(0, "out"), "my file");
    EXPECT_EQ(list.CleanValueAt(1, ""), "bare");
    EXPECT_EQ(list.CleanValueAt(2, "o"), "");
    EXPECT_EQ(list.CleanValueAt(3, ""), " \"x\""); // no trim without a name
    EXPECT_THROW(list.CleanValueAt(4, ""), Exception);
}

TEST(StringListsNameValue, IndexOfSwitchMatchesPrefixesExactly) {
    TStringListEx list({"", "job.xml", "/BUILDCACHEREADONLY=OFF", "-log"});
    EXPECT_EQ(list.IndexOfSwitch("BUILDCACHEREADONLY"), 2);
    EXPECT_EQ(list.IndexOfSwitch("buildcachereadonly"), -1);
    EXPECT_EQ(list.IndexOfSwitch("lo"), 3);
    EXPECT_EQ(list.IndexOfSwitch(""), 1);
    EXPECT_TRUE(list.HasSwitch("BUILD"));
    EXPECT_EQ(TStringListEx({"", "/a"}).IndexOfSwitch(""), -1);
}

TEST(StringListsSplit, OptionCombinations) {
    const std::string text = " a ; \"b;c\" ;;";
    TStringListEx list;
    list.Split(text, ";,", SplitOption::TrimPieces | SplitOption::UnquotePieces);
    EXPECT_THAT(list.Strings(), ElementsAre("a", "\"b", "c\""));
    list.Clear();
    list.Split(text, ";,",
               SplitOption::TrimPieces | SplitOption::UnquotePieces | SplitOption::RespectQuotes);
    EXPECT_THAT(list.Strings(), ElementsAre("a", "b;c"));
    list.Clear();
    list.Split(text, ";,",
               SplitOption::TrimPieces | SplitOption::UnquotePieces | SplitOption::KeepEmpty);
    EXPECT_THAT(list.Strings(), ElementsAre("a", "\"b", "c\"", "", ""));
    list.Clear();
    list.Split("a; ;b", ';', SplitOption::TrimPieces);
    EXPECT_THAT(list.Strings(), ElementsAre("a", "b")); // emptied by trimming, dropped
    list.Clear();
    list.Split("x;\"y;z", ';', SplitOption::RespectQuotes);
    EXPECT_THAT(list.Strings(), ElementsAre("x", "\"y;z")); // unclosed quote runs to the end
}

TEST(StringListsSplit, TagsAndAppendsToExistingEntries) {
    TStringListEx list({"first"});
    list.Split("a,b;c", ",;", SplitOption::TagSeparator);
    EXPECT_THAT(list.Strings(), ElementsAre("first", "a", "b", "c"));
    EXPECT_EQ(list.TagAt(1), 0);
    EXPECT_EQ(list.TagAt(2), 44);
    EXPECT_EQ(list.TagAt(3), ';');

    TStringListEx sorted(StringListOption::Sorted);
    sorted.Split("c;a;b;a", ';');
    EXPECT_THAT(sorted.Strings(), ElementsAre("a", "b", "c"));
}

TEST(StringListsWords, QuotesStayInsideTheirWord) {
    TStringListEx list({"old"});
    list.AssignWords("a \"b c\"d  e");
    EXPECT_THAT(list.Strings(), ElementsAre("a", "\"b c\"d", "e"));
    list.AddWords("\tf\r\n\"g h");
    EXPECT_THAT(list.Strings(), ElementsAre("a", "\"b c\"d", "e", "f", "\"g h"));
    EXPECT_EQ(list.JoinWords(), "a \"b c\"d e f \"g h");
    list.AssignWords(" \t ");
    EXPECT_TRUE(list.IsEmpty());
}

TEST(StringListsJoin, RangesQuotingAndTransforms) {
    TStringListEx list({"a", "b c"});
    EXPECT_EQ(list.Join(", "), "a, b c");
    EXPECT_EQ(list.Join(", ", true), "\"a\", \"b c\"");
    EXPECT_EQ(list.Join(';', false, 1), "b c");
    EXPECT_EQ(list.Join(';', false, 1, 0), "");
    EXPECT_EQ(TStringListEx().Join(", "), "");
    EXPECT_THROW(list.Join(';', false, 0, 2), Exception);

    list.Enclose("<", ">");
    EXPECT_THAT(list.Strings(), ElementsAre("<a>", "<b c>"));
    list.ApplyToAll({[](const std::string& s) { return s.substr(1); },
                     [](const std::string& s) { return s + "!"; }});
    EXPECT_THAT(list.Strings(), ElementsAre("a>!", "b c>!"));
    TStringListEx quoted({" \"x\" ", "y"});
    quoted.ApplyToAll({Trim, Unquote});
    EXPECT_THAT(quoted.Strings(), ElementsAre("x", "y"));
}

TEST(StringListsFreeFunctions, IndentText) {
    EXPECT_EQ(IndentText("x\r\ny", 2), "  x\r\n  y\r\n");
    EXPECT_EQ(IndentText("x\ny\n", 0, "> ", ";"), "> x;\r\n> y;\r\n");
    EXPECT_EQ(IndentText("as\nis", 0), "as\nis");
    EXPECT_EQ(IndentText("", 4), "");
}

TEST(StringListsFreeFunctions, FindCommandLineValueInText) {
    std::string value = "unchanged";
    EXPECT_FALSE(FindCommandLineValueIn("/exitcodebase=5", "exitcodebase", value));
    EXPECT_FALSE(FindCommandLineValueIn("prog /exitcodebase", "exitcodebase", value));
    EXPECT_FALSE(FindCommandLineValueIn("prog /exitcodebases=5", "exitcodebase", value));
    EXPECT_FALSE(FindCommandLineValueIn("prog exitcodebase=5", "exitcodebase", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_TRUE(FindCommandLineValueIn("prog job.xml -ExitCodeBase=7 /exitcodebase=9",
                                       "EXITCODEBASE", value));
    EXPECT_EQ(value, "7");
    EXPECT_TRUE(FindCommandLineValueIn("prog \"/title=My build\"", "title", value));
    EXPECT_EQ(value, "My build");
    EXPECT_TRUE(FindCommandLineValueIn("prog /title=\"a b\"", "Title", value));
    EXPECT_EQ(value, "a b");
    EXPECT_TRUE(FindCommandLineValueIn("prog /x=", "x", value));
    EXPECT_EQ(value, "");
    EXPECT_FALSE(FindCommandLineValueIn("prog \"", "x", value));
}

TEST(StringListsFreeFunctions, FindCommandLineValueReadsTheProcessArguments) {
    const std::vector<std::string> saved = platform::ProcessArguments();
    platform::SetProcessArguments(
        std::vector<std::string>{"qzConsole", "/COMMAND=make all", "/ExitCodeBase=100"});
    std::string value;
    EXPECT_TRUE(FindCommandLineValue("exitcodebase", value));
    EXPECT_EQ(value, "100");
    EXPECT_TRUE(FindCommandLineValue("command", value));
    EXPECT_EQ(value, "make all");
    platform::SetProcessArguments(std::vector<std::string>{"qzConsole"});
    EXPECT_FALSE(FindCommandLineValue("command", value));
    platform::SetProcessArguments(saved);
}

} // namespace
} // namespace qz
