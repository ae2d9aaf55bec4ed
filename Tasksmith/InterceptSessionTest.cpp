#include "InterceptSession.h"

#include "TestSupport.h"
#include "platform/LocalSocket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace qz::tasksmith {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(InterceptSessionTest, TheFirstProgramOfACommandLine) {
    EXPECT_EQ(CommandProgramName("make -j16"), "make");
    EXPECT_EQ(CommandProgramName("  \t/usr/bin/ninja -C out"), "/usr/bin/ninja");
    EXPECT_EQ(CommandProgramName("CC=clang V=1 make all"), "make");
    EXPECT_EQ(CommandProgramName("exec ./build.sh"), "./build.sh");
    EXPECT_EQ(CommandProgramName("env -i make"), "");
    EXPECT_EQ(CommandProgramName("env A=1 B=2 ninja"), "ninja");
    EXPECT_EQ(CommandProgramName("make\nninja"), "make");
    // What a shell would expand or treat otherwise is not guessed at.
    for (const char* line :
         {"", "   ", "\"make\" -j2", "$MAKE", "(make)", "{ make; }", "if true; then make; fi",
          "for x in a; do make; done", "~/bin/make", "2>log make", "make;", "A=1", "!make", "*"}) {
        EXPECT_EQ(CommandProgramName(line), "") << line;
    }
    // Words a shell does not take for assignments are the program.
    EXPECT_EQ(CommandProgramName("1A=x make"), "1A=x");
    EXPECT_EQ(CommandProgramName("=x make"), "=x");
}

TEST(InterceptSessionTest, StaticAndSetIdBuildToolsAreNamedOnce) {
    test::TempDir dir;
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    // A dynamic program is entered; a static one is the black-box tests' (a real one).
    std::string elf = test::ReadFile("/bin/true").value_or("");
    ASSERT_GT(elf.size(), 64u);
    test::WriteFile(dir / "bin/dyntool", elf);
    ASSERT_EQ(chmod((dir / "bin/dyntool").c_str(), 0755), 0);
    const std::string path = dir / "bin:/usr/bin:/bin";

    EXPECT_THAT(UncatchableBuildToolLines("dyntool -j2", {"dyntool", "make"}, dir.path(), path),
                IsEmpty());
    EXPECT_THAT(UncatchableBuildToolLines("$MAKE", {"nowhere"}, dir.path(), path), IsEmpty());
    if (geteuid() != 0) {
        GTEST_SKIP() << "a set-user-id program of another user needs root";
    }
    test::WriteFile(dir / "bin/suid", elf);
    ASSERT_EQ(chown((dir / "bin/suid").c_str(), 65534, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod((dir / "bin/suid").c_str(), 04755), 0);
    auto lines = UncatchableBuildToolLines("suid -j2", {"suid", "make", "suid"}, dir.path(), path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr(dir / "bin/suid is a set-user-id or set-group-id program"));
    EXPECT_THAT(lines[0], HasSubstr("only those it starts by name through PATH are distributed"));
    // Named by a relative path from the build's folder.
    EXPECT_EQ(UncatchableBuildToolLines("bin/suid", {}, dir.path(), "/bin").size(), 1u);
}

TEST(InterceptSessionTest, TheMasqueradeFolderGoesBeforeThePathTheBuildWouldSearch) {
    EXPECT_EQ(InterceptedPath("/usr/bin:/bin", "/t/bin"), "/t/bin:/usr/bin:/bin");
    // Without PATH a shell searches its default folders: the build tool must still be found.
    EXPECT_EQ(InterceptedPath(std::nullopt, "/t/bin"), "/t/bin:/usr/local/bin:/usr/bin:/bin");
    // An empty PATH (and an empty entry) is the working folder: it stays one.
    EXPECT_EQ(InterceptedPath("", "/t/bin"), "/t/bin:");
    EXPECT_EQ(InterceptedPath("::/bin", "/t/bin"), "/t/bin:::/bin");
}

TEST(InterceptSessionTest, FoldersLeftByAKilledTasksmithAreRemovedByTheNextBuild) {
    test::TempDir dir;
    // A socket file that nobody listens on any more, as a killed broker leaves it.
    auto deadSocket = [](const std::string& folder, bool old) {
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((folder + "/bin").c_str(), 0700), 0);
        ASSERT_EQ(symlink("/bin/true", (folder + "/bin/cc").c_str()), 0);
        auto listener = platform::ListenLocalSocket(folder + "/broker.sock");
        ASSERT_TRUE(listener.has_value());
        platform::CloseHandle(*listener);
        if (old) {
            const timeval past[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
            ASSERT_EQ(utimes((folder + "/broker.sock").c_str(), past), 0);
        }
    };
    deadSocket(dir / "icept-AAAAAA", true);
    deadSocket(dir / "icept-BBBBBB", false); // young: its build may be about to listen
    ASSERT_EQ(mkdir((dir / "icept-CCCCCC").c_str(), 0700), 0); // no socket yet
    ASSERT_EQ(mkdir((dir / "other-DDDDDD").c_str(), 0700), 0);
    deadSocket(dir / "icept-EEEEEE", true);
    // A live broker's folder, however old its socket.
    ASSERT_EQ(mkdir((dir / "icept-FFFFFF").c_str(), 0700), 0);
    auto live = platform::ListenLocalSocket(dir / "icept-FFFFFF/broker.sock");
    ASSERT_TRUE(live.has_value());
    const timeval past[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes((dir / "icept-FFFFFF/broker.sock").c_str(), past), 0);
    ASSERT_EQ(mkdir((dir / "icept-OWNOWN").c_str(), 0700), 0);

    RemoveStaleInterceptFolders(dir / "icept-OWNOWN");
    EXPECT_FALSE(std::filesystem::exists(dir / "icept-AAAAAA"));
    EXPECT_FALSE(std::filesystem::exists(dir / "icept-EEEEEE"));
    for (const char* kept :
         {"icept-BBBBBB", "icept-CCCCCC", "other-DDDDDD", "icept-FFFFFF", "icept-OWNOWN"}) {
        EXPECT_TRUE(std::filesystem::exists(dir / kept)) << kept;
    }
    platform::CloseHandle(*live);
}

} // namespace
} // namespace qz::tasksmith
