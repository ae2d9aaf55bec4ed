#include "platform/ProgramFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <link.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace qz::platform {
namespace {

namespace fs = std::filesystem;

TEST(ProgramFile, FilesAreCheckedForExecutionAndSameness) {
    test::TempDir dir;
    test::WriteFile(dir / "plain", "x");
    EXPECT_FALSE(IsExecutableFile(dir / "plain"));
    EXPECT_FALSE(IsExecutableFile(dir.path()));
    EXPECT_FALSE(IsExecutableFile(""));
    EXPECT_TRUE(IsExecutableFile("/bin/sh"));
    ASSERT_EQ(symlink((dir / "plain").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(IsSameFile(dir / "link", dir / "plain"));
    EXPECT_FALSE(IsSameFile(dir / "link", "/bin/sh"));
    EXPECT_FALSE(IsSameFile(dir / "none", dir / "none"));
}

void MakeProgram(const std::string& path, fs::perms perms = fs::perms::owner_all) {
    fs::create_directories(fs::path(path).parent_path());
    test::WriteFile(path, "#!/bin/sh\nexit 0\n");
    fs::permissions(path, perms);
}

TEST(FindProgramInPath, TakesTheFirstRunnableFileOfTheGivenPath) {
    test::TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    fs::create_directories(dir / "c/tool"); // a folder of the name is no program
    MakeProgram(dir / "a/tool", fs::perms::owner_read | fs::perms::owner_write); // not runnable
    MakeProgram(dir / "b/tool");
    std::string path = dir / "c" + ":" + dir / "a" + ":" + dir / "b";
    EXPECT_EQ(FindProgramInPath("tool", path), dir / "b/tool");
    EXPECT_EQ(FindProgramInPath("tool", dir / "a"), "");
    EXPECT_EQ(FindProgramInPath("missing", path), "");
    EXPECT_EQ(FindProgramInPath("", path), "");
    EXPECT_EQ(FindProgramInPath("", ""), "");
}

TEST(FindProgramInPath, AnEmptyEntryIsTheCurrentFolder) {
    test::TempDir dir;
    MakeProgram(dir / "here");
    std::string old = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent::/also-not"), "./here");
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent:"), "./here");
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent"), "");
    fs::current_path(old);
    // Relative entries count from the folder the program runs in.
    EXPECT_EQ(FindProgramInPath("here", "/nonexistent:.", {.startFolder = dir.path()}),
              dir / "./here");
    EXPECT_EQ(FindProgramInPath("here", "", {.startFolder = dir.path()}), dir / "./here");
}

TEST(FindProgramInPath, ANameWithASlashIsThatFileAndIsNotLookedUp) {
    test::TempDir dir;
    MakeProgram(dir / "x/tool");
    MakeProgram(dir / "bin/tool");
    MakeProgram(dir / "x/plain", fs::perms::owner_read);
    const std::string path = dir / "bin";
    const ProgramSearch fromDir{.startFolder = dir.path()};
    EXPECT_EQ(FindProgramInPath("x/tool", path, fromDir), dir / "x/tool");
    EXPECT_EQ(FindProgramInPath("./x/tool", path, fromDir), dir / "./x/tool");
    EXPECT_EQ(FindProgramInPath(dir / "x/tool", path, fromDir), dir / "x/tool");
    EXPECT_EQ(FindProgramInPath(dir / "x/tool", path), dir / "x/tool");
    // Missing or not runnable: nothing, and no search of PATH for the last part.
    EXPECT_EQ(FindProgramInPath("a/tool", path, fromDir), "");
    EXPECT_EQ(FindProgramInPath("x/plain", path, fromDir), "");
    EXPECT_EQ(FindProgramInPath("x/", path, fromDir), "");
}

TEST(FindProgramInPath, SkipsTheGivenFolderAndTheGivenFile) {
    test::TempDir dir;
    ASSERT_EQ(mkdir((dir / "masq").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "other").c_str(), 0755), 0);
    MakeProgram(dir / "bin/tool");
    MakeProgram(dir / "relay");
    ASSERT_EQ(symlink((dir / "relay").c_str(), (dir / "masq/tool").c_str()), 0);
    ASSERT_EQ(symlink((dir / "relay").c_str(), (dir / "other/tool").c_str()), 0);
    test::WriteFile(dir / "other/plain", "not executable");
    std::string path = dir / "masq" + ":" + dir / "other" + ":" + dir / "bin";

    EXPECT_EQ(FindProgramInPath("tool", path), dir / "masq/tool");
    EXPECT_EQ(
        FindProgramInPath("tool", path, {.skipFolder = dir / "masq", .skipFile = dir / "relay"}),
        dir / "bin/tool");
    EXPECT_EQ(FindProgramInPath("tool", path, {.skipFolder = dir / "masq/"}), dir / "other/tool");
    EXPECT_EQ(
        FindProgramInPath("tool", dir / "masq//:" + dir / "bin", {.skipFolder = dir / "masq"}),
        dir / "bin/tool");
    EXPECT_EQ(FindProgramInPath("plain", path), "");
    EXPECT_EQ(FindProgramInPath("", path), "");
    EXPECT_EQ(FindProgramInPath("bin", dir.path()), ""); // a folder is no program
    // Only the folder as written is skipped, not the empty entry.
    std::string old = fs::current_path();
    fs::current_path((dir / "masq").c_str());
    EXPECT_EQ(FindProgramInPath("tool", ":" + dir / "bin", {.skipFolder = "."}), "./tool");
    fs::current_path(old);
}

TEST(FindProgramInPath, HostileNamesAndPathValuesAreHarmless) {
    test::TempDir dir;
    MakeProgram(dir / "tool");
    // A NUL byte would cut the path the system sees: "<dir>/tool\0x" is no name of "<dir>/tool".
    using namespace std::string_literals;
    EXPECT_EQ(FindProgramInPath("tool\0x"s, dir.path()), "");
    EXPECT_EQ(FindProgramInPath("x"s, dir / "tool\0"s), "");
    EXPECT_EQ(FindProgramInPath((dir / "tool") + "\0/x"s, ""), "");
    EXPECT_EQ(FindProgramInPath("tool", "\0:"s + dir.path()), dir / "tool");
    // Only separators, a very long value, names of the special folders.
    EXPECT_EQ(FindProgramInPath("tool", "::::::"), "");
    std::string longPath;
    for (int i = 0; i < 10000; ++i) {
        longPath += "/nonexistent/" + std::to_string(i) + ":";
    }
    EXPECT_EQ(FindProgramInPath("tool", longPath + dir.path()), dir / "tool");
    EXPECT_EQ(FindProgramInPath(std::string(5000, 'n'), dir.path()), "");
    EXPECT_EQ(FindProgramInPath(".", dir.path()), "");
    EXPECT_EQ(FindProgramInPath("..", dir.path()), "");
}

/// An ELF file of our kind with the given program header types, as bytes.
std::string ElfWith(std::initializer_list<ElfW(Word)> types) {
    ElfW(Ehdr) header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
    header.e_ident[EI_DATA] = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_version = EV_CURRENT;
    header.e_phoff = sizeof(header);
    header.e_ehsize = sizeof(header);
    header.e_phentsize = sizeof(ElfW(Phdr));
    header.e_phnum = static_cast<ElfW(Half)>(types.size());
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
    for (ElfW(Word) type : types) {
        ElfW(Phdr) entry{};
        entry.p_type = type;
        bytes.append(reinterpret_cast<const char*>(&entry), sizeof(entry));
    }
    return bytes;
}

ProgramLoading LoadingOf(const std::string& path) {
    auto loading = ProgramLoadingOf(path);
    EXPECT_TRUE(loading) << path << ": " << loading.error().Text();
    return loading.value_or(ProgramLoading::Unknown);
}

TEST(ProgramFile, TheInterpreterEntryTellsDynamicFromStatic) {
    test::TempDir dir;
    EXPECT_EQ(LoadingOf("/bin/sh"), ProgramLoading::Dynamic);
    test::WriteFile(dir / "dynamic", ElfWith({PT_PHDR, PT_INTERP, PT_LOAD}));
    EXPECT_EQ(LoadingOf(dir / "dynamic"), ProgramLoading::Dynamic);
    // A static executable, also one loaded at any address (ET_DYN without an interpreter).
    test::WriteFile(dir / "static", ElfWith({PT_LOAD, PT_NOTE, PT_GNU_STACK}));
    EXPECT_EQ(LoadingOf(dir / "static"), ProgramLoading::Static);
    std::string pie = ElfWith({PT_LOAD, PT_DYNAMIC});
    reinterpret_cast<ElfW(Ehdr)*>(pie.data())->e_type = ET_DYN;
    test::WriteFile(dir / "static-pie", pie);
    EXPECT_EQ(LoadingOf(dir / "static-pie"), ProgramLoading::Static);
}

TEST(ProgramFile, ScriptsAnswerForTheirInterpreter) {
    test::TempDir dir;
    test::WriteFile(dir / "static", ElfWith({PT_LOAD}));
    test::WriteFile(dir / "by-sh", "#!/bin/sh\necho\n");
    test::WriteFile(dir / "by-static", "#! " + dir / "static" + " -x\n");
    test::WriteFile(dir / "no-newline", "#!/bin/sh");
    test::WriteFile(dir / "by-script", "#!" + dir / "by-static" + "\n");
    EXPECT_EQ(LoadingOf(dir / "by-sh"), ProgramLoading::Dynamic);
    EXPECT_EQ(LoadingOf(dir / "by-static"), ProgramLoading::Static);
    EXPECT_EQ(LoadingOf(dir / "no-newline"), ProgramLoading::Dynamic);
    EXPECT_EQ(LoadingOf(dir / "by-script"), ProgramLoading::Static);
    // Interpreters that are none, missing, relative, too long or each other's.
    test::WriteFile(dir / "empty-line", "#!\n");
    test::WriteFile(dir / "missing", "#!/nonexistent/interpreter\n");
    test::WriteFile(dir / "relative", "#!sh\n");
    test::WriteFile(dir / "long", "#!/" + std::string(400, 'a') + "\n");
    test::WriteFile(dir / "loop-a", "#!" + dir / "loop-b" + "\n");
    test::WriteFile(dir / "loop-b", "#!" + dir / "loop-a" + "\n");
    for (const char* name : {"empty-line", "missing", "relative", "long", "loop-a"}) {
        EXPECT_EQ(LoadingOf(dir / name), ProgramLoading::Unknown) << name;
    }
}

TEST(ProgramFile, DamagedOrForeignFilesAreUnknownNeverAFault) {
    test::TempDir dir;
    const std::string good = ElfWith({PT_INTERP});
    std::vector<std::pair<std::string, std::string>> files = {
        {"empty", ""},
        {"text", "hello, this is no program\n"},
        {"short-header", good.substr(0, 20)},
        {"cut-table", good.substr(0, good.size() - 4)},
    };
    auto changed = [&](auto change) {
        std::string bytes = good;
        change(*reinterpret_cast<ElfW(Ehdr)*>(bytes.data()));
        return bytes;
    };
    files.emplace_back("other-class", changed([](ElfW(Ehdr) & h) {
                           h.e_ident[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS32 : ELFCLASS64;
                       }));
    files.emplace_back("other-order", changed([](ElfW(Ehdr) & h) {
                           h.e_ident[EI_DATA] =
                               h.e_ident[EI_DATA] == ELFDATA2LSB ? ELFDATA2MSB : ELFDATA2LSB;
                       }));
    files.emplace_back("object", changed([](ElfW(Ehdr) & h) { h.e_type = ET_REL; }));
    files.emplace_back("table-far-away", changed([](ElfW(Ehdr) & h) { h.e_phoff = ~0ULL >> 2; }));
    files.emplace_back("huge-count", changed([](ElfW(Ehdr) & h) { h.e_phnum = 0xffff; }));
    files.emplace_back("no-table", changed([](ElfW(Ehdr) & h) { h.e_phnum = 0; }));
    files.emplace_back("odd-entry-size", changed([](ElfW(Ehdr) & h) { h.e_phentsize = 7; }));
    for (const auto& [name, bytes] : files) {
        test::WriteFile(dir / name, bytes);
        EXPECT_EQ(LoadingOf(dir / name), ProgramLoading::Unknown) << name;
    }
    EXPECT_EQ(LoadingOf(dir.path()), ProgramLoading::Unknown);
    auto missing = ProgramLoadingOf(dir / "missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
}

TEST(ProgramFile, SetIdCountsWhereItChangesOurIds) {
    test::TempDir dir;
    const std::string copy = dir / "true";
    test::WriteFile(copy, test::ReadFile("/bin/true").value_or(""));
    ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
    // Our own set-user-id program changes nothing: the loader stays in its normal mode.
    EXPECT_EQ(LoadingOf(copy), ProgramLoading::Dynamic);
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving the file to another user needs root";
    }
    ASSERT_EQ(chown(copy.c_str(), 65534, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(copy.c_str(), 04755), 0); // chown cleared the bit
    struct statvfs volume {};
    ASSERT_EQ(statvfs(dir.path().c_str(), &volume), 0);
    const bool honoured = (volume.f_flag & ST_NOSUID) == 0;
    EXPECT_EQ(LoadingOf(copy), honoured ? ProgramLoading::SetId : ProgramLoading::Dynamic);
    // Set-group-id likewise; without the group's execute bit the bit means something else.
    ASSERT_EQ(chown(copy.c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(copy.c_str(), 02755), 0);
    EXPECT_EQ(LoadingOf(copy), honoured ? ProgramLoading::SetId : ProgramLoading::Dynamic);
    ASSERT_EQ(chmod(copy.c_str(), 02745), 0);
    EXPECT_EQ(LoadingOf(copy), ProgramLoading::Dynamic);
    // A script's set-id bits mean nothing to the system.
    test::WriteFile(dir / "script", "#!/bin/sh\n");
    ASSERT_EQ(chown((dir / "script").c_str(), 65534, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod((dir / "script").c_str(), 04755), 0);
    EXPECT_EQ(LoadingOf(dir / "script"), ProgramLoading::Dynamic);
}

} // namespace
} // namespace qz::platform
