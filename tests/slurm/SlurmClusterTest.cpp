// Remote tasks on the Slurm test cluster (scripts/slurm-test-cluster.sh: nodes qzn1 and qzn2 on
// this machine, qzn2 without the folder "unshared"), through the real console, qzagentd and
// Tasksmith: where tasks land, their output and exit codes, what is left after a killed console
// or a stop, the visible fallback, the folder check and the agent's status report.

#include "CM/MonitorFile.h"
#include "CM/MonitorPackets.h"
#include "CM/Packets.h"
#include "TestSupport.h"
#include "platform/NamedObjects.h"
#include "platform/ServiceProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <signal.h>
#include <thread>
#include <unistd.h>

namespace qz {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

std::string ClusterDir() {
    const char* dir = std::getenv("QZ_SLURM_DIR");
    return dir ? dir : QZ_SLURM_DIR;
}

std::string ClusterConfig() {
    return ClusterDir() + "/slurm.conf";
}

// A command of the Slurm client against the test cluster.
test::RunResult Slurm(const std::vector<std::string>& argv) {
    test::RunOptions options;
    options.env["SLURM_CONF"] = ClusterConfig();
    options.timeout = 20s;
    return test::RunProgram(argv, options);
}

// The jobs of the test builds still known to the controller (pending, running or ending).
std::string BuildJobs() {
    test::RunResult r = Slurm({"/usr/bin/squeue", "-h", "-o", "%i %j %T"});
    std::string jobs;
    std::size_t begin = 0;
    while (begin < r.out.size()) {
        std::size_t end = r.out.find('\n', begin);
        std::string line = r.out.substr(begin, end - begin);
        if (line.find("qz-build-") != std::string::npos) {
            jobs += line + "\n";
        }
        begin = end == std::string::npos ? r.out.size() : end + 1;
    }
    return r.exitCode == 0 ? jobs : "squeue failed: " + r.err;
}

// Processes whose command line holds the text.
int ProcessesWith(const std::string& text) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            name == std::to_string(getpid())) {
            continue;
        }
        std::string cmdline = test::ReadFile(entry.path().string() + "/cmdline").value_or("");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        count += cmdline.find(text) != std::string::npos;
    }
    return count;
}

struct Monitor {
    std::vector<std::unique_ptr<TPacket>> events;

    std::vector<const TPacket*> OfClass(const std::string& name) const {
        std::vector<const TPacket*> found;
        for (const auto& e : events) {
            if (e->ClassName() == name) {
                found.push_back(e.get());
            }
        }
        return found;
    }
    std::string Texts(int field, int taskId) const {
        std::string all;
        for (const TPacket* e : OfClass("TMonitorEventOutputPacket")) {
            if (!e->Str(field).empty() && e->Int(TMonitorEventOutputPacket::TaskID) == taskId) {
                all += e->Str(field) + "\r\n";
            }
        }
        return all;
    }
    std::string Out(int taskId) const { return Texts(TMonitorEventOutputPacket::Text, taskId); }
    std::string Err(int taskId) const { return Texts(TMonitorEventOutputPacket::ErrText, taskId); }
    // The worker row of each task's begin step event, by the task's name.
    std::map<std::string, std::string> Workers() const {
        std::map<std::string, std::string> workers;
        for (const TPacket* b : OfClass("TMonitorEventBeginStepPacket")) {
            workers[b->Str(b->FieldIndex("Name"))] = b->Str(b->FieldIndex("WorkerID"));
        }
        return workers;
    }
};

class SlurmClusterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0 || !fs::exists("/usr/sbin/slurmctld") ||
            !fs::exists("/usr/sbin/slurmd") || !fs::exists("/usr/bin/srun")) {
            GTEST_SKIP() << "Slurm (slurmctld, slurmd, srun from scripts/install-deps.sh) and root "
                            "are needed for the test cluster";
        }
        // Run alone (without CTest's fixture), the test starts the cluster itself.
        if (Slurm({QZ_SLURM_CLUSTER_SCRIPT, "status"}).exitCode != 0) {
            test::RunOptions options;
            options.env["QZ_SLURM_DIR"] = ClusterDir();
            options.timeout = 90s;
            test::RunResult up = test::RunProgram({QZ_SLURM_CLUSTER_SCRIPT, "up"}, options);
            ASSERT_EQ(up.exitCode, 0) << up.out << up.err;
        }
        RegisterAllPacketClasses();
        prefix_ = test::UniqueName("slurm");
        fs::create_directories(dir_ / "agent");
        fs::create_directories(dir_ / "work");
        fs::create_directories(dir_ / "objects");
        fs::create_symlink(QZ_TASKSMITH_PATH, dir_ / "agent/Tasksmith");
        options_.cwd = dir_ / "work";
        options_.env["TamrelObjectDir"] = dir_ / "objects";
        options_.env["TamrelObjectPrefix"] = prefix_;
        options_.env["TamrelRegistryRoot"] = dir_.path();
        options_.env["TamrelBuildContext"] = std::nullopt;
        options_.env["qzConsoleParams"] = std::nullopt;
        options_.env["SLURM_CONF"] = std::nullopt;
        options_.timeout = 90s;
        Settings(ClusterConfig());
    }

    void TearDown() override {
        if (agent_ > 0) {
            test::StopChild(agent_);
            EXPECT_EQ(test::WaitChild(agent_, 20s), 0) << "the agent did not stop cleanly";
        }
        // No build of a test outlives it.
        EXPECT_TRUE(test::WaitUntil([] { return BuildJobs().empty(); }, 15s)) << BuildJobs();
    }

    // The agent's settings with a cluster whose clients read config.
    void Settings(const std::string& config, const std::string& more = "") {
        test::WriteFile(dir_ / "HKLM.reg",
                        "REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n\"Folder\"=\"" +
                            dir_ / "agent" + "\"\n\"Cluster\"=\"slurm\"\n\"ClusterConfig\"=\"" +
                            config +
                            "\"\n\"ClusterMaxRemoteTasks\"=\"4\"\n"
                            "\"ClusterCommandTimeout\"=\"10\"\n" +
                            more);
    }

    // A copy of the cluster's configuration whose controller port nobody listens on.
    std::string UnreachableConfig() {
        std::string text = test::ReadFile(ClusterConfig()).value_or("");
        std::size_t at = text.find("SlurmctldPort=");
        EXPECT_NE(at, std::string::npos);
        text.replace(at, text.find('\n', at) - at, "SlurmctldPort=1");
        test::WriteFile(dir_ / "unreachable.conf", text);
        return dir_ / "unreachable.conf";
    }

    void StartAgent() {
        agent_ = test::StartProgram({QZ_AGENT_PATH, "--foreground"}, options_);
        ASSERT_GT(agent_, 0);
        std::string lock = dir_ / ("objects/qzagentd-" + prefix_ + ".lock");
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                auto state = platform::InstanceLock::ReadHolderState(lock);
                return state && state->find("ready") != std::string::npos;
            },
            15s))
            << "the agent did not become ready";
    }

    test::RunResult Console(std::vector<std::string> args) {
        args.insert(args.begin(), QZ_CONSOLE_PATH);
        args.push_back("/NOLOGO");
        return test::RunProgram(args, options_);
    }

    // Runs the job file through the console with a /MON copy; the copy's events land in monitor.
    test::RunResult Build(const std::string& xml, std::vector<std::string> args = {}) {
        test::WriteFile(options_.cwd + "/job.xml", xml);
        fs::remove(options_.cwd + "/copy.nv_mon");
        args.insert(args.begin(), {options_.cwd + "/job.xml", "/MON=copy.nv_mon"});
        test::RunResult r = Console(args);
        EXPECT_FALSE(r.timedOut);
        monitor_ = Monitor{};
        if (fs::exists(options_.cwd + "/copy.nv_mon")) {
            TMonitorFile file = OpenMonitorFile(options_.cwd + "/copy.nv_mon");
            monitor_.events = ReadMonitorEvents(*file.Events);
        }
        return r;
    }

    test::TempDir dir_;
    std::string prefix_;
    test::RunOptions options_;
    int agent_ = -1;
    Monitor monitor_;
};

// A remote-capable task with a shell line.
std::string Task(const std::string& id, const std::string& line, const std::string& more = "") {
    return "  <task id=\"" + id + "\" remote=\"true\" " + more + "><shell>" + line +
           "</shell></task>\n";
}

// A sleep whose process is named by $M (and whose name is in no command line before that).
constexpr const char* kNamedSleep = "ln -sf /bin/sleep ./$M-$$; exec ./$M-$$ 120";
std::string SleepEnv(const std::string& marker) {
    return "  <env name=\"M\" value=\"" + marker + "\"/>\n";
}

TEST_F(SlurmClusterTest, RemoteTasksLandOnBothNodesWithTheirOutputInOrder) {
    StartAgent();
    std::string xml = "<job slots=\"1\">\n";
    for (int t = 1; t <= 6; ++t) {
        xml += Task("t" + std::to_string(t),
                    "echo node=$SLURMD_NODENAME; i=0; while [ $i -lt 500 ]; do i=$((i+1)); "
                    "echo out $i; echo err $i &gt;&amp;2; done; pwd; echo $FROM_BUILD");
    }
    xml += "  <env name=\"FROM_BUILD\" value=\"passed\"/>\n</job>\n";
    test::RunResult r = Build(xml, {"/AVOIDLOCAL=ON"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("Cluster allocation "));
    EXPECT_THAT(r.out, Not(HasSubstr("srun: error")));

    std::set<std::string> hosts;
    for (const TPacket* e : monitor_.OfClass("TMonitorEventEmployPacket")) {
        if (!e->Bool(e->FieldIndex("Local"))) {
            hosts.insert(e->Str(e->FieldIndex("Host")));
        }
    }
    EXPECT_EQ(hosts, (std::set<std::string>{"qzn1", "qzn2"}));
    std::set<std::string> used;
    for (const TPacket* b : monitor_.OfClass("TMonitorEventBeginStepPacket")) {
        EXPECT_TRUE(b->Bool(b->FieldIndex("Remote")));
        used.insert(b->Str(b->FieldIndex("WorkerID")).substr(0, 4));
    }
    EXPECT_EQ(used, (std::set<std::string>{"qzn1", "qzn2"}));
    for (int t = 1; t <= 6; ++t) {
        std::string out = monitor_.Out(t);
        std::string err = monitor_.Err(t);
        std::string expectedOut, expectedErr;
        for (int i = 1; i <= 500; ++i) {
            expectedOut += "out " + std::to_string(i) + "\r\n";
            expectedErr += "err " + std::to_string(i) + "\r\n";
        }
        EXPECT_THAT(out, HasSubstr("node=qzn"));
        EXPECT_THAT(out, HasSubstr(expectedOut + options_.cwd + "\r\npassed\r\n"));
        EXPECT_EQ(err, expectedErr) << "task " << t;
    }
}

TEST_F(SlurmClusterTest, ARemoteFailurePassesItsExitCodeAndStopsTheGraph) {
    StartAgent();
    test::RunResult r =
        Build("<job slots=\"1\">\n" + Task("bad", "echo on $SLURMD_NODENAME; exit 3") +
                  Task("after", "echo never", "depends=\"bad\"") + "</job>\n",
              {"/AVOIDLOCAL=ON"});
    EXPECT_EQ(r.exitCode, 3) << r.out;
    EXPECT_THAT(r.out, HasSubstr("on qzn"));
    EXPECT_THAT(r.err, HasSubstr("Task \"bad\" failed with exit code 3"));
    EXPECT_THAT(r.out, HasSubstr("0 built, 0 up to date, 1 failed, 1 not run"));
    EXPECT_THAT(r.out, Not(HasSubstr("never")));

    // A task killed by a signal on its node ends as a local one would: 128 + the signal.
    r = Build("<job>\n" + Task("killed", "kill -9 $$") + "</job>\n", {"/AVOIDLOCAL=ON"});
    EXPECT_EQ(r.exitCode, 137) << r.out;
}

TEST_F(SlurmClusterTest, OnlyFailLocallyRunsAFailedRemoteTaskAgainHere) {
    StartAgent();
    test::RunResult r = Build("<job>\n" +
                                  Task("flaky", "if [ -n \"$SLURM_JOB_ID\" ]; then exit 4; fi; "
                                                "echo fine here") +
                                  "</job>\n",
                              {"/AVOIDLOCAL=ON", "/ONLYFAILLOCALLY=ON"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_THAT(r.err, HasSubstr("failed on qzn"));
    EXPECT_THAT(r.err, HasSubstr("running it again here"));
    EXPECT_THAT(r.out, HasSubstr("fine here"));
}

TEST_F(SlurmClusterTest, AKilledConsoleLeavesNoJobStepOrProcessBehind) {
    StartAgent();
    const std::string marker = test::UniqueName("qzsleep");
    test::WriteFile(options_.cwd + "/job.xml", "<job>\n" + SleepEnv(marker) +
                                                   Task("long", kNamedSleep) +
                                                   Task("long2", kNamedSleep) + "</job>\n");
    int console = test::StartProgram(
        {QZ_CONSOLE_PATH, options_.cwd + "/job.xml", "/AVOIDLOCAL=ON", "/NOLOGO"}, options_);
    ASSERT_GT(console, 0);
    ASSERT_TRUE(test::WaitUntil([&] { return ProcessesWith(marker) == 2; }, 40s))
        << ProcessesWith(marker);
    EXPECT_FALSE(BuildJobs().empty());
    test::KillChild(console);
    test::WaitChild(console, 5s);
    auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        test::WaitUntil([&] { return BuildJobs().empty() && ProcessesWith(marker) == 0; }, 10s))
        << BuildJobs() << ProcessesWith(marker) << " processes left";
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s);
}

TEST_F(SlurmClusterTest, AKilledTasksmithGivesItsAllocationBackAtOnce) {
    StartAgent();
    const std::string marker = test::UniqueName("qzkill");
    test::WriteFile(options_.cwd + "/job.xml",
                    "<job>\n" + SleepEnv(marker) + Task("long", kNamedSleep) + "</job>\n");
    int console = test::StartProgram(
        {QZ_CONSOLE_PATH, options_.cwd + "/job.xml", "/AVOIDLOCAL=ON", "/NOLOGO"}, options_);
    ASSERT_GT(console, 0);
    ASSERT_TRUE(test::WaitUntil([&] { return ProcessesWith(marker) == 1; }, 40s));
    // Tasksmith of this test's agent folder, killed with no chance to clean up.
    int tasksmith = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string cmdline = test::ReadFile(entry.path().string() + "/cmdline").value_or("");
        if (cmdline.starts_with(dir_ / "agent/Tasksmith")) {
            tasksmith = std::atoi(entry.path().filename().c_str());
        }
    }
    ASSERT_GT(tasksmith, 0);
    kill(tasksmith, SIGKILL);
    EXPECT_TRUE(
        test::WaitUntil([&] { return BuildJobs().empty() && ProcessesWith(marker) == 0; }, 10s))
        << BuildJobs() << ProcessesWith(marker) << " processes left";
    test::WaitChild(console, 30s);
}

TEST_F(SlurmClusterTest, StopCancelsTheRemoteSteps) {
    StartAgent();
    const std::string marker = test::UniqueName("qzstop");
    test::WriteFile(options_.cwd + "/job.xml",
                    "<job>\n" + SleepEnv(marker) + Task("long", kNamedSleep) + "</job>\n");
    test::RunResult build;
    std::thread console([&] { build = Console({options_.cwd + "/job.xml", "/AVOIDLOCAL=ON"}); });
    bool running = test::WaitUntil([&] { return ProcessesWith(marker) == 1; }, 40s);
    test::RunResult stop = Console({"/STOP"});
    console.join();
    ASSERT_TRUE(running);
    EXPECT_THAT(stop.out, HasSubstr("Build Stop request sent successfully."));
    EXPECT_NE(build.exitCode, 0);
    EXPECT_THAT(build.out, HasSubstr("Build cancelled"));
    EXPECT_TRUE(
        test::WaitUntil([&] { return BuildJobs().empty() && ProcessesWith(marker) == 0; }, 10s))
        << BuildJobs();
}

TEST_F(SlurmClusterTest, AnUnreachableControllerIsSaidAndTheBuildRunsHere) {
    Settings(UnreachableConfig());
    StartAgent();
    test::RunResult r =
        Build("<job>\n" + Task("a", "echo made &gt; a.txt; echo [$SLURM_JOB_ID]") + "</job>\n",
              {"/AVOIDLOCAL=ON"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_THAT(r.err, HasSubstr("Cluster not usable: "));
    EXPECT_THAT(r.err, HasSubstr("; the remote tasks run on this machine"));
    EXPECT_THAT(r.out, HasSubstr("[]"));
    EXPECT_EQ(test::ReadFile(options_.cwd + "/a.txt").value_or(""), "made\n");
    // The same line is in the monitor data.
    EXPECT_THAT(monitor_.Err(0), HasSubstr("Cluster not usable: "));

    // A job that requires remote execution fails with the same line and runs nothing.
    r = Build("<job remote-required=\"true\">\n" + Task("a", "echo ran") + "</job>\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr("the job requires remote execution, so the build stops"));
    EXPECT_THAT(r.out, Not(HasSubstr("ran\r\n")));
}

TEST_F(SlurmClusterTest, AFolderANodeDoesNotSeeIsNamedWithTheNode) {
    StartAgent();
    std::string unshared = ClusterDir() + "/unshared/" + test::UniqueName("work");
    fs::create_directories(unshared);
    options_.cwd = unshared;
    // Two tasks: the allocation spreads over both nodes.
    test::RunResult r = Build(
        "<job>\n" + Task("a", "echo ran") + Task("b", "echo ran") + "</job>\n", {"/AVOIDLOCAL=ON"});
    fs::remove_all(unshared);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr("The build folder " + unshared + " is not shared with node qzn2"));
    EXPECT_THAT(r.out, Not(HasSubstr("ran\r\n")));
}

TEST_F(SlurmClusterTest, TasksANodeLostMidBuildCannotRunRunAgainHere) {
    StartAgent();
    std::string xml = "<job>\n" + Task("first", "touch started; i=0; while [ ! -e go ] &amp;&amp; "
                                                "[ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done");
    for (int t = 1; t <= 4; ++t) {
        xml += Task("t" + std::to_string(t), "echo done ${SLURMD_NODENAME:-here}",
                    "depends=\"first\"");
    }
    test::WriteFile(options_.cwd + "/job.xml", xml + "</job>\n");
    test::RunResult build;
    std::thread console([&] { build = Console({options_.cwd + "/job.xml", "/AVOIDLOCAL=ON"}); });
    bool started = test::WaitUntil([&] { return fs::exists(options_.cwd + "/started"); }, 40s);
    // qzn1's slurmd dies: Slurm still lists the node, but no step can start there.
    std::string pid = test::ReadFile(ClusterDir() + "/run/slurmd-qzn1.pid").value_or("");
    if (started && !pid.empty()) {
        kill(std::stoi(pid), SIGKILL);
    }
    test::WriteFile(options_.cwd + "/go", "");
    console.join();
    // The next tests get a whole cluster again.
    test::RunOptions up;
    up.env["QZ_SLURM_DIR"] = ClusterDir();
    up.timeout = 90s;
    EXPECT_EQ(test::RunProgram({QZ_SLURM_CLUSTER_SCRIPT, "up"}, up).exitCode, 0);
    ASSERT_TRUE(started);
    EXPECT_EQ(build.exitCode, 0) << build.out << build.err;
    EXPECT_THAT(build.err, HasSubstr("failed on qzn1"));
    EXPECT_THAT(build.err, HasSubstr("running it again here"));
    EXPECT_THAT(build.out, HasSubstr("done here"));
    EXPECT_THAT(build.out, HasSubstr("Build succeeded: 5 built"));
}

// An intercepted make: the compiles take the local slot and the nodes' slots, each recorded as a
// step on its row; the link (no "-c") runs here without a slot; the program works.
TEST_F(SlurmClusterTest, AnInterceptedMakeCompilesOnBothNodesAndLinksHere) {
    fs::create_symlink(QZ_RELAY_PATH, dir_ / "agent/qzrelay");
    fs::create_symlink(QZ_INTERCEPT_LIBRARY, dir_ / "agent/libqzintercept.so");
    fs::create_directories(dir_ / "agent/resources");
    fs::copy_file(QZ_SOURCE_DIR "/resources/intercept-profile.xml",
                  dir_ / "agent/resources/intercept-profile.xml");
    StartAgent();
    std::string objects;
    std::string calls;
    for (int i = 1; i <= 8; ++i) {
        const std::string name = "f" + std::to_string(i);
        test::WriteFile(options_.cwd + "/" + name + ".c",
                        "int " + name + "(void) { return " + std::to_string(i) + "; }\n");
        objects += " " + name + ".o";
        calls += "int " + name + "(void);\n";
    }
    test::WriteFile(options_.cwd + "/main.c",
                    calls + "int main(void) { return f1() + f8() == 9 ? 0 : 1; }\n");
    test::WriteFile(options_.cwd + "/Makefile",
                    "OBJS = main.o" + objects +
                        "\napp: $(OBJS)\n\tgcc -o app $(OBJS)\n%.o: %.c\n\tgcc -c $< -o $@\n");
    fs::remove(options_.cwd + "/copy.nv_mon");
    test::RunResult r = Console({"/COMMAND=make -j9", "/MAXCPUS=1", "/MON=copy.nv_mon"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("Cluster allocation "));
    EXPECT_THAT(r.err, Not(HasSubstr("srun")));
    EXPECT_EQ(test::RunProgram({options_.cwd + "/app"}).exitCode, 0);
    TMonitorFile file = OpenMonitorFile(options_.cwd + "/copy.nv_mon");
    monitor_.events = ReadMonitorEvents(*file.Events);
    std::set<std::string> rows;
    int compiles = 0;
    for (const TPacket* b : monitor_.OfClass("TMonitorEventBeginStepPacket")) {
        const std::string command = b->Str(b->FieldIndex("CmdLine"));
        if (command.find("gcc") == std::string::npos) {
            continue;
        }
        EXPECT_THAT(command, HasSubstr(" -c ")) << "only compiles are steps";
        ++compiles;
        rows.insert(b->Str(b->FieldIndex("WorkerID")).substr(0, 4));
    }
    EXPECT_EQ(compiles, 9);
    EXPECT_TRUE(rows.count("qzn1") == 1 && rows.count("qzn2") == 1)
        << "the compiles did not reach both nodes";
}

// A tool run on a node that is killed by a signal ends its relay by that signal, as a run here
// would have: make says "Segmentation fault", not "Error 139" (srun's own exit code for it).
TEST_F(SlurmClusterTest, AnInterceptedToolKilledOnItsNodeEndsAsItWouldHere) {
    fs::create_symlink(QZ_RELAY_PATH, dir_ / "agent/qzrelay");
    fs::create_symlink(QZ_INTERCEPT_LIBRARY, dir_ / "agent/libqzintercept.so");
    StartAgent();
    test::WriteFile(options_.cwd + "/tools.xml", "<InterceptProfile version=\"1\"><Tool "
                                                 "program=\"selfkill\" remote=\"true\"/>"
                                                 "</InterceptProfile>");
    // Long enough that the runs overlap and most of them find the one local slot taken.
    test::WriteFile(options_.cwd + "/selfkill",
                    "#!/bin/sh\nsleep 1\necho \"dying on ${SLURMD_NODENAME:-here}\" >&2\n"
                    "kill -SEGV $$\n");
    fs::permissions(options_.cwd + "/selfkill", fs::perms::owner_all);
    test::WriteFile(options_.cwd + "/Makefile", "all: k1 k2 k3 k4 k5 k6\nk%:\n\t./selfkill $@\n");
    test::RunResult r = Console({"/COMMAND=make -k -j6", "/PROFILE=tools.xml", "/MAXCPUS=1"});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("dying on qzn"));
    int killed = 0;
    for (std::size_t at = r.err.find("] Segmentation fault"); at != std::string::npos;
         at = r.err.find("] Segmentation fault", at + 1)) {
        ++killed;
    }
    EXPECT_EQ(killed, 6) << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("Error 139")));
    EXPECT_THAT(r.err, Not(HasSubstr("srun: error")));
}

TEST_F(SlurmClusterTest, QueryAgentStatusTellsWhetherTheControllerAnswers) {
    StartAgent();
    auto connectivity = [&] {
        test::RunResult r = Console({"/QUERYAGENTSTATUS"});
        std::size_t at = r.out.find("Connectivity to Coordinator: ");
        return at == std::string::npos ? r.out : r.out.substr(at, r.out.find('\r', at) - at);
    };
    EXPECT_TRUE(
        test::WaitUntil([&] { return connectivity() == "Connectivity to Coordinator: OK"; }, 30s))
        << connectivity();
    // The agent rereads its settings: a controller nobody answers for is "not connected".
    Settings(UnreachableConfig());
    EXPECT_TRUE(test::WaitUntil(
        [&] { return connectivity() == "Connectivity to Coordinator: not connected"; }, 40s))
        << connectivity();
}

} // namespace
} // namespace qz
