#include "Threads.h"

#include "DiagHooks.h"
#include "Exceptions.h"
#include "Format.h"
#include "platform/Console.h"

#include <cstdio>
#include <iostream>

namespace qz {

namespace {

std::atomic<int> g_exitCode{0};

} // namespace

TSafeThread::TSafeThread(bool createSuspended, bool hardEnd, std::size_t stackSize,
                         std::uint32_t /*creationFlags*/)
    : hardEnd_(hardEnd), startSuspended_(createSuspended) {
    suspended_ = createSuspended;
    auto thread = platform::NativeThread::Start([this] { Run(); }, stackSize);
    if (thread) {
        thread_ = std::move(*thread);
    } else {
        diag::LogText(Format("DBG: Thread creating failed:\r\n  Error code: %d\r\n  Threads "
                             "count: %d",
                             thread.error().code, platform::ProcessThreadCount()));
    }
}

TSafeThread::~TSafeThread() {
    StopThread();
    if (thread_ && !Started()) {
        // Never let run (suspended): let it go without running Execute.
        {
            std::lock_guard lock(gateLock_);
            skipRun_ = true;
            suspendCount_ = 0;
        }
        gate_.notify_all();
    }
    thread_.reset(); // joins
}

void TSafeThread::StopThread() {
    // Join a finished thread too: AfterExecute may still be running on it.
    if (thread_ && Started()) {
        Terminate();
        WaitFor();
    }
}

bool TSafeThread::Started() {
    std::lock_guard lock(gateLock_);
    return suspendCount_ == 0 && !skipRun_;
}

void TSafeThread::RaisePriority() {
    if (thread_) {
        thread_->RaisePriority();
    }
}

void TSafeThread::AfterConstruction() {
    if (!startSuspended_) {
        Resume();
    }
}

void TSafeThread::Resume() {
    bool run = false;
    {
        std::lock_guard lock(gateLock_);
        if (suspendCount_ > 0 && --suspendCount_ == 0) {
            run = true;
        }
    }
    if (run) {
        suspended_ = false;
        gate_.notify_all();
    }
}

std::uint32_t TSafeThread::WaitFor() {
    if (thread_) {
        QZ_ASSERT(thread_->Id() != platform::CurrentThreadId());
        thread_->Join();
    }
    return returnValue_;
}

void TSafeThread::TerminateThreadNow(std::uint32_t exitCode) {
    if (!thread_) {
        RaiseOsError("Failed to terminate thread", 3 /* ESRCH */);
    }
    if (auto cancelled = thread_->Cancel(); !cancelled) {
        RaiseOsError("Failed to terminate thread", cancelled.error().code);
    }
    killed_ = true;
    returnValue_ = exitCode;
    finished_ = true;
}

void TSafeThread::Run() {
    {
        std::unique_lock lock(gateLock_);
        gate_.wait(lock, [this] { return suspendCount_ == 0; });
        if (skipRun_) {
            return;
        }
    }
    try {
        Execute();
    } catch (const std::exception& e) {
        // A thread ended by TerminateThreadNow unwinds with a failed wait: not an error.
        if (!killed_) {
            const auto* own = dynamic_cast<const Exception*>(&e);
            diag::LogSection("Thread Error", own ? own->Message() : std::string(e.what()));
            returnValue_ = kThreadErrorExitCode;
        }
    }
    finished_ = true;
    if (!killed_) {
        AfterExecute();
    }
}

TMethodThread::TMethodThread(bool createSuspended, bool hardEnd, TMethod method)
    : TSafeThread(createSuspended, hardEnd), method_(std::move(method)) {}

TMethodThread::~TMethodThread() {
    StopThread();
}

void TMethodThread::Execute() {
    try {
        if (method_) {
            method_(this);
        }
    } catch (...) {
        // The method's errors are its own business.
    }
}

void StartMethodThread(std::unique_ptr<TMethodThread>& variable, bool hardEnd,
                       TMethodThread::TMethod method) {
    variable = std::make_unique<TMethodThread>(true, hardEnd, std::move(method));
    variable->Resume();
}

TWaitObjectThread::TWaitObjectThread(const std::vector<THandle>& handles, std::uint8_t flags,
                                     void* /*tracker*/, std::size_t stackSize,
                                     std::uint32_t creationFlags)
    : TSafeThread(false, false, stackSize, creationFlags), stopEvent_(nullptr, "", false, false),
      handles_(handles), flags_(flags) {
    handles_.push_back(stopEvent_.Handle());
    RaisePriority();
}

TWaitObjectThread::~TWaitObjectThread() {
    StopWaiting();
}

void TWaitObjectThread::StopWaiting() {
    if (HasThread() && !Finished()) {
        stopEvent_.SetEvent();
        if (Started()) {
            WaitFor();
        }
    }
}

void TWaitObjectThread::Execute() {
    for (;;) {
        int index = WaitForObjects(handles_, false, nullptr, flags_, INFINITE);
        if (index == static_cast<int>(handles_.size()) - 1) {
            return;
        }
        Signaled(index);
        if (!(flags_ & wfKeepWaiting)) {
            return;
        }
    }
}

void SetProcessExitCode(int exitCode) {
    g_exitCode = exitCode;
}

int ProcessExitCode() {
    return g_exitCode;
}

void ExitProcessNow() {
    // Buffered output is written; nothing else runs (no destructors, no atexit handlers).
    std::cout.flush();
    std::fflush(stdout);
    platform::ExitProcessNow(g_exitCode);
}

} // namespace qz
