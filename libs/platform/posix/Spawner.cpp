#include "platform/Spawner.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::platform {
namespace {

/// The receiver of passed-on signals (0: none yet) and how to pass them.
std::atomic<int> forwardPid{0};
std::atomic<bool> forwardAsTerminate{false};
/// A signal that arrived before there was a receiver, passed on when one is named.
std::atomic<int> pendingSignal{0};

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

void PassOn(int signal) {
    int savedErrno = errno;
    int pid = forwardPid.load();
    if (pid > 0) {
        kill(pid, forwardAsTerminate.load() ? SIGTERM : signal);
    } else {
        pendingSignal.store(signal);
    }
    errno = savedErrno;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

Result<int> SpawnProgram(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& env, int stdOut, int stdErr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdOut >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdOut, 1);
    }
    if (stdErr >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdErr, 2);
    }
    // The child inherits our signal mask and ignored signals, as an exec would pass them on;
    // the signals we catch (ForwardEndSignals) start with their default action there.
    auto args = Pointers(argv);
    auto envp = Pointers(env);
    pid_t pid = 0;
    int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return Fail(error, "start " + path);
    }
    return static_cast<int>(pid);
}

Result<ProgramEnd> WaitProgram(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return FailWithLastError("wait for " + std::to_string(pid));
        }
    }
    ProgramEnd end;
    if (WIFSIGNALED(status)) {
        end.signalled = true;
        end.number = WTERMSIG(status);
    } else {
        end.number = WEXITSTATUS(status);
    }
    return end;
}

Failure ReplaceProcess(const std::string& path, const std::vector<std::string>& argv,
                       const std::vector<std::string>& env) {
    auto args = Pointers(argv);
    auto envp = Pointers(env);
    execve(path.c_str(), args.data(), envp.data());
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
    int pending = pendingSignal.exchange(0);
    if (pending != 0 && pid > 0) {
        kill(pid, asTerminate ? SIGTERM : pending);
    }
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

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

bool IsSameFile(const std::string& path, const std::string& other) {
    struct stat a {};
    struct stat b {};
    return stat(path.c_str(), &a) == 0 && stat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

} // namespace qz::platform
