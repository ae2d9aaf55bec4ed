#include "platform/ChildProcess.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qz::platform {

namespace {

int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// A pipe whose ends are not inherited (the child gets its end through dup2, which clears that).
Result<std::pair<detail::UniqueFd, detail::UniqueFd>> MakePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return FailWithLastError("create a pipe for a child");
    }
    return std::pair{detail::UniqueFd(ends[0]), detail::UniqueFd(ends[1])};
}

// The argument or environment strings as the NULL-terminated array exec takes.
std::vector<char*> PointerArray(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The descriptors the child's standard handles come from: -1 leaves ours, kNull the null device.
constexpr int kNull = -2;

// Starts the child with posix_spawn: every option but killWithParent, niceValue and
// allowCoreFiles maps onto its attributes and file actions.
int Spawn(const ChildStartOptions& options, const int (&handles)[3], const char* file,
          char* const* argv, char* const* envp, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (int rc = posix_spawn_file_actions_init(&actions)) {
        return rc;
    }
    if (int rc = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    int rc = 0;
    short flags = 0;
    if (!options.inheritSignalState) {
        flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE); // a child of ours that ignores SIGPIPE would not end on it
        rc = posix_spawnattr_setsigdefault(&attributes, &defaults);
        // The mask is inherited through exec: a service that blocks its stop signals (to take
        // them on a thread of its own) must not start children that cannot be stopped.
        sigset_t none;
        sigemptyset(&none);
        if (rc == 0) {
            rc = posix_spawnattr_setsigmask(&attributes, &none);
        }
    }
    if (options.newSession) {
        flags |= POSIX_SPAWN_SETSID;
    } else if (options.newProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        if (rc == 0) {
            rc = posix_spawnattr_setpgroup(&attributes, 0);
        }
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(&attributes, flags);
    }
    if (rc == 0 && !options.workingDirectory.empty()) {
        rc = posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    for (int target = 0; target < 3 && rc == 0; ++target) {
        if (handles[target] == kNull) {
            rc = posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                                  target == 0 ? O_RDONLY : O_WRONLY, 0);
        } else if (handles[target] >= 0) {
            rc = posix_spawn_file_actions_adddup2(&actions, handles[target], target);
        }
    }
    if (rc == 0 && options.errorToOutput) {
        rc = posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    if (rc == 0) {
        rc = posix_spawnp(&pid, file, &actions, &attributes, argv, envp);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// Starts the child with vfork, for the options that need calls in the child which posix_spawn
// cannot make. Between vfork and exec the child shares our memory: it makes system calls only
// and reports a failure through a variable of this frame.
int StartByVfork(const ChildStartOptions& options, const int (&handles)[3], const char* file,
                 char* const* argv, char* const* envp, pid_t& pid) {
    const pid_t parent = getpid();
    const char* folder =
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    const int nice = options.niceValue.value_or(0);
    const bool setNice = options.niceValue.has_value();
    const bool inheritSignals = options.inheritSignalState;
    // Our signal handlers must not run in the child while it shares our memory: every signal is
    // blocked across vfork, and the child resets each handled one before unblocking.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    volatile int childError = 0;
    pid = vfork();
    if (pid == 0) {
        for (int sig = 1; sig < NSIG; ++sig) {
            struct sigaction action {};
            if (sigaction(sig, nullptr, &action) == 0 &&
                ((sig == SIGPIPE && !inheritSignals) ||
                 (action.sa_handler != SIG_IGN && action.sa_handler != SIG_DFL))) {
                action.sa_handler = SIG_DFL;
                action.sa_flags = 0;
                sigaction(sig, &action, nullptr);
            }
        }
        if (options.newSession) {
            setsid();
        } else if (options.newProcessGroup) {
            setpgid(0, 0);
        }
        if (options.killWithParent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                childError = ESRCH;
                _exit(127);
            }
        }
        if (folder != nullptr && chdir(folder) != 0) {
            childError = errno;
            _exit(127);
        }
        if (setNice) {
            // Without the privilege a raise fails; the child then keeps our priority.
            (void)setpriority(PRIO_PROCESS, 0, nice);
        }
        if (options.allowCoreFiles) {
            rlimit limit{};
            if (getrlimit(RLIMIT_CORE, &limit) == 0) {
                limit.rlim_cur = limit.rlim_max;
                (void)setrlimit(RLIMIT_CORE, &limit);
            }
        }
        for (int target = 0; target < 3; ++target) {
            int fd = handles[target];
            if (fd == kNull) {
                fd = open("/dev/null", target == 0 ? O_RDONLY : O_WRONLY);
                if (fd < 0 || (fd != target && dup2(fd, target) < 0)) {
                    childError = errno;
                    _exit(127);
                }
            } else if (fd >= 0 && dup2(fd, target) < 0) {
                childError = errno;
                _exit(127);
            }
        }
        if (options.errorToOutput && dup2(1, 2) < 0) {
            childError = errno;
            _exit(127);
        }
        // No signal blocked, whatever our mask (see Spawn); or our own mask, as exec keeps it.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, inheritSignals ? &old : &none, nullptr);
        execvpe(file, argv, envp);
        childError = errno;
        _exit(127);
    }
    const int vforkError = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        return vforkError;
    }
    if (childError != 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return childError;
    }
    return 0;
}

} // namespace

ChildProcess::~ChildProcess() = default;

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)),
      input_(std::move(other.input_)), output_(std::move(other.output_)),
      error_(std::move(other.error_)), end_(std::exchange(other.end_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        error_ = std::move(other.error_);
        end_ = std::exchange(other.end_, std::nullopt);
    }
    return *this;
}

Result<> ChildProcess::Start(const ChildStartOptions& options) {
    if (pid_ > 0 || end_) {
        return Fail(EINVAL, "start a child: the object has started one already");
    }
    if (options.arguments.empty() || options.arguments[0].empty()) {
        return Fail(ENOENT, "start a child: no program named");
    }
    const std::string& file = options.program.empty() ? options.arguments[0] : options.program;
    std::vector<std::string> args = options.arguments;
    std::vector<char*> argv = PointerArray(args);
    std::vector<std::string> envCopy;
    std::vector<char*> envp;
    if (options.environment) {
        envCopy = *options.environment;
        envp = PointerArray(envCopy);
    }

    // The child's ends live only until it has started; ours are kept.
    int handles[3] = {options.nullInput ? kNull : options.stdIn, options.stdOut, options.stdErr};
    detail::UniqueFd childEnds[3];
    detail::UniqueFd ourEnds[3];
    const bool piped[3] = {options.pipeInput, options.pipeOutput, options.pipeError};
    for (int target = 0; target < 3; ++target) {
        if (!piped[target]) {
            continue;
        }
        auto pipe = MakePipe();
        if (!pipe) {
            return tl::unexpected(pipe.error());
        }
        // Standard input: the child reads, we write; the other two the other way round.
        auto& [readEnd, writeEnd] = *pipe;
        childEnds[target] = std::move(target == 0 ? readEnd : writeEnd);
        ourEnds[target] = std::move(target == 0 ? writeEnd : readEnd);
        handles[target] = childEnds[target].Get();
        if (target != 0) {
            int flags = fcntl(ourEnds[target].Get(), F_GETFL);
            if (flags < 0 || fcntl(ourEnds[target].Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
                return FailWithLastError("start a child: make its pipe non-blocking");
            }
        }
    }

    pid_t pid = -1;
    char* const* environment = options.environment ? envp.data() : environ;
    const bool needsVfork = options.killWithParent || options.niceValue || options.allowCoreFiles;
    int rc = needsVfork
                 ? StartByVfork(options, handles, file.c_str(), argv.data(), environment, pid)
                 : Spawn(options, handles, file.c_str(), argv.data(), environment, pid);
    if (rc != 0) {
        return Fail(rc, "start " + file);
    }
    pid_ = pid;
    // Cannot fail for an unreaped child but by running out of descriptors; Wait and ExitCode
    // then fall back to waitpid.
    pidfd_.Reset(PidfdOpen(pid));
    input_ = std::move(ourEnds[0]);
    output_ = std::move(ourEnds[1]);
    error_ = std::move(ourEnds[2]);
    return {};
}

bool ChildProcess::Wait(int timeoutMs) {
    if (end_) {
        return true;
    }
    if (pid_ <= 0) {
        return false;
    }
    if (pidfd_) {
        pollfd fd{pidfd_.Get(), POLLIN, 0};
        int ready;
        while ((ready = poll(&fd, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        if (ready <= 0) {
            return false;
        }
    }
    Reap(true);
    return end_.has_value();
}

void ChildProcess::Reap(bool block) {
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r == pid_) {
        end_ = WIFSIGNALED(status) ? ProgramEnd{true, WTERMSIG(status)}
                                   : ProgramEnd{false, WEXITSTATUS(status)};
    }
}

std::optional<ProgramEnd> ChildProcess::End() {
    if (!end_ && pid_ > 0) {
        Reap(false);
    }
    return end_;
}

std::optional<int> ChildProcess::ExitCode() {
    std::optional<ProgramEnd> end = End();
    if (!end) {
        return std::nullopt;
    }
    return end->signalled ? 128 + end->number : end->number;
}

Result<> SignalProcessGroup(int groupId, ProcessSignal signal) {
    if (groupId <= 1) {
        return Fail(EINVAL, "signal process group " + std::to_string(groupId));
    }
    if (kill(-groupId, signal == ProcessSignal::Kill ? SIGKILL : SIGTERM) != 0) {
        return FailWithLastError("signal process group " + std::to_string(groupId));
    }
    return {};
}

bool ProcessGroupAlive(int groupId) {
    return groupId > 1 && (kill(-groupId, 0) == 0 || errno == EPERM);
}

Result<> BecomeChildSubreaper() {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        return FailWithLastError("become the reaper of orphaned descendants");
    }
    return {};
}

namespace {

// The children of this process from the kernel's list of each of its threads (a process adopted
// as an orphan may sit with any of them); false when the kernel keeps no such list.
bool ListChildrenOfThreads(std::vector<pid_t>& children) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return false;
    }
    bool listed = true;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream list("/proc/self/task/" + std::string(entry->d_name) + "/children");
        if (!list.is_open()) {
            // A thread that has just ended has no folder any more; no list at all means no
            // support.
            listed = access(("/proc/self/task/" + std::string(entry->d_name)).c_str(), F_OK) != 0;
            if (!listed) {
                break;
            }
            continue;
        }
        for (long pid = 0; list >> pid;) {
            children.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(dir);
    return listed;
}

// The children of this process: from the kernel's lists, else from the parent field of every
// /proc/<pid>/stat.
std::vector<pid_t> ListChildren() {
    std::vector<pid_t> children;
    if (ListChildrenOfThreads(children)) {
        return children;
    }
    children.clear();
    const pid_t self = getpid();
    DIR* dir = opendir("/proc");
    if (dir == nullptr) {
        return children;
    }
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text;
        std::getline(stat, text);
        // The command name in parentheses may hold blanks and parentheses: parse after the last.
        std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == self) {
            children.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(dir);
    return children;
}

} // namespace

int KillRemainingChildren(int timeoutMs, int graceMs) {
    int ended = 0;
    auto reap = [] {
        int status = 0;
        while (waitpid(-1, &status, WNOHANG) > 0) {
        }
    };
    // First the request to end: a process that must tidy up on its way out (a cluster client
    // that gives its allocation back, one that ends its remote steps) gets the chance. A process
    // adopted meanwhile is asked too.
    std::vector<pid_t> asked;
    auto graceEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (graceMs > 0) {
        reap();
        std::vector<pid_t> children = ListChildren();
        if (children.empty() || std::chrono::steady_clock::now() >= graceEnd) {
            break;
        }
        for (pid_t child : children) {
            if (std::find(asked.begin(), asked.end(), child) == asked.end()) {
                asked.push_back(child);
                if (kill(child, SIGTERM) == 0) {
                    ++ended;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<pid_t> children = ListChildren();
        if (children.empty()) {
            break;
        }
        for (pid_t child : children) {
            if (kill(child, SIGKILL) == 0 &&
                std::find(asked.begin(), asked.end(), child) == asked.end()) {
                ++ended;
            }
        }
        reap();
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ended;
}

namespace {

// The receiver of passed-on end signals (0: none yet) and how to pass them.
std::atomic<int> forwardPid{0};
std::atomic<bool> forwardAsTerminate{false};
// A signal that arrived while there was no receiver, passed on when one is named.
std::atomic<int> pendingSignal{0};
// The last end signal that arrived at all.
std::atomic<int> receivedSignal{0};

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

void PassOn(int signal) {
    const int savedErrno = errno;
    receivedSignal.store(signal);
    const int pid = forwardPid.load();
    if (pid > 0) {
        kill(pid, forwardAsTerminate.load() ? SIGTERM : signal);
    } else {
        pendingSignal.store(signal);
    }
    errno = savedErrno;
}

} // namespace

Failure ReplaceProcess(const std::string& path, const std::vector<std::string>& argv,
                       const std::vector<std::string>& env) {
    std::vector<std::string> args = argv;
    std::vector<std::string> entries = env;
    std::vector<char*> argPointers = PointerArray(args);
    std::vector<char*> envPointers = PointerArray(entries);
    execve(path.c_str(), argPointers.data(), envPointers.data());
    return Failure{errno, "execute " + path};
}

void ForwardEndSignals(int pid, bool asTerminate) {
    forwardAsTerminate.store(asTerminate);
    forwardPid.store(pid);
    struct sigaction action {};
    action.sa_handler = PassOn;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kEndSignals) {
        sigaction(signal, &action, nullptr);
    }
    const int pending = pid > 0 ? pendingSignal.exchange(0) : 0;
    if (pending != 0) {
        kill(pid, asTerminate ? SIGTERM : pending);
    }
}

int ReceivedEndSignal() {
    return receivedSignal.load();
}

void EndLike(const ProgramEnd& end) {
    if (!end.signalled) {
        std::_Exit(end.number & 0xff);
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(end.number, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, end.number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    kill(getpid(), end.number);
    std::_Exit(128 + end.number);
}

std::optional<int> NiceValueOfPriorityClass(unsigned priorityClass) {
    switch (priorityClass) {
    case 0x20:
        return 0;
    case 0x40:
        return 19;
    case 0x4000:
        return 10;
    case 0x8000:
        return -5;
    case 0x80:
        return -10;
    case 0x100:
        return -20;
    default:
        return std::nullopt;
    }
}

} // namespace qz::platform
