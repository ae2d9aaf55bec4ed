#include "RemoteTasks.h"

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Pipe.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace qz::tasksmith {

namespace {

// The command salloc runs while it holds the allocation: it tells us the allocation, then waits
// for the end of its input, our pipe, which ends with us.
constexpr const char* kHolderScript =
    "echo \"QZALLOC $SLURM_JOB_ID $SLURM_TASKS_PER_NODE\"; "
    "scontrol show hostnames \"$SLURM_JOB_NODELIST\" | sed 's/^/QZNODE /'; "
    "echo QZEND; exec cat >/dev/null";
// A step enters the task's folder itself: srun would run it in /tmp when the folder is missing.
constexpr const char* kStepScript = "cd -- \"$1\" || exit 126; shift; exec \"$@\"";
constexpr const char* kCheckScript =
    "echo \"QZNODE $SLURMD_NODENAME $(uname -r) $(uname -m) $(cat -- \"$1\" 2>/dev/null || "
    "echo -)\"";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

int Number(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

std::string EnvironmentValue(const std::vector<std::string>& environment, const std::string& name) {
    for (const std::string& entry : environment) {
        if (entry.starts_with(name + "=")) {
            return entry.substr(name.size() + 1);
        }
    }
    return {};
}

bool VersionBelow(int major, int minor, int otherMajor, int otherMinor) {
    return major < otherMajor || (major == otherMajor && minor < otherMinor);
}

} // namespace

std::vector<int> ParseTasksPerNode(std::string_view text) {
    std::vector<int> counts;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view item = text.substr(begin, end - begin);
        int repeat = 1;
        std::size_t paren = item.find("(x");
        if (paren != std::string_view::npos) {
            if (item.back() != ')') {
                return {};
            }
            repeat = Number(item.substr(paren + 2, item.size() - paren - 3));
            item = item.substr(0, paren);
        }
        int count = Number(item);
        if (count < 0 || repeat < 1 || repeat > 100000) {
            return {};
        }
        counts.insert(counts.end(), static_cast<std::size_t>(repeat), count);
        begin = end + 1;
    }
    return counts;
}

std::string NodeMismatch(const NodeFacts& node, const RemoteOptions& options) {
    std::string kernel = std::to_string(node.kernelMajor) + "." + std::to_string(node.kernelMinor);
    if (options.minMajor > 0 &&
        VersionBelow(node.kernelMajor, node.kernelMinor, options.minMajor, options.minMinor)) {
        return "its kernel " + kernel + " is older than " + std::to_string(options.minMajor) + "." +
               std::to_string(options.minMinor);
    }
    if (options.maxMajor > 0 &&
        VersionBelow(options.maxMajor, options.maxMinor, node.kernelMajor, node.kernelMinor)) {
        return "its kernel " + kernel + " is newer than " + std::to_string(options.maxMajor) + "." +
               std::to_string(options.maxMinor);
    }
    if (options.only64Bit && node.machine.find("64") == std::string::npos) {
        return "its architecture " + node.machine + " is not a 64-bit one";
    }
    return {};
}

SlurmRemote::SlurmRemote(nv::TClusterSettings settings, RemoteOptions options,
                         std::vector<std::string> environment)
    : settings_(std::move(settings)), options_(options),
      environment_(nv::ClusterEnvironment(settings_, std::move(environment))) {}

SlurmRemote::~SlurmRemote() {
    Release();
}

std::string SlurmRemote::Program(const std::string& name) const {
    std::string path = EnvironmentValue(environment_, "PATH");
    if (path.empty()) {
        path = "/usr/local/bin:/usr/bin:/bin";
    }
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t end = path.find(':', begin);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string candidate = path.substr(begin, end - begin) + "/" + name;
        if (end > begin && platform::QueryPathKind(candidate) == platform::PathKind::File) {
            return candidate;
        }
        begin = end + 1;
    }
    return {};
}

std::vector<std::string> SlurmRemote::CommonArguments(const std::string& program) const {
    std::vector<std::string> arguments = {program, "-Q"};
    std::string partition = settings_.partition;
    if (options_.cloudHelpers && !settings_.cloudPartition.empty()) {
        partition = partition.empty() ? settings_.cloudPartition
                                      : partition + "," + settings_.cloudPartition;
    }
    if (!partition.empty()) {
        arguments.push_back("--partition=" + partition);
    }
    if (!settings_.account.empty()) {
        arguments.push_back("--account=" + settings_.account);
    }
    return arguments;
}

std::string SlurmRemote::Acquire(int tasks, const std::string& jobName) {
    std::string salloc = Program("salloc");
    srun_ = Program("srun");
    if (salloc.empty() || srun_.empty()) {
        return "the Slurm commands salloc and srun are not in PATH";
    }
    // A controller that is down says so at once; salloc would retry for many seconds first.
    std::string detail;
    if (!nv::ClusterControllerAnswers(settings_, detail)) {
        return detail;
    }
    const int limitMs = settings_.commandTimeoutSeconds * 1000;
    std::vector<std::string> arguments = CommonArguments(salloc);
    arguments.insert(arguments.end(),
                     {"--ntasks=" + std::to_string(tasks), "--spread-job",
                      "--immediate=" + std::to_string(settings_.commandTimeoutSeconds),
                      "--time=" + std::to_string(settings_.timeLimitMinutes),
                      "--job-name=" + jobName});
    if (!settings_.features.empty()) {
        arguments.push_back("--constraint=" + settings_.features);
    }
    arguments.insert(arguments.end(), {"/bin/sh", "-c", kHolderScript});
    // salloc ignores SIGPIPE (an ignored signal stays ignored across exec): a message it writes
    // after we are gone must not kill it before it gives the allocation back.
    arguments.insert(arguments.begin(),
                     {"/bin/sh", "-c", "trap '' PIPE; exec \"$@\"", "qz-holder"});

    platform::ChildStartOptions options;
    options.arguments = arguments;
    options.environment = environment_;
    // Its own group, and not killed with us: salloc must live to give the allocation back when
    // our end of its input closes.
    options.newProcessGroup = true;
    options.pipeInput = true;
    options.pipeOutput = true;
    options.errorToOutput = true;
    if (auto started = holder_.Start(options); !started) {
        return "salloc could not be started: " + platform::SystemErrorText(started.error().code);
    }

    std::string text;
    bool complete = false;
    bool ended = false;
    const std::uint64_t deadline = platform::MonotonicMilliseconds() + limitMs + 2000;
    char buffer[4096];
    while (!complete && !ended) {
        std::uint64_t now = platform::MonotonicMilliseconds();
        if (now >= deadline) {
            break;
        }
        (void)platform::WaitReadable(
            {holder_.OutputHandle()},
            static_cast<int>(std::min<std::uint64_t>(deadline - now, 200)));
        auto read = platform::ReadSome(holder_.OutputHandle(), buffer, sizeof buffer);
        if (read && *read && **read > 0) {
            text.append(buffer, **read);
            complete = text.find("QZEND") != std::string::npos;
        } else if (!read || *read) {
            ended = true;
        }
    }
    std::vector<int> perNode;
    for (const std::string& line : Lines(text)) {
        std::vector<std::string> words = Words(line);
        if (words.size() == 3 && words[0] == "QZALLOC") {
            jobId_ = words[1];
            perNode = ParseTasksPerNode(words[2]);
        } else if (words.size() == 2 && words[0] == "QZNODE") {
            nodes_.push_back(NodeFacts{words[1], 0, {}, 0, 0, {}});
        }
    }
    if (!complete || jobId_.empty() || perNode.size() != nodes_.size() || nodes_.empty()) {
        std::string problem;
        for (const std::string& line : Lines(text)) {
            if (!line.empty() && !line.starts_with("QZ")) {
                problem = line;
                break;
            }
        }
        if (problem.empty()) {
            problem = complete ? "salloc answered something unexpected: " + text.substr(0, 200)
                               : "salloc did not answer within " +
                                     std::to_string(settings_.commandTimeoutSeconds) + " s";
        }
        Release();
        return problem;
    }
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        nodes_[n].slots = perNode[n];
    }
    return {};
}

std::string SlurmRemote::CheckNodes(const std::string& folder, const std::string& buildId,
                                    std::vector<std::string>& notes) {
    const std::string marker = folder + "/.qz-remote-check-" + buildId;
    if (platform::Result<> written = platform::WritePrivateFile(marker, buildId); !written) {
        return "Cannot write " + marker + ": " + platform::SystemErrorText(written.error().code);
    }
    std::string nodeList;
    for (const NodeFacts& node : nodes_) {
        nodeList += (nodeList.empty() ? "" : ",") + node.name;
    }
    std::vector<std::string> arguments = {srun_,
                                          "-Q",
                                          "--jobid=" + jobId_,
                                          "--overlap",
                                          "--nodes=" + std::to_string(nodes_.size()),
                                          "--ntasks=" + std::to_string(nodes_.size()),
                                          "--ntasks-per-node=1",
                                          "--nodelist=" + nodeList,
                                          "--job-name=qz-node-check",
                                          "/bin/sh",
                                          "-c",
                                          kCheckScript,
                                          "qz-node-check",
                                          marker};
    nv::TCommandResult result =
        nv::RunBounded(arguments, environment_, settings_.commandTimeoutSeconds * 1000);
    platform::RemoveFile(marker);
    for (const std::string& line : Lines(result.output)) {
        std::vector<std::string> words = Words(line);
        if (words.size() != 5 || words[0] != "QZNODE") {
            continue;
        }
        for (NodeFacts& node : nodes_) {
            if (node.name == words[1]) {
                std::string_view kernel = words[2];
                std::size_t dot = kernel.find('.');
                node.kernelMajor = Number(kernel.substr(0, dot));
                if (dot != std::string_view::npos) {
                    std::size_t end = kernel.find_first_not_of("0123456789", dot + 1);
                    node.kernelMinor = Number(kernel.substr(
                        dot + 1, end == std::string_view::npos ? end : end - dot - 1));
                }
                node.machine = words[3];
                node.marker = words[4];
            }
        }
    }
    for (const NodeFacts& node : nodes_) {
        if (node.machine.empty()) {
            return "Node " + node.name + " did not answer the check of the build folder (" +
                   result.Problem("srun") + ")";
        }
        if (node.marker != buildId) {
            folderNotShared_ = true;
            return "The build folder " + folder + " is not shared with node " + node.name +
                   ": remote tasks need it at the same path on every node";
        }
    }
    slotNodes_.clear();
    for (const NodeFacts& node : nodes_) {
        std::string mismatch = NodeMismatch(node, options_);
        if (!mismatch.empty()) {
            notes.push_back("Node " + node.name + " runs no task of this build: " + mismatch);
            continue;
        }
        slotNodes_.insert(slotNodes_.end(), static_cast<std::size_t>(node.slots), node.name);
    }
    // Round-robin over the nodes, so that a few tasks spread over all of them.
    std::vector<std::string> spread;
    std::vector<std::vector<std::string>> perNode;
    for (const NodeFacts& node : nodes_) {
        std::vector<std::string> own;
        for (const std::string& name : slotNodes_) {
            if (name == node.name) {
                own.push_back(name);
            }
        }
        perNode.push_back(std::move(own));
    }
    for (std::size_t round = 0; spread.size() < slotNodes_.size(); ++round) {
        for (const auto& own : perNode) {
            if (round < own.size()) {
                spread.push_back(own[round]);
            }
        }
    }
    slotNodes_ = std::move(spread);
    return {};
}

void SlurmRemote::Release() {
    if (!jobId_.empty()) {
        std::vector<std::string> scancel = {Program("scancel"), "--quiet", jobId_};
        if (!scancel[0].empty()) {
            nv::RunBounded(scancel, environment_, settings_.commandTimeoutSeconds * 1000);
        }
        jobId_.clear();
    }
    holder_.CloseInput();
    if (holder_.Started() && !holder_.Wait(settings_.commandTimeoutSeconds * 1000)) {
        (void)platform::SignalProcessGroup(holder_.Pid(), platform::ProcessSignal::Kill);
        holder_.Wait(2000);
    }
    holder_ = platform::ChildProcess(); // closes its output; a later Acquire starts afresh
    slotNodes_.clear();
}

std::vector<std::string> SlurmRemote::StepPrefix(int remoteSlot, const std::string& folder,
                                                 const std::string& name) const {
    std::vector<std::string> prefix;
    if (!settings_.config.empty()) {
        prefix = {"/usr/bin/env", "SLURM_CONF=" + settings_.config};
    }
    prefix.insert(prefix.end(),
                  {srun_, "-Q", "--jobid=" + jobId_, "--overlap", "--nodes=1", "--ntasks=1",
                   "--nodelist=" + slotNodes_[static_cast<std::size_t>(remoteSlot)], "--input=none",
                   "--job-name=" + name, "--chdir=" + folder, "/bin/sh", "-c", kStepScript,
                   "qz-step", folder});
    return prefix;
}

bool SlurmRemote::Prepare(const JobTask& task, int remoteSlot, JobTask& launch,
                          std::string& message) {
    if (remoteSlot < 0 || remoteSlot >= Slots() || jobId_.empty()) {
        message = "the cluster allocation is gone";
        return false;
    }
    launch = task;
    launch.arguments = StepPrefix(remoteSlot, task.folder, task.id);
    if (!settings_.config.empty()) {
        // The task's environment carries it; the prefix need not.
        launch.arguments.erase(launch.arguments.begin(), launch.arguments.begin() + 2);
        launch.environment.emplace_back("SLURM_CONF", settings_.config);
    }
    if (task.shellLine.empty()) {
        launch.arguments.insert(launch.arguments.end(), task.arguments.begin(),
                                task.arguments.end());
    } else {
        launch.arguments.insert(launch.arguments.end(), {"/bin/sh", "-c", task.shellLine});
    }
    launch.shellLine.clear();
    return true;
}

void SlurmRemote::NoteErrorOutput(const std::string& taskId, std::string_view lines) {
    std::size_t begin = 0;
    while (begin <= lines.size()) {
        std::size_t end = lines.find("\r\n", begin);
        if (end == std::string_view::npos) {
            end = lines.size();
        }
        if (IsSlurmFailureLine(lines.substr(begin, end - begin)) &&
            std::find(slurmFailed_.begin(), slurmFailed_.end(), taskId) == slurmFailed_.end()) {
            slurmFailed_.push_back(taskId);
        }
        begin = end + 2;
    }
}

bool SlurmRemote::RunAgainLocally(const JobTask& task, int) {
    auto failed = std::find(slurmFailed_.begin(), slurmFailed_.end(), task.id);
    if (failed != slurmFailed_.end()) {
        slurmFailed_.erase(failed);
        return true;
    }
    return options_.onlyFailLocally;
}

} // namespace qz::tasksmith
