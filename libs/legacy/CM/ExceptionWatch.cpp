#include "ExceptionWatch.h"

#include "CallTraceUtils.h"
#include "DiagLog.h"
#include "EventLog.h"
#include "StringLists.h"
#include "platform/Diagnostics.h"

namespace qz {

namespace {

thread_local ThreadLogState t_state;

void ObserveRaise(const Exception& exception) noexcept {
    LogRaisedException(exception, 0);
}

} // namespace

ThreadLogState& CurrentThreadLogState() {
    return t_state;
}

void BeginQuiet() {
    ++t_state.quiet;
}

void EndQuiet() {
    --t_state.quiet;
}

void BeginUnloggedExceptions() {
    ++t_state.exceptionLogging;
}

void EndUnloggedExceptions() {
    --t_state.exceptionLogging;
}

void InstallExceptionWatch() {
    SetRaiseObserver(&ObserveRaise);
}

std::string ExceptionEntryMessage(const Exception& exception) {
    std::string message = exception.Message();
    if (dynamic_cast<const EAssertionFailed*>(&exception)) {
        size_t paren = message.find_last_of('(');
        if (paren != std::string::npos) {
            message = Trim(std::string_view(message).substr(0, paren));
        }
    }
    return message;
}

void LogRaisedException(const Exception& exception, std::uintptr_t stackPointer) noexcept {
    ThreadLogState& state = t_state;
    if (state.exceptionLogging > 0 || dynamic_cast<const EAbort*>(&exception)) {
        return;
    }
    TEventLog* eventLog = ExceptionEventLog();
    // Nothing would reach the log: spare the call trace.
    if (!eventLog && (state.quiet > 0 || !DiagLogActive())) {
        return;
    }
    NestingScope logging(state.exceptionLogging);
    NestingScope busy(state.busy);
    try {
        std::string message;
        std::string className;
        try {
            message = ExceptionEntryMessage(exception);
        } catch (...) {
            message = "No Message";
        }
        try {
            className = exception.ClassName();
        } catch (...) {
            className = "Unknown Class";
        }
        std::string entry = LogSection("Raised Exception", '-') + "\r\n" + className +
                            " PID=" + std::to_string(platform::diag::ProcessId()) +
                            " TID=" + CurrentThreadNameOrNumber() +
                            " Build=" + std::to_string(kProgramBuildNumber) + "\r\n\r\n" + message +
                            "\r\n\r\n" + CallTrace(0, stackPointer, 0) + "\r\n\r\n";
        LogWrite(entry, lfAlways);
        if (eventLog) {
            try {
                eventLog->Write(entry, true, -1, "");
            } catch (const std::exception& e) {
                LogWrite(std::string("Error writing exception to event log: ") + e.what(),
                         lfAlways);
            }
        }
    } catch (const std::exception& e) {
        try {
            LogWrite(std::string("Error logging raised exception: ") + e.what(), lfAlways);
        } catch (...) {
        }
    } catch (...) {
    }
}

} // namespace qz
