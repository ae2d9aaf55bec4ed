#include "AgentProgram.h"

#include "AgentRequests.h"
#include "AgentServer.h"
#include "BuildSlots.h"
#include "CM/DiagLog.h"
#include "CM/Exceptions.h"
#include "CM/NotifyQueue.h"
#include "CM/NvObjects.h"
#include "CM/RuntimeStartup.h"
#include "CommandFiles.h"
#include "NV/AgentInstance.h"
#include "platform/ChildProcess.h"
#include "platform/File.h"
#include "platform/NamedObjects.h"
#include "platform/NativeThread.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceProcess.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace qz::agent {

namespace {

enum ExitCode : int {
    ecDone = 0,
    ecFailure = 1,
    ecUsage = 2,
    ecAlreadyRunning = 3,
    ecNotRunning = 4,
};

constexpr const char* kUsage =
    "Usage: qzagentd --foreground | --background | --stop | --status\n"
    "  --foreground  run the agent service in this process until SIGTERM or SIGINT\n"
    "  --background  start the agent service detached and wait until it serves\n"
    "  --stop        stop the running agent service and wait until it has ended\n"
    "  --status      tell whether the agent service runs\n";

/// How often the table of running builds is checked while it is not empty: a killed console or
/// build-system process frees its slot within its grace plus this period.
constexpr std::int32_t kSweepInterval = 2000;

void Error(const std::string& text) {
    std::fprintf(stderr, "qzagentd: %s\n", text.c_str());
}

/// The pid of the running instance, or 0 when none runs.
int RunningInstance() {
    platform::Result<std::string> state =
        platform::InstanceLock::ReadHolderState(InstanceLockPath());
    if (!state) {
        return 0;
    }
    int pid = std::atoi(state->c_str());
    return pid > 0 ? pid : -1; // -1: held, but its holder has not written its pid yet
}

bool InstanceIsReady(int pid) {
    platform::Result<std::string> state =
        platform::InstanceLock::ReadHolderState(InstanceLockPath());
    return state && std::atoi(state->c_str()) == pid && state->find("ready") != std::string::npos;
}

std::string AlreadyRunningText(int pid) {
    return "the agent service is already running" +
           (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
           "; stop it first with 'qzagentd --stop'";
}

/// The build cache service that the stop and start requests of the cache clean address.
constexpr const char* kBuildCacheService = "Orvane BuildCache";

/// Everything the running service owns, on the main thread.
class TAgentRuntime {
public:
    TAgentRuntime()
        : requests_(slots_),
          sweepClock_(TNotifyQueue::Main(), kSweepInterval, false, [this](TClock&) { Sweep(); }) {
        slots_.onReleased = [this](const TBuildSlot& slot) {
            commandFiles_.BuildEnded(slot.id, slot.console);
        };
        requests_.buildCacheControl = [](bool start) {
            platform::Result<> result = start ? platform::StartService(kBuildCacheService)
                                              : platform::StopService(kBuildCacheService);
            if (!result) {
                LogLine("Build cache service: " + result.error().context, lfAlways);
            }
        };
    }

    ~TAgentRuntime() { TNotifyQueue::Main().ClearQueue(this); }

    int Run(platform::InstanceLock& lock) {
        TNotifyQueue& queue = TNotifyQueue::Main();
        // Before any build is known: the files of builds that ended while no agent ran.
        commandFiles_.RemoveStale({}, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
        server_ = std::make_unique<TAgentServer>(requests_, [this] { AfterRequest(); });
        // After the stop signals are blocked (RunForeground), so its thread inherits the mask.
        clusterWatch_ = std::make_unique<TClusterWatch>();
        requests_.clusterWatch = clusterWatch_.get();
        if (auto watching = signals_.Start([this, &queue](int) {
                queue.Post(this, npHigh, TMethod::Of<&TAgentRuntime::StopRequested>(this));
            });
            !watching) {
            Error(std::string("cannot watch the stop signals: ") +
                  std::strerror(watching.error().code));
            return ecFailure;
        }
        // The users it answers, so that a console it cannot answer says so at once instead of
        // waiting for the reply timeout (NV/AgentInstance.h).
        (void)lock.WriteState(std::to_string(platform::CurrentProcessId()) + "\nready\n" +
                              nv::AgentAnswersLine(platform::TrustedObjectOwners()));
        platform::NotifyServiceManager("READY=1");
        LogLine("Agent service started", lfAlways);
        queue.Run();
        platform::NotifyServiceManager("STOPPING=1");
        signals_.Stop();
        requests_.clusterWatch = nullptr;
        clusterWatch_.reset();
        // Consoles see the channel end at once instead of at their next liveness check.
        server_.reset();
        LogLine("Agent service stopped", lfAlways);
        return ecDone;
    }

private:
    void StopRequested() { TNotifyQueue::Main().StopLoop(); }

    void AfterRequest() { sweepClock_.SetEnabled(!slots_.Empty() || commandFiles_.Pending()); }

    void Sweep() {
        slots_.Sweep();
        commandFiles_.Sweep();
        AfterRequest();
    }

    TCommandFiles commandFiles_;
    TBuildSlotTable slots_;
    TAgentRequests requests_;
    TNotifyClock sweepClock_;
    platform::StopSignalWatch signals_;
    std::unique_ptr<TAgentServer> server_;
    std::unique_ptr<TClusterWatch> clusterWatch_;
};

int RunForeground() {
    try {
        RuntimeStartup();
    } catch (const std::exception& e) {
        Error(std::string("start-up failed: ") + e.what());
        return ecFailure;
    }
    platform::InstanceLock lock;
    const std::string lockPath = InstanceLockPath();
    if (auto acquired = lock.Acquire(lockPath); !acquired) {
        if (acquired.error().code == EWOULDBLOCK) {
            Error(AlreadyRunningText(RunningInstance()));
            return ecAlreadyRunning;
        }
        Error("cannot use the instance file '" + lockPath +
              "': " + std::strerror(acquired.error().code));
        return ecFailure;
    }
    (void)lock.WriteState(std::to_string(platform::CurrentProcessId()) + "\nstarting\n");
    try {
        // The machine-wide thread identities: made here, by the service, so that every user's
        // processes accept them.
        CurrentThreadUid();
    } catch (const Exception& e) {
        Error("cannot create the machine-wide thread identity objects: " + e.Message());
        return ecFailure;
    }
    try {
        TAgentRuntime runtime;
        return runtime.Run(lock);
    } catch (const std::exception& e) {
        Error(e.what());
        LogWarning(std::string("Agent service ended by an error: ") + e.what());
        return ecFailure;
    }
}

int StartBackground(const std::string& self) {
    if (int pid = RunningInstance()) {
        std::printf("The agent service is already running%s.\n",
                    pid > 0 ? (" (pid " + std::to_string(pid) + ")").c_str() : "");
        return ecDone;
    }
    platform::File null;
    platform::FileOpenRequest request;
    request.access = platform::FileAccess::ReadWrite;
    if (!null.Open("/dev/null", request)) {
        Error("cannot open /dev/null");
        return ecFailure;
    }
    platform::ChildStartOptions options;
    options.arguments = {self, "--foreground"};
    options.newSession = true;
    options.stdIn = options.stdOut = options.stdErr = null.Handle();
    platform::ChildProcess child;
    if (auto started = child.Start(options); !started) {
        Error("cannot start '" + self + "': " + std::strerror(started.error().code));
        return ecFailure;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (InstanceIsReady(child.Pid())) {
            std::printf("The agent service is running (pid %d).\n", child.Pid());
            return ecDone;
        }
        if (child.Wait(50)) {
            int code = child.ExitCode().value_or(-1);
            if (code == ecAlreadyRunning) {
                std::printf("The agent service is already running.\n");
                return ecDone;
            }
            Error("the agent service ended while starting (exit code " + std::to_string(code) +
                  "); run 'qzagentd --foreground' to see why");
            return ecFailure;
        }
    }
    Error("the agent service did not become ready within 15 seconds");
    return ecFailure;
}

int StopRunning() {
    int pid = RunningInstance();
    if (pid == 0) {
        std::printf("The agent service is not running.\n");
        return ecNotRunning;
    }
    if (pid < 0) {
        Error("the running agent service has not written its process id yet; try again");
        return ecFailure;
    }
    if (auto sent = platform::SendStopSignal(pid); !sent) {
        Error("cannot stop the agent service (pid " + std::to_string(pid) +
              "): " + std::strerror(sent.error().code));
        return ecFailure;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (RunningInstance() == 0) {
            std::printf("The agent service has stopped.\n");
            return ecDone;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Error("the agent service (pid " + std::to_string(pid) + ") did not stop within 15 seconds");
    return ecFailure;
}

int ShowStatus() {
    int pid = RunningInstance();
    if (pid == 0) {
        std::printf("The agent service is not running.\n");
        return ecNotRunning;
    }
    std::printf("The agent service is running (pid %d).\n", pid);
    return ecDone;
}

} // namespace

std::string InstanceLockPath() {
    return nv::AgentInstanceLockPath();
}

int AgentProgramMain(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits it: the stop signals reach only
    // the thread that waits for them.
    (void)platform::BlockStopSignals();
    platform::SetProcessArguments(argc, argv);
    if (argc != 2) {
        std::fputs(kUsage, argc == 1 ? stdout : stderr);
        return ecUsage;
    }
    std::string option = argv[1];
    int code = ecUsage;
    if (option == "--foreground") {
        code = RunForeground();
    } else if (option == "--background") {
        std::string self = platform::ExecutablePath();
        code = StartBackground(self.empty() ? argv[0] : self);
    } else if (option == "--stop") {
        code = StopRunning();
    } else if (option == "--status") {
        code = ShowStatus();
    } else if (option == "--help" || option == "-h") {
        std::fputs(kUsage, stdout);
        code = ecDone;
    } else {
        Error("unknown option '" + option + "'");
        std::fputs(kUsage, stderr);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    if (option == "--foreground") {
        DiagLogShutdown();
    }
    // An orderly end: the main queue's named event goes with its last handle.
    return code;
}

} // namespace qz::agent
