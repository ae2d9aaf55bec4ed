#pragma once

// Child processes: TProcess starts one child, optionally captures its standard output and error
// into lines, tells the main thread when the child has ended and gives its exit code. The
// platform's one watcher thread observes the child's end and its pipes and posts the end to the
// notify queue. A capture with poTempFileOutput goes through per-child temporary files that a
// reader thread follows while the child runs; without it, through pipes the watcher reads.

#include "NotifyQueue.h"
#include "OutputLines.h"
#include "Threads.h"
#include "platform/File.h"
#include "platform/ProcessWatch.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qz {

/// Options of a TProcess (bit values).
inline constexpr std::uint32_t poHideWindow = 0x1;       ///< no counterpart here
inline constexpr std::uint32_t poInheritHandles = 0x4;   ///< required by poCaptureOutput
inline constexpr std::uint32_t poNewConsole = 0x8;       ///< the child gets its own session
inline constexpr std::uint32_t poNewProcessGroup = 0x10; ///< the child gets its own session
inline constexpr std::uint32_t poCaptureOutput = 0x40;
inline constexpr std::uint32_t poNormalPriority = 0x200;      ///< nice 0
inline constexpr std::uint32_t poBelowNormalPriority = 0x400; ///< nice 10
inline constexpr std::uint32_t poAboveNormalPriority = 0x800; ///< nice -5
inline constexpr std::uint32_t poIdlePriority = 0x1000;       ///< nice 19
inline constexpr std::uint32_t poHighPriority = 0x2000;       ///< nice -10
inline constexpr std::uint32_t poRealtimePriority = 0x4000;   ///< nice -20
inline constexpr std::uint32_t poNoErrorDialogs = 0x40000;
inline constexpr std::uint32_t poUnicodeEnvironment = 0x100000; ///< always added by Start
inline constexpr std::uint32_t poTempFileOutput = 0x800000;
inline constexpr std::uint32_t poSeparateStdErr = 0x2000000;
inline constexpr std::uint32_t poKeepFaultDialog = 0x40000000; ///< the child may write core files

/// The exit code read while the child still runs ("still active").
inline constexpr std::uint32_t kStillActive = 259;

/// The option of a Windows priority class number, or 0 for an unknown class.
std::uint32_t PriorityOption(std::uint32_t priorityClass);

/// The capture of one output stream: a temporary file "<temp folder>Output_{GUID}.tmp" that the
/// child writes and a reader thread ("Process Output Thread") that turns what arrives into lines,
/// at most 100 ms behind the child. Owned and used by one thread; Text and Lines may be read from
/// any thread.
class TProcessOutputPipe {
public:
    /// Creates the file and starts the reader. Raises "Failed to create temporary file: %s" or
    /// "Failed to open temporary file: %s" (OS-error form).
    TProcessOutputPipe();
    /// Stops the reader, closes and deletes the file.
    ~TProcessOutputPipe();
    TProcessOutputPipe(const TProcessOutputPipe&) = delete;
    TProcessOutputPipe& operator=(const TProcessOutputPipe&) = delete;

    /// The descriptor the child writes to (standard output or error).
    int WriteHandle() const { return writeFile_.Handle(); }
    const std::string& FileName() const { return fileName_; }

    /// Reads what is left and ends the reader. A reader that has not ended after the stop
    /// timeout (60 s) is abandoned with a warning in the diagnostic log.
    void Stop();
    /// Tells the reader to read what is left and end, without waiting for it: several readers
    /// asked first and then stopped finish at once, not one after the other.
    void RequestStop();

    /// The lines so far.
    std::vector<std::string> Lines() const;
    /// The lines joined with CR LF.
    std::string Text() const;

    /// How long Stop waits for the reader (60000 ms); tests shorten it.
    static void SetStopTimeout(std::uint32_t milliseconds);

private:
    void ReadLoop();

    mutable TFastMutex lock_; // guards collector_ and abandoned_
    TOutputLineCollector collector_;
    bool abandoned_ = false;
    std::string fileName_;
    platform::File writeFile_;
    platform::File readFile_;
    TWinEvent stopEvent_;  // manual-reset
    TWinEvent readerDone_; // manual-reset, set when the reader ends
    std::atomic<bool> stopping_{false};
    std::unique_ptr<TMethodThread> reader_;
};

/// The capture of one output stream through a pipe that the platform's watcher thread reads:
/// the same lines as TProcessOutputPipe, without a file or a thread of its own. Fed on the
/// watcher thread; Text and Lines may be read from any thread.
class TProcessOutputCapture {
public:
    /// A piece of output; an empty piece is the end (the last unfinished line becomes a line).
    void Feed(std::string_view data);
    std::vector<std::string> Lines() const;
    std::string Text() const;

private:
    mutable TFastMutex lock_; // guards collector_ and ended_
    TOutputLineCollector collector_;
    bool ended_ = false;
};

/// One child process. Every operation but WaitFor runs on the thread that created the object.
class TProcess {
public:
    using TNotifyEvent = std::function<void(TProcess& sender)>;

    /// commandLine: program and arguments, split with the C-runtime rules. When the calling
    /// thread has a notify queue it must be that queue's thread.
    TProcess(std::string commandLine, std::uint32_t options);
    /// Stops watching the child and the captures (deleting their files); a pending exit
    /// notification is dropped, so OnDone is not called. A running child is left running.
    ~TProcess();
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    /// Starts the child (once per object). With wait, blocks until it ends. Without wait the
    /// calling thread must have a notify queue: the watcher thread posts the child's end to it
    /// and OnDone is called there. A pipe capture is complete when the child's end is known. Raises
    /// "Failed to create process: <program>; <command line>" (OS-error form) or a capture's file
    /// error; the object then stays started without a child.
    void Start(bool wait);

    /// The exit code: the child's status, 128 + n after a death by signal n, 0xFFFFFFFF when it
    /// cannot be read. While the child runs: kStillActive with AllowEarlyExitCode, else raises
    /// "Cannot query exit code while process is still active". Raises "Failed to get process
    /// 0x0%x exit code" without a child.
    std::uint32_t ExitCode();
    /// Waits without limit for the child (any thread) and returns its exit code, -1 when it
    /// cannot be read. Raises "Failed waiting for process 0x0%x".
    int WaitFor();
    /// Stops both captures (the text is complete afterwards).
    void StopOutput();
    /// The captured lines joined with CR LF; empty without capture.
    std::string StdOutText() const;
    std::string StdErrText() const;

    void SetOnDone(TNotifyEvent onDone) { onDone_ = std::move(onDone); }
    bool AllowEarlyExitCode() const { return allowEarlyExitCode_; }
    void SetAllowEarlyExitCode(bool value) { allowEarlyExitCode_ = value; }

    const std::string& CommandLine() const { return commandLine_; }
    std::uint32_t Options() const { return options_; }
    /// The handle that is signalled once the child has ended, for waits on several objects;
    /// null before Start or when the start failed.
    THandle Handle() const { return watch_.get(); }
    /// The child's process id; 0 before Start or when the start failed.
    int ProcessId() const { return pid_; }
    bool Running() const { return state_ == State::Running; }
    bool Done() const { return state_ == State::Done; }
    /// True once the watcher has posted the child's end to the queue.
    bool ExitNotified() const { return notified_; }

    /// Runs on the owner thread when the exit watcher reports the child's end.
    void HandleDone();

private:
    enum class State : std::uint8_t { NotStarted, Running, Done };

    void CheckOwner() const;
    void Finished();

    std::thread::id ownerThread_;
    bool allowEarlyExitCode_ = false;
    State state_ = State::NotStarted;
    int pid_ = 0;
    std::unique_ptr<platform::ProcessWatch> watch_;
    std::atomic<bool> notified_{false};
    bool exitCodeCached_ = false;
    std::uint32_t exitCode_ = 0;
    std::uint32_t options_;
    std::string commandLine_;
    std::unique_ptr<TProcessOutputPipe> stdOut_; // temporary-file captures
    std::unique_ptr<TProcessOutputPipe> stdErr_;
    std::unique_ptr<TProcessOutputCapture> pipeOut_; // pipe captures
    std::unique_ptr<TProcessOutputCapture> pipeErr_;
    TNotifyEvent onDone_;
    TNotifyQueue* queue_ = nullptr;
};

} // namespace qz
