#include "ProcessExecution.h"

#include "DiagLog.h"
#include "EnvUtils.h"
#include "Exceptions.h"
#include "Format.h"
#include "platform/ChildProcess.h"
#include "platform/FileSystem.h"
#include "platform/NativeThread.h"

#include <cerrno>
#include <mutex>
#include <optional>

namespace qz {

namespace {

constexpr std::size_t kReadChunk = 0x200000;
constexpr std::uint32_t kPollInterval = 100;
std::atomic<std::uint32_t> g_stopTimeout{60000};

// The null device the captured children read as standard input, one per process.
int NulInput() {
    static platform::File* nul = [] {
        auto* file = new platform::File();
        platform::FileOpenRequest request;
        request.access = platform::FileAccess::Read;
        request.share = platform::FileShare::ReadWrite;
        request.disposition = platform::FileDisposition::OpenExisting;
        if (platform::Result<> opened = file->Open("/dev/null", request); !opened) {
            RaiseOsError("Failed to open null device", opened.error().code);
        }
        return file;
    }();
    return nul->Handle();
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += "\r\n";
        }
        text += lines[i];
    }
    return text;
}

// The priority options and the priority class each stands for; of several options set, the
// first in this order counts.
constexpr struct {
    std::uint32_t option;
    std::uint32_t priorityClass;
} kPriorityClasses[] = {{poNormalPriority, 0x20},        {poIdlePriority, 0x40},
                        {poHighPriority, 0x80},          {poRealtimePriority, 0x100},
                        {poBelowNormalPriority, 0x4000}, {poAboveNormalPriority, 0x8000}};

std::optional<int> NiceValueOfOptions(std::uint32_t options) {
    for (const auto& entry : kPriorityClasses) {
        if (options & entry.option) {
            return platform::NiceValueOfPriorityClass(entry.priorityClass);
        }
    }
    return std::nullopt;
}

} // namespace

std::uint32_t PriorityOption(std::uint32_t priorityClass) {
    for (const auto& entry : kPriorityClasses) {
        if (entry.priorityClass == priorityClass) {
            return entry.option;
        }
    }
    return 0;
}

// ---- TProcessOutputPipe ----------------------------------------------------------------------

void TProcessOutputPipe::SetStopTimeout(std::uint32_t milliseconds) {
    g_stopTimeout = milliseconds;
}

TProcessOutputPipe::TProcessOutputPipe()
    : stopEvent_(nullptr, "", true, false), readerDone_(nullptr, "", true, false) {
    fileName_ = TempFolder() + "Output_" + GuidToText(NewGuid()) + ".tmp";

    platform::FileOpenRequest write;
    write.access = platform::FileAccess::ReadWrite;
    write.share = platform::FileShare::Read;
    write.disposition = platform::FileDisposition::CreateAlways;
    write.hints.temporary = true;
    if (platform::Result<> opened = writeFile_.Open(fileName_, write); !opened) {
        RaiseOsError(Format("Failed to create temporary file: %s", fileName_), opened.error().code);
    }
    platform::FileOpenRequest read;
    read.access = platform::FileAccess::Read;
    read.share = platform::FileShare::ReadWrite;
    read.disposition = platform::FileDisposition::OpenExisting;
    read.hints.temporary = true;
    if (platform::Result<> opened = readFile_.Open(fileName_, read); !opened) {
        writeFile_.Close();
        platform::RemoveFile(fileName_);
        RaiseOsError(Format("Failed to open temporary file: %s", fileName_), opened.error().code);
    }
    NulInput();
    // The reader names itself: asking for its id here would wait for it to run.
    StartMethodThread(reader_, false, [this](TMethodThread*) {
        RegisterThreadName(static_cast<int>(platform::CurrentThreadId()), "Process Output Thread");
        ReadLoop();
    });
}

TProcessOutputPipe::~TProcessOutputPipe() {
    Stop();
    reader_.reset();
    writeFile_.Close();
    readFile_.Close();
    platform::RemoveFile(fileName_);
}

void TProcessOutputPipe::ReadLoop() {
    // Not zero-filled: every byte handed on was read first.
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    std::int64_t offset = 0;
    for (;;) {
        if (!stopping_ && stopEvent_.WaitFor(kPollInterval)) {
            stopping_ = true;
        }
        std::size_t done = 0;
        if (!readFile_.ReadAt(offset, buffer.get(), kReadChunk, done)) {
            break;
        }
        std::lock_guard guard(lock_);
        if (abandoned_) {
            break;
        }
        if (done > 0) {
            offset += static_cast<std::int64_t>(done);
            if (!collector_.Feed(std::string_view(buffer.get(), done))) {
                break; // the terminate marker
            }
        } else if (stopping_) {
            collector_.Finish();
            break;
        }
    }
    readerDone_.SetEvent();
}

void TProcessOutputPipe::RequestStop() {
    if (!reader_ || !reader_->HasThread()) {
        return; // a reader that never started has nothing to finish
    }
    stopping_ = true;
    stopEvent_.SetEvent();
}

void TProcessOutputPipe::Stop() {
    if (!reader_ || !reader_->HasThread()) {
        return; // a reader that never started has nothing to finish
    }
    RequestStop();
    if (readerDone_.WaitFor(g_stopTimeout)) {
        return;
    }
    LogSectionEntry("Warning", '=', lfAlways);
    LogWrite(Format("Output thread failed to terminate (timed out after %d seconds). It will be "
                    "forcefully terminated.",
                    static_cast<int>(g_stopTimeout / 1000)),
             lfAlways);
    // The reader notices at its next step and ends without touching the lines again.
    std::lock_guard guard(lock_);
    abandoned_ = true;
}

std::vector<std::string> TProcessOutputPipe::Lines() const {
    std::lock_guard guard(lock_);
    return collector_.Lines();
}

std::string TProcessOutputPipe::Text() const {
    return JoinLines(Lines());
}

// ---- TProcessOutputCapture ------------------------------------------------------------------

void TProcessOutputCapture::Feed(std::string_view data) {
    std::lock_guard guard(lock_);
    if (ended_) {
        return;
    }
    if (data.empty()) {
        collector_.Finish();
        ended_ = true;
    } else if (!collector_.Feed(data)) {
        ended_ = true; // the terminate marker: the rest is read by the watcher and dropped
    }
}

std::vector<std::string> TProcessOutputCapture::Lines() const {
    std::lock_guard guard(lock_);
    return collector_.Lines();
}

std::string TProcessOutputCapture::Text() const {
    return JoinLines(Lines());
}

// ---- TProcess --------------------------------------------------------------------------------

TProcess::TProcess(std::string commandLine, std::uint32_t options)
    : ownerThread_(std::this_thread::get_id()), options_(options),
      commandLine_(std::move(commandLine)) {
    if (NotifyQueueAssigned()) {
        queue_ = &GetNotifyQueue();
        QZ_ASSERT(queue_->IsMainThread());
    }
}

TProcess::~TProcess() {
    // First the watch: once it is gone no handler runs, so no exit is posted any more and a
    // pipe capture is fed no more.
    watch_.reset();
    stdOut_.reset();
    stdErr_.reset();
    if (queue_) {
        try {
            queue_->ClearQueue(this);
        } catch (...) {
            // Destroyed off the queue's thread: nothing was posted for it from there.
        }
    }
}

void TProcess::CheckOwner() const {
    QZ_ASSERT(std::this_thread::get_id() == ownerThread_);
}

void TProcess::Start(bool wait) {
    QZ_ASSERT(state_ == State::NotStarted);
    CheckOwner();
    state_ = State::Running;

    platform::ChildStartOptions start;
    start.arguments = SplitCommandLine(commandLine_);
    start.newSession = (options_ & (poNewConsole | poNewProcessGroup)) != 0;
    start.niceValue = NiceValueOfOptions(options_);
    start.allowCoreFiles = (options_ & poKeepFaultDialog) != 0;
    const bool separate = (options_ & poSeparateStdErr) != 0;
    if ((options_ & poCaptureOutput) && (options_ & poTempFileOutput)) {
        QZ_ASSERT(options_ & poInheritHandles);
        stdOut_ = std::make_unique<TProcessOutputPipe>();
        if (separate) {
            stdErr_ = std::make_unique<TProcessOutputPipe>();
        }
        start.stdIn = NulInput();
        start.stdOut = stdOut_->WriteHandle();
        start.stdErr = stdErr_ ? stdErr_->WriteHandle() : stdOut_->WriteHandle();
    } else if (options_ & poCaptureOutput) {
        QZ_ASSERT(options_ & poInheritHandles);
        pipeOut_ = std::make_unique<TProcessOutputCapture>();
        start.pipeOutput = true;
        if (separate) {
            pipeErr_ = std::make_unique<TProcessOutputCapture>();
            start.pipeError = true;
        } else {
            start.errorToOutput = true;
        }
        start.nullInput = true;
    }
    QZ_ASSERT(wait || NotifyQueueAssigned());

    platform::ChildProcess child;
    platform::Result<> started = child.Start(start);
    if (started) {
        const int pid = child.Pid();
        platform::ProcessWatch::Handlers handlers;
        if (pipeOut_) {
            handlers.output = [capture = pipeOut_.get()](std::string_view data) {
                capture->Feed(data);
            };
        }
        if (pipeErr_) {
            handlers.error = [capture = pipeErr_.get()](std::string_view data) {
                capture->Feed(data);
            };
        }
        if (!wait) {
            handlers.exited = [this, queue = &GetNotifyQueue()] {
                notified_ = true;
                queue->Post(this, npNormal, TMethod::Of<&TProcess::HandleDone>(this));
            };
        }
        auto watch = platform::ProcessWatch::Watch(std::move(child), std::move(handlers));
        if (watch) {
            watch_ = std::move(*watch);
            pid_ = pid;
        } else {
            started = tl::unexpected(watch.error());
        }
    }
    if (!started) {
        std::string program = start.arguments.empty() ? std::string() : start.arguments[0];
        RaiseOsError(Format("Failed to create process: %s; %s", program, commandLine_),
                     started.error().code);
    }

    if (wait) {
        WaitForObject(watch_.get(), INFINITE, 0);
        Finished();
    }
}

void TProcess::HandleDone() {
    CheckOwner();
    if (state_ == State::Done) {
        return;
    }
    Finished();
    if (onDone_) {
        onDone_(*this);
    }
}

void TProcess::Finished() {
    if (state_ == State::Done) {
        return;
    }
    state_ = State::Done;
    StopOutput();
}

std::uint32_t TProcess::ExitCode() {
    CheckOwner();
    if (exitCodeCached_) {
        return exitCode_;
    }
    if (!watch_) {
        RaiseOsError(Format("Failed to get process 0x0%x exit code", 0), EBADF);
    }
    if (!watch_->HasExited()) {
        if (!allowEarlyExitCode_) {
            Raise("Cannot query exit code while process is still active");
        }
        return kStillActive;
    }
    exitCode_ = static_cast<std::uint32_t>(watch_->ExitCode());
    exitCodeCached_ = true;
    return exitCode_;
}

int TProcess::WaitFor() {
    if (!watch_) {
        RaiseOsError(Format("Failed waiting for process 0x0%x", 0), EBADF);
    }
    try {
        WaitForObject(watch_.get(), INFINITE, wfAbandonedWarning);
    } catch (...) {
        RaiseWithContext(Format("Failed waiting for process 0x0%x", pid_));
    }
    return watch_->ExitCode();
}

void TProcess::StopOutput() {
    // A pipe capture needs no stop: it ends with the child. Both readers are told first, so
    // that they finish together.
    if (stdOut_) {
        stdOut_->RequestStop();
    }
    if (stdErr_) {
        stdErr_->RequestStop();
    }
    if (stdOut_) {
        stdOut_->Stop();
    }
    if (stdErr_) {
        stdErr_->Stop();
    }
}

std::string TProcess::StdOutText() const {
    return stdOut_ ? stdOut_->Text() : pipeOut_ ? pipeOut_->Text() : std::string();
}

std::string TProcess::StdErrText() const {
    return stdErr_ ? stdErr_->Text() : pipeErr_ ? pipeErr_->Text() : std::string();
}

} // namespace qz
