#pragma once

// Helpers shared by the unit and black-box tests.

#include "platform/Result.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qz::test {

/// A fresh folder below $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    /// path() + "/" + name.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/// A name unique to this process and the running test ("<prefix>_<pid>_<suite>_<test>_<n>"), for
/// named objects that parallel test runs must not share.
std::string UniqueName(const std::string& prefix);

/// The system error code of a failed result, 0 for a success: lets a test compare outcomes of
/// either kind in one assertion.
template <class T>
int FailureCode(const platform::Result<T>& result) {
    return result ? 0 : result.error().code;
}

/// Moves the value of a successful result into out (out is left alone on failure); returns the
/// system error code of a failure, 0 for a success.
template <class T, class U>
int Unpack(platform::Result<T>&& result, U& out) {
    if (!result) {
        return result.error().code;
    }
    out = std::move(*result);
    return 0;
}

/// Writes a whole file (binary); fails the test on error.
void WriteFile(const std::string& path, const std::string& contents);

/// Reads a whole file (binary); std::nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

/// What a finished child process left behind.
struct RunResult {
    int exitCode = -1;     ///< exit status, or 128 + signal number
    bool timedOut = false; ///< killed because the deadline passed
    std::string out;       ///< standard output
    std::string err;       ///< standard error
};

/// How to start a child process.
struct RunOptions {
    std::string cwd;                                       ///< empty: the current folder
    std::map<std::string, std::optional<std::string>> env; ///< set (value) or remove (nullopt)
    bool clearEnv = false;                                 ///< start from an empty environment
    std::string input;                                     ///< written to standard input
    std::chrono::milliseconds timeout{30000};              ///< the child is killed after this
};

/// Runs a program with arguments (argv[0] is the program path) and waits for it within the
/// deadline; the child is always reaped.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

/// Starts a program in the background (argv[0] is the program path) with the options' folder
/// and environment, its standard handles on /dev/null; returns its pid (-1 on failure). End it
/// with WaitChild, StopChild or KillChild.
int StartProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

/// Asks a child to stop (SIGTERM, or SIGINT with interrupt) without waiting for it.
void StopChild(int pid, bool interrupt = false);

/// Sets (value) or removes (nullopt) an environment variable for the life of the object and
/// restores the previous state afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

/// Forks count children; child i runs body(i) and ends with its return value (an escaping
/// exception ends it with 99). Waits for all of them within the deadline (stragglers are killed)
/// and returns their exit codes (128 + signal for a child ended by a signal).
std::vector<int> ForkChildren(int count, const std::function<int(int)>& body,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

/// Forks the test process; the child runs body and ends with its result (an escaping exception
/// ends it with 99) without running the parent's exit handlers. Returns the child's pid.
int ForkChild(const std::function<int()>& body);

/// Waits for a forked child within the deadline; returns its exit code (128 + n for a signal),
/// or -1 when the deadline passed (the child is then killed and reaped).
int WaitChild(int pid, std::chrono::milliseconds timeout);

/// Whether the forked child has ended (without reaping it).
bool ChildEnded(int pid);

/// Kills a forked child at once (SIGKILL) and reaps it.
void KillChild(int pid);

/// Sleeps the calling thread.
void SleepMs(int milliseconds);

/// Polls the condition every millisecond until it holds (true) or the limit passes (false), so
/// that a loop waiting for another thread or process fails instead of hanging.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        SleepMs(1);
    }
    return true;
}

/// Runs body in a child of this process as the unprivileged user 65534 (user "nobody", group
/// 65534 unless gid says otherwise) and returns its result as WaitChild does; -2 when this
/// process is not root and cannot change user (the caller then skips).
int RunAsNobody(const std::function<int()>& body,
                std::chrono::milliseconds timeout = std::chrono::seconds(20), int gid = 65534);

} // namespace qz::test
