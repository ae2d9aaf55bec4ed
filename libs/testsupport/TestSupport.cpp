#include "TestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Pipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
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
#include <vector>

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

// Starts the program through the platform's child object; on a failed start, the exit code a
// shell gives: 126 when the folder cannot be entered, 127 when the program cannot be run.
std::optional<int> StartChild(platform::ChildProcess& child, const std::vector<std::string>& argv,
                              const RunOptions& options, platform::ChildStartOptions start) {
    start.arguments = argv;
    start.environment = BuildEnvironment(options);
    start.workingDirectory = options.cwd;
    if (auto started = child.Start(start); !started) {
        std::error_code error;
        bool folderMissing =
            !options.cwd.empty() && !std::filesystem::is_directory(options.cwd, error);
        return folderMissing ? 126 : 127;
    }
    return std::nullopt;
}

} // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    platform::ChildProcess child;
    platform::ChildStartOptions start;
    start.pipeInput = true;
    start.pipeOutput = true;
    start.pipeError = true;
    if (std::optional<int> failed = StartChild(child, argv, options, start)) {
        result.exitCode = *failed;
        result.err = "cannot start " + (argv.empty() ? std::string() : argv[0]);
        return result;
    }
    std::thread writer([&child, input = options.input] {
        signal(SIGPIPE, SIG_IGN);
        (void)platform::WriteAllTo(child.InputHandle(), input.data(), input.size());
        child.CloseInput();
    });

    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    std::string* sinks[2] = {&result.out, &result.err};
    std::vector<char> buffer(65536);
    while (child.OutputHandle() >= 0 || child.ErrorHandle() >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timedOut = true;
            kill(child.Pid(), SIGKILL);
            break;
        }
        const std::vector<platform::THandle> handles = {child.OutputHandle(), child.ErrorHandle()};
        auto ready = platform::WaitReadable(handles, static_cast<int>(left));
        if (!ready) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (!(*ready)[static_cast<std::size_t>(i)]) {
                continue;
            }
            auto read = platform::ReadSome(handles[static_cast<std::size_t>(i)], buffer.data(),
                                           buffer.size());
            if (read && !*read) {
                continue; // nothing after all
            }
            if (read && **read > 0) {
                sinks[i]->append(buffer.data(), **read);
            } else {
                i == 0 ? child.CloseOutput() : child.CloseError();
            }
        }
    }
    child.CloseOutput();
    child.CloseError();
    child.Wait(-1);
    writer.join();
    result.exitCode = child.ExitCode().value_or(-1);
    return result;
}

int StartProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    // One null device for the standard handles of every started program, open for good.
    static const int null = fileno(std::fopen("/dev/null", "r+e"));
    platform::ChildProcess child;
    platform::ChildStartOptions start;
    start.stdIn = start.stdOut = start.stdErr = null;
    if (StartChild(child, argv, options, start)) {
        ADD_FAILURE() << "cannot start " << (argv.empty() ? std::string() : argv[0]);
        return -1;
    }
    // The object only closes its pidfd: the child stays ours to wait for by its pid.
    return child.Pid();
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

namespace {

// A fresh thread takes one block of every size from the allocator: with its cache still empty,
// it has to take each size's shared lock once. A child forked while another thread of the parent
// held one of those locks inherits it taken for good (the sanitizers' allocator does not take its
// locks around fork); then this probe hangs instead of the test.
void ProbeAllocator() {
    std::thread([] {
        std::vector<void*> blocks;
        for (std::size_t size = 1; size <= (std::size_t{1} << 18);
             size += size < 1024 ? 16 : size / 16) {
            blocks.push_back(std::malloc(size));
        }
        for (void* block : blocks) {
            std::free(block);
        }
    }).join();
}

// Forks a child that has shown it can allocate and start threads. A child that cannot is killed
// and the fork tried again. Returns 0 in the child, -1 with errno when no fork succeeded.
pid_t ForkUsableChild() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            return -1;
        }
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            ProbeAllocator();
            char byte = 1;
            (void)!write(ready[1], &byte, 1);
            close(ready[1]);
            return 0;
        }
        int forkError = errno;
        close(ready[1]);
        if (pid < 0) {
            close(ready[0]);
            errno = forkError;
            return -1;
        }
        pollfd readable{ready[0], POLLIN, 0};
        int polled = 0;
        do {
            polled = poll(&readable, 1, 10000);
        } while (polled < 0 && errno == EINTR);
        char byte = 0;
        bool usable = polled == 1 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        if (usable) {
            return pid;
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    errno = EAGAIN;
    return -1;
}

} // namespace

std::vector<int> ForkChildren(int count, const std::function<int(int)>& body,
                              std::chrono::milliseconds timeout) {
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t pid = ForkUsableChild();
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
    pid_t pid = ForkUsableChild();
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
