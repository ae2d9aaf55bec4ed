#include "ProcessExecution.h"

#include "EnvUtils.h"
#include "Exceptions.h"
#include "NotifyTestSupport.h"
#include "TestSupport.h"
#include "platform/ProcessWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

namespace qz {
namespace {

using test::OnFreshThread;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint32_t kCapture = poInheritHandles | poCaptureOutput | poTempFileOutput;

// A shell command line (the script in double quotes, so it stays one argument).
std::string Shell(const std::string& script) {
    return "/bin/sh -c \"" + script + "\"";
}

template <typename Condition>
bool WaitUntil(Condition condition, milliseconds limit = milliseconds(10000)) {
    auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

std::string CapturedOutput(const std::string& script, std::uint32_t extra = 0) {
    TProcess process(Shell(script), kCapture | extra);
    process.Start(true);
    return process.StdOutText();
}

TEST(ProcessCapture, CarriageReturnsOverwriteTheLastLine) {
    EXPECT_EQ(CapturedOutput("printf '50%%\\r60%%\\r100%%\\n'"), "100%");
    EXPECT_EQ(CapturedOutput("printf 'abcdef\\rxy\\n'"), "xycdef");
    EXPECT_EQ(CapturedOutput("printf 'one\\r\\n\\ntwo\\r\\r\\nthree'"), "one\r\n\r\ntwo\r\nthree");
}

TEST(ProcessCapture, TerminateMarkerEndsTheCapture) {
    EXPECT_EQ(CapturedOutput("printf 'a\\nb___TamrelTerminateOutput___\\nc\\n'"), "a\r\nb");
    EXPECT_EQ(CapturedOutput("printf 'a\\n___TamrelTerminateOutput___\\nc\\n'"), "a");
}

TEST(ProcessCapture, SeparateOrSharedStandardError) {
    TProcess separate(Shell("echo out; echo err >&2"), kCapture | poSeparateStdErr);
    separate.Start(true);
    EXPECT_EQ(separate.StdOutText(), "out");
    EXPECT_EQ(separate.StdErrText(), "err");
    TProcess shared(Shell("echo out; echo err >&2"), kCapture);
    shared.Start(true);
    EXPECT_EQ(shared.StdOutText(), "out\r\nerr");
    EXPECT_EQ(shared.StdErrText(), "");
}

TEST(ProcessCapture, BothStreamsAreWholeWhenTheirLastBytesComeAtTheEnd) {
    // The two readers are stopped together when the child ends; each must still read its file
    // to the end, the last bytes written just before the exit included.
    TProcess process(Shell("i=0; while [ $i -lt 3000 ]; do echo out$i; echo err$i >&2; "
                           "i=$((i+1)); done; printf lastout; printf lasterr >&2; exit 3"),
                     kCapture | poSeparateStdErr);
    process.Start(true);
    EXPECT_EQ(process.ExitCode(), 3u);
    std::string expectedOut;
    std::string expectedErr;
    for (int i = 0; i < 3000; ++i) {
        expectedOut += "out" + std::to_string(i) + "\r\n";
        expectedErr += "err" + std::to_string(i) + "\r\n";
    }
    EXPECT_EQ(process.StdOutText(), expectedOut + "lastout");
    EXPECT_EQ(process.StdErrText(), expectedErr + "lasterr");
}

TEST(ProcessCapture, OutputArrivesWhileTheChildRuns) {
    // The child runs until the test lets it go (or 20 s pass), however slow the machine is.
    test::TempDir dir;
    std::string go = dir / "go";
    TProcess early(Shell("echo first; for i in $(seq 2000); do [ -e '" + go +
                         "' ] && exit 0; sleep 0.01; done; exit 1"),
                   kCapture);
    early.Start(false);
    EXPECT_TRUE(WaitUntil([&] { return early.StdOutText() == "first"; }));
    EXPECT_THROW(early.ExitCode(), Exception);
    early.SetAllowEarlyExitCode(true);
    EXPECT_EQ(early.ExitCode(), kStillActive);
    test::WriteFile(go, "");
    EXPECT_EQ(early.WaitFor(), 0);

    TProcess reader(Shell("echo in; read line"), kCapture); // standard input is the null device
    reader.Start(true);
    EXPECT_EQ(reader.StdOutText(), "in");
    EXPECT_EQ(reader.ExitCode(), 1u);
}

TEST(ProcessCapture, TemporaryFileGoesWithTheCapture) {
    std::string name;
    {
        TProcessOutputPipe pipe;
        name = pipe.FileName();
        EXPECT_EQ(name.rfind(TempFolder() + "Output_{", 0), 0u);
        EXPECT_TRUE(std::filesystem::exists(name));
        pipe.RequestStop();
        pipe.RequestStop();
        pipe.Stop();
        pipe.Stop();
    }
    EXPECT_FALSE(std::filesystem::exists(name));
}

// Without poTempFileOutput the capture goes through pipes that the watcher thread reads: the
// same lines, and no thread of its own.
constexpr std::uint32_t kPipeCapture = poInheritHandles | poCaptureOutput;

TEST(ProcessPipeCapture, SameLinesAsTheFileCapture) {
    for (const char* script : {"printf '50%%\\r60%%\\r100%%\\n'", "printf 'abcdef\\rxy\\n'",
                               "printf 'one\\r\\n\\ntwo\\r\\r\\nthree'",
                               "printf 'a\\nb___TamrelTerminateOutput___\\nc\\n'"}) {
        TProcess piped(Shell(script), kPipeCapture);
        piped.Start(true);
        EXPECT_EQ(piped.StdOutText(), CapturedOutput(script)) << script;
    }
}

TEST(ProcessPipeCapture, SeparateOrSharedStandardErrorAndNullInput) {
    TProcess separate(Shell("cat; echo out; echo err >&2; exit 6"),
                      kPipeCapture | poSeparateStdErr);
    separate.Start(true);
    EXPECT_EQ(separate.StdOutText(), "out");
    EXPECT_EQ(separate.StdErrText(), "err");
    EXPECT_EQ(separate.ExitCode(), 6u);
    TProcess shared(Shell("echo out; echo err >&2"), kPipeCapture);
    shared.Start(true);
    EXPECT_EQ(shared.StdOutText(), "out\r\nerr");
    EXPECT_EQ(shared.StdErrText(), "");
}

TEST(ProcessPipeCapture, OutputIsCompleteWhenOnDoneRunsWithoutExtraThreads) {
    OnFreshThread([](TNotifyQueue& queue) {
        constexpr int kChildren = 20;
        std::vector<std::unique_ptr<TProcess>> processes;
        int done = 0;
        bool complete = true;
        // Warm up: the watcher thread starts with the first child.
        TProcess first(Shell("exit 0"), 0);
        first.Start(true);
        const int threadsBefore = platform::ThreadCount();
        int threadsMost = threadsBefore;
        for (int i = 0; i < kChildren; ++i) {
            auto process =
                std::make_unique<TProcess>(Shell("seq 1 2000; echo last" + std::to_string(i) +
                                                 " >&2; exit " + std::to_string(i)),
                                           kPipeCapture | poSeparateStdErr);
            process->SetOnDone([&, i](TProcess& sender) {
                complete = complete && sender.StdErrText() == "last" + std::to_string(i) &&
                           sender.StdOutText().size() == 6893u + 2 * 1999 &&
                           sender.ExitCode() == static_cast<std::uint32_t>(i);
                if (++done == kChildren) {
                    queue.StopLoop();
                }
            });
            process->Start(false);
            threadsMost = std::max(threadsMost, platform::ThreadCount());
            processes.push_back(std::move(process));
        }
        queue.Run();
        EXPECT_EQ(done, kChildren);
        EXPECT_TRUE(complete);
        EXPECT_EQ(threadsMost, threadsBefore) << "a thread per child or stream";
    });
}

TEST(ProcessExit, CodesOfNormalEndsAndSignalsReachOnDone) {
    OnFreshThread([](TNotifyQueue& queue) {
        struct Case {
            std::string script;
            std::uint32_t expected;
        } cases[] = {{"exit 0", 0}, {"exit 7", 7}, {"kill -9 $$", 128 + 9}, {"kill -15 $$", 143}};
        std::vector<std::unique_ptr<TProcess>> processes;
        int done = 0;
        for (const Case& c : cases) {
            processes.push_back(std::make_unique<TProcess>(Shell(c.script), 0));
            processes.back()->SetOnDone([&](TProcess& sender) {
                EXPECT_TRUE(sender.Done());
                if (++done == 4) {
                    queue.StopLoop();
                }
            });
            processes.back()->Start(false);
        }
        queue.Run();
        ASSERT_EQ(done, 4);
        for (std::size_t i = 0; i < processes.size(); ++i) {
            EXPECT_EQ(processes[i]->ExitCode(), cases[i].expected) << cases[i].script;
        }
    });
}

TEST(ProcessExit, DestroyedProcessWithQueuedExitNeverCallsOnDone) {
    OnFreshThread([](TNotifyQueue& queue) {
        int calls = 0;
        auto process = std::make_unique<TProcess>(Shell("exit 3"), 0);
        process->SetOnDone([&](TProcess&) { ++calls; });
        process->Start(false);
        EXPECT_EQ(process->WaitFor(), 3);
        // Once the watcher has posted, the notification waits in the queue.
        ASSERT_TRUE(WaitUntil([&] { return process->ExitNotified(); }));
        process.reset();
        struct Stopper {
            TNotifyQueue* queue;
            void Call() { queue->StopLoop(); }
        } stopper{&queue};
        queue.Post(&stopper, npLow, TMethod::Of<&Stopper::Call>(&stopper));
        queue.Run();
        EXPECT_EQ(calls, 0);
    });
}

TEST(ProcessExit, ChildOutlivesItsProcessObject) {
    test::TempDir dir;
    std::string marker = dir / "alive";
    OnFreshThread([&](TNotifyQueue&) {
        TProcess process(Shell("sleep 0.3; echo yes > '" + marker + "'"), kCapture);
        process.Start(false);
    });
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(marker); }));
}

TEST(ProcessStart, OptionsMapToSessionAndNiceValue) {
    // With a new session the shell leads it: field 6 of its stat line is its own pid.
    TProcess leader(Shell("read -r a b c d e f rest < /proc/$$/stat; echo $f $$"),
                    kCapture | poNewConsole | poNewProcessGroup | poIdlePriority);
    leader.Start(true);
    std::string text = leader.StdOutText();
    auto blank = text.find(' ');
    ASSERT_NE(blank, std::string::npos) << text;
    EXPECT_EQ(text.substr(0, blank), text.substr(blank + 1));
    EXPECT_EQ(CapturedOutput("cut -d' ' -f19 /proc/$$/stat", poIdlePriority), "19");
    EXPECT_EQ(PriorityOption(0x4000), poBelowNormalPriority);
    EXPECT_EQ(PriorityOption(0x1234), 0u);
}

TEST(ProcessStart, MissingProgramIsAClearError) {
    TProcess process("/nonexistent/program --flag", 0);
    try {
        process.Start(true);
        ADD_FAILURE();
    } catch (const EOSError& e) {
        EXPECT_EQ(std::string(e.Message())
                      .rfind("Failed to create process: /nonexistent/program; /nonexistent/"
                             "program --flag: ",
                             0),
                  0u)
            << e.Message();
    }
    EXPECT_FALSE(process.Done());
}

} // namespace
} // namespace qz
