#include "platform/ChildProcess.h"

#include "WriteAll.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qz::platform {

namespace {

int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

ChildProcess::~ChildProcess() {
    if (pidfd_ >= 0) {
        close(pidfd_);
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), pidfd_(other.pidfd_), exitCode_(other.exitCode_) {
    other.pid_ = -1;
    other.pidfd_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pidfd_ >= 0) {
            close(pidfd_);
        }
        pid_ = other.pid_;
        pidfd_ = other.pidfd_;
        exitCode_ = other.exitCode_;
        other.pid_ = -1;
        other.pidfd_ = -1;
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

    // The child reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    if (pid == 0) {
        if (options.newSession) {
            setsid();
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
        execvpe(argv[0], argv.data(), environ);
        int error = errno;
        detail::WriteAll(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int childError = 0;
    ssize_t n;
    while ((n = read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    pid_ = pid;
    pidfd_ = PidfdOpen(pid);
    if (n == static_cast<ssize_t>(sizeof childError)) {
        Reap();
        pid_ = -1;
        if (pidfd_ >= 0) {
            close(pidfd_);
            pidfd_ = -1;
        }
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
    if (pidfd_ >= 0) {
        pollfd fd{pidfd_, POLLIN, 0};
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
