#include "RelayRun.h"

#include "RelayProtocol.h"
#include "SrunOutput.h"
#include "platform/ChildProcess.h"
#include "platform/LocalSocket.h"
#include "platform/NativeThread.h"
#include "platform/Pipe.h"
#include "platform/ProcessAncestry.h"
#include "platform/ProgramFile.h"

#include <cerrno>
#include <cstdlib>
#include <type_traits>
#include <variant>

namespace qz::intercept {
namespace {

constexpr std::string_view kVariablePrefix = "QZ_INTERCEPT_";
constexpr std::string_view kLibraryName = "libqzintercept.so";

std::string_view BasenameOf(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view Trimmed(std::string_view folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    return folder;
}

/// The items of list (separated by any of separators) that drop refuses, joined by the first
/// separator.
template <class Drop>
std::string Without(std::string_view list, std::string_view separators, Drop drop) {
    std::string kept;
    bool first = true;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find_first_of(separators, begin);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        std::string_view item = list.substr(begin, end - begin);
        if (!drop(item)) {
            if (!first) {
                kept.push_back(separators[0]);
            }
            kept.append(item);
            first = false;
        }
        begin = end + 1;
    }
    return kept;
}

std::string AbsoluteOf(const std::string& path, const std::string& cwd) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    std::string prefix = cwd == "/" ? "" : cwd;
    return prefix + "/" + (path.starts_with("./") ? path.substr(2) : path);
}

/// Replaces this process by the tool; a file the system cannot execute is given to /bin/sh as
/// a script, as execvp does. The exit code of a failed start is the shell's (127: not found).
[[noreturn]] void RunHere(const RelayRequest& request, const std::vector<std::string>& env) {
    platform::Failure failure = platform::ReplaceProcess(request.program, request.argv, env);
    if (failure.code == ENOEXEC) {
        std::vector<std::string> script{"/bin/sh", request.program};
        script.insert(script.end(), request.argv.begin() + 1, request.argv.end());
        failure = platform::ReplaceProcess("/bin/sh", script, env);
    }
    std::_Exit(failure.code == ENOENT ? 127 : 126);
}

/// Starts program (PATH is not searched) with argv, env and our signal state, as a plain start
/// by our caller would have, optionally with both output streams piped to us. A file the system
/// cannot execute is run by /bin/sh as execvp would. Failure: the shell's exit code for it.
std::variant<platform::ChildProcess, int> StartChild(const std::string& program,
                                                     const std::vector<std::string>& argv,
                                                     const std::vector<std::string>& env,
                                                     bool captured) {
    platform::ChildStartOptions options;
    options.program = program;
    options.arguments = argv;
    options.environment = env;
    options.inheritSignalState = true;
    options.pipeOutput = captured;
    options.pipeError = captured;
    platform::ChildProcess child;
    auto started = child.Start(options);
    if (!started && started.error().code == ENOEXEC) {
        options.program = "/bin/sh";
        options.arguments = {"/bin/sh", program};
        options.arguments.insert(options.arguments.end(), argv.begin() + 1, argv.end());
        started = child.Start(options);
    }
    if (!started) {
        return started.error().code == ENOENT ? 127 : 126;
    }
    return child;
}

/// Waits for the child's end; a child that cannot be waited for counts as not found.
platform::ProgramEnd WaitForEnd(platform::ChildProcess& child) {
    child.Wait(-1);
    return child.End().value_or(platform::ProgramEnd{false, 127});
}

/// Starts the tool here as our child and waits for its end, passing end signals on to it.
platform::ProgramEnd RunAsChild(const RelayRequest& request, const std::vector<std::string>& env) {
    // From before the start on: a signal that arrives meanwhile is passed on once there is a child.
    platform::ForwardEndSignals(0, false);
    auto started = StartChild(request.program, request.argv, env, false);
    if (auto* code = std::get_if<int>(&started)) {
        return {false, *code};
    }
    auto& child = std::get<platform::ChildProcess>(started);
    platform::ForwardEndSignals(child.Pid(), false);
    platform::ProgramEnd end = WaitForEnd(child);
    platform::ForwardEndSignals(0, false);
    return end;
}

struct Captured {
    platform::ProgramEnd end;
    std::string out;
    std::string err;
    bool started = false;
};

/// Runs command with its standard output and error captured whole.
Captured RunCaptured(const std::vector<std::string>& command, const std::vector<std::string>& env) {
    Captured captured;
    std::string program = command[0];
    if (program.find('/') == std::string::npos) {
        program =
            platform::FindProgramInPath(program, EntryValue(env, "PATH").value_or("/usr/bin:/bin"));
    }
    platform::ForwardEndSignals(0, true);
    auto started = StartChild(program, command, env, true);
    auto* child = std::get_if<platform::ChildProcess>(&started);
    if (child == nullptr) {
        platform::ForwardEndSignals(0, false);
        return captured;
    }
    captured.started = true;
    // One SIGINT does not cancel a job step; srun ends its step on SIGTERM.
    platform::ForwardEndSignals(child->Pid(), true);
    std::vector<platform::THandle> handles{child->OutputHandle(), child->ErrorHandle()};
    std::string* sinks[] = {&captured.out, &captured.err};
    char buffer[65536];
    while (handles[0] != platform::kInvalidHandle || handles[1] != platform::kInvalidHandle) {
        auto waited = platform::WaitReadable(handles, -1);
        if (!waited) {
            break;
        }
        const std::vector<bool>& ready = *waited;
        for (std::size_t i = 0; i < handles.size(); ++i) {
            if (!ready[i]) {
                continue;
            }
            auto read = platform::ReadSome(handles[i], buffer, sizeof(buffer));
            if (read && *read && **read > 0) {
                sinks[i]->append(buffer, **read);
            } else if (!read || *read) { // the end, or a failed read
                handles[i] = platform::kInvalidHandle;
            }
        }
    }
    child->CloseOutput();
    child->CloseError();
    captured.end = WaitForEnd(*child);
    platform::ForwardEndSignals(0, false);
    return captured;
}

/// The first line of lines that says Slurm failed.
std::string SlurmFailureOf(std::string_view lines) {
    std::size_t begin = 0;
    while (begin < lines.size()) {
        std::size_t end = lines.find('\n', begin);
        if (end == std::string_view::npos) {
            end = lines.size();
        }
        std::string_view line = lines.substr(begin, end - begin);
        if (IsSlurmFailureLine(line)) {
            return std::string(line);
        }
        begin = end + 1;
    }
    return "srun failed";
}

DoneMessage DoneOf(const std::string& step, const platform::ProgramEnd& end) {
    return DoneMessage{step, end.signalled, end.number};
}

/// Ends the exchange with DONE (a broker that is gone no longer matters) and this process
/// like the tool.
[[noreturn]] void Finish(platform::THandle connection, const std::string& step,
                         const platform::ProgramEnd& end) {
    (void)WriteMessage(connection, DoneOf(step, end));
    platform::CloseHandle(connection);
    platform::EndLike(end);
}

[[noreturn]] void RunRemote(platform::THandle connection, const RemoteMessage& remote,
                            const RelayRequest& request, const std::vector<std::string>& env) {
    std::vector<std::string> command = remote.prefix;
    command.push_back(request.program);
    command.insert(command.end(), request.argv.begin() + 1, request.argv.end());
    Captured captured = RunCaptured(command, env);
    if (!captured.started || HasSlurmFailureLine(captured.err)) {
        std::string reason =
            captured.started ? SlurmFailureOf(captured.err) : "srun could not be started";
        (void)WriteMessage(connection, RetryMessage{remote.step, reason});
        Finish(connection, remote.step, RunAsChild(request, env));
    }
    // srun ends with 128 + n for a task killed by signal n; its report of the step's end tells
    // that from a task that exited with that code, so we end as a local run would have.
    platform::ProgramEnd end = captured.end;
    if (!end.signalled) {
        int signal = StepEndSignal(captured.err, remote.node);
        if (signal != 0 && end.number == 128 + signal) {
            end = platform::ProgramEnd{true, signal};
        }
    }
    // Asked to end, we passed SIGTERM on to srun, which cancels the step (its task is killed).
    // A tool here would have got the signal we got, and ended by it.
    if (end.signalled && platform::ReceivedEndSignal() != 0) {
        end.number = platform::ReceivedEndSignal();
    }
    std::string err = FilterStepOutput(captured.err, "\n");
    platform::WriteAllTo(1, captured.out.data(), captured.out.size());
    platform::WriteAllTo(2, err.data(), err.size());
    Finish(connection, remote.step, end);
}

} // namespace

std::optional<std::string> EntryValue(const std::vector<std::string>& entries,
                                      std::string_view name) {
    for (const std::string& entry : entries) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
            entry[name.size()] == '=') {
            return entry.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

std::vector<std::string> ToolEnvironment(const std::vector<std::string>& entries) {
    std::string masq = EntryValue(entries, "QZ_INTERCEPT_MASQ").value_or("");
    std::vector<std::string> kept;
    kept.reserve(entries.size());
    for (const std::string& entry : entries) {
        if (entry.starts_with(kVariablePrefix)) {
            continue;
        }
        if (entry.starts_with("PATH=") && !masq.empty()) {
            kept.push_back("PATH=" + Without(std::string_view(entry).substr(5), ":",
                                             [&](std::string_view folder) {
                                                 return !folder.empty() &&
                                                        Trimmed(folder) == Trimmed(masq);
                                             }));
            continue;
        }
        if (entry.starts_with("LD_PRELOAD=")) {
            std::string rest =
                Without(std::string_view(entry).substr(11), ": ", [](std::string_view item) {
                    return item.empty() || BasenameOf(item) == kLibraryName;
                });
            if (!rest.empty()) {
                kept.push_back("LD_PRELOAD=" + rest);
            }
            continue;
        }
        kept.push_back(entry);
    }
    return kept;
}

std::optional<RelayRequest> RequestOf(const std::vector<std::string>& arguments,
                                      const std::vector<std::string>& environment,
                                      const std::string& cwd, const std::string& self) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    std::string path = EntryValue(environment, "PATH").value_or("/bin:/usr/bin");
    std::string masq = EntryValue(environment, "QZ_INTERCEPT_MASQ").value_or("");
    // The next tool of the name in PATH: not the masquerade link, nor another way to us.
    const platform::ProgramSearch next{.skipFolder = masq, .skipFile = self};
    RelayRequest request;
    std::string_view called = BasenameOf(arguments[0]);
    if (called != kRelayName) {
        request.program = platform::FindProgramInPath(std::string(called), path, next);
        request.argv = arguments;
        request.throughLink = true;
    } else {
        if (arguments.size() < 3 || arguments[1].empty()) {
            return std::nullopt;
        }
        request.program = arguments[1];
        request.argv.assign(arguments.begin() + 2, arguments.end());
        if (!self.empty() && platform::IsSameFile(request.program, self)) {
            // A masquerade link named by its path: the tool is the next of that name in PATH.
            request.program =
                platform::FindProgramInPath(std::string(BasenameOf(request.program)), path, next);
        }
    }
    if (request.program.empty()) {
        return std::nullopt;
    }
    request.program = AbsoluteOf(request.program, cwd);
    return request;
}

bool InNameList(std::string_view list, std::string_view name) {
    constexpr std::size_t kShortNameLength = 15;
    std::size_t begin = 0;
    while (begin <= list.size() && !name.empty()) {
        std::size_t end = list.find(',', begin);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        std::string_view entry = list.substr(begin, end - begin);
        if (entry == name || (name.size() == kShortNameLength && entry.size() > name.size() &&
                              entry.starts_with(name))) {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

bool IsShellName(std::string_view name) {
    return name == "sh" || name == "bash" || name == "dash";
}

bool StartsExamined(std::string_view parents, int starterPid) {
    if (parents.empty()) {
        return true;
    }
    // As the library decides in the process itself, with a bound on the climb.
    int pid = starterPid;
    for (int depth = 0; depth < 8 && pid > 1; ++depth) {
        std::string name = platform::ProcessShortName(pid);
        if (InNameList(parents, name)) {
            return true;
        }
        if (!IsShellName(name)) {
            return false;
        }
        pid = platform::ParentProcessId(pid);
    }
    return false;
}

void Relay(const RelayRequest& request, const std::vector<std::string>& environment,
           const std::string& cwd) {
    if (request.throughLink &&
        !StartsExamined(EntryValue(environment, "QZ_INTERCEPT_PARENTS").value_or(""),
                        platform::ParentProcessId(0))) {
        RunHere(request, environment);
    }
    std::vector<std::string> env = ToolEnvironment(environment);
    auto socket = EntryValue(environment, "QZ_INTERCEPT_SOCKET");
    if (!socket || socket->empty()) {
        RunHere(request, env);
    }
    auto connection = platform::ConnectLocalSocket(*socket);
    if (!connection) {
        RunHere(request, env);
    }
    RunMessage run{static_cast<int>(platform::CurrentProcessId()), cwd, request.program,
                   request.argv};
    if (!WriteMessage(*connection, run)) {
        platform::CloseHandle(*connection);
        RunHere(request, env);
    }
    auto reply = ReadMessage(*connection);
    if (reply) {
        if (auto* slot = std::get_if<SlotMessage>(&*reply)) {
            Finish(*connection, slot->step, RunAsChild(request, env));
        }
        if (auto* remote = std::get_if<RemoteMessage>(&*reply)) {
            RunRemote(*connection, *remote, request, env);
        }
    }
    // LOCAL, a reply that makes no sense here, or a broker that went away.
    platform::CloseHandle(*connection);
    RunHere(request, env);
}

} // namespace qz::intercept
