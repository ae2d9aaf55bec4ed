#include "platform/ChildProcess.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qz::platform {
namespace {

ChildStartOptions Program(std::vector<std::string> arguments) {
    ChildStartOptions options;
    options.arguments = std::move(arguments);
    return options;
}

ChildStartOptions Shell(const std::string& script) {
    return Program({"/bin/sh", "-c", script});
}

// The error code of a start that failed; 0 when it succeeded.
int StartError(ChildProcess& child, const ChildStartOptions& options) {
    auto started = child.Start(options);
    return started ? 0 : started.error().code;
}

TEST(ChildProcess, ExitCodesOfNormalEndsAndSignals) {
    ChildProcess child;
    ASSERT_TRUE(child.Start(Shell("exit 42")));
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 42);

    ChildProcess killed;
    ASSERT_TRUE(killed.Start(Shell("kill -9 $$")));
    ASSERT_TRUE(killed.Wait(10000));
    EXPECT_EQ(killed.ExitCode(), 128 + SIGKILL);
}

TEST(ChildProcess, RunningChildHasNoExitCodeYet) {
    ChildProcess child;
    ASSERT_TRUE(child.Start(Shell("sleep 5")));
    EXPECT_FALSE(child.ExitCode().has_value());
    EXPECT_FALSE(child.Wait(10));
    kill(child.Pid(), SIGTERM);
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 128 + SIGTERM);
}

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(ChildProcess, MovingHandsTheWaitHandleOver) {
    ChildProcess first;
    ASSERT_TRUE(first.Start(Shell("exit 3")));
    const int handle = first.WaitHandle();
    ASSERT_GE(handle, 0);
    ChildProcess second(std::move(first));
    EXPECT_EQ(first.WaitHandle(), -1);
    EXPECT_FALSE(first.Started());
    EXPECT_EQ(second.WaitHandle(), handle);
    ChildProcess third;
    third = std::move(second);
    EXPECT_EQ(second.WaitHandle(), -1);
    ASSERT_TRUE(third.Wait(10000));
    EXPECT_EQ(third.ExitCode(), 3);
}

// Fifty children at once, some that fail to start: every descriptor is closed again.
TEST(ChildProcess, ManyChildrenLeaveNoDescriptorBehind) {
    const int before = OpenDescriptorCount();
    {
        std::vector<ChildProcess> children(50);
        for (std::size_t i = 0; i < children.size(); ++i) {
            ASSERT_TRUE(children[i].Start(Shell("exit " + std::to_string(i % 7))));
        }
        ChildProcess missing;
        EXPECT_EQ(StartError(missing, Program({"/nonexistent/program"})), ENOENT);
        for (std::size_t i = 0; i < children.size(); ++i) {
            ASSERT_TRUE(children[i].Wait(10000));
            EXPECT_EQ(children[i].ExitCode(), static_cast<int>(i % 7));
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(ChildProcess, MissingProgramIsReportedAsTheStartError) {
    ChildProcess child;
    EXPECT_EQ(StartError(child, Program({"/nonexistent/program"})), ENOENT);
    EXPECT_FALSE(child.Started());
    EXPECT_EQ(StartError(child, Program({})), ENOENT);
}

TEST(ChildProcess, StandardHandlesAndNewSession) {
    qz::test::TempDir dir;
    detail::UniqueFd outFile(
        open((dir / "out.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600));
    detail::UniqueFd inFile(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int out = outFile.Get();
    const int in = inFile.Get();
    ASSERT_GE(out, 0);
    ChildStartOptions options = Shell("cat; echo out; echo err 1>&2; cut -d' ' -f6 /proc/$$/stat");
    options.stdIn = in;
    options.stdOut = out;
    options.stdErr = out;
    options.newSession = true;
    ChildProcess child;
    ASSERT_TRUE(child.Start(options));
    ASSERT_TRUE(child.Wait(10000));
    outFile.Reset();
    inFile.Reset();
    auto text = qz::test::ReadFile(dir / "out.txt");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->substr(0, 8), "out\nerr\n");
    // The child leads its own session.
    EXPECT_EQ(std::stoi(text->substr(8)), child.Pid());
}

TEST(ChildProcess, ChildrenStartWithNoSignalBlocked) {
    // As a service that takes its stop signals on a thread of its own does.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigset_t old;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stops, &old), 0);
    ChildProcess child;
    const bool started = child.Start(Shell("sleep 30")).has_value();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(started);
    // The child ends on the terminate signal instead of ignoring it.
    ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
    ASSERT_TRUE(child.Wait(10000)) << "the child inherited the blocked terminate signal";
    EXPECT_EQ(child.ExitCode(), 128 + SIGTERM);
}

TEST(ChildProcess, ChildOutlivesItsObject) {
    int pid = 0;
    {
        ChildProcess child;
        ASSERT_TRUE(child.Start(Shell("sleep 5")));
        pid = child.Pid();
    }
    // Still running: not ended, and not a zombie either (kill(pid, 0) would pass on one).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(test::ChildEnded(pid));
    test::KillChild(pid);
}

// Reads a non-blocking pipe end until its end, within the deadline.
std::string ReadToEnd(int fd) {
    std::string text;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) {
            return text;
        }
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno == EAGAIN) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 100);
        } else if (errno != EINTR) {
            break;
        }
    }
    return text + "<no end>";
}

TEST(ChildProcess, PipesToAndFromTheChild) {
    ChildStartOptions options = Shell("read -r line; echo \"got $line\"; echo oops >&2; exit 3");
    options.pipeInput = true;
    options.pipeOutput = true;
    options.pipeError = true;
    ChildProcess child;
    ASSERT_TRUE(child.Start(options));
    ASSERT_GE(child.InputHandle(), 0);
    ASSERT_EQ(write(child.InputHandle(), "hello\n", 6), 6);
    child.CloseInput();
    EXPECT_EQ(child.InputHandle(), -1);
    EXPECT_EQ(ReadToEnd(child.OutputHandle()), "got hello\n");
    EXPECT_EQ(ReadToEnd(child.ErrorHandle()), "oops\n");
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 3);
}

TEST(ChildProcess, ErrorToOutputAndNullInput) {
    ChildStartOptions options = Shell("cat; echo out; echo err >&2");
    options.nullInput = true;
    options.pipeOutput = true;
    options.errorToOutput = true;
    ChildProcess child;
    ASSERT_TRUE(child.Start(options));
    EXPECT_EQ(child.ErrorHandle(), -1);
    EXPECT_EQ(ReadToEnd(child.OutputHandle()), "out\nerr\n");
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 0);
}

// The options that need calls in the child (started by vfork) and those that do not (spawn)
// behave alike: the same exit codes, the same refusal of a folder that cannot be entered.
TEST(ChildProcess, BothStartPathsGiveTheSameResults) {
    qz::test::TempDir dir;
    for (bool vforkPath : {false, true}) {
        SCOPED_TRACE(vforkPath ? "vfork" : "spawn");
        ChildStartOptions options = Shell("pwd; exit 9");
        options.killWithParent = vforkPath;
        options.workingDirectory = dir.path();
        options.pipeOutput = true;
        options.newProcessGroup = true;
        ChildProcess child;
        ASSERT_TRUE(child.Start(options));
        EXPECT_EQ(ReadToEnd(child.OutputHandle()), dir.path() + "\n");
        ASSERT_TRUE(child.Wait(10000));
        EXPECT_EQ(child.ExitCode(), 9);

        options.workingDirectory = dir / "missing";
        ChildProcess refused;
        EXPECT_EQ(StartError(refused, options), ENOENT);
        EXPECT_FALSE(refused.Started());
        EXPECT_EQ(refused.OutputHandle(), -1);

        ChildProcess missing;
        options.workingDirectory.clear();
        options.arguments = {"no-such-program-anywhere"};
        EXPECT_EQ(StartError(missing, options), ENOENT);
    }
}

TEST(ChildProcess, ASecondStartIsRefused) {
    ChildProcess child;
    ASSERT_TRUE(child.Start(Shell("exit 0")));
    EXPECT_EQ(StartError(child, Shell("exit 1")), EINVAL);
    ASSERT_TRUE(child.Wait(10000));
    EXPECT_EQ(child.ExitCode(), 0);
}

TEST(ChildProcess, KillWithParentEndsTheChildWithItsStarter) {
    qz::test::TempDir dir;
    std::string pidFile = dir / "pid";
    // In a forked copy of the test: it starts a sleeper bound to itself and is killed.
    int starter = test::ForkChild([&] {
        ChildStartOptions options = Shell("echo $$ > '" + pidFile + "'; exec sleep 60");
        options.killWithParent = true;
        ChildProcess child;
        if (!child.Start(options)) {
            return 1;
        }
        pause();
        return 0;
    });
    ASSERT_TRUE(test::WaitUntil(
        [&] { return std::atoi(test::ReadFile(pidFile).value_or("0").c_str()) > 0; }));
    int sleeper = std::atoi(test::ReadFile(pidFile).value_or("0").c_str());
    test::KillChild(starter);
    EXPECT_TRUE(test::WaitUntil([&] { return kill(sleeper, 0) != 0; }))
        << "the child outlived its starter";
}

// Many children with pipes, started and dropped: no descriptor is left behind.
TEST(ChildProcess, PipedChildrenLeaveNoDescriptorBehind) {
    const int before = OpenDescriptorCount();
    {
        std::vector<ChildProcess> children(40);
        for (std::size_t i = 0; i < children.size(); ++i) {
            ChildStartOptions options = Shell("echo " + std::to_string(i));
            options.pipeInput = i % 2 == 0;
            options.pipeOutput = true;
            options.pipeError = i % 3 == 0;
            options.killWithParent = i % 4 == 0;
            ASSERT_TRUE(children[i].Start(options));
        }
        for (std::size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(ReadToEnd(children[i].OutputHandle()), std::to_string(i) + "\n");
            ASSERT_TRUE(children[i].Wait(10000));
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// Starts the program at path with argv and env (nothing else of ours), our signal state passed
// on, and waits for its end.
ProgramEnd RunToEnd(const std::string& path, const std::vector<std::string>& argv,
                    const std::vector<std::string>& env, int out = -1) {
    ChildStartOptions options;
    options.program = path;
    options.arguments = argv;
    options.environment = env;
    options.stdOut = out;
    options.inheritSignalState = true;
    ChildProcess child;
    auto started = child.Start(options);
    EXPECT_TRUE(started) << started.error().Text();
    EXPECT_TRUE(child.Wait(-1));
    return child.End().value_or(ProgramEnd{false, -1});
}

const std::vector<std::string> kEnv{"PATH=/usr/bin:/bin", "MARK=seen"};

ProgramEnd RunShell(const std::string& line, int out = -1) {
    return RunToEnd("/bin/sh", {"sh", "-c", line}, kEnv, out);
}

TEST(ChildProcess, TheEndTellsASignalFromItsExitCode) {
    EXPECT_EQ(RunShell("exit 3"), (ProgramEnd{false, 3}));
    EXPECT_EQ(RunShell("kill -SEGV $$"), (ProgramEnd{true, SIGSEGV}));
    EXPECT_EQ(RunShell("exit 255"), (ProgramEnd{false, 255}));
    // 128 + n as an exit code is no signal, though ExitCode gives both the same number.
    ChildProcess exited;
    ASSERT_TRUE(exited.Start(Shell("exit 137")));
    ASSERT_TRUE(exited.Wait(10000));
    EXPECT_EQ(exited.End(), (ProgramEnd{false, 137}));
    EXPECT_EQ(exited.ExitCode(), 137);
    ChildProcess killed;
    ASSERT_TRUE(killed.Start(Shell("kill -9 $$")));
    ASSERT_TRUE(killed.Wait(10000));
    EXPECT_EQ(killed.End(), (ProgramEnd{true, SIGKILL}));
    EXPECT_EQ(killed.ExitCode(), 137);
    // Before the end there is none; End alone (without Wait) reaps a child that has ended.
    ChildProcess running;
    ASSERT_TRUE(running.Start(Shell("read x")));
    EXPECT_FALSE(running.End().has_value());
    kill(running.Pid(), SIGKILL);
    EXPECT_TRUE(test::WaitUntil([&] { return running.End().has_value(); }));
    EXPECT_EQ(running.End(), (ProgramEnd{true, SIGKILL}));
}

TEST(ChildProcess, TheProgramCanBeOtherThanTheFirstArgument) {
    test::TempDir dir;
    std::string path = dir / "out";
    detail::UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(out);
    // The program sees the name it was given, not the file's.
    EXPECT_EQ(RunToEnd("/bin/sh", {"not-a-shell", "-c", "echo $0"}, kEnv, out.Get()),
              (ProgramEnd{false, 0}));
    out.Reset();
    EXPECT_EQ(test::ReadFile(path).value_or(""), "not-a-shell\n");
}

TEST(ChildProcess, TheChildGetsExactlyTheGivenEnvironmentAndOutput) {
    test::TempDir dir;
    std::string path = dir / "out";
    detail::UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(out);
    EXPECT_EQ(RunShell("env | sort", out.Get()), (ProgramEnd{false, 0}));
    out.Reset();
    // The shell adds PWD (and may add SHLVL); what we gave is there, nothing of ours else.
    std::string text = test::ReadFile(path).value_or("");
    EXPECT_NE(text.find("MARK=seen\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("HOME="), std::string::npos) << text;
}

TEST(ChildProcess, AProgramThatCannotStartIsAFailure) {
    ChildStartOptions options;
    options.program = "/nonexistent/tool";
    options.arguments = {"tool"};
    options.environment = kEnv;
    ChildProcess child;
    // glibc reports the failed exec of the spawned child as the spawn's failure.
    EXPECT_EQ(StartError(child, options), ENOENT);
    EXPECT_FALSE(child.Started());
    EXPECT_FALSE(child.End().has_value());
    // A file without a format the system knows is no program either (the caller may give it to
    // a shell, as execvp does).
    test::TempDir dir;
    test::WriteFile(dir / "script", "exit 4\n");
    ASSERT_EQ(chmod((dir / "script").c_str(), 0755), 0);
    options.program = dir / "script";
    ChildProcess script;
    EXPECT_EQ(StartError(script, options), ENOEXEC);
}

TEST(ChildProcess, InheritedSignalStateIsOursOtherwiseAClean) {
    // Ignored SIGPIPE and a blocked SIGUSR1, as a build tool may pass them to its children.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldPipe {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t oldMask;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &oldMask), 0);
    // The shell's own view: the hexadecimal masks SigIgn and SigBlk of /proc/self/status, where
    // signal n is bit n - 1.
    const std::string probe =
        "grep -E '^Sig(Ign|Blk)' /proc/$$/status | tr -d '\\t' | tr '\\n' ' '";
    auto bit = [](const std::string& text, const std::string& field, int signal) {
        std::size_t at = text.find(field + ":");
        EXPECT_NE(at, std::string::npos) << text;
        unsigned long long mask =
            at == std::string::npos ? 0
                                    : std::stoull(text.substr(at + field.size() + 1), nullptr, 16);
        return (mask >> (signal - 1)) & 1;
    };
    for (bool inherit : {false, true}) {
        for (bool vforkPath : {false, true}) {
            ChildStartOptions options = Shell(probe);
            options.inheritSignalState = inherit;
            options.killWithParent = vforkPath;
            options.pipeOutput = true;
            ChildProcess child;
            ASSERT_TRUE(child.Start(options));
            std::string text = ReadToEnd(child.OutputHandle());
            ASSERT_TRUE(child.Wait(10000));
            EXPECT_EQ(bit(text, "SigIgn", SIGPIPE), inherit ? 1u : 0u) << text << vforkPath;
            EXPECT_EQ(bit(text, "SigBlk", SIGUSR1), inherit ? 1u : 0u) << text << vforkPath;
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
}

TEST(ChildProcess, EndLikeGivesOurParentTheChildsStatus) {
    for (ProgramEnd end :
         {ProgramEnd{false, 0}, ProgramEnd{false, 42}, ProgramEnd{true, SIGSEGV},
          ProgramEnd{true, SIGTERM}, ProgramEnd{true, SIGINT}, ProgramEnd{false, 128 + SIGKILL}}) {
        int pid = test::ForkChild([&] {
            // A process that caught the signal before (as a stand-in does) still ends by it.
            ForwardEndSignals(0, false);
            EndLike(end);
            return 99;
        });
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (end.signalled) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), end.number);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), end.number);
        }
    }
}

TEST(ChildProcess, EndSignalsArePassedOnToTheChild) {
    for (bool asTerminate : {true, false}) {
        test::TempDir dir;
        std::string marker = dir / "up";
        int pid = test::ForkChild([&] {
            ForwardEndSignals(0, asTerminate);
            ChildStartOptions options = Shell(": > " + marker + "; exec sleep 30");
            options.inheritSignalState = true;
            ChildProcess child;
            if (!child.Start(options)) {
                return 90;
            }
            ForwardEndSignals(child.Pid(), asTerminate);
            child.Wait(-1);
            // SIGINT came in; the child got SIGTERM, or SIGINT itself.
            const int expected = asTerminate ? SIGTERM : SIGINT;
            return child.End() == ProgramEnd{true, expected} ? 0 : 91;
        });
        ASSERT_TRUE(test::WaitUntil([&] { return access(marker.c_str(), F_OK) == 0; }));
        kill(pid, SIGINT);
        EXPECT_EQ(test::WaitChild(pid, std::chrono::seconds(20)), 0) << asTerminate;
    }
}

TEST(ChildProcess, AnEndSignalBeforeTheChildIsPassedOnOnceItIsThere) {
    test::TempDir dir;
    std::string marker = dir / "asked";
    int pid = test::ForkChild([&] {
        ForwardEndSignals(0, false);
        // The signal arrives while there is no child yet: it is kept, not lost.
        kill(getpid(), SIGHUP);
        ChildStartOptions options = Shell("exec sleep 30");
        options.inheritSignalState = true;
        ChildProcess child;
        if (!child.Start(options)) {
            return 90;
        }
        ForwardEndSignals(child.Pid(), false);
        if (!child.Wait(20000)) {
            kill(child.Pid(), SIGKILL);
            return 91;
        }
        if (ReceivedEndSignal() != SIGHUP) {
            return 93;
        }
        return child.End() == ProgramEnd{true, SIGHUP} ? 0 : 92;
    });
    EXPECT_EQ(test::WaitChild(pid, std::chrono::seconds(30)), 0);
}

TEST(ChildProcess, ReplaceProcessRunsTheProgramOrSaysWhyNot) {
    int pid = test::ForkChild([&] {
        Failure failure = ReplaceProcess("/nonexistent/tool", {"tool"}, kEnv);
        if (failure.code != ENOENT) {
            return 90;
        }
        failure = ReplaceProcess("/bin/sh", {"sh", "-c", "exit $MARKED"}, {"MARKED=7"});
        return 91;
    });
    EXPECT_EQ(test::WaitChild(pid, std::chrono::seconds(20)), 7);
}

TEST(ChildProcess, PriorityClassesMapToNiceValues) {
    EXPECT_EQ(NiceValueOfPriorityClass(0x20), 0);
    EXPECT_EQ(NiceValueOfPriorityClass(0x40), 19);
    EXPECT_EQ(NiceValueOfPriorityClass(0x4000), 10);
    EXPECT_EQ(NiceValueOfPriorityClass(0x8000), -5);
    EXPECT_EQ(NiceValueOfPriorityClass(0x80), -10);
    EXPECT_EQ(NiceValueOfPriorityClass(0x100), -20);
    EXPECT_FALSE(NiceValueOfPriorityClass(7).has_value());
}

// Runs body in a child of the test (which has no other children there) that has become a
// subreaper and has run script, a shell that leaves orphans behind for it to adopt. Returns the
// child's exit code: 10 or 11 when that set-up failed, else body's result.
int WithAdoptedOrphans(const std::string& script, const std::function<int()>& body) {
    int pid = test::ForkChild([&] {
        if (!BecomeChildSubreaper()) {
            return 10;
        }
        ChildProcess shell;
        if (!shell.Start(Shell(script)) || !shell.Wait(20000)) {
            return 11;
        }
        return body();
    });
    return test::WaitChild(pid, std::chrono::seconds(40));
}

TEST(KillRemainingChildren, EndsAdoptedOrphansAndChildrenOfOtherThreads) {
    test::TempDir dir;
    std::string pidFile = dir / "orphan.pid";
    // An orphan: its parent shell ends at once, so it is adopted by us.
    int code = WithAdoptedOrphans("setsid sleep 300 & echo $! > " + pidFile, [&] {
        // A child started by another thread, which has ended since.
        ChildProcess fromThread;
        std::thread([&] { (void)fromThread.Start(Program({"sleep", "300"})); }).join();
        if (!fromThread.Started()) {
            return 12;
        }
        std::string text = test::ReadFile(pidFile).value_or("");
        int orphan = std::atoi(text.c_str());
        if (orphan <= 0) {
            return 13;
        }
        if (KillRemainingChildren(5000) < 2) {
            return 14;
        }
        // Both are gone and reaped.
        if (kill(orphan, 0) == 0 || kill(fromThread.Pid(), 0) == 0) {
            return 15;
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
}

TEST(KillRemainingChildren, AsksFirstWithAGracePeriodThenKillsWhatStays) {
    test::TempDir dir;
    std::string tidied = dir / "tidied";
    // One orphan tidies up when asked to end; another ignores the request.
    int code = WithAdoptedOrphans(
        "(trap 'echo done > " + tidied +
            "; exit 0' TERM; while :; do sleep 0.05; done) & "
            "(trap '' TERM; exec sleep 300) & sleep 0.3",
        [&] {
            auto start = std::chrono::steady_clock::now();
            if (KillRemainingChildren(5000, 1000) < 2) {
                return 12;
            }
            // The one that ignored the request was killed once the grace period ended.
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
                return 13;
            }
            if (test::ReadFile(tidied).value_or("") != "done\n") {
                return 14;
            }
            // No child is left, not even a zombie.
            return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 15;
        });
    EXPECT_EQ(code, 0);
}

} // namespace
} // namespace qz::platform
