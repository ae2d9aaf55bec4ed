// Intercepted builds as a user runs them: `qzConsole /COMMAND="make -j8"` (and ninja) with the
// real agent, Tasksmith, the preload library and qzrelay. The compiles of a generated project
// run in the broker's slots and are recorded as steps; the results are the bytes a plain build
// makes.

#include "RealBuildFixture.h"
#include "timeline/BuildTimeline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/time.h>

namespace qz {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::MarkedProcesses;
using test::Names;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kCompiles = 40;

// A project of kCompiles sources: f1.c .. f39.c compiled through $(CC) (found in PATH) and gen.c
// through the compiler's absolute path, and a link of them all.
void WriteProject(const std::string& folder, bool broken = false) {
    fs::create_directories(folder);
    std::string calls;
    std::string objects;
    std::string ninja = "rule cc\n  command = gcc -O1 -c $in -o $out\n"
                        "rule abs\n  command = /usr/bin/gcc -O1 -c $in -o $out\n"
                        "rule link\n  command = gcc -o $out $in\n";
    for (int i = 1; i < kCompiles; ++i) {
        const std::string name = "f" + std::to_string(i);
        test::WriteFile(folder + "/" + name + ".c",
                        "int " + name +
                            "(int x) { int s = 0; for (int k = 0; k < x; ++k) s += k * " +
                            std::to_string(i) + "; return s; }\n");
        calls += "    total += " + name + "(" + std::to_string(i) + ");\n";
        objects += " " + name + ".o";
        ninja += "build " + name + ".o: cc " + name + ".c\n";
    }
    std::string declarations;
    for (int i = 1; i < kCompiles; ++i) {
        declarations += "int f" + std::to_string(i) + "(int);\n";
    }
    test::WriteFile(folder + "/gen.c", declarations +
                                           "#include <stdio.h>\nint main(void) {\n    long total "
                                           "= 0;\n" +
                                           calls +
                                           "    printf(\"%ld\\n\", total);\n    return 0;\n}\n" +
                                           (broken ? "this is not C;\n" : ""));
    ninja += "build gen.o: abs gen.c\nbuild app: link gen.o" + objects + "\n";
    test::WriteFile(folder + "/Makefile", "CC = gcc\nOBJS = gen.o" + objects +
                                              "\napp: $(OBJS)\n\t$(CC) -o app $(OBJS)\n"
                                              "gen.o: gen.c\n\t/usr/bin/gcc -O1 -c gen.c -o "
                                              "gen.o\n%.o: %.c\n\t$(CC) -O1 -c $< -o $@\n");
    test::WriteFile(folder + "/build.ninja", ninja);
}

std::vector<std::string> Products() {
    std::vector<std::string> names = {"app", "gen.o"};
    for (int i = 1; i < kCompiles; ++i) {
        names.push_back("f" + std::to_string(i) + ".o");
    }
    return names;
}

class InterceptBuildTest : public test::RealBuildFixture {
protected:
    void SetUp() override {
        RealBuildFixture::SetUp();
        fs::create_symlink(QZ_RELAY_PATH, dir_ / "agent/qzrelay");
        fs::create_symlink(QZ_INTERCEPT_LIBRARY, dir_ / "agent/libqzintercept.so");
        fs::create_directories(dir_ / "agent/resources");
        fs::copy_file(QZ_SOURCE_DIR "/resources/intercept-profile.xml",
                      dir_ / "agent/resources/intercept-profile.xml");
        fs::create_directories(dir_ / "agent/Temp");
    }

    // The plain build and the console's build of the same project give the same bytes.
    void ExpectSameProducts(const std::string& plain, const std::string& console) {
        for (const std::string& name : Products()) {
            std::optional<std::string> expected = test::ReadFile(plain + "/" + name);
            ASSERT_TRUE(expected.has_value()) << "the plain build made no " << name;
            std::optional<std::string> got = test::ReadFile(console + "/" + name);
            ASSERT_TRUE(got.has_value()) << "the console's build made no " << name;
            EXPECT_TRUE(*got == *expected) << name << " differs";
        }
    }

    // A make build of count "sleep 60" recipes (s0 ..) through a console in the background, with
    // sleep and true (recipes t1 ..) as the profile's tools and two slots; returns the console's
    // pid once two sleeps run in the slots and the relays of the others wait for one.
    int StartSleepingBuild(const std::string& name, int count, std::vector<std::string> more = {}) {
        test::WriteFile(dir_ / "work/tools.xml",
                        "<InterceptProfile version=\"1\"><Tool program=\"sleep\"/>"
                        "<Tool program=\"true\"/></InterceptProfile>");
        std::string makefile = "all:";
        for (int i = 0; i < count; ++i) {
            makefile += " s" + std::to_string(i);
        }
        makefile += "\ns%:\n\tsleep 60\nt%:\n\ttrue\n";
        test::WriteFile(dir_ / "work/Makefile", makefile);
        std::vector<std::string> args = {"/COMMAND=make -j" + std::to_string(count),
                                         "/PROFILE=tools.xml", "/MAXCPUS=2"};
        args.insert(args.end(), more.begin(), more.end());
        int console = Start(name, args);
        EXPECT_TRUE(test::WaitUntil(
            [&] {
                int sleeping = 0;
                int relays = 0;
                for (const auto& [pid, comm] : MarkedProcesses(mark_)) {
                    sleeping += comm == "sleep";
                    relays += comm == "qzrelay";
                }
                // The two in the slots run without a relay when make started them itself.
                return sleeping == 2 && relays >= count - 2;
            },
            30s))
            << Names(MarkedProcesses(mark_));
        return console;
    }

    // The compiles recorded as steps of the build's monitor data.
    std::vector<timeline::Task> CompileSteps(const std::string& monitor) {
        timeline::BuildTimeline build = timeline::ReadBuildTimeline(monitor);
        std::vector<timeline::Task> steps;
        for (const timeline::Task& task : build.tasks) {
            if (task.source.starts_with("tool-")) {
                steps.push_back(task);
            }
        }
        return steps;
    }
};

TEST_F(InterceptBuildTest, MakeBuildRunsEveryCompileInASlotWithThePlainBuildsBytes) {
    StartAgent(1);
    WriteProject(dir_ / "plain");
    WriteProject(dir_ / "work/proj");
    test::RunOptions plain = options_;
    plain.cwd = dir_ / "plain";
    test::RunResult made = test::RunProgram({"/usr/bin/make", "-j8"}, plain);
    ASSERT_EQ(made.exitCode, 0) << made.err;

    test::RunResult r = Run({"/COMMAND=make -j8 -C proj", "/MON=build.nv_mon"}, 300s);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "") << "nothing of the interception's own reaches the output";
    ExpectSameProducts(dir_ / "plain", dir_ / "work/proj");

    std::vector<timeline::Task> steps = CompileSteps(dir_ / "work/build.nv_mon");
    EXPECT_EQ(steps.size(), static_cast<std::size_t>(kCompiles));
    bool absolute = false;
    for (const timeline::Task& step : steps) {
        EXPECT_TRUE(step.ended);
        EXPECT_EQ(step.exitCode, 0);
        EXPECT_THAT(step.cmdLine, HasSubstr(" -c "));
        EXPECT_FALSE(step.remote);
        absolute = absolute || step.name == "gcc gen.o";
    }
    EXPECT_TRUE(absolute) << "the compile named by its absolute path was not caught";
}

TEST_F(InterceptBuildTest, NinjaBuildIsCaughtTheSameWay) {
    StartAgent(1);
    WriteProject(dir_ / "plain");
    WriteProject(dir_ / "work/proj");
    test::RunOptions plain = options_;
    plain.cwd = dir_ / "plain";
    test::RunResult made = test::RunProgram({"/usr/bin/ninja", "-j8"}, plain);
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;

    test::RunResult r = Run({"/COMMAND=ninja -j8 -C proj", "/MON=build.nv_mon"}, 300s);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ExpectSameProducts(dir_ / "plain", dir_ / "work/proj");
    // The shell ninja starts for each command hands its compile's run off to ninja, whose wait
    // reports the end.
    std::vector<timeline::Task> steps = CompileSteps(dir_ / "work/build.nv_mon");
    EXPECT_EQ(steps.size(), static_cast<std::size_t>(kCompiles));
    for (const timeline::Task& step : steps) {
        EXPECT_TRUE(step.ended);
        EXPECT_EQ(step.exitCode, 0);
    }
}

TEST_F(InterceptBuildTest, AFailingCompileShowsTheCompilersMessageAndStopsMake) {
    StartAgent(1);
    WriteProject(dir_ / "work/proj", true);
    test::RunResult r = Run({"/COMMAND=make -C proj", "/MON=build.nv_mon"}, 300s);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("gen.c:"));
    EXPECT_THAT(r.err, HasSubstr("error"));
    EXPECT_THAT(r.err, HasSubstr("make: *** [Makefile:"));
    // make stops at the first failure: gen.o comes first, nothing after it is compiled.
    EXPECT_FALSE(fs::exists(dir_ / "work/proj/f1.o"));
    std::vector<timeline::Task> steps = CompileSteps(dir_ / "work/build.nv_mon");
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].exitCode, 1);

    // ninja, whose shells hand their compiles off: the same message, the same failed step.
    WriteProject(dir_ / "work/ninja", true);
    r = Run({"/COMMAND=ninja -j1 -C ninja", "/MON=ninja.nv_mon"}, 300s);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_THAT(r.out + r.err, HasSubstr("gen.c:"));
    EXPECT_THAT(r.out + r.err, HasSubstr("FAILED: "));
    // ninja's order is its own: the failing compile ends the build wherever it comes.
    int failed = 0;
    for (const timeline::Task& step : CompileSteps(dir_ / "work/ninja.nv_mon")) {
        EXPECT_TRUE(step.ended);
        failed += step.exitCode == 1;
        EXPECT_TRUE(step.exitCode == 0 || step.name == "gcc gen.o") << step.name;
    }
    EXPECT_EQ(failed, 1);
}

TEST_F(InterceptBuildTest, ABadProfileStopsTheBuildBeforeItStartsAndNamesTheLine) {
    StartAgent(1);
    test::WriteFile(
        dir_ / "work/bad.xml",
        "<InterceptProfile version=\"1\">\n<Tool program=\"\"/>\n</InterceptProfile>\n");
    test::RunResult r = Run({"/COMMAND=touch ran", "/PROFILE=bad.xml"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("Interception profile " + dir_ / "work/bad.xml" + ", line 2"));
    EXPECT_FALSE(fs::exists(dir_ / "work/ran"));
}

TEST_F(InterceptBuildTest, CustomToolsOfAProfileAndAllowRemoteAreCounted) {
    StartAgent(1);
    test::WriteFile(dir_ / "work/tools.xml",
                    "<InterceptProfile version=\"1\"><Tool program=\"true\"/></InterceptProfile>");
    test::WriteFile(dir_ / "work/Makefile",
                    "all: a b c\na:\n\ttrue a\nb:\n\tcmp /dev/null Makefile >/dev/null || "
                    "echo differ\nc:\n\tsh -c 'exit 0'\n");
    // true is named by the profile, cmp by /ALLOWREMOTE; the shell's own commands are not tools.
    test::RunResult r =
        Run({"/COMMAND=make", "/PROFILE=tools.xml", "/ALLOWREMOTE=cmp", "/MON=build.nv_mon"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<timeline::Task> steps = CompileSteps(dir_ / "work/build.nv_mon");
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].name, "true a");
    EXPECT_EQ(steps[1].name, "cmp Makefile");
    EXPECT_THAT(r.out, HasSubstr("differ"));
    EXPECT_EQ(steps[1].exitCode, 1);
}

// The broker's folder (socket and masquerade links) lies in the named objects' folder, a memory
// file system in an installed agent, and is gone when the build ends.
TEST_F(InterceptBuildTest, TheBrokersFolderIsMadeBesideTheNamedObjectsAndRemovedAtTheEnd) {
    StartAgent(1);
    test::WriteFile(dir_ / "work/tools.xml",
                    "<InterceptProfile version=\"1\"><Tool program=\"true\"/></InterceptProfile>");
    test::WriteFile(dir_ / "work/Makefile",
                    "all:\n\ttrue a\n\t@echo \"socket $$QZ_INTERCEPT_SOCKET\"\n");
    test::RunResult r = Run({"/COMMAND=make", "/PROFILE=tools.xml"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("socket " + dir_ / "obj/qz-icept-"));
    for (const auto& entry : fs::directory_iterator(dir_ / "obj")) {
        EXPECT_EQ(entry.path().filename().string().rfind("qz-icept-", 0), std::string::npos)
            << entry.path();
    }
}

// A build tool the preload library cannot enter (a static program): the build says so once,
// naming it; its starts by name through PATH are still caught (the masquerade folder), the others
// run here; and /ALLOWINTERCEPT decides for the folder as it does for the library.
TEST_F(InterceptBuildTest, AStaticBuildToolIsNamedOnceAndItsStartsByNameAreCaught) {
    StartAgent(1);
    fs::create_directories(dir_ / "bin");
    test::WriteFile(dir_ / "bin/mytool", "#!/bin/sh\necho \"tool $*\"\n");
    fs::permissions(dir_ / "bin/mytool", fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec);
    test::WriteFile(
        dir_ / "work/tools.xml",
        "<InterceptProfile version=\"1\"><Tool program=\"mytool\"/></InterceptProfile>");
    options_.env["PATH"] = dir_ / "bin" + ":/usr/bin:/bin";
    const std::string probe = QZ_SPAWN_PROBE_STATIC;
    const std::string command = "/COMMAND=" + probe + " execvp mytool byname && " + probe +
                                " execv " + dir_ / "bin/mytool" + " bypath";
    test::RunResult r = Run({command, "/PROFILE=tools.xml", "/MON=build.nv_mon"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("tool byname\r\n"));
    EXPECT_THAT(r.out, HasSubstr("tool bypath\r\n"));
    const std::string line = probe + " is a static program, which the interception library "
                                     "cannot enter: of the tool runs it starts, only those it "
                                     "starts by name through PATH are distributed; the others "
                                     "run here";
    ASSERT_THAT(r.err, HasSubstr(line));
    EXPECT_EQ(r.err.find(line), r.err.rfind(line)) << "said more than once: " << r.err;
    std::vector<timeline::Task> steps = CompileSteps(dir_ / "work/build.nv_mon");
    ASSERT_EQ(steps.size(), 1u) << "only the start by name is caught";
    EXPECT_EQ(steps[0].name, "mytool byname");

    // Only the starts of the tools /ALLOWINTERCEPT names are examined, through the folder too.
    r = Run({"/COMMAND=" + probe + " execvp mytool notcaught", "/PROFILE=tools.xml",
             "/ALLOWINTERCEPT=make", "/MON=build.nv_mon"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("tool notcaught\r\n"));
    EXPECT_THAT(CompileSteps(dir_ / "work/build.nv_mon"), ::testing::IsEmpty());
    // The system keeps 15 bytes of a process's name: "SpawnProbeStati".
    r = Run({"/COMMAND=" + probe + " execvp mytool caught", "/PROFILE=tools.xml",
             "/ALLOWINTERCEPT=make,SpawnProbeStatic", "/MON=build.nv_mon"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("tool caught\r\n"));
    EXPECT_EQ(CompileSteps(dir_ / "work/build.nv_mon").size(), 1u);

    // A dynamic build tool is not named.
    r = Run({"/COMMAND=" + std::string(QZ_SPAWN_PROBE) + " execvp mytool dynamic",
             "/PROFILE=tools.xml"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("interception library cannot enter")));
}

TEST_F(InterceptBuildTest, KillingTheConsoleLeavesNoProcessBehind) {
    StartAgent(1);
    int console = StartSleepingBuild("killed", 6);
    kill(console, SIGKILL);
    test::WaitChild(console, 10s);
    // TearDown checks that every process of the build ends.
}

// make killed while it waits for tools it started itself and for relays: the build fails, no
// tool is left running, and the steps of the tools in the slots end (lost) in the monitor.
TEST_F(InterceptBuildTest, KillingTheBuildToolEndsTheBuildAndItsStepsAndLeavesNoProcess) {
    StartAgent(1);
    int console = StartSleepingBuild("killed", 5, {"/MON=killed.nv_mon"});
    for (const auto& [pid, comm] : MarkedProcesses(mark_)) {
        if (comm == "make") {
            kill(pid, SIGKILL);
        }
    }
    EXPECT_NE(test::WaitChild(console, 30s), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return MarkedProcesses(mark_).empty(); }, 15s))
        << Names(MarkedProcesses(mark_));
    std::vector<timeline::Task> steps = CompileSteps(dir_ / "work/killed.nv_mon");
    EXPECT_GE(steps.size(), 2u);
    for (const timeline::Task& step : steps) {
        EXPECT_TRUE(step.ended) << step.name;
    }
}

// Tasksmith killed in the middle of an intercepted build: no process of the build is left, and
// the next intercepted build (of this agent) works and removes the folder the killed one left.
TEST_F(InterceptBuildTest, KillingTasksmithLeavesNoProcessAndTheNextBuildRemovesItsFolder) {
    StartAgent(1);
    int console = StartSleepingBuild("killed", 16);
    kill(TasksmithPid(), SIGKILL);
    test::WaitChild(console, 30s);
    ASSERT_TRUE(test::WaitUntil([&] { return MarkedProcesses(mark_).empty(); }, 15s))
        << Names(MarkedProcesses(mark_));
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(dir_ / "obj")) {
        if (entry.path().filename().string().starts_with("qz-icept-")) {
            left.push_back(entry.path());
        }
    }
    ASSERT_EQ(left.size(), 1u) << "the killed build's folder";
    // As if it had been left an hour ago (a younger one might belong to a starting build).
    const timeval past[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes((left[0] / "broker.sock").c_str(), past), 0);

    test::RunResult r = Run({"/COMMAND=make -j8 t1 t2 t3 t4 t5 t6 t7 t8", "/PROFILE=tools.xml",
                             "/MAXCPUS=2", "/MON=next.nv_mon"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(CompileSteps(dir_ / "work/next.nv_mon").size(), 8u);
    EXPECT_FALSE(fs::exists(left[0]));
}

} // namespace
} // namespace qz
