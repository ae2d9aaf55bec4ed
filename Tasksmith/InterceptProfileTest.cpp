#include "InterceptProfile.h"

#include "CM/Exceptions.h"
#include "CmTestSupport.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qz::tasksmith {
namespace {

using ::testing::HasSubstr;

constexpr const char* kCompilers = R"(<?xml version="1.0"?>
<InterceptProfile version="1">
  <!-- compilers -->
  <Tool program="gcc" remote="true" waitLimit="30">
    <Count arg="-c"/>
    <Local arg="-E"/>
    <Local arg="--version"/>
  </Tool>
  <Tool program="/opt/tools/bin/gen_*"/>
  <Tool program="g++-*" remote="true"><Count arg="-c"/></Tool>
</InterceptProfile>
)";

std::string ErrorOf(const std::string& text) {
    return test::MessageOf([&] { ParseInterceptProfile(text, "p.xml"); });
}

TEST(InterceptProfileTest, ReadsToolsPatternsAndLimits) {
    InterceptProfile profile = ParseInterceptProfile(kCompilers, "p.xml");
    ASSERT_EQ(profile.tools.size(), 3u);
    EXPECT_EQ(profile.tools[0].program, "gcc");
    EXPECT_TRUE(profile.tools[0].remote);
    EXPECT_EQ(profile.tools[0].waitSeconds, 30);
    EXPECT_EQ(profile.tools[0].counted, std::vector<std::string>{"-c"});
    EXPECT_EQ(profile.tools[0].local, (std::vector<std::string>{"-E", "--version"}));
    EXPECT_EQ(profile.tools[0].line, 4);
    EXPECT_FALSE(profile.tools[1].remote);
    EXPECT_EQ(profile.tools[1].waitSeconds, 600);
    EXPECT_EQ(ToolListText(profile), "gcc:/opt/tools/bin/gen_*:g++-*");
    EXPECT_EQ(MasqueradeNames(profile), std::vector<std::string>{"gcc"});
}

TEST(InterceptProfileTest, DecidesByNameByPathAndByArguments) {
    InterceptProfile profile = ParseInterceptProfile(kCompilers, "p.xml");
    ToolDecision compile = DecideRun(profile, "/usr/bin/gcc", {"gcc", "-c", "a.c", "-o", "a.o"});
    EXPECT_EQ(compile.tool, 0);
    EXPECT_TRUE(compile.counted);
    EXPECT_TRUE(compile.remote);
    ToolDecision link = DecideRun(profile, "/usr/bin/gcc", {"gcc", "a.o", "-o", "a"});
    EXPECT_EQ(link.tool, 0);
    EXPECT_FALSE(link.counted);
    EXPECT_FALSE(link.remote);
    EXPECT_FALSE(DecideRun(profile, "/usr/bin/gcc", {"gcc", "-c", "-E", "a.c"}).counted);
    EXPECT_FALSE(DecideRun(profile, "/usr/bin/gcc", {"gcc", "--version"}).counted);
    // argv[0] is not an argument: a tool named "-c" by its caller is still a link.
    EXPECT_FALSE(DecideRun(profile, "/usr/bin/gcc", {"-c", "a.o"}).counted);

    ToolDecision generator = DecideRun(profile, "/opt/tools/bin/gen_tables", {"gen_tables"});
    EXPECT_EQ(generator.tool, 1);
    EXPECT_TRUE(generator.counted);
    EXPECT_FALSE(generator.remote);
    // Matched by path: the same name elsewhere is another program.
    EXPECT_EQ(DecideRun(profile, "/usr/bin/gen_tables", {"gen_tables"}).tool, -1);
    EXPECT_EQ(DecideRun(profile, "/usr/bin/g++-12", {"g++-12", "-c", "x.cc"}).tool, 2);
    EXPECT_EQ(DecideRun(profile, "/usr/bin/ld", {"ld"}).tool, -1);
    // A pattern with a "/" sees the whole path; "*" crosses folders.
    EXPECT_EQ(DecideRun(profile, "/opt/tools/bin/gen_sub/x", {"x"}).tool, 1);
}

TEST(InterceptProfileTest, AllowRemoteDecidesRemotenessAndAddsCustomTools) {
    InterceptProfile profile = ParseInterceptProfile(kCompilers, "p.xml");
    ApplyAllowRemote(profile, {"/opt/tools/bin/gen_*", "mytool"});
    EXPECT_FALSE(profile.tools[0].remote) << "gcc is not named any more";
    EXPECT_TRUE(profile.tools[1].remote);
    ASSERT_EQ(profile.tools.size(), 4u);
    EXPECT_EQ(profile.tools[3].program, "mytool");
    ToolDecision custom = DecideRun(profile, "/home/u/bin/mytool", {"mytool", "x"});
    EXPECT_TRUE(custom.counted);
    EXPECT_TRUE(custom.remote);
    EXPECT_EQ(MasqueradeNames(profile), (std::vector<std::string>{"gcc", "mytool"}));

    InterceptProfile unchanged = ParseInterceptProfile(kCompilers, "p.xml");
    ApplyAllowRemote(unchanged, {});
    EXPECT_TRUE(unchanged.tools[0].remote);

    EXPECT_THAT(test::MessageOf([&] { ApplyAllowRemote(unchanged, {"a:b"}); }),
                HasSubstr("The /ALLOWREMOTE name \"a:b\""));
    EXPECT_THAT(test::MessageOf([&] { ApplyAllowRemote(unchanged, {""}); }), HasSubstr("empty"));
}

TEST(InterceptProfileTest, HostileDocumentsGiveOneClearErrorWithTheLine) {
    EXPECT_THAT(ErrorOf(""), HasSubstr("Interception profile p.xml"));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\">\n<Tool program=\"gcc\">\n"),
                HasSubstr("damaged XML"));
    EXPECT_THAT(ErrorOf("<Profile version=\"1\"/>"), HasSubstr("root element"));
    EXPECT_THAT(ErrorOf("<InterceptProfile/>"), HasSubstr("version \"\" is not supported"));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"2\"/>"), HasSubstr("version \"2\""));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\">\n\n<Tool/></InterceptProfile>"),
                HasSubstr("p.xml, line 3: <Tool> needs the attribute \"program\""));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"\"/></InterceptProfile>"),
                HasSubstr("is empty"));
    EXPECT_THAT(
        ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"a:b\"/></InterceptProfile>"),
        HasSubstr("cannot hold \":\""));
    EXPECT_THAT(
        ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"a&#9;b\"/></InterceptProfile>"),
        HasSubstr("control character"));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"a\" remote=\"maybe\"/>"
                        "</InterceptProfile>"),
                HasSubstr("true or false"));
    for (const char* limit : {"0", "-1", "x", "9999999999", "1.5", ""}) {
        EXPECT_THAT(ErrorOf(std::string("<InterceptProfile version=\"1\"><Tool program=\"a\" "
                                        "waitLimit=\"") +
                            limit + "\"/></InterceptProfile>"),
                    HasSubstr("waitLimit"))
            << limit;
    }
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"a\" colour=\"red\"/>"
                        "</InterceptProfile>"),
                HasSubstr("unknown attribute \"colour\""));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"a\"><Count/></Tool>"
                        "</InterceptProfile>"),
                HasSubstr("<Count> needs the attribute \"arg\""));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\"><Tool program=\"a\"><Skip arg=\"x\"/>"
                        "</Tool></InterceptProfile>"),
                HasSubstr("unknown element <Skip>"));
    EXPECT_THAT(ErrorOf("<InterceptProfile version=\"1\">text</InterceptProfile>"),
                HasSubstr("unexpected content"));
    // Entities are not expanded and a document type is refused: no billion laughs, no files.
    EXPECT_THAT(ErrorOf("<?xml version=\"1.0\"?>\n<!DOCTYPE InterceptProfile [\n"
                        "<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;\">]>\n"
                        "<InterceptProfile version=\"1\"><Tool program=\"&b;\"/>"
                        "</InterceptProfile>"),
                HasSubstr("document type"));
    EXPECT_THAT(ErrorOf("<?xml version=\"1.0\"?>\n<!DOCTYPE x SYSTEM \"/etc/passwd\">\n"
                        "<InterceptProfile version=\"1\"/>"),
                HasSubstr("p.xml"));
    std::string nul("<InterceptProfile version=\"1\"><Tool program=\"a\0b\"/></InterceptProfile>",
                    60);
    EXPECT_THAT(ErrorOf(nul), HasSubstr("p.xml"));
    EXPECT_THAT(ErrorOf(std::string("\xff\xfe<x/>")), HasSubstr("p.xml"));
    std::string many = "<InterceptProfile version=\"1\">";
    for (int i = 0; i < 5000; ++i) {
        many += "<Tool program=\"t" + std::to_string(i) + "\"/>";
    }
    EXPECT_THAT(ErrorOf(many + "</InterceptProfile>"), HasSubstr("more than 4096 tools"));
}

TEST(InterceptProfileTest, FilesThatCannotBeReadAreNamed) {
    test::TempDir dir;
    EXPECT_THAT(test::MessageOf([&] { LoadInterceptProfile(dir / "missing.xml"); }),
                HasSubstr("Interception profile " + (dir / "missing.xml") + ": cannot be read"));
    EXPECT_THAT(test::MessageOf([&] { LoadInterceptProfile(dir.path()); }),
                HasSubstr("cannot be read"));
    test::WriteFile(dir / "p.xml", kCompilers);
    EXPECT_EQ(LoadInterceptProfile(dir / "p.xml").tools.size(), 3u);
}

TEST(InterceptProfileTest, TheShippedDefaultProfileReadsAndCatchesCompiles) {
    InterceptProfile profile =
        LoadInterceptProfile(QZ_SOURCE_DIR "/resources/intercept-profile.xml");
    for (const char* compiler :
         {"/usr/bin/cc", "/usr/bin/gcc", "/usr/bin/g++", "/usr/bin/c++", "/usr/bin/clang",
          "/usr/bin/gcc-12", "/usr/bin/x86_64-linux-gnu-g++-12", "/usr/lib/llvm/clang++-14"}) {
        ToolDecision compile = DecideRun(profile, compiler, {"x", "-O2", "-c", "a.c"});
        EXPECT_TRUE(compile.counted) << compiler;
        EXPECT_TRUE(compile.remote) << compiler;
        EXPECT_FALSE(DecideRun(profile, compiler, {"x", "--version"}).counted) << compiler;
        EXPECT_FALSE(DecideRun(profile, compiler, {"x", "-E", "-c", "a.c"}).counted) << compiler;
        EXPECT_FALSE(DecideRun(profile, compiler, {"x", "a.o", "-o", "app"}).counted) << compiler;
    }
    EXPECT_EQ(DecideRun(profile, "/usr/bin/ld", {"ld", "-c"}).tool, -1);
    EXPECT_EQ(DecideRun(profile, "/usr/bin/make", {"make"}).tool, -1);
}

} // namespace
} // namespace qz::tasksmith
