// The interception of tool starts, end to end: the preload library in a build tool in miniature
// (SpawnProbe), in /bin/sh, GNU make and ninja; qzrelay; and a stand-in broker in this test that
// answers as each test asks (the real broker lives in Tasksmith).

#include "RelayProtocol.h"
#include "TestSupport.h"
#include "platform/LocalSocket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qz::intercept {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

/// What the stand-in broker does with a RUN.
struct Answer {
    enum Kind {
        Reply,      ///< sends message
        Close,      ///< closes the connection without a word
        Raw,        ///< sends raw bytes, then closes
        HoldClose,  ///< waits holdMs, then closes
        ReplyClose, ///< sends message and closes at once (a broker that dies during the run)
    };
    Kind kind = Reply;
    Message message = LocalMessage{""};
    std::string raw;
    int holdMs = 0;
};

/// A message as "KIND field field ...".
std::string LineOf(const Message& message) {
    std::string line;
    for (const std::string& field : FieldsOf(message)) {
        line += (line.empty() ? "" : " ") + field;
    }
    return line;
}

/// A broker on a local socket in a private folder. Every connection is served by a thread of
/// its own; the object stops and joins them all. An ASK (a build tool that would start the tool
/// itself) is answered BUSY unless the test gives an answer for it.
class StandInBroker {
public:
    using Policy = std::function<Answer(const RunMessage&)>;

    StandInBroker(const std::string& folder, Policy policy,
                  Answer ask = Answer{Answer::Reply, BusyMessage{}, "", 0})
        : policy_(std::move(policy)), ask_(std::move(ask)) {
        mkdir(folder.c_str(), 0700);
        path_ = folder + "/broker.sock";
        auto listener = platform::ListenLocalSocket(path_);
        EXPECT_TRUE(listener) << listener.error().Text();
        listener_ = listener ? *listener : -1;
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~StandInBroker() {
        stopping_ = true;
        // Wakes the acceptor with a connection of our own.
        auto wake = platform::ConnectLocalSocket(path_);
        acceptor_.join();
        if (wake) {
            platform::CloseHandle(*wake);
        }
        for (std::thread& server : servers_) {
            server.join();
        }
        platform::CloseHandle(listener_);
        unlink(path_.c_str());
    }
    StandInBroker(const StandInBroker&) = delete;
    StandInBroker& operator=(const StandInBroker&) = delete;

    const std::string& Path() const { return path_; }
    std::string RunsTablePath() const {
        return path_.substr(0, path_.rfind('/') + 1) + std::string(kExecRunsName);
    }

    std::vector<RunMessage> Runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }
    std::vector<RunMessage> Asks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return asks_;
    }
    /// The messages after RUN, as "KIND step a b".
    std::vector<std::string> Ends() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ends_;
    }
    /// Waits (bounded) until count connections that sent RUN have been served to their end.
    bool WaitServed(int count) {
        return test::WaitUntil([&] { return served_.load() >= count; });
    }
    /// The same for connections that sent ASK.
    bool WaitAsksServed(int count) {
        return test::WaitUntil([&] { return asksServed_.load() >= count; });
    }
    /// The same for connections that sent REAPED.
    bool WaitReaped(int count) {
        return test::WaitUntil([&] { return reaped_.load() >= count; });
    }

    /// Makes the runs table beside the socket, so that a process that execs a tool may hand
    /// its run off to its parent.
    void MakeRunsTable() { test::WriteFile(RunsTablePath(), std::string(kExecRuns * 8, '\0')); }
    /// The pids of the table's entries that are not free.
    std::vector<std::int32_t> RunsTableEntries() const {
        std::vector<std::int32_t> pids;
        std::string table = test::ReadFile(RunsTablePath()).value_or("");
        for (std::size_t i = 0; i + 8 <= table.size(); i += 8) {
            std::int32_t pid = 0;
            std::memcpy(&pid, table.data() + i, 4);
            if (pid != 0) {
                pids.push_back(pid);
            }
        }
        return pids;
    }

private:
    void Accept() {
        while (!stopping_) {
            auto connection = platform::AcceptLocalConnection(listener_);
            if (!connection || stopping_) {
                if (connection) {
                    platform::CloseHandle(*connection);
                }
                return;
            }
            servers_.emplace_back([this, fd = *connection] { Serve(fd); });
        }
    }

    void Serve(platform::THandle fd) {
        auto uid = platform::LocalPeerUid(fd);
        EXPECT_TRUE(uid && *uid == platform::CurrentUserId());
        auto first = ReadMessage(fd);
        const bool ask = first && std::holds_alternative<AskMessage>(*first);
        if (first && std::holds_alternative<ReapedMessage>(*first)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ends_.push_back(LineOf(*first));
            }
            platform::CloseHandle(fd);
            ++reaped_;
            return;
        }
        if (first && (ask || std::holds_alternative<RunMessage>(*first))) {
            const RunMessage& run =
                ask ? std::get<AskMessage>(*first) : std::get<RunMessage>(*first);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                (ask ? asks_ : runs_).push_back(run);
            }
            Answer answer = ask ? ask_ : policy_(run);
            if (answer.kind == Answer::Reply) {
                EXPECT_TRUE(WriteMessage(fd, answer.message));
                for (;;) {
                    auto next = ReadMessage(fd);
                    if (!next) {
                        break;
                    }
                    std::lock_guard<std::mutex> lock(mutex_);
                    ends_.push_back(LineOf(*next));
                }
            } else if (answer.kind == Answer::ReplyClose) {
                EXPECT_TRUE(WriteMessage(fd, answer.message));
            } else if (answer.kind == Answer::Raw) {
                platform::SendAll(fd, answer.raw.data(), answer.raw.size());
            } else if (answer.kind == Answer::HoldClose) {
                test::SleepMs(answer.holdMs);
            }
        }
        platform::CloseHandle(fd);
        ++(ask ? asksServed_ : served_);
    }

    Policy policy_;
    Answer ask_;
    std::string path_;
    platform::THandle listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> servers_;
    std::mutex mutex_;
    std::vector<RunMessage> runs_;
    std::vector<RunMessage> asks_;
    std::vector<std::string> ends_;
    std::atomic<int> served_{0};
    std::atomic<int> asksServed_{0};
    std::atomic<int> reaped_{0};
};

Answer Slot() {
    return Answer{Answer::Reply, SlotMessage{"s1"}, "", 0};
}

void WriteExecutable(const std::string& path, const std::string& text) {
    test::WriteFile(path, text);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

/// The tool the tests catch: a shell script that does what its first argument says.
constexpr const char* kTool = R"(#!/bin/sh
case "$1" in
exit) exit "$2" ;;
segv) kill -SEGV $$ ;;
selfkill) echo "about to go" >&2; kill -"$2" $$ ;;
big) cat "$2"; cat "$3" >&2 ;;
env) env | grep -E '^(QZ_INTERCEPT_|LD_PRELOAD=)'; echo "PATH=$PATH" ;;
nested) mytool echo inner ;;
echo) shift; echo "$@"; echo "err:$*" >&2 ;;
sleep) echo started; : > "$2"; exec sleep 30 ;;
esac
)";

/// A stand-in for srun: "fakesrun --node=N [--fail] program args...". It reports the task's end
/// as srun does: a line of its own, and 128 + n as its exit code for a task killed by signal n.
/// PROBE (in the environment) is the SpawnProbe that tells it how the task ended.
constexpr const char* kFakeSrun = R"(#!/bin/sh
node=${1#--node=}; shift
if [ "$1" = --fail ]; then
  echo "half output"
  echo "srun: error: Unable to create step for job 5: Invalid node name" >&2
  exit 1
fi
status=$(mktemp)
# srun ends its step on SIGTERM: the task is killed, and srun reports it so.
PROBE_STATUS=$status setsid "$PROBE" spawnp "$@" &
job=$!
trap 'kill -KILL -$job' TERM
wait $job
wait $job 2>/dev/null
trap - TERM
if [ ! -s "$status" ]; then
  rm -f "$status"
  echo "srun: error: $node: task 0: Killed" >&2
  exit 137
fi
set -- $(cat "$status"); rm -f "$status"
if [ "$1" = signal ]; then
  case $2 in 9) text=Killed ;; 11) text="Segmentation fault" ;; 15) text=Terminated ;;
  *) text="Signal $2" ;; esac
  echo "srun: error: $node: task 0: $text" >&2
  exit $((128 + $2))
fi
[ "$2" -ne 0 ] && echo "srun: error: $node: task 0: Exited with exit code $2" >&2
exit "$2"
)";

class InterceptTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = dir_ / "bin";
        ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
        WriteExecutable(bin_ + "/mytool", kTool);
        WriteExecutable(bin_ + "/othertool", "#!/bin/sh\necho other \"$@\"\n");
        WriteExecutable(bin_ + "/fakesrun", kFakeSrun);
        status_ = dir_ / "status";
    }

    /// The environment the broker would give the build tool.
    test::RunOptions Options(const std::string& socket) {
        test::RunOptions options;
        options.cwd = dir_.path();
        options.env["PATH"] = bin_ + ":/usr/bin:/bin";
        options.env["LD_PRELOAD"] = QZ_INTERCEPT_LIBRARY;
        options.env["QZ_INTERCEPT_SOCKET"] = socket;
        options.env["QZ_INTERCEPT_RELAY"] = QZ_RELAY_PATH;
        options.env["QZ_INTERCEPT_TOOLS"] = "cc-never:mytool";
        options.env["PROBE_STATUS"] = status_;
        options.env["PROBE"] = QZ_SPAWN_PROBE;
        return options;
    }

    /// Options with the masquerade folder, whose one link is "mytool", first in PATH.
    test::RunOptions MasqueradeOptions(const std::string& socket) {
        const std::string masq = dir_ / "masq";
        EXPECT_EQ(mkdir(masq.c_str(), 0755), 0);
        EXPECT_EQ(symlink(QZ_RELAY_PATH, (masq + "/mytool").c_str()), 0);
        test::RunOptions options = Options(socket);
        options.env["QZ_INTERCEPT_MASQ"] = masq;
        options.env["PATH"] = masq + ":" + bin_ + ":/usr/bin:/bin";
        return options;
    }

    /// Runs "mytool sleep" through the broker at socket and sends signal to its relay (whose pid
    /// the broker stores in relayPid) once the tool runs; returns when the probe has ended.
    void SignalTheRelayOfASleepingTool(const std::string& socket, const std::atomic<int>& relayPid,
                                       int signal) {
        std::string marker = dir_ / "started";
        std::thread prober([&] {
            auto result = Probe({"spawnp", "mytool", "sleep", marker}, Options(socket));
            EXPECT_EQ(result.out, "started\n");
            EXPECT_EQ(result.err, "");
        });
        // The tool is running once its marker is there; the relay waits for it.
        EXPECT_TRUE(test::WaitUntil([&] { return access(marker.c_str(), F_OK) == 0; }));
        EXPECT_GT(relayPid.load(), 0);
        if (relayPid.load() > 0) {
            kill(relayPid.load(), signal);
        }
        prober.join();
    }

    test::RunResult Probe(const std::vector<std::string>& arguments,
                          const test::RunOptions& options, bool isStatic = false) {
        std::vector<std::string> argv{isStatic ? QZ_SPAWN_PROBE_STATIC : QZ_SPAWN_PROBE};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return test::RunProgram(argv, options);
    }

    std::string Status() { return test::ReadFile(status_).value_or("none"); }

    test::TempDir dir_;
    std::string bin_;
    std::string status_;
};

TEST_F(InterceptTest, EveryWayOfStartingAToolIsCaughtByNameAndByPath) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    const std::vector<std::pair<std::string, std::string>> starts = {
        {"execve", bin_ + "/mytool"}, {"execv", bin_ + "/mytool"}, {"execvp", "mytool"},
        {"execvpe", "mytool"},        {"execl", bin_ + "/mytool"}, {"execlp", "mytool"},
        {"execle", bin_ + "/mytool"}, {"spawn", bin_ + "/mytool"}, {"spawnp", "mytool"},
        {"execvp", bin_ + "/mytool"}, {"spawnp", bin_ + "/mytool"}};
    int count = 0;
    for (const auto& [method, program] : starts) {
        auto result = Probe({method, program, "echo", "a b", "c"}, Options(broker.Path()));
        EXPECT_EQ(result.exitCode, 0) << method << " " << program << ": " << result.err;
        EXPECT_EQ(result.out, "a b c\n") << method;
        EXPECT_EQ(result.err, "err:a b c\n") << method;
        ++count;
        ASSERT_TRUE(broker.WaitServed(count));
        auto runs = broker.Runs();
        ASSERT_EQ(runs.size(), static_cast<std::size_t>(count)) << method << " " << program;
        EXPECT_EQ(runs.back().program, bin_ + "/mytool");
        EXPECT_THAT(runs.back().argv, ElementsAre(program, "echo", "a b", "c")) << method;
        EXPECT_EQ(runs.back().cwd, dir_.path());
        EXPECT_EQ(broker.Ends().back(), "DONE s1 exit 0") << method;
    }
}

// A build tool that spawns a tool asks first; given a slot at once it starts the tool itself
// (no relay), and its wait reports how the tool ended: the same bytes, code and signal.
TEST_F(InterceptTest, ASpawnGivenASlotAtOnceStartsTheToolWithoutARelay) {
    StandInBroker broker(
        dir_ / "sock", [](const RunMessage&) { return Slot(); },
        Answer{Answer::Reply, SlotMessage{"7"}, "", 0});
    int served = 0;
    // One at a time, so that the broker's record of each ends before the next begins.
    auto probe = [&](const std::vector<std::string>& arguments) {
        auto result = Probe(arguments, Options(broker.Path()));
        EXPECT_TRUE(broker.WaitAsksServed(++served));
        return result;
    };
    auto result = probe({"spawnp", "mytool", "echo", "a b", "c"});
    EXPECT_EQ(result.out, "a b c\n");
    EXPECT_EQ(result.err, "err:a b c\n");
    EXPECT_EQ(Status(), "exit 0");
    probe({"spawn", bin_ + "/mytool", "exit", "3"});
    EXPECT_EQ(Status(), "exit 3");
    probe({"spawnp", "mytool", "segv"});
    EXPECT_EQ(Status(), "signal 11");
    result = probe({"spawnp", "mytool", "env"});
    EXPECT_EQ(result.out, "PATH=" + bin_ + ":/usr/bin:/bin\n") << "a clean environment";
    EXPECT_TRUE(broker.Runs().empty()) << "no relay";
    auto asks = broker.Asks();
    ASSERT_EQ(asks.size(), 4u);
    EXPECT_EQ(asks[0].program, bin_ + "/mytool");
    EXPECT_THAT(asks[0].argv, ElementsAre("mytool", "echo", "a b", "c"));
    EXPECT_EQ(asks[0].cwd, dir_.path());
    auto ends = broker.Ends();
    ASSERT_EQ(ends.size(), 8u);
    EXPECT_THAT(ends[0], ::testing::StartsWith("STARTED 7 "));
    EXPECT_NE(ends[0], "STARTED 7 " + std::to_string(asks[0].pid)) << "the tool's pid";
    EXPECT_EQ(ends[1], "DONE 7 exit 0");
    EXPECT_EQ(ends[3], "DONE 7 exit 3");
    EXPECT_EQ(ends[5], "DONE 7 signal 11");
}

// A build tool that reaps its children in a SIGCHLD handler: every end is reported all the same,
// also of a tool so quick that it may be reaped before the spawn's wrapper has returned.
TEST_F(InterceptTest, EveryDirectRunReapedInASignalHandlerIsReported) {
    StandInBroker broker(
        dir_ / "sock", [](const RunMessage&) { return Slot(); },
        Answer{Answer::Reply, SlotMessage{"3"}, "", 0});
    test::RunOptions options = Options(broker.Path());
    options.env["QZ_INTERCEPT_TOOLS"] = "true:false";
    Probe({"spawn-reaper", "false"}, options);
    EXPECT_EQ(Status(), "exit 1");
    ASSERT_TRUE(broker.WaitAsksServed(20));
    auto ends = broker.Ends();
    EXPECT_EQ(std::count(ends.begin(), ends.end(), "DONE 3 exit 1"), 20);
    EXPECT_EQ(ends.size(), 40u);
}

// A shell that execs a tool given a slot hands the run off to its parent, the build tool, whose
// wait reports the end: no relay, the tool's own status, and the table entry freed. A parent
// without the library cannot report, so the shell leaves the run to the relay.
TEST_F(InterceptTest, AnExecGivenASlotHandsTheRunOffToTheParentThatReapsIt) {
    StandInBroker broker(
        dir_ / "sock", [](const RunMessage&) { return Slot(); },
        Answer{Answer::Reply, SlotMessage{"7"}, "", 0});
    broker.MakeRunsTable();
    auto result =
        Probe({"spawnp", "/bin/sh", "-c", "exec mytool echo a b"}, Options(broker.Path()));
    EXPECT_EQ(result.out, "a b\n");
    EXPECT_EQ(result.err, "err:a b\n");
    EXPECT_EQ(Status(), "exit 0");
    ASSERT_TRUE(broker.WaitReaped(1));
    Probe({"spawnp", "/bin/sh", "-c", "exec mytool segv"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "signal 11");
    ASSERT_TRUE(broker.WaitReaped(2));
    ASSERT_TRUE(broker.WaitAsksServed(2));
    EXPECT_TRUE(broker.Runs().empty()) << "no relay";
    auto ends = broker.Ends();
    ASSERT_EQ(ends.size(), 4u);
    // "HANDOFF 7 <pid> <entry>", then "REAPED 7 <pid> ..." with the same pid.
    for (std::size_t i = 0; i < 4; i += 2) {
        std::istringstream handoff(ends[i]);
        std::string kind, step, pid;
        handoff >> kind >> step >> pid;
        EXPECT_EQ(kind + " " + step, "HANDOFF 7");
        EXPECT_THAT(ends[i + 1], ::testing::StartsWith("REAPED 7 " + pid + " "));
    }
    EXPECT_THAT(ends[1], ::testing::EndsWith(" exit 0"));
    EXPECT_THAT(ends[3], ::testing::EndsWith(" signal 11"));
    EXPECT_TRUE(broker.RunsTableEntries().empty());

    Probe({"spawnp", "/bin/sh", "-c", "exec mytool exit 4"}, Options(broker.Path()), true);
    EXPECT_EQ(Status(), "exit 4");
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_EQ(broker.Runs().size(), 1u);
    EXPECT_EQ(broker.Ends().back(), "DONE s1 exit 4");
}

// Not counted: the build tool starts the tool itself and reports nothing. Told BUSY, or given
// nonsense, it starts the relay, which asks again.
TEST_F(InterceptTest, ASpawnToldLocalRunsTheToolAndOneToldBusyOrNonsenseStartsTheRelay) {
    {
        StandInBroker broker(
            dir_ / "local", [](const RunMessage&) { return Slot(); },
            Answer{Answer::Reply, LocalMessage{""}, "", 0});
        auto result = Probe({"spawnp", "mytool", "exit", "4"}, Options(broker.Path()));
        EXPECT_EQ(Status(), "exit 4");
        ASSERT_TRUE(broker.WaitAsksServed(1));
        EXPECT_TRUE(broker.Runs().empty());
        EXPECT_TRUE(broker.Ends().empty());
    }
    for (const Answer& answer :
         {Answer{Answer::Reply, BusyMessage{}, "", 0}, Answer{Answer::Close, {}, "", 0},
          Answer{Answer::Raw, {}, std::string("\x05\0\0\0SLOT\0", 9), 0},
          Answer{Answer::Reply, SlotMessage{"x1"}, "", 0}}) {
        StandInBroker broker(
            dir_ / "busy", [](const RunMessage&) { return Slot(); }, answer);
        auto result = Probe({"spawnp", "mytool", "echo", "x"}, Options(broker.Path()));
        EXPECT_EQ(result.out, "x\n");
        ASSERT_TRUE(broker.WaitServed(1));
        EXPECT_EQ(broker.Asks().size(), 1u);
        EXPECT_EQ(broker.Runs().size(), 1u);
        EXPECT_EQ(broker.Ends().back(), "DONE s1 exit 0");
    }
}

TEST_F(InterceptTest, ShellCommandsAndSystemAreCaughtInTheShell) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto result =
        Probe({"execv", "/bin/sh", "-c", "mytool echo x; othertool y"}, Options(broker.Path()));
    EXPECT_EQ(result.out, "x\nother y\n");
    EXPECT_EQ(result.err, "err:x\n");
    result = Probe({"system", "cd bin && ./mytool echo y | cat"}, Options(broker.Path()));
    EXPECT_EQ(result.out, "y\n");
    ASSERT_TRUE(broker.WaitServed(2));
    auto runs = broker.Runs();
    ASSERT_EQ(runs.size(), 2u); // othertool is no tool of the list
    EXPECT_EQ(runs[1].program, bin_ + "/mytool");
    EXPECT_EQ(runs[1].cwd, bin_);
}

TEST_F(InterceptTest, EnvironmentDroppedByTheCallerIsPutBack) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    // The shell starts with an empty environment, and still its start of the tool is caught.
    auto result =
        Probe({"execve-noenv", "/bin/sh", "-c", bin_ + "/mytool echo z"}, Options(broker.Path()));
    EXPECT_EQ(result.out, "z\n");
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_EQ(broker.Runs().size(), 1u);
}

TEST_F(InterceptTest, TheToolRunsCleanAndItsOwnStartsPassThrough) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto options = Options(broker.Path());
    options.env["QZ_INTERCEPT_MASQ"] = dir_ / "masq";
    options.env["PATH"] = dir_ / "masq" + ":" + bin_ + ":/usr/bin:/bin";
    auto result = Probe({"execvp", "mytool", "env"}, options);
    EXPECT_EQ(result.out, "PATH=" + bin_ + ":/usr/bin:/bin\n");
    result = Probe({"execvp", "mytool", "nested"}, options);
    EXPECT_EQ(result.out, "inner\n");
    EXPECT_EQ(result.err, "err:inner\n");
    ASSERT_TRUE(broker.WaitServed(2));
    EXPECT_EQ(broker.Runs().size(), 2u); // the nested start was not caught again
}

TEST_F(InterceptTest, ExitCodeAndSignalAreThoseOfTheTool) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto result = Probe({"spawnp", "mytool", "exit", "3"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "exit 3");
    result = Probe({"execvp", "mytool", "segv"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "signal 11");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(broker.WaitServed(2));
    EXPECT_THAT(broker.Ends(), ElementsAre("DONE s1 exit 3", "DONE s1 signal 11"));
}

TEST_F(InterceptTest, LargeOutputOnBothStreamsIsByteExact) {
    std::string out;
    std::string err;
    for (int i = 0; i < 200000; ++i) {
        out.push_back(static_cast<char>(i * 7 % 256));
        err.push_back(static_cast<char>(255 - i * 13 % 256));
    }
    test::WriteFile(dir_ / "out.bin", out);
    test::WriteFile(dir_ / "err.bin", err);
    for (bool remote : {false, true}) {
        StandInBroker broker(dir_ / (remote ? "sockr" : "sockl"), [&](const RunMessage&) {
            if (!remote) {
                return Slot();
            }
            return Answer{Answer::Reply,
                          RemoteMessage{"r1", "n1", {bin_ + "/fakesrun", "--node=n1"}}, "", 0};
        });
        auto result = Probe({"spawnp", "mytool", "big", dir_ / "out.bin", dir_ / "err.bin"},
                            Options(broker.Path()));
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.out == out) << "remote " << remote << " " << result.out.size();
        EXPECT_TRUE(result.err == err) << "remote " << remote << " " << result.err.size();
    }
}

TEST_F(InterceptTest, RemoteRunsReportTheToolNotSrun) {
    StandInBroker broker(dir_ / "sock", [&](const RunMessage&) {
        return Answer{Answer::Reply, RemoteMessage{"r7", "n2", {bin_ + "/fakesrun", "--node=n2"}},
                      "", 0};
    });
    auto result = Probe({"execvp", "mytool", "exit", "4"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "exit 4");
    EXPECT_EQ(result.err, ""); // srun's own end report is gone
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_THAT(broker.Ends(), ElementsAre("DONE r7 exit 4"));
}

TEST_F(InterceptTest, ARemoteToolKilledByASignalEndsTheRelayByThatSignal) {
    StandInBroker broker(dir_ / "sock", [&](const RunMessage&) {
        return Answer{Answer::Reply, RemoteMessage{"r9", "n1", {bin_ + "/fakesrun", "--node=n1"}},
                      "", 0};
    });
    auto result = Probe({"spawnp", "mytool", "selfkill", "SEGV"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "signal 11");
    EXPECT_EQ(result.err, "about to go\n"); // srun's report of the signal is gone
    result = Probe({"execvp", "mytool", "selfkill", "KILL"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "signal 9");
    // An exit code of 128 + n is no signal, remote as here.
    result = Probe({"spawnp", "mytool", "exit", "139"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "exit 139");
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(broker.WaitServed(3));
    EXPECT_THAT(broker.Ends(),
                ElementsAre("DONE r9 signal 11", "DONE r9 signal 9", "DONE r9 exit 139"));
}

TEST_F(InterceptTest, ARemoteRunEndedBecauseTheRelayWasAskedToEndsByTheSignalAsked) {
    std::atomic<int> relayPid{0};
    StandInBroker broker(dir_ / "sock", [&](const RunMessage& run) {
        relayPid = run.pid;
        return Answer{Answer::Reply, RemoteMessage{"r3", "n1", {bin_ + "/fakesrun", "--node=n1"}},
                      "", 0};
    });
    // srun is asked to end (SIGTERM), its task is killed; a tool here would have ended by SIGINT.
    SignalTheRelayOfASleepingTool(broker.Path(), relayPid, SIGINT);
    EXPECT_EQ(Status(), "signal 2");
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_THAT(broker.Ends(), ElementsAre("DONE r3 signal 2"));
}

TEST_F(InterceptTest, ASlurmFailureIsRetriedHereWithoutHalfAnOutput) {
    StandInBroker broker(dir_ / "sock", [&](const RunMessage&) {
        return Answer{Answer::Reply,
                      RemoteMessage{"r8", "n2", {bin_ + "/fakesrun", "--node=n2", "--fail"}}, "",
                      0};
    });
    auto result = Probe({"execvp", "mytool", "echo", "here"}, Options(broker.Path()));
    EXPECT_EQ(result.out, "here\n");
    EXPECT_EQ(result.err, "err:here\n");
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_THAT(broker.Ends(),
                ElementsAre("RETRY r8 srun: error: Unable to create step for job 5: Invalid node "
                            "name",
                            "DONE r8 exit 0"));
}

TEST_F(InterceptTest, WithoutABrokerTheToolRunsAsAPlainStart) {
    auto options = Options(dir_ / "no-such-socket");
    auto result = Probe({"execvp", "mytool", "echo", "alone"}, options);
    EXPECT_EQ(result.out, "alone\n");
    EXPECT_EQ(result.err, "err:alone\n");
    result = Probe({"execvp", "mytool", "segv"}, options);
    EXPECT_EQ(Status(), "signal 11");
    options.env["QZ_INTERCEPT_SOCKET"] = std::nullopt; // no broker named: the library idles
    result = Probe({"execvp", "mytool", "exit", "5"}, options);
    EXPECT_EQ(Status(), "exit 5");
}

TEST_F(InterceptTest, ABrokerThatGoesAwayOrTalksNonsenseMeansALocalRun) {
    std::vector<Answer> answers = {
        Answer{Answer::Close, {}, "", 0},
        Answer{Answer::HoldClose, {}, "", 200},
        Answer{Answer::Raw, {}, std::string("\xff\xff\xff\x7f", 4), 0},
        Answer{Answer::Raw, {}, std::string("\x05\0\0\0SLOT\0", 9), 0},
        Answer{Answer::Raw, {}, std::string("\x06\0\0\0", 4), 0},
        Answer{Answer::Reply, LocalMessage{""}, "", 0},
        Answer{Answer::Reply, LocalMessage{"no slot within the time limit"}, "", 0},
        Answer{Answer::Reply, DoneMessage{"x", false, 0}, "", 0},
    };
    std::atomic<std::size_t> next{0};
    StandInBroker broker(dir_ / "sock", [&](const RunMessage&) { return answers[next++]; });
    for (std::size_t i = 0; i < answers.size(); ++i) {
        auto result = Probe({"spawnp", "mytool", "exit", "3"}, Options(broker.Path()));
        EXPECT_EQ(Status(), "exit 3") << i;
        EXPECT_EQ(result.out, "") << i;
        EXPECT_EQ(result.err, "") << i;
    }
    ASSERT_TRUE(broker.WaitServed(static_cast<int>(answers.size())));
    EXPECT_THAT(broker.Ends(), ::testing::IsEmpty());
}

TEST_F(InterceptTest, ABrokerThatDiesDuringTheRunChangesNothingForTheTool) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) {
        return Answer{Answer::ReplyClose, SlotMessage{"s9"}, "", 0};
    });
    auto result =
        Probe({"spawnp", "mytool", "big", "/dev/null", "/dev/null"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "exit 0");
    result = Probe({"spawnp", "mytool", "segv"}, Options(broker.Path()));
    EXPECT_EQ(Status(), "signal 11");
    EXPECT_EQ(result.err, "");
}

TEST_F(InterceptTest, AStaticBuildToolCannotBeCaughtAndRunsItsToolsLocally) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto result = Probe({"execvp", "mytool", "echo", "static"}, Options(broker.Path()), true);
    EXPECT_EQ(result.out, "static\n");
    EXPECT_EQ(Status(), "exit 0");
    // Its shell children are dynamic again, and their starts are caught.
    result = Probe({"execv", "/bin/sh", "-c", "mytool echo via-sh"}, Options(broker.Path()), true);
    EXPECT_EQ(result.out, "via-sh\n");
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_EQ(broker.Runs().size(), 1u);
}

TEST_F(InterceptTest, TheMasqueradeFolderCatchesStartsByNameWithoutThePreload) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    std::string masq = dir_ / "masq";
    auto options = MasqueradeOptions(broker.Path());
    options.env["LD_PRELOAD"] = std::nullopt;
    auto result = Probe({"execvp", "mytool", "echo", "masked"}, options, true);
    EXPECT_EQ(result.out, "masked\n");
    EXPECT_EQ(result.err, "err:masked\n");
    result = Probe({"execvp", "mytool", "env"}, options, true);
    EXPECT_EQ(result.out, "PATH=" + bin_ + ":/usr/bin:/bin\n");
    // With the preload as well, the start is caught once (the library skips the folder).
    options.env["LD_PRELOAD"] = QZ_INTERCEPT_LIBRARY;
    result = Probe({"execvp", "mytool", "exit", "6"}, options);
    EXPECT_EQ(Status(), "exit 6");
    // A process whose starts are not examined is not caught by the folder either.
    options.env["QZ_INTERCEPT_PARENTS"] = "make";
    result = Probe({"execvp", "mytool", "echo", "let through"}, options);
    EXPECT_EQ(result.out, "let through\n");
    result = Probe({"spawnp", "mytool", "echo", "let through"}, options);
    EXPECT_EQ(result.out, "let through\n");
    options.env["QZ_INTERCEPT_PARENTS"] = std::nullopt;
    // A masquerade link whose tool exists nowhere else fails as a missing program would.
    options.env["LD_PRELOAD"] = std::nullopt;
    ASSERT_EQ(symlink(QZ_RELAY_PATH, (masq + "/ghost").c_str()), 0);
    result = Probe({"execvp", "ghost"}, options, true);
    EXPECT_EQ(Status(), "exit 127");
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(broker.WaitServed(3));
    auto runs = broker.Runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].program, bin_ + "/mytool");
    EXPECT_THAT(runs[0].argv, ElementsAre("mytool", "echo", "masked"));
}

// A static build tool still carries the preload library in its environment when it starts a
// tool by name: qzrelay, reached through the folder, starts with the library loaded (and, in a
// sanitizer build, with the sanitizer's runtime not first) and still runs the tool.
TEST_F(InterceptTest, TheFolderCatchesAStaticToolsStartsWithThePreloadStillSet) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto options = MasqueradeOptions(broker.Path());
    auto result = Probe({"execvp", "mytool", "echo", "static"}, options, true);
    EXPECT_EQ(result.out, "static\n");
    EXPECT_EQ(result.err, "err:static\n");
    result = Probe({"spawnp", "mytool", "segv"}, options, true);
    EXPECT_EQ(Status(), "signal 11");
    ASSERT_TRUE(broker.WaitServed(2));
    EXPECT_EQ(broker.Runs().size(), 2u);
    EXPECT_THAT(broker.Ends(), ElementsAre("DONE s1 exit 0", "DONE s1 signal 11"));
}

// QZ_INTERCEPT_PARENTS holds for starts that reach qzrelay through the folder as for the library:
// the process that started the tool (a shell counting as the first process above it that is no
// shell) must be on the list; otherwise the tool runs as a plain start.
TEST_F(InterceptTest, TheFolderHonoursTheParentsList) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    std::string masq = dir_ / "masq";
    auto options = MasqueradeOptions(broker.Path());
    options.env["QZ_INTERCEPT_PARENTS"] = "make,ninja";
    // A static tool that is not on the list: a plain start, the environment left as it was.
    auto result = Probe({"execvp", "mytool", "echo", "plain"}, options, true);
    EXPECT_EQ(result.out, "plain\n");
    EXPECT_EQ(Status(), "exit 0");
    result = Probe({"spawnp", "mytool", "env"}, options, true);
    EXPECT_THAT(result.out, HasSubstr("QZ_INTERCEPT_PARENTS=make,ninja\n"));
    EXPECT_THAT(result.out, HasSubstr("LD_PRELOAD=" QZ_INTERCEPT_LIBRARY "\n"));
    EXPECT_THAT(result.out, HasSubstr("PATH=" + masq + ":"));
    result = Probe({"execvp", "mytool", "exit", "5"}, options, true);
    EXPECT_EQ(Status(), "exit 5");
    result = Probe({"execvp", "mytool", "segv"}, options, true);
    EXPECT_EQ(Status(), "signal 11");
    EXPECT_TRUE(broker.Runs().empty());

    // On the list by the 15 bytes the system keeps of its name ("SpawnProbeStati").
    options.env["QZ_INTERCEPT_PARENTS"] = "make,SpawnProbeStatic";
    result = Probe({"execvp", "mytool", "echo", "listed"}, options, true);
    EXPECT_EQ(result.out, "listed\n");
    ASSERT_TRUE(broker.WaitServed(1));

    // A shell without the library (its environment scrubbed) counts as make above it.
    options.env["QZ_INTERCEPT_PARENTS"] = "make";
    test::WriteFile(dir_ / "Makefile",
                    "all:\n\tenv -u LD_PRELOAD /bin/sh -c 'mytool echo scrubbed; :'\n");
    result = test::RunProgram({"/usr/bin/make", "-s", "-f", dir_ / "Makefile"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "scrubbed\n");
    ASSERT_TRUE(broker.WaitServed(2));
    options.env["QZ_INTERCEPT_PARENTS"] = "ninja";
    result = test::RunProgram({"/usr/bin/make", "-s", "-f", dir_ / "Makefile"}, options);
    EXPECT_EQ(result.out, "scrubbed\n");
    auto runs = broker.Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_THAT(runs[0].argv, ElementsAre("mytool", "echo", "listed"));
    EXPECT_THAT(runs[1].argv, ElementsAre("mytool", "echo", "scrubbed"));
}

TEST_F(InterceptTest, TheRelayPassesEndSignalsOnAndEndsLikeTheTool) {
    std::atomic<int> relayPid{0};
    StandInBroker broker(dir_ / "sock", [&](const RunMessage& run) {
        relayPid = run.pid;
        return Slot();
    });
    SignalTheRelayOfASleepingTool(broker.Path(), relayPid, SIGTERM);
    EXPECT_EQ(Status(), "signal 15");
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_THAT(broker.Ends(), ElementsAre("DONE s1 signal 15"));
}

TEST_F(InterceptTest, ParentsLimitWhoseStartsAreExamined) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto options = Options(broker.Path());
    options.env["QZ_INTERCEPT_PARENTS"] = "make,ninja";
    auto result = Probe({"execvp", "mytool", "echo", "ignored"}, options);
    EXPECT_EQ(result.out, "ignored\n");
    test::WriteFile(dir_ / "Makefile", "all:\n\tmytool echo direct\n\tmytool echo piped | cat\n");
    result = test::RunProgram({"/usr/bin/make", "-s", "-f", dir_ / "Makefile"}, options);
    EXPECT_EQ(result.out, "direct\npiped\n");
    ASSERT_TRUE(broker.WaitServed(2));
    auto runs = broker.Runs();
    ASSERT_EQ(runs.size(), 2u); // make's own and its shell's, not SpawnProbe's
    EXPECT_THAT(runs[0].argv, ElementsAre("mytool", "echo", "direct"));
    EXPECT_THAT(runs[1].argv, ElementsAre("mytool", "echo", "piped"));

    // ninja runs every command through /bin/sh -c: the shell counts as ninja.
    test::WriteFile(dir_ / "build.ninja", "rule t\n  command = mytool echo $out\nbuild x: t\n");
    result = test::RunProgram({"/usr/bin/ninja", "-f", dir_ / "build.ninja"}, options);
    EXPECT_THAT(result.out, HasSubstr("x\n"));
    ASSERT_TRUE(broker.WaitServed(3));
    options.env["QZ_INTERCEPT_PARENTS"] = "make";
    test::WriteFile(dir_ / "build.ninja", "rule t\n  command = mytool echo $out\nbuild y: t\n");
    result = test::RunProgram({"/usr/bin/ninja", "-f", dir_ / "build.ninja"}, options);
    EXPECT_THAT(result.out, HasSubstr("y\n"));
    EXPECT_EQ(broker.Runs().size(), 3u);
}

TEST_F(InterceptTest, MakeAndNinjaRecipesAreCaught) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto options = Options(broker.Path());
    test::WriteFile(dir_ / "Makefile", "all: a b\na:\n\tmytool echo direct\nb:\n\t" + bin_ +
                                           "/mytool echo 'by path' && true\n");
    auto result =
        test::RunProgram({"/usr/bin/make", "-s", "-j2", "-f", dir_ / "Makefile"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("direct\n"));
    EXPECT_THAT(result.out, HasSubstr("by path\n"));
    // A failing tool stops make as usual, with the tool's message.
    test::WriteFile(dir_ / "Makefile.fail", "all:\n\tmytool echo failing && mytool exit 2\n");
    result = test::RunProgram({"/usr/bin/make", "-s", "-f", dir_ / "Makefile.fail"}, options);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, HasSubstr("err:failing\n"));
    EXPECT_THAT(result.err, HasSubstr("Error 2"));

    test::WriteFile(dir_ / "build.ninja", "rule t\n  command = mytool echo $out\nbuild x: t\n"
                                          "build y: t\n");
    result = test::RunProgram({"/usr/bin/ninja", "-f", dir_ / "build.ninja"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("x\n"));
    EXPECT_THAT(result.out, HasSubstr("y\n"));
    ASSERT_TRUE(broker.WaitServed(6));
    EXPECT_EQ(broker.Runs().size(), 6u);
}

TEST_F(InterceptTest, ACompilerIsCaughtOnceNotItsOwnPasses) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto options = Options(broker.Path());
    options.env["QZ_INTERCEPT_TOOLS"] = "gcc:cc:cc1:as:collect2:ld";
    test::WriteFile(dir_ / "hello.c", "int main(void) { return 7; }\n");
    auto result = Probe({"execvp", "gcc", "-o", dir_ / "hello", dir_ / "hello.c"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::RunProgram({dir_ / "hello"}).exitCode, 7);
    // A compile error reaches the caller as the compiler wrote it.
    test::WriteFile(dir_ / "bad.c", "int main(void) { return x; }\n");
    result = Probe({"execvp", "gcc", "-c", "-o", dir_ / "bad.o", dir_ / "bad.c"}, options);
    test::RunOptions here;
    here.cwd = dir_.path();
    auto plain =
        test::RunProgram({"/usr/bin/gcc", "-c", "-o", dir_ / "bad.o", dir_ / "bad.c"}, here);
    EXPECT_EQ(Status(), "exit 1");
    EXPECT_EQ(result.err, plain.err);
    ASSERT_TRUE(broker.WaitServed(2));
    auto runs = broker.Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].program, "/usr/bin/gcc");
}

// A tool of the list that is installed nowhere but in the masquerade folder fails as a plain start
// would: the shell's and make's own message and code, not qzrelay's.
TEST_F(InterceptTest, AToolMissingEverywhereButInTheMasqueradeFolderFailsAsAPlainStart) {
    StandInBroker broker(dir_ / "sock", [](const RunMessage&) { return Slot(); });
    auto options = MasqueradeOptions(broker.Path());
    ASSERT_EQ(symlink(QZ_RELAY_PATH, (dir_ / "masq/ghost").c_str()), 0);
    options.env["QZ_INTERCEPT_TOOLS"] = "cc-never:mytool:ghost";
    test::RunOptions plain;
    plain.cwd = dir_.path();
    plain.env["PATH"] = bin_ + ":/usr/bin:/bin";
    test::WriteFile(dir_ / "Makefile", "all:\n\tghost -c x.c\n");
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{"/bin/sh", "-c", "ghost -c x.c"},
          {"/bin/sh", "-c", bin_ + "/ghost -c x.c"},
          {"/bin/sh", "-c", "mytool echo found; ghost"},
          {"make", "-s"}}) {
        auto caught = test::RunProgram(argv, options);
        auto expected = test::RunProgram(argv, plain);
        EXPECT_EQ(caught.exitCode, expected.exitCode) << argv.back() << ": " << caught.err;
        EXPECT_EQ(caught.out, expected.out) << argv.back();
        EXPECT_EQ(caught.err, expected.err) << argv.back();
    }
    ASSERT_TRUE(broker.WaitServed(1));
    EXPECT_EQ(broker.Runs().size(), 1u) << "only the tool that exists was relayed";
}

TEST_F(InterceptTest, TheRelayStartedByHandSaysHowToUseIt) {
    for (const std::vector<std::string>& argv : {std::vector<std::string>{QZ_RELAY_PATH},
                                                 {QZ_RELAY_PATH, "/bin/true"},
                                                 {QZ_RELAY_PATH, "", "x"}}) {
        auto result = test::RunProgram(argv);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_THAT(result.err, HasSubstr("usage: qzrelay <program> <argv0>"));
    }
    // Without a broker, a relayed program simply runs.
    auto result = test::RunProgram({QZ_RELAY_PATH, "/bin/echo", "echo", "-n", "x"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "x");
    result = test::RunProgram({QZ_RELAY_PATH, "/nonexistent/tool", "tool"});
    EXPECT_EQ(result.exitCode, 127);
    EXPECT_EQ(result.err, "");
}

} // namespace
} // namespace qz::intercept
