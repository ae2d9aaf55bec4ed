#include "SlurmCluster.h"

#include "AgentReg.h"
#include "CM/Exceptions.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "platform/SystemError.h"

#include <algorithm>

namespace qz::nv {

namespace {

constexpr const char* kSection = "Builder";
constexpr std::size_t kMaxOutput = 1024 * 1024;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return {};
    }
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

} // namespace

TClusterSettings ReadClusterSettings() {
    TClusterSettings settings;
    try {
        TAgentReg reg(aroAllowReadOnly);
        settings.enabled = Lower(Trim(reg.ReadString(kSection, "Cluster", ""))) == "slurm";
        settings.partition = Trim(reg.ReadString(kSection, "ClusterPartition", ""));
        settings.cloudPartition = Trim(reg.ReadString(kSection, "ClusterCloudPartition", ""));
        settings.account = Trim(reg.ReadString(kSection, "ClusterAccount", ""));
        settings.config = Trim(reg.ReadString(kSection, "ClusterConfig", ""));
        settings.features = Trim(reg.ReadString(kSection, "ClusterFeatures", ""));
        settings.maxRemoteTasks =
            std::clamp(reg.ReadInteger(kSection, "ClusterMaxRemoteTasks", 8), 0, 4096);
        settings.timeLimitMinutes =
            std::clamp(reg.ReadInteger(kSection, "ClusterTimeLimit", 60), 1, 7 * 24 * 60);
        settings.commandTimeoutSeconds =
            std::clamp(reg.ReadInteger(kSection, "ClusterCommandTimeout", 20), 1, 600);
    } catch (const Exception&) {
        settings.enabled = false;
    }
    return settings;
}

std::string TCommandResult::Problem(const std::string& command) const {
    if (!startError.empty()) {
        return command + " could not be started: " + startError;
    }
    if (timedOut) {
        return command + " did not answer in time";
    }
    std::string first = Trim(output.substr(0, output.find('\n')));
    std::string text = command + " failed (exit code " + std::to_string(exitCode) + ")";
    return first.empty() ? text : text + ": " + first;
}

TCommandResult RunBounded(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, int timeoutMs) {
    TCommandResult result;
    platform::ChildStartOptions options;
    options.arguments = arguments;
    options.newProcessGroup = true;
    options.killWithParent = true;
    if (!environment.empty()) {
        options.environment = environment;
    }
    options.pipeOutput = true;
    options.errorToOutput = true;
    platform::ChildProcess child;
    if (auto started = child.Start(options); !started) {
        result.startError = platform::SystemErrorText(started.error().code);
        return result;
    }
    const std::uint64_t deadline = platform::MonotonicMilliseconds() + std::max(timeoutMs, 1);
    char buffer[16384];
    bool exited = false;
    while (child.OutputHandle() != platform::kInvalidHandle || !exited) {
        std::uint64_t now = platform::MonotonicMilliseconds();
        if (now >= deadline) {
            result.timedOut = true;
            break;
        }
        (void)platform::WaitReadable(
            {child.OutputHandle(), exited ? platform::kInvalidHandle : child.WaitHandle()},
            static_cast<int>(std::min<std::uint64_t>(deadline - now, 100)));
        if (child.OutputHandle() != platform::kInvalidHandle) {
            auto read = platform::ReadSome(child.OutputHandle(), buffer, sizeof buffer);
            if (read && *read && **read > 0) {
                const std::size_t done = **read;
                if (result.output.size() < kMaxOutput) {
                    result.output.append(buffer, std::min(done, kMaxOutput - result.output.size()));
                }
            } else if (!read || *read) {
                child.CloseOutput();
            }
        }
        if (!exited && child.Wait(0)) {
            exited = true;
            // What the command left behind in its group does not hold the pipe open.
            (void)platform::SignalProcessGroup(child.Pid(), platform::ProcessSignal::Kill);
        }
    }
    (void)platform::SignalProcessGroup(child.Pid(), platform::ProcessSignal::Kill);
    child.CloseOutput();
    child.Wait(2000);
    if (!result.timedOut) {
        result.exitCode = child.ExitCode().value_or(-1);
    }
    return result;
}

std::vector<std::string> ClusterEnvironment(const TClusterSettings& settings,
                                            std::vector<std::string> base) {
    if (base.empty()) {
        base = platform::EnvironmentEntries();
    }
    if (!settings.config.empty()) {
        std::erase_if(base, [](const std::string& e) { return e.starts_with("SLURM_CONF="); });
        base.push_back("SLURM_CONF=" + settings.config);
    }
    return base;
}

bool ClusterControllerAnswers(const TClusterSettings& settings, std::string& detail) {
    TCommandResult result = RunBounded({"scontrol", "ping"}, ClusterEnvironment(settings, {}),
                                       settings.commandTimeoutSeconds * 1000);
    // "Slurmctld(primary) at host is UP"; a backup controller that is down is no problem.
    if (result.Succeeded() && result.output.find(" is UP") != std::string::npos) {
        detail = Trim(result.output);
        return true;
    }
    detail = result.Problem("scontrol ping");
    return false;
}

} // namespace qz::nv
