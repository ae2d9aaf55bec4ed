#pragma once

// The exception watch: every exception of the system's family that is raised leaves an entry in
// the diagnostic log (header "Raised Exception", class, message, process and thread identity, a
// compact call trace), whether or not some code later catches it.
//
// How raising is observed: the family's constructors in Exceptions.h hand every newly made
// exception (copies excluded) to a raise observer; InstallExceptionWatch makes LogRaisedException
// that observer. So an entry is written at the raise point, on the raising thread, before the
// exception propagates; nothing is patched and a throw costs one atomic load plus, only while the
// diagnostic log is on, the entry itself. Handler dispatch is not observed: C++ offers no cheap,
// safe hook for each catch frame an exception passes, so there are no separate "Exception"
// entries per handler.
//
// Also here: the per-thread counters the diagnostic log shares (busy, exception-logging and
// quiet nesting) with their scopes.

#include "Exceptions.h"

#include <cstdint>

namespace qz {

/// The calling thread's counters; each thread starts with all three at 0.
struct ThreadLogState {
    int busy = 0;             ///< raised around every exception entry and every log write
    int exceptionLogging = 0; ///< above 0: raised exceptions leave no entry
    int quiet = 0;            ///< above 0: the diagnostic log writes nothing for this thread
};

ThreadLogState& CurrentThreadLogState();

/// Raise and lower the calling thread's quiet nesting; nest freely.
void BeginQuiet();
void EndQuiet();

/// Raise and lower the calling thread's exception-logging nesting, for steps whose failure is
/// expected and handled on the spot; nest freely.
void BeginUnloggedExceptions();
void EndUnloggedExceptions();

/// One of the calling thread's counters raised for the life of the object.
class NestingScope {
public:
    explicit NestingScope(int& counter) : counter_(counter) { ++counter_; }
    ~NestingScope() { --counter_; }
    NestingScope(const NestingScope&) = delete;
    NestingScope& operator=(const NestingScope&) = delete;

private:
    int& counter_;
};

/// BeginQuiet for the life of the object.
class QuietScope {
public:
    QuietScope() { BeginQuiet(); }
    ~QuietScope() { EndQuiet(); }
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;
};

/// BeginUnloggedExceptions for the life of the object.
class UnloggedExceptionsScope {
public:
    UnloggedExceptionsScope() { BeginUnloggedExceptions(); }
    ~UnloggedExceptionsScope() { EndUnloggedExceptions(); }
    UnloggedExceptionsScope(const UnloggedExceptionsScope&) = delete;
    UnloggedExceptionsScope& operator=(const UnloggedExceptionsScope&) = delete;
};

/// Makes LogRaisedException the raise observer of the exception family. Idempotent; the
/// diagnostic log's start-up calls it.
void InstallExceptionWatch();

/// Writes the raised-exception entry: nothing for an abort, nothing while the thread's
/// exception-logging nesting is above 0 or while the diagnostic log is off. stackPointer 0 means
/// the caller's frame. Never raises; a failure while composing is itself logged as "Error
/// logging raised exception: " + its message.
void LogRaisedException(const Exception& exception, std::uintptr_t stackPointer) noexcept;

/// The message as entries show it: an assertion failure's message is cut before its last "("
/// and trimmed, dropping the source location.
std::string ExceptionEntryMessage(const Exception& exception);

} // namespace qz
