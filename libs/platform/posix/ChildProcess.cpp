#include "platform/ChildProcess.h"

#include "WriteAll.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
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

} // namespace

ChildProcess::~ChildProcess() = default;

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)),
      exitCode_(other.exitCode_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
        exitCode_ = other.exitCode_;
    }
    return *this;
}

int ChildProcess::Start(const ChildStartOptions& options) {
    if (options.arguments.empty() || options.arguments[0].empty()) {
        return ENOENT;
    }
    std::vector<std::string> args = options.arguments;
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envCopy;
    std::vector<char*> envp;
    if (options.environment) {
        envCopy = *options.environment;
        for (std::string& e : envCopy) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
    }
    const pid_t parent = getpid();

    // The child reports a failed exec through this pipe; a successful exec closes it.
    int reportEnds[2];
    if (pipe2(reportEnds, O_CLOEXEC) != 0) {
        return errno;
    }
    detail::UniqueFd reportRead(reportEnds[0]);
    detail::UniqueFd reportWrite(reportEnds[1]);
    const int report[2] = {reportEnds[0], reportEnds[1]};
    pid_t pid = fork();
    if (pid < 0) {
        return errno;
    }
    if (pid == 0) {
        if (options.newSession) {
            setsid();
        } else if (options.newProcessGroup) {
            setpgid(0, 0);
        }
        if (options.killWithParent) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127);
            }
        }
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            int error = errno;
            detail::WriteAll(report[1], &error, sizeof error);
            _exit(127);
        }
        if (options.niceValue) {
            // Without the privilege a raise fails; the child then keeps our priority.
            (void)setpriority(PRIO_PROCESS, 0, *options.niceValue);
        }
        if (options.allowCoreFiles) {
            rlimit limit{};
            if (getrlimit(RLIMIT_CORE, &limit) == 0) {
                limit.rlim_cur = limit.rlim_max;
                (void)setrlimit(RLIMIT_CORE, &limit);
            }
        }
        int handles[3] = {options.stdIn, options.stdOut, options.stdErr};
        for (int target = 0; target < 3; ++target) {
            if (handles[target] >= 0 && dup2(handles[target], target) < 0) {
                int error = errno;
                detail::WriteAll(report[1], &error, sizeof error);
                _exit(127);
            }
        }
        signal(SIGPIPE, SIG_DFL);
        // The mask is inherited through exec: a service that blocks its stop signals (to take
        // them on a thread of its own) must not start children that cannot be stopped.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvpe(argv[0], argv.data(), options.environment ? envp.data() : environ);
        int error = errno;
        detail::WriteAll(report[1], &error, sizeof error);
        _exit(127);
    }
    if (options.newProcessGroup && !options.newSession) {
        // Also here, so that the group exists before Start returns (whichever side runs first).
        (void)setpgid(pid, pid);
    }
    reportWrite.Reset();
    int childError = 0;
    ssize_t n;
    while ((n = read(reportRead.Get(), &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    reportRead.Reset();
    pid_ = pid;
    pidfd_.Reset(PidfdOpen(pid));
    if (n == static_cast<ssize_t>(sizeof childError)) {
        Reap();
        pid_ = -1;
        pidfd_.Reset();
        return childError;
    }
    return 0;
}

bool ChildProcess::Wait(int timeoutMs) {
    if (exitCode_) {
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
    Reap();
    return exitCode_.has_value();
}

void ChildProcess::Reap() {
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

std::optional<int> ChildProcess::ExitCode() {
    if (!exitCode_ && pid_ > 0) {
        int status = 0;
        pid_t r;
        while ((r = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    return exitCode_;
}

int SignalProcessGroup(int groupId, ProcessSignal signal) {
    if (groupId <= 1) {
        return EINVAL;
    }
    if (kill(-groupId, signal == ProcessSignal::Kill ? SIGKILL : SIGTERM) != 0) {
        return errno;
    }
    return 0;
}

bool ProcessGroupAlive(int groupId) {
    return groupId > 1 && (kill(-groupId, 0) == 0 || errno == EPERM);
}

int BecomeChildSubreaper() {
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : errno;
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

int KillRemainingChildren(int timeoutMs) {
    int killed = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<pid_t> children = ListChildren();
        if (children.empty()) {
            break;
        }
        for (pid_t child : children) {
            if (kill(child, SIGKILL) == 0) {
                ++killed;
            }
        }
        int status = 0;
        while (waitpid(-1, &status, WNOHANG) > 0) {
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return killed;
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
