#include "EnvUtils.h"

#include "Exceptions.h"
#include "TestSupport.h"
#include "platform/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <unordered_set>

namespace qz {
namespace {

// ---- Command line ---------------------------------------------------------------------------

// An independent reading of the C-runtime splitting rules, used as the reference that the
// rebuilt command line must satisfy.
TEST(CommandLine, SplitterFollowsTheRuntimeRules) {
    // Cases worked out by hand from the rules.
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitCommandLine(R"(a "b c" d)"), (V{"a", "b c", "d"}));
    EXPECT_EQ(SplitCommandLine(R"("" x)"), (V{"", "x"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\\"b)"), (V{R"(a\"b)"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\"b c")"), (V{R"(a\b c)"}));
    EXPECT_EQ(SplitCommandLine(R"(a\b)"), (V{R"(a\b)"}));
    EXPECT_EQ(SplitCommandLine(R"("a""b")"), (V{R"(a"b)"}));
    EXPECT_EQ(SplitCommandLine("\t a\t\tb "), (V{"a", "b"}));
}

TEST(CommandLine, RoundTripsHandPickedArguments) {
    std::vector<std::vector<std::string>> cases = {
        {"qzConsole", "/COMMAND=make -j4", "/LOG"},
        {"prog", ""},
        {"prog", "", "", "x"},
        {"prog", "trailing\\"},
        {"prog", "two spaces  and\\\\"},
        {"prog", "C:\\dir with space\\"},
        {"prog", "\"", "\"\"", "a\"b", "\\\"", "\\\\\""},
        {"prog", "/TITLE=\"My build\""},
        {"prog", "tab\there", "new\nline"},
        {"prog", "\\\\server\\share", "end\\\\"},
    };
    for (const auto& arguments : cases) {
        std::string line = BuildCommandLine(arguments);
        EXPECT_EQ(SplitCommandLine(line), arguments) << line;
    }
    EXPECT_EQ(QuoteCommandLineArgument("plain"), "plain");
    EXPECT_EQ(QuoteCommandLineArgument(""), "\"\"");
    EXPECT_EQ(QuoteCommandLineArgument("a b\\"), "\"a b\\\\\"");
}

TEST(CommandLine, RoundTripsRandomArguments) {
    std::mt19937 random(20261209);
    const std::string alphabet = "ab \\\"\t/=";
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> arguments(1 + random() % 4);
        for (std::string& argument : arguments) {
            std::size_t length = random() % 8;
            for (std::size_t k = 0; k < length; ++k) {
                argument += alphabet[random() % alphabet.size()];
            }
        }
        std::string line = BuildCommandLine(arguments);
        ASSERT_EQ(SplitCommandLine(line), arguments) << line;
    }
}

// ---- File names -----------------------------------------------------------------------------

TEST(PathNames, PartsOfAName) {
    EXPECT_EQ(PathFileName("/work/dir/file.txt"), "file.txt");
    EXPECT_EQ(PathFileName("file.txt"), "file.txt");
    EXPECT_EQ(PathFileName("/work/dir/"), "");
    EXPECT_EQ(PathFileName("a\\b:c"), "a\\b:c"); // no separators on this platform
    EXPECT_EQ(PathFolder("/work/dir/file.txt"), "/work/dir/");
    EXPECT_EQ(PathFolder("file.txt"), "");
    EXPECT_EQ(PathFolder("/"), "/");

    EXPECT_EQ(PathExtension("/a.b/file"), "");
    EXPECT_EQ(PathExtension("/a/file.TXT"), ".TXT");
    EXPECT_EQ(PathExtension("/a/.profile"), ".profile");
    EXPECT_EQ(PathExtensionNoDot("x.tar.gz"), "gz");
    EXPECT_EQ(PathExtensionNoDot("/a.b/file"), "");
    EXPECT_EQ(PathChangeExtension("x.tar.gz", ".zip"), "x.tar.zip");
    EXPECT_EQ(PathChangeExtension("/a.b/file", ".zip"), "/a.b/file.zip");
    EXPECT_EQ(PathChangeExtension("/a/file.txt", ""), "/a/file");
    EXPECT_EQ(PathBaseName("/a.b/x.tar.gz"), "x.tar");
    EXPECT_EQ(PathBaseName("/a.b/file"), "file");
}

TEST(PathNames, ExtensionTestsIgnoreAsciiCase) {
    EXPECT_TRUE(PathHasExtension("job.XML", ".xml"));
    EXPECT_FALSE(PathHasExtension("job.xml", "xml"));
    EXPECT_FALSE(PathHasExtension("job.xml.bak", ".xml"));
    EXPECT_TRUE(PathHasAnyExtension("run.Cmd", {".bat", ".cmd"}));
    EXPECT_FALSE(PathHasAnyExtension("run", {".bat", ".cmd"}));
    EXPECT_TRUE(PathHasAnyExtension("run", {".bat", ""}));
}

TEST(PathNames, SeparatorsAndAbsoluteness) {
    EXPECT_EQ(PathWithSeparator("/a"), "/a/");
    EXPECT_EQ(PathWithSeparator("/a/"), "/a/");
    EXPECT_EQ(PathWithSeparator(""), "");
    EXPECT_EQ(PathWithSeparator("a\\"), "a\\/");
    EXPECT_EQ(PathWithoutSeparator("/a//"), "/a/");
    EXPECT_EQ(PathWithoutSeparator("/a"), "/a");
    EXPECT_EQ(PathWithoutSeparator("/"), "/");
    EXPECT_TRUE(PathIsAbsolute("/a"));
    EXPECT_FALSE(PathIsAbsolute("a/b"));
    EXPECT_FALSE(PathIsAbsolute("C:/a"));
    EXPECT_FALSE(PathIsAbsolute(""));
}

TEST(PathNames, Normalize) {
    EXPECT_EQ(PathNormalize("//a///b//"), "/a/b/");
    EXPECT_EQ(PathNormalize("/a/./b/."), "/a/b/");
    EXPECT_EQ(PathNormalize("/a/b/../c"), "/a/c");
    EXPECT_EQ(PathNormalize("/a/b/.."), "/a/");
    EXPECT_EQ(PathNormalize("/../../x"), "/x");
    EXPECT_EQ(PathNormalize("/.."), "/");
    EXPECT_EQ(PathNormalize("a/../../b"), "../b");
    EXPECT_EQ(PathNormalize("../../b"), "../../b");
    EXPECT_EQ(PathNormalize("./a"), "a");
    EXPECT_EQ(PathNormalize("a/.../b"), "a/.../b");
    EXPECT_EQ(PathNormalize(""), "");
}

TEST(PathNames, ResolveAgainstABase) {
    std::size_t position = 0;
    EXPECT_EQ(PathResolve("/work/", "../b/c.txt", &position), "/b/c.txt");
    EXPECT_EQ(position, 4u);
    EXPECT_EQ(PathResolve("/work", "sub/x.txt", &position), "/work/sub/x.txt");
    EXPECT_EQ(position, 11u);
    EXPECT_EQ(PathResolve("/work", "/tools/x.txt"), "/tools/x.txt");
    EXPECT_EQ(PathResolve("/work", "//srv//x.txt"), "/srv/x.txt");
    EXPECT_EQ(PathResolve("/work", "\"my file.txt\""), "/work/my file.txt");
    EXPECT_EQ(PathResolve("/work", "\"\""), "/work/");
    EXPECT_EQ(PathResolve("/work", "", &position), "/work/");
    EXPECT_EQ(position, 7u);
    EXPECT_EQ(PathResolve("", "/abs"), "/abs");
    try {
        PathResolve("", "\"rel.txt\"");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  "Base path cannot be an empty string (relative path is \"rel.txt\")");
    }
}

// ---- Files and folders ----------------------------------------------------------------------

TEST(Folders, ForceFoldersCreatesMissingParentsOnly) {
    test::TempDir dir;
    EXPECT_FALSE(ForceFolders(dir.path()));
    EXPECT_TRUE(ForceFolders(dir / "a/b/c/"));
    EXPECT_TRUE(FolderIsPresent(dir / "a/b/c"));
    EXPECT_FALSE(ForceFolders(dir / "a/b/c"));
    EXPECT_TRUE(ForceFolders(dir / "a/b/d"));
    EXPECT_FALSE(ForceFolders(""));
    EXPECT_FALSE(ForceFolders("/"));
}

TEST(Folders, ForceFoldersNamesTheBlockingPath) {
    test::TempDir dir;
    test::WriteFile(dir / "file", "x");
    try {
        ForceFolders(dir / "file/sub");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), EEXIST);
        EXPECT_EQ(e.Message(), "Failed to create directory: " + dir / "file/sub" +
                                   "\r\nCannot create directory '" + dir / "file" +
                                   "': File exists (17)");
    }
    try {
        ForceFolders(dir / "file", std::string("log folder"));
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind("Failed to create directory (log folder): " + dir / "file" +
                                        "\r\nCannot create directory",
                                    0),
                  0u)
            << e.Message();
    }
}

TEST(Folders, PresenceAndReadOnlyTests) {
    test::TempDir dir;
    test::WriteFile(dir / "f", "x");
    EXPECT_TRUE(FileIsPresent(dir / "f"));
    EXPECT_FALSE(FileIsPresent(dir.path()));
    EXPECT_FALSE(FileIsPresent(dir / "none"));
    EXPECT_TRUE(FolderIsPresent(dir.path()));
    EXPECT_FALSE(FolderIsPresent(dir / "f"));
    EXPECT_TRUE(FileIsPresent(Utf8ToWide(dir / "f")));
    EXPECT_FALSE(FileIsReadOnly(dir / "f"));
    std::filesystem::permissions(dir / "f", std::filesystem::perms::owner_read |
                                                std::filesystem::perms::group_read |
                                                std::filesystem::perms::others_read);
    EXPECT_TRUE(FileIsReadOnly(dir / "f"));
    EXPECT_TRUE(FileIsReadOnly(Utf8ToWide(dir / "f")));
}

TEST(Folders, TempFolderFollowsTmpdir) {
    test::TempDir dir;
    std::string saved = GetEnv("TMPDIR");
    SetEnv("TMPDIR", dir / "t/u");
    std::string folder = TempFolder();
    SetEnv("TMPDIR", saved);
    EXPECT_EQ(folder, dir / "t/u/");
    EXPECT_TRUE(FolderIsPresent(folder));
}

TEST(Files, DeleteAndMove) {
    test::TempDir dir;
    test::WriteFile(dir / "a", "1");
    DeleteFileChecked(dir / "missing");
    try {
        DeleteFileChecked(dir / "missing", true);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), ENOENT);
        EXPECT_EQ(e.Message(),
                  "Failed to delete file '" + dir / "missing" + "': No such file or directory (2)");
    }
    MoveFileChecked(dir / "a", dir / "b");
    EXPECT_FALSE(FileIsPresent(dir / "a"));
    EXPECT_EQ(test::ReadFile(dir / "b"), "1");

    test::WriteFile(dir / "c", "2");
    try {
        MoveFileChecked(dir / "c", dir / "b");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), EEXIST);
        EXPECT_EQ(e.Message(), "Failed to move file '" + dir / "c" + "' to '" + dir / "b" +
                                   "': File exists (17)");
    }
    EXPECT_EQ(test::ReadFile(dir / "b"), "1"); // the target is never replaced
    DeleteFileChecked(dir / "b");
    EXPECT_FALSE(FileIsPresent(dir / "b"));
}

TEST(Files, RefusedDeletionOfAReadOnlyFileSaysSo) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    ForceFolders(dir / "locked");
    test::WriteFile(dir / "locked/f", "x");
    fs::permissions(dir / "locked/f", fs::perms::owner_read);
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    std::string message;
    try {
        DeleteFileChecked(dir / "locked/f");
    } catch (const EOSError& e) {
        message = e.Message();
    }
    fs::permissions(dir / "locked", fs::perms::owner_all);
    if (message.empty()) {
        GTEST_SKIP() << "the folder's permissions do not bind this user";
    }
    EXPECT_EQ(message, "Failed to delete file '" + dir / "locked/f" +
                           "'\r\nCannot delete a read-only file: Permission denied (13)");
}

TEST(Files, HandleWrappersRaiseWithTheHandle) {
    test::TempDir dir;
    platform::File file;
    platform::FileOpenRequest create;
    create.access = platform::FileAccess::ReadWrite;
    create.disposition = platform::FileDisposition::CreateAlways;
    ASSERT_TRUE(file.Open(dir / "h", create));
    TFileHandle handle = file.Detach();
    test::WriteFile(dir / "h", "0123456789");
    EXPECT_EQ(FileSizeChecked(handle), 10);
    EXPECT_EQ(SetFilePointerChecked(handle, 4), 4);
    SetEndOfFileChecked(handle);
    EXPECT_EQ(FileSizeChecked(handle), 4);
    EXPECT_EQ(SetFilePointerChecked(handle, -1, platform::SeekOrigin::End), 3);
    FlushFileBuffersChecked(handle);
    CloseHandleChecked(handle);

    try {
        CloseHandleChecked(handle);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), EBADF);
        EXPECT_EQ(e.Message(), Format("Failed to close handle 0x0%x: Bad file descriptor (9)",
                                      static_cast<unsigned>(handle)));
    }
    EXPECT_THROW(FileSizeChecked(handle), EOSError);
    EXPECT_THROW(SetEndOfFileChecked(handle), EOSError);
    try {
        SetFilePointerChecked(-1, 0);
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message(),
                  "Failed to set file pointer for handle 0x0ffffffff: Bad file descriptor (9)");
    }
}

// ---- GUIDs ----------------------------------------------------------------------------------

TEST(Guids, TextRoundTripAndLayout) {
    TGuid guid;
    ASSERT_TRUE(TextToGuid("{0d520b29-F0E7-4C15-9159-841F707E30EC}", guid));
    EXPECT_EQ(guid.Data1, 0x0D520B29u);
    EXPECT_EQ(guid.Data2, 0xF0E7u);
    EXPECT_EQ(guid.Data3, 0x4C15u);
    EXPECT_EQ(guid.Data4[0], 0x91u);
    EXPECT_EQ(guid.Data4[7], 0xECu);
    EXPECT_EQ(GuidToText(guid), "{0D520B29-F0E7-4C15-9159-841F707E30EC}");

    TGuid fresh = NewGuid();
    std::string text = GuidToText(fresh);
    EXPECT_EQ(text[15], '4'); // random GUIDs carry version 4
    EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos);
    TGuid back;
    ASSERT_TRUE(TextToGuid(text, back));
    EXPECT_TRUE(SameGuid(fresh, back));
    EXPECT_FALSE(SameGuid(fresh, NewGuid()));
    EXPECT_TRUE(IsNullGuid(TGuid{}));
    EXPECT_FALSE(IsNullGuid(fresh));
}

TEST(Guids, MalformedTextsFail) {
    TGuid guid = NewGuid();
    const TGuid before = guid;
    for (const char* text :
         {"", "{", "{}", "0D520B29-F0E7-4C15-9159-841F707E30EC",
          "{0D520B29-F0E7-4C15-9159-841F707E30EC", "(0D520B29-F0E7-4C15-9159-841F707E30EC)",
          "{0D520B29-F0E7-4C15-9159-841F707E30E}", "{0D520B29-F0E7-4C15-9159-841F707E30ECC}",
          "{0D520B29F0E7-4C15-9159-841F707E30EC0}", "{0D520B29-F0E7-4C15-9159-841F707E30EG}",
          "{ D520B29-F0E7-4C15-9159-841F707E30EC}"}) {
        EXPECT_FALSE(TextToGuid(text, guid)) << text;
    }
    EXPECT_EQ(guid, before);
}

TEST(Guids, UsableAsKeys) {
    std::unordered_set<TGuid> set;
    for (int i = 0; i < 100; ++i) {
        set.insert(NewGuid());
    }
    EXPECT_EQ(set.size(), 100u);
    TGuid a;
    TGuid b;
    ASSERT_TRUE(TextToGuid("{00000001-0000-0000-0000-000000000000}", a));
    ASSERT_TRUE(TextToGuid("{00000000-0000-0000-0000-000000000001}", b));
    EXPECT_LT(b, a);
    EXPECT_NE(std::hash<TGuid>()(a), std::hash<TGuid>()(b));
}

// ---- Code pages -----------------------------------------------------------------------------

TEST(CodePages, Utf8RoundTripAndSubstitution) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // a é € 😀
    std::u16string wide = Utf8ToWide(text);
    EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(WideToUtf8(wide), text);

    // Each maximal invalid stretch becomes one U+FFFD and the following character survives.
    EXPECT_EQ(Utf8ToWide("x\xFFy"), u"x\uFFFDy");
    EXPECT_EQ(Utf8ToWide("\xE2\x82z"), u"\uFFFDz");
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");           // overlong
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD"); // encoded surrogate
    EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToWide("\xE2\x82"), u"\uFFFD");
    EXPECT_EQ(WideToUtf8(std::u16string{u'a', 0xD800, u'b'}), "a\xEF\xBF\xBD"
                                                              "b");
    EXPECT_EQ(WideToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
    EXPECT_EQ(WideToUtf8(u""), "");
}

TEST(CodePages, NamedCodePages) {
    EXPECT_EQ(SystemAnsiCodePage(), 65001);
    const std::u16string wide = u"A\u00E9\u20AC\u4E2D";
    EXPECT_EQ(WideToCodePage(wide, 65001), WideToUtf8(wide));
    EXPECT_EQ(WideToCodePage(wide, SystemAnsiCodePage()), WideToUtf8(wide));
    EXPECT_EQ(WideToCodePage(wide, 1252), "A\xE9\x80?");
    EXPECT_EQ(WideToCodePage(wide, 28591), "A\xE9??");
    EXPECT_EQ(WideToCodePage(wide, 20127), "A???");
    EXPECT_EQ(CodePageToWide("A\xE9\x80\x81", 1252), u"A\u00E9\u20AC\u0081");
    EXPECT_EQ(CodePageToWide("\x80", 28591), u"\u0080");
    EXPECT_EQ(CodePageToWide("\x80", 20127), u"\uFFFD");
    EXPECT_EQ(CodePageToWide("\xC3\xA9", 65001), u"\u00E9");
    try {
        WideToCodePage(u"x", 437);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unsupported code page 437");
    }
    EXPECT_THROW(CodePageToWide("x", 50220), Exception);
}

// ---- Environment ----------------------------------------------------------------------------

TEST(Environment, SetGetAndLongValues) {
    std::string name = test::UniqueName("QZ_ENV");
    EXPECT_EQ(GetEnv(name), "");
    std::string longValue(5000, 'v');
    longValue += "=end";
    SetEnv(name, longValue);
    EXPECT_EQ(GetEnv(name), longValue);
    SetEnv(name, "");
    EXPECT_EQ(GetEnv(name), "");
    UnsetEnv(name);
    UnsetEnv(name);
    EXPECT_EQ(GetEnv(name), "");
    try {
        SetEnv("A=B", "x");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), EINVAL);
        EXPECT_EQ(e.Message(),
                  "Failed to set environment variable 'A=B' (Ansi): Invalid argument (22)");
    }
    EXPECT_THROW(SetEnv("", "x"), EOSError);
}

TEST(Environment, BlockTextMapAndList) {
    std::string name = test::UniqueName("QZ_BLOCK");
    SetEnv(name, "a=b \xC3\xA9");
    std::u16string block = EnvironmentBlockText();
    UnsetEnv(name);
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ(block.substr(block.size() - 2), std::u16string(2, u'\0'));
    std::map<std::string, std::string> map{{"stale", "x"}};
    EnvironmentBlockToMap(block, map);
    EXPECT_EQ(map.count("stale"), 0u);
    EXPECT_EQ(map[name], "a=b \xC3\xA9");

    std::u16string handMade = u"A=1";
    handMade += u'\0';
    handMade += u"NOVALUE";
    handMade += u'\0';
    handMade += u"A=2";
    handMade += u'\0';
    handMade += u'\0';
    handMade += u"AFTER=end";
    EnvironmentBlockToMap(handMade, map);
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"A", "2"}, {"NOVALUE", ""}}));
    std::vector<std::string> list{"kept"};
    EnvironmentBlockToList(handMade, list);
    EXPECT_EQ(list, (std::vector<std::string>{"kept", "A=1", "NOVALUE", "A=2"}));
}

// ---- Strings --------------------------------------------------------------------------------

TEST(Strings, SplitStartsEndsAndFind) {
    std::string before;
    std::string after;
    EXPECT_TRUE(SplitAtChar("name=va=lue", '=', before, after));
    EXPECT_EQ(before, "name");
    EXPECT_EQ(after, "va=lue");
    EXPECT_FALSE(SplitAtChar("plain", '=', before, after));
    EXPECT_EQ(before, "plain");
    EXPECT_EQ(after, "");

    EXPECT_TRUE(TextStartsAt("/LOG=x", 2, "LOG"));
    EXPECT_FALSE(TextStartsAt("/log=x", 2, "LOG"));
    EXPECT_TRUE(TextStartsAt("/log=x", 2, "LOG", false));
    EXPECT_FALSE(TextStartsAt("abc", 0, "a"));
    EXPECT_FALSE(TextStartsAt("abc", 3, "cd"));
    EXPECT_TRUE(TextStartsAt("abc", 4, ""));
    EXPECT_FALSE(TextStartsAt("abc", 5, ""));
    EXPECT_TRUE(TextEndsWith("file.XML", ".xml", false));
    EXPECT_FALSE(TextEndsWith("file.XML", ".xml"));
    EXPECT_FALSE(TextEndsWith("ml", ".xml", false));
    EXPECT_TRUE(SameTextAscii("AbC", "aBc"));
    EXPECT_FALSE(SameTextAscii("abc", "abcd"));
    EXPECT_FALSE(SameTextAscii("\xC3\xA9", "\xC3\x89")); // only ASCII letters fold

    EXPECT_EQ(FindText("lo", "HelLo hello"), 4u);
    EXPECT_EQ(FindText("lo", "HelLo hello", 5), 10u);
    EXPECT_EQ(FindText("xyz", "HelLo"), 0u);
    EXPECT_EQ(FindText("", "HelLo"), 0u);
    EXPECT_EQ(FindText("o", "HelLo", 6), 0u);
}

TEST(Strings, ReplaceQuoteAndFirstToken) {
    EXPECT_EQ(ReplaceAllText("aAa", "a", "aa", false), "aaaaaa");
    EXPECT_EQ(ReplaceAllText("aAa", "a", "b"), "bAb");
    EXPECT_EQ(ReplaceAllText("xx", "", "y"), "xx");
    EXPECT_EQ(Quote("a b"), "\"a b\"");
    EXPECT_EQ(QuoteIfNeeded("\"a b\""), "\"a b\"");
    EXPECT_EQ(QuoteIfNeeded("ab"), "\"ab\"");
    EXPECT_EQ(QuoteIfNeeded("\""), "\"\"\"");

    std::size_t consumed = 0;
    EXPECT_EQ(FirstToken("  \"/opt/my tool/run\" -x", &consumed), "/opt/my tool/run");
    EXPECT_EQ(consumed, 20u);
    EXPECT_EQ(FirstToken("run -x", &consumed), "run");
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(FirstToken("run", &consumed), "run");
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(FirstToken("  ", &consumed), "");
    EXPECT_EQ(consumed, 2u);
    try {
        FirstToken("\"unclosed name");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Closing quotation mark not found.");
    }
}

TEST(Strings, MatchesMask) {
    EXPECT_TRUE(MatchesMask("Build.LOG", "*.log"));
    EXPECT_TRUE(MatchesMask("a.b.c", "*.c"));
    EXPECT_TRUE(MatchesMask("abc", "a?c"));
    EXPECT_FALSE(MatchesMask("a.c", "a?c")); // "?" never stands for a dot
    EXPECT_TRUE(MatchesMask("", "*"));
    EXPECT_TRUE(MatchesMask("abc", "***"));
    EXPECT_FALSE(MatchesMask("abc", "ab"));
    EXPECT_FALSE(MatchesMask("ab", "abc"));
    EXPECT_TRUE(MatchesMask("mississippi", "m*iss*p?i"));
    EXPECT_FALSE(MatchesMask("mississippi", "m*iss*x*"));
    // Many stars against a long non-matching name stay quick.
    EXPECT_FALSE(MatchesMask(std::string(5000, 'a'), "*a*a*a*a*a*a*a*a*b"));
}

TEST(Strings, TryTextToIntForms) {
    std::int32_t value = 7;
    EXPECT_TRUE(TryTextToInt("  42", value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(TryTextToInt("-17", value));
    EXPECT_EQ(value, -17);
    EXPECT_TRUE(TryTextToInt("+0", value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(TryTextToInt("$1f", value));
    EXPECT_EQ(value, 31);
    EXPECT_TRUE(TryTextToInt("0X10", value));
    EXPECT_EQ(value, 16);
    EXPECT_TRUE(TryTextToInt("x10", value));
    EXPECT_EQ(value, 16);
    EXPECT_TRUE(TryTextToInt("-$10", value));
    EXPECT_EQ(value, -16);
    EXPECT_TRUE(TryTextToInt("$FFFFFFFF", value));
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(TryTextToInt("2147483647", value));
    EXPECT_EQ(value, 2147483647);
    EXPECT_TRUE(TryTextToInt("-2147483648", value));
    EXPECT_EQ(value, INT32_MIN);
    value = 7;
    for (const char* text : {"", " ", "-", "$", "0x", "12a", "42 ", "4 2", "2147483648",
                             "-2147483649", "$100000000", "0x-1", "1.5", "0b1"}) {
        EXPECT_FALSE(TryTextToInt(text, value)) << text;
    }
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(TryTextToInt("0", value)); // a lone zero is not a hexadecimal prefix
    EXPECT_EQ(value, 0);
}

TEST(Strings, HexToInt64AndBoolToText) {
    EXPECT_EQ(HexToInt64("ff"), 255);
    EXPECT_EQ(HexToInt64("7FFFFFFFFFFFFFFF"), INT64_MAX);
    EXPECT_EQ(HexToInt64("FFFFFFFFFFFFFFFF"), -1);
    for (const char* text : {"", "0x10", "12 ", "g", "10000000000000000"}) {
        try {
            HexToInt64(text);
            FAIL() << text;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), Format("Invalid hexadecimal string: \"%s\"", text));
        }
    }
    EXPECT_EQ(BoolToText(true), "true");
    EXPECT_EQ(BoolToText(false), "false");
}

// ---- Ticks and times ------------------------------------------------------------------------

TEST(Times, TickDifferencesSurviveTheWrap) {
    EXPECT_EQ(TickDifference(5, 0xFFFFFFFBu), 10);
    EXPECT_EQ(TickDifference(0xFFFFFFFBu, 5), -10);
    std::uint32_t start = GetTickCount();
    EXPECT_GE(TickDifference(GetTickCount(), start), 0);
}

TEST(Times, DateTimeEncodingAndText) {
    EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDateTime(1900, 1, 1, 12), 2.5);
    EXPECT_EQ(EncodeDateTime(2026, 12, 9), 46365.0);
    EXPECT_EQ(DateTimeToText(EncodeDateTime(2024, 2, 29, 23, 59, 58, 999)), "2024-02-29 23:59:58");
    int y, m, d, h, n, s, ms;
    DecodeDateTime(EncodeDateTime(2000, 3, 1, 1, 2, 3, 4), y, m, d, h, n, s, ms);
    EXPECT_EQ(std::vector<int>({y, m, d, h, n, s, ms}), std::vector<int>({2000, 3, 1, 1, 2, 3, 4}));
    std::string now = NowText();
    ASSERT_EQ(now.size(), 19u);
    EXPECT_EQ(now[4], '-');
    EXPECT_EQ(now[10], ' ');
    EXPECT_EQ(now[16], ':');
    EXPECT_GT(Now(), EncodeDateTime(2020, 1, 1));
}

// ---- System calls ---------------------------------------------------------------------------

TEST(SystemCalls, LibrariesAndModules) {
    TModuleHandle libc = LoadLibraryChecked("libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(GetProcChecked(libc, "strlen"), nullptr);
    EXPECT_NE(ModuleFileName(libc).find("libc.so"), std::string::npos);
    try {
        GetProcChecked(libc, "qz_no_such_symbol");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot get address of procedure 'qz_no_such_symbol': ", 0),
                  0u);
    }
    FreeLibraryChecked(libc);

    try {
        LoadLibraryChecked("/nonexistent/libMgrlink.so");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot load library '/nonexistent/libMgrlink.so': ", 0), 0u);
        EXPECT_NE(e.Message().find("No such file"), std::string::npos) << e.Message();
        EXPECT_NE(e.ErrorCode(), 0);
    }
    std::string self = ModuleFileName(nullptr);
    EXPECT_EQ(PathFileName(self), "qz_cm_tests");
    EXPECT_EQ(ModuleFileNameOrEmpty(nullptr), self);
}

TEST(SystemCalls, MachineFacts) {
    std::string name = ComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(ComputerName(), name);
    EXPECT_EQ(ComputerNameOrUnknown(), name);
    // The version is the running kernel's, as it names itself ("6.1.0-18-amd64").
    std::string release;
    std::ifstream("/proc/sys/kernel/osrelease") >> release;
    int expectedMajor = -1;
    int expectedMinor = -1;
    ASSERT_EQ(2, std::sscanf(release.c_str(), "%d.%d", &expectedMajor, &expectedMinor)) << release;
    auto [major, minor] = KernelVersion();
    EXPECT_EQ(expectedMajor, major);
    EXPECT_EQ(expectedMinor, minor);
}

} // namespace
} // namespace qz
