#include "JobRunner.h"

#include "CM/Exceptions.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Pipe.h"
#include "platform/ProgramFile.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <memory>

namespace qz::tasksmith {

namespace {

using platform::kInvalidHandle;
using platform::THandle;

// How long the output pipes of a task whose process has ended may stay open (a left-over
// process that escaped its group may hold them).
constexpr std::uint64_t kDrainMs = 2000;
constexpr std::size_t kReadChunk = 64 * 1024;
// A line longer than this goes out in pieces rather than growing without bound.
constexpr std::size_t kMaxLine = 1024 * 1024;

// One output stream of a running task: its pipe (owned by the task's child object) and the
// unfinished last line.
struct Stream {
    platform::ChildProcess* child = nullptr;
    bool error = false;
    std::string carry;

    THandle Handle() const { return error ? child->ErrorHandle() : child->OutputHandle(); }
    void Close() { error ? child->CloseError() : child->CloseOutput(); }
};

struct Running {
    int task = 0;
    int slot = 0;
    platform::ChildProcess child;
    Stream out{&child, false, {}};
    Stream err{&child, true, {}};
    bool exited = false;
    int exitCode = 0;
    std::uint64_t started = 0;
    std::uint64_t exitedAt = 0;
    bool terminated = false;
    bool killed = false;
    /// The build cache's work on the task (no process): cacheHandle becomes readable when it
    /// is done.
    enum class CacheWork { None, Restore, Store } cacheWork = CacheWork::None;
    bool cacheDone = false;
    THandle cacheHandle = kInvalidHandle;

    bool Done() const {
        return exited && out.Handle() == kInvalidHandle && err.Handle() == kInvalidHandle;
    }
};

// A slot's entry for the build cache's work on a task: no process to signal, read or wait
// for, only the handle that tells when the work is done.
std::unique_ptr<Running> CacheRun(int task, int slot, Running::CacheWork work, THandle handle) {
    auto run = std::make_unique<Running>();
    run->task = task;
    run->slot = slot;
    run->cacheWork = work;
    run->cacheHandle = handle;
    run->exited = run->terminated = run->killed = true;
    return run;
}

// Sends the complete lines of data (with what was carried over) to the observer as one text;
// the unfinished rest stays in the carry. At the end of the data the rest is a line too.
void EmitLines(Stream& stream, std::string_view data, bool atEnd, int task,
               TaskObserver& observer) {
    stream.carry.append(data);
    std::size_t last = stream.carry.rfind('\n');
    std::size_t complete = last == std::string::npos ? 0 : last + 1;
    if (atEnd || stream.carry.size() - complete > kMaxLine) {
        complete = stream.carry.size();
    }
    if (complete == 0) {
        return;
    }
    std::string text;
    text.reserve(complete + complete / 16);
    std::size_t begin = 0;
    while (begin < complete) {
        std::size_t end = stream.carry.find('\n', begin);
        if (end == std::string::npos || end >= complete) {
            end = complete;
        }
        std::size_t lineEnd = end;
        if (lineEnd > begin && stream.carry[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        if (!text.empty() || begin > 0) {
            text += "\r\n";
        }
        text.append(stream.carry, begin, lineEnd - begin);
        begin = end + 1;
    }
    stream.carry.erase(0, std::min(complete, stream.carry.size()));
    observer.TaskOutput(task, text, stream.error);
}

// Reads what one pipe has; closes it at its end.
void ReadStream(Stream& stream, int task, TaskObserver& observer, std::vector<char>& buffer) {
    auto read = platform::ReadSome(stream.Handle(), buffer.data(), buffer.size());
    if (read && !*read) {
        return; // nothing yet
    }
    if (!read || **read == 0) {
        EmitLines(stream, {}, true, task, observer);
        stream.Close();
        return;
    }
    EmitLines(stream, std::string_view(buffer.data(), **read), false, task, observer);
}

// The PATH value of an environment; without one, the search path a shell uses by default.
std::string PathOfEnvironment(const std::vector<std::string>& environment) {
    for (auto it = environment.rbegin(); it != environment.rend(); ++it) {
        if (it->starts_with("PATH=")) {
            return it->substr(5);
        }
    }
    return "/bin:/usr/bin";
}

int StartTask(const JobTask& jobTask, const std::vector<std::string>& environment, Running& run,
              std::string& message) {
    // The folders of declared outputs exist before the task runs, as a compiler expects.
    for (const std::string& output : jobTask.outputs) {
        std::size_t slash = output.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            try {
                MakeFolders(output.substr(0, slash));
            } catch (const Exception& e) {
                message = e.Message();
                return EIO;
            }
        }
    }
    platform::ChildStartOptions options;
    options.environment = MergeEnvironment(environment, jobTask.environment);
    if (jobTask.shellLine.empty()) {
        options.arguments = jobTask.arguments;
        // The program is found in the task's PATH, not in ours. A relative folder in it counts
        // from the task's folder, as for the task itself.
        const std::string& name = options.arguments.empty() ? std::string() : options.arguments[0];
        if (!name.empty() && name.find('/') == std::string::npos) {
            std::string found = platform::FindProgramInPath(
                name, PathOfEnvironment(*options.environment), {.startFolder = jobTask.folder});
            if (found.empty()) {
                message = "cannot run " + name + ": not found in the task's PATH";
                return ENOENT;
            }
            options.arguments[0] = found;
        }
    } else {
        options.arguments = {"/bin/sh", "-c", jobTask.shellLine};
    }
    options.newProcessGroup = true;
    options.killWithParent = true;
    options.workingDirectory = jobTask.folder;
    options.nullInput = true;
    options.pipeOutput = true;
    options.pipeError = true;
    platform::Result<> started = run.child.Start(options);
    if (!started) {
        const int error = started.error().code;
        message =
            platform::PathKind::Folder != platform::QueryPathKind(jobTask.folder) &&
                    !jobTask.folder.empty()
                ? "cannot enter the folder " + jobTask.folder + ": " +
                      platform::SystemErrorText(error)
                : "cannot run " + options.arguments[0] + ": " + platform::SystemErrorText(error);
        return error;
    }
    return 0;
}

// The slot a ready task may start in now, or -1: a remote-capable task takes a free local slot
// unless the placement avoids local ones, else a free remote slot.
int PickSlot(const JobTask& task, bool localOnly, int localSlots, RemotePlacement* remote,
             const std::vector<bool>& busy) {
    auto firstFree = [&](int begin, int end) {
        for (int s = begin; s < end; ++s) {
            if (!busy[static_cast<std::size_t>(s)]) {
                return s;
            }
        }
        return -1;
    };
    const int total = static_cast<int>(busy.size());
    const bool mayGoRemote = task.remote && !localOnly && total > localSlots;
    if (!(mayGoRemote && remote->AvoidLocal())) {
        if (int slot = firstFree(0, localSlots); slot >= 0) {
            return slot;
        }
    }
    return mayGoRemote ? firstFree(localSlots, total) : -1;
}

} // namespace

void MakeFolders(const std::string& folder) {
    if (folder.empty() || platform::QueryPathKind(folder) == platform::PathKind::Folder) {
        return;
    }
    std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        MakeFolders(folder.substr(0, slash));
    }
    if (platform::Result<> made = platform::MakeFolder(folder);
        !made && made.error().code != EEXIST) {
        RaiseOsError("Cannot create folder " + folder, made.error().code);
    }
}

std::vector<std::string> MergeEnvironment(std::vector<std::string> base, const EnvAdditions& add) {
    for (const auto& [name, value] : add) {
        std::string prefix = name + "=";
        base.erase(std::remove_if(base.begin(), base.end(),
                                  [&](const std::string& e) { return e.starts_with(prefix); }),
                   base.end());
        base.push_back(prefix + value);
    }
    return base;
}

bool TaskUpToDate(const JobTask& task) {
    if (task.outputs.empty()) {
        return false;
    }
    long long newestInput = std::numeric_limits<long long>::min();
    for (const std::string& input : task.inputs) {
        platform::Result<long long> t = platform::FileModificationTime(input);
        if (!t) {
            return false;
        }
        newestInput = std::max(newestInput, *t);
    }
    for (const std::string& output : task.outputs) {
        platform::Result<long long> t = platform::FileModificationTime(output);
        if (!t || *t <= newestInput) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> RemoveOutputs(const JobTask& task) {
    std::vector<std::string> problems;
    for (const std::string& output : task.outputs) {
        if (platform::QueryPathKind(output) == platform::PathKind::Missing) {
            continue;
        }
        if (platform::Result<> removed = platform::RemoveFile(output); !removed) {
            problems.push_back("Cannot remove " + output + ": " +
                               platform::SystemErrorText(removed.error().code));
        }
    }
    return problems;
}

RunOutcome RunJob(const JobSpec& job, const RunSettings& settings, TaskObserver& observer) {
    const int count = static_cast<int>(job.tasks.size());
    const int slots = std::max(1, settings.slots);
    RunOutcome outcome;

    std::vector<int> waiting(static_cast<std::size_t>(count), 0);
    std::vector<std::vector<int>> dependents(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        for (int dep : job.tasks[static_cast<std::size_t>(i)].dependencies) {
            ++waiting[static_cast<std::size_t>(i)];
            dependents[static_cast<std::size_t>(dep)].push_back(i);
        }
    }
    std::deque<int> ready;
    for (int i : job.order) {
        if (waiting[static_cast<std::size_t>(i)] == 0) {
            ready.push_back(i);
        }
    }
    int finished = 0;
    auto release = [&](int task) {
        ++finished;
        for (int d : dependents[static_cast<std::size_t>(task)]) {
            if (--waiting[static_cast<std::size_t>(d)] == 0) {
                ready.push_back(d);
            }
        }
    };

    std::vector<std::unique_ptr<Running>> running;
    const int remoteSlots = settings.remote ? std::max(0, settings.remote->Slots()) : 0;
    std::vector<bool> slotBusy(static_cast<std::size_t>(slots + remoteSlots), false);
    std::vector<bool> localOnly(static_cast<std::size_t>(count), false);
    std::vector<char> buffer(kReadChunk);
    bool stopStarting = false;
    std::uint64_t stopAt = 0;

    // Starts the task of run in its slot (busy already); false when it could not start (it
    // failed, its slot is free again).
    auto launch = [&](Running& run) {
        const int task = run.task;
        const int slot = run.slot;
        const JobTask& jobTask = job.tasks[static_cast<std::size_t>(task)];
        run.started = platform::MonotonicMilliseconds();
        observer.TaskStarted(task, slot);
        std::string message;
        JobTask remoteTask;
        const bool remote = slot >= slots;
        if ((remote && !settings.remote->Prepare(jobTask, slot - slots, remoteTask, message)) ||
            StartTask(remote ? remoteTask : jobTask, settings.environment, run, message) != 0) {
            observer.TaskOutput(task, "Failed to start task \"" + jobTask.id + "\": " + message,
                                true);
            observer.TaskFinished(task, slot, 127, 0);
            slotBusy[static_cast<std::size_t>(slot)] = false;
            ++outcome.failed;
            if (outcome.exitCode == 0) {
                outcome.exitCode = 127;
            }
            finished++;
            if (!settings.keepGoing) {
                stopStarting = true;
            }
            return false;
        }
        return true;
    };

    for (;;) {
        const std::uint64_t now = platform::MonotonicMilliseconds();
        if (!outcome.cancelled && settings.stopRequested && settings.stopRequested()) {
            outcome.cancelled = true;
            stopStarting = true;
            stopAt = now;
            for (auto& run : running) {
                if (!run->exited) {
                    platform::SignalProcessGroup(run->child.Pid(),
                                                 platform::ProcessSignal::Terminate);
                    run->terminated = true;
                }
            }
        }
        if (outcome.cancelled && now - stopAt >= static_cast<std::uint64_t>(settings.killGraceMs)) {
            for (auto& run : running) {
                if (!run->killed) {
                    platform::SignalProcessGroup(run->child.Pid(), platform::ProcessSignal::Kill);
                    run->killed = true;
                }
            }
        }

        // Start what may start.
        while (!stopStarting && !ready.empty() &&
               static_cast<int>(running.size()) < slots + remoteSlots) {
            int slot = -1;
            auto it = ready.begin();
            for (; it != ready.end() && slot < 0; ++it) {
                slot = PickSlot(job.tasks[static_cast<std::size_t>(*it)],
                                localOnly[static_cast<std::size_t>(*it)], slots, settings.remote,
                                slotBusy);
            }
            if (slot < 0) {
                break;
            }
            --it;
            int task = *it;
            ready.erase(it);
            const JobTask& jobTask = job.tasks[static_cast<std::size_t>(task)];
            if (!settings.rebuild && TaskUpToDate(jobTask)) {
                ++outcome.skipped;
                observer.TaskSkipped(task);
                release(task);
                continue;
            }
            if (settings.restore && settings.restore(task)) {
                ++outcome.built;
                ++outcome.restored;
                release(task);
                continue;
            }
            if (settings.cache) {
                THandle handle = settings.cache->BeginRestore(task, slot);
                if (handle != kInvalidHandle) {
                    slotBusy[static_cast<std::size_t>(slot)] = true;
                    running.push_back(CacheRun(task, slot, Running::CacheWork::Restore, handle));
                    continue;
                }
            }
            auto run = std::make_unique<Running>();
            run->task = task;
            run->slot = slot;
            slotBusy[static_cast<std::size_t>(run->slot)] = true;
            if (launch(*run)) {
                running.push_back(std::move(run));
            }
        }
        if (running.empty()) {
            break;
        }

        std::vector<THandle> handles;
        handles.reserve(running.size() * 3);
        for (auto& run : running) {
            handles.push_back(run->out.Handle());
            handles.push_back(run->err.Handle());
            if (run->cacheWork != Running::CacheWork::None) {
                handles.push_back(run->cacheDone ? kInvalidHandle : run->cacheHandle);
            } else {
                handles.push_back(run->exited ? kInvalidHandle : run->child.WaitHandle());
            }
        }
        int waitMs = settings.pollMs;
        if (outcome.cancelled) {
            std::uint64_t left = stopAt + static_cast<std::uint64_t>(settings.killGraceMs);
            waitMs = left > now ? static_cast<int>(std::min<std::uint64_t>(left - now, waitMs)) : 0;
            waitMs = std::max(waitMs, 1);
        }
        std::vector<bool> readyFlags = platform::WaitReadable(handles, waitMs)
                                           .value_or(std::vector<bool>(handles.size(), false));

        const std::uint64_t after = platform::MonotonicMilliseconds();
        for (std::size_t r = 0; r < running.size(); ++r) {
            Running& run = *running[r];
            if (run.cacheWork != Running::CacheWork::None) {
                run.cacheDone = run.cacheDone || readyFlags[r * 3 + 2];
                continue;
            }
            if (readyFlags[r * 3]) {
                ReadStream(run.out, run.task, observer, buffer);
            }
            if (readyFlags[r * 3 + 1]) {
                ReadStream(run.err, run.task, observer, buffer);
            }
            if (!run.exited && (readyFlags[r * 3 + 2] || run.child.WaitHandle() < 0)) {
                std::optional<int> code = run.child.ExitCode();
                if (code) {
                    run.exited = true;
                    run.exitCode = *code;
                    run.exitedAt = after;
                    // Whatever the task left running in its group ends with it.
                    platform::SignalProcessGroup(run.child.Pid(), platform::ProcessSignal::Kill);
                }
            }
            if (run.exited && !run.Done() && after - run.exitedAt >= kDrainMs) {
                EmitLines(run.out, {}, true, run.task, observer);
                EmitLines(run.err, {}, true, run.task, observer);
                run.out.Close();
                run.err.Close();
            }
        }

        // Retire the finished tasks, in the order they are held.
        for (std::size_t r = 0; r < running.size();) {
            Running& run = *running[r];
            if (run.cacheWork != Running::CacheWork::None) {
                if (!run.cacheDone) {
                    ++r;
                    continue;
                }
                if (run.cacheWork == Running::CacheWork::Store) {
                    settings.cache->FinishStore(run.task);
                    slotBusy[static_cast<std::size_t>(run.slot)] = false;
                } else if (settings.cache->FinishRestore(run.task)) {
                    slotBusy[static_cast<std::size_t>(run.slot)] = false;
                    ++outcome.built;
                    ++outcome.restored;
                    release(run.task);
                } else if (stopStarting) {
                    slotBusy[static_cast<std::size_t>(run.slot)] = false;
                } else {
                    // Not restored: the task runs in the slot it holds.
                    auto task = std::make_unique<Running>();
                    task->task = run.task;
                    task->slot = run.slot;
                    if (launch(*task)) {
                        running[r] = std::move(task);
                        ++r;
                        continue;
                    }
                }
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(r));
                continue;
            }
            if (!run.Done()) {
                ++r;
                continue;
            }
            slotBusy[static_cast<std::size_t>(run.slot)] = false;
            if (run.exitCode != 0 && run.slot >= slots && !outcome.cancelled &&
                settings.remote->RunAgainLocally(job.tasks[static_cast<std::size_t>(run.task)],
                                                 run.exitCode)) {
                observer.TaskRetried(run.task, run.slot, run.exitCode, after - run.started);
                localOnly[static_cast<std::size_t>(run.task)] = true;
                ready.push_front(run.task);
                running.erase(running.begin() + static_cast<std::ptrdiff_t>(r));
                continue;
            }
            if (run.exitCode != 0) {
                // A failed task's outputs may be half written; left in place they would be
                // newer than the inputs and pass for up to date in the next build.
                for (const std::string& problem :
                     RemoveOutputs(job.tasks[static_cast<std::size_t>(run.task)])) {
                    observer.TaskOutput(run.task, problem, true);
                }
            }
            observer.TaskFinished(run.task, run.slot, run.exitCode, after - run.started);
            if (run.exitCode == 0) {
                ++outcome.built;
                release(run.task);
                THandle handle = settings.cache ? settings.cache->BeginStore(run.task, run.slot,
                                                                             after - run.started)
                                                : kInvalidHandle;
                if (handle != kInvalidHandle) {
                    // The slot stays busy while the results are stored.
                    slotBusy[static_cast<std::size_t>(run.slot)] = true;
                    running[r] = CacheRun(run.task, run.slot, Running::CacheWork::Store, handle);
                    ++r;
                    continue;
                }
            } else {
                ++outcome.failed;
                ++finished;
                if (outcome.exitCode == 0) {
                    outcome.exitCode = run.exitCode;
                }
                if (!settings.keepGoing) {
                    stopStarting = true;
                }
            }
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(r));
        }
    }
    outcome.notRun = count - finished;
    return outcome;
}

} // namespace qz::tasksmith
