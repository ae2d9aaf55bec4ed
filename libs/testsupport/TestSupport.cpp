#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qz::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qztest.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::string suite = "none";
    std::string name = "none";
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        suite = info->test_suite_name();
        name = info->name();
    }
    std::string result = prefix + "_" + std::to_string(getpid()) + "_" + suite + "_" + name + "_" +
                         std::to_string(counter++);
    for (char& c : result) {
        if (c == '/') {
            c = '_';
        }
    }
    return result;
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!file) {
        ADD_FAILURE() << "cannot write " << path;
    }
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

namespace {

std::vector<std::string> BuildEnvironment(const RunOptions& options) {
    std::map<std::string, std::string> env;
    if (!options.clearEnv) {
        for (char** e = environ; *e; ++e) {
            std::string entry(*e);
            size_t eq = entry.find('=');
            if (eq != std::string::npos) {
                env[entry.substr(0, eq)] = entry.substr(eq + 1);
            }
        }
    }
    for (const auto& [name, value] : options.env) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : env) {
        result.push_back(name + "=" + value);
    }
    return result;
}

// The argument and environment arrays execve wants, pointing into strings this object keeps
// (so it is neither copied nor moved).
struct ExecArrays {
    ExecArrays(std::vector<std::string> argv, std::vector<std::string> env)
        : args(std::move(argv)), envs(std::move(env)) {
        for (auto& s : args) {
            argp.push_back(s.data());
        }
        argp.push_back(nullptr);
        for (auto& s : envs) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
    }
    ExecArrays(const ExecArrays&) = delete;
    ExecArrays& operator=(const ExecArrays&) = delete;

    /// In the child: into the folder (when given), then the program; 126 or 127 when either fails.
    [[noreturn]] void Run(const std::string& folder) const {
        if (!folder.empty() && chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }

    std::vector<std::string> args, envs;
    std::vector<char*> argp, envp;
};

} // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
        pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return result;
    }
    const ExecArrays exec(argv, BuildEnvironment(options));

    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        exec.Run(options.cwd);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    std::thread writer([fd = inPipe[1], input = options.input] {
        signal(SIGPIPE, SIG_IGN);
        size_t done = 0;
        while (done < input.size()) {
            ssize_t n = write(fd, input.data() + done, input.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    });

    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[65536];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    writer.join();
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitCode = 128 + WTERMSIG(status);
    }
    return result;
}

int StartProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    const ExecArrays exec(argv, BuildEnvironment(options));
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        exec.Run(options.cwd);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    }
    return pid;
}

void StopChild(int pid, bool interrupt) {
    if (pid > 0) {
        kill(pid, interrupt ? SIGINT : SIGTERM);
    }
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

std::vector<int> ForkChildren(int count, const std::function<int(int)>& body,
                              std::chrono::milliseconds timeout) {
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            int code = 99;
            try {
                code = body(i);
            } catch (...) {
            }
            _exit(code);
        }
        if (pid < 0) {
            ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        }
        pids.push_back(pid);
    }
    std::vector<int> codes;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (pid_t pid : pids) {
        int status = 0;
        if (pid < 0) {
            codes.push_back(-1);
            continue;
        }
        for (;;) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "child " << pid << " timed out";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        codes.push_back(WIFEXITED(status)     ? WEXITSTATUS(status)
                        : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                              : -1);
    }
    return codes;
}

int ForkChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int rc = 99;
        try {
            rc = body();
        } catch (...) {
            rc = 99;
        }
        std::fflush(nullptr);
        _exit(rc);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    }
    return pid;
}

int WaitChild(int pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            KillChild(pid);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool ChildEnded(int pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int RunAsNobody(const std::function<int()>& body, std::chrono::milliseconds timeout, int gid) {
    if (geteuid() != 0) {
        return -2;
    }
    int pid = ForkChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(gid)) != 0 ||
            setuid(65534) != 0) {
            return 98;
        }
        return body();
    });
    return WaitChild(pid, timeout);
}

void KillChild(int pid) {
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace qz::test
