#pragma once

// The system's exception family. Every error is an exception that carries a message text:
//  - Exception: the general class (and base of the others);
//  - ERangeError: every bounds error found while decoding;
//  - EOSError: a failed system call; carries the system error code, and its message ends with
//    ": " + the system's text + " (" + code + ")";
//  - EAbort: the quiet end of an attempt; callers do not report it.
// EAssertionFailed marks programming errors (a wrong thread, a broken invariant) and names the
// source unit and line.
//
// Raise observation: every constructor of the family that makes a new exception (not a copy)
// reports the finished object to the raise observer, which the exception watch installs so that
// each raised exception leaves an entry in the diagnostic log. A subclass defined elsewhere
// passes RaiseNotified{} to its base and calls NotifyRaised(*this) at the end of its own
// constructor, so that the entry names its class; one that simply inherits its base's
// constructors is reported under the base class's name.

#include "Format.h"

#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace qz {

class Exception;

/// Receives every newly made exception of the family; must not throw.
using RaiseObserver = void (*)(const Exception& exception) noexcept;

/// Installs the raise observer (nullptr: none); the previous one is returned.
RaiseObserver SetRaiseObserver(RaiseObserver observer);

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) { NotifyRaised(*this); }

    const std::string& Message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    /// The class name shown in diagnostic entries ("Exception", "EOSError", ...).
    virtual const char* ClassName() const { return "Exception"; }

    /// A copy of this exception of the same class (and code) with another message.
    virtual std::unique_ptr<Exception> CloneWithMessage(std::string message) const {
        return std::make_unique<Exception>(std::move(message));
    }

    /// Throws this exception as its dynamic class.
    [[noreturn]] virtual void Throw() const { throw *this; }

protected:
    /// Tag for subclass constructors that report the finished object themselves.
    struct RaiseNotified {};
    Exception(std::string message, RaiseNotified) : message_(std::move(message)) {}
    /// Hands the finished exception to the raise observer.
    static void NotifyRaised(const Exception& exception) noexcept;

private:
    std::string message_;
};

class ERangeError : public Exception {
public:
    explicit ERangeError(std::string message) : Exception(std::move(message), RaiseNotified{}) {
        NotifyRaised(*this);
    }
    const char* ClassName() const override { return "ERangeError"; }
    std::unique_ptr<Exception> CloneWithMessage(std::string message) const override {
        return std::make_unique<ERangeError>(std::move(message));
    }
    [[noreturn]] void Throw() const override { throw *this; }
};

class EOSError : public Exception {
public:
    EOSError(std::string message, int errorCode)
        : Exception(std::move(message), RaiseNotified{}), errorCode_(errorCode) {
        NotifyRaised(*this);
    }

    /// The system error code the failure reported.
    int ErrorCode() const { return errorCode_; }

    const char* ClassName() const override { return "EOSError"; }
    std::unique_ptr<Exception> CloneWithMessage(std::string message) const override {
        return std::make_unique<EOSError>(std::move(message), errorCode_);
    }
    [[noreturn]] void Throw() const override { throw *this; }

private:
    int errorCode_;
};

class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted", RaiseNotified{}) { NotifyRaised(*this); }
    explicit EAbort(std::string message) : Exception(std::move(message), RaiseNotified{}) {
        NotifyRaised(*this);
    }
    const char* ClassName() const override { return "EAbort"; }
    std::unique_ptr<Exception> CloneWithMessage(std::string message) const override {
        return std::make_unique<EAbort>(std::move(message));
    }
    [[noreturn]] void Throw() const override { throw *this; }
};

class EAssertionFailed : public Exception {
public:
    explicit EAssertionFailed(std::string message)
        : Exception(std::move(message), RaiseNotified{}) {
        NotifyRaised(*this);
    }
    const char* ClassName() const override { return "EAssertionFailed"; }
    std::unique_ptr<Exception> CloneWithMessage(std::string message) const override {
        return std::make_unique<EAssertionFailed>(std::move(message));
    }
    [[noreturn]] void Throw() const override { throw *this; }
};

/// Raises the general exception with the text.
[[noreturn]] void Raise(std::string message);

/// Raises EOSError: text + ": " + the system's message for the code + " (" + code + ")".
[[noreturn]] void RaiseOsError(std::string_view text, int code);

/// The same with the calling thread's last system error.
[[noreturn]] void RaiseOsError(std::string_view text);

/// The OS-error message for a text and a code, without raising.
std::string OsErrorMessage(std::string_view text, int code);

/// Raises the native-status form: text + ": " + the status name (or "STATUS 0x" + 8 hex digits)
/// + " (0x" + 8 upper-case hex digits + ")". The exception is an EOSError carrying the status.
[[noreturn]] void RaiseNtStatus(std::string_view text, int status);

/// The native-status message without raising.
std::string NtStatusMessage(std::string_view text, int status);

/// Must be called inside a catch handler: raises a new exception whose message is context +
/// "\r\n" + the caught exception's message. A caught EAbort gives an EAbort, a caught EOSError an
/// EOSError with the same code, anything else the general class.
[[noreturn]] void RaiseWithContext(std::string_view context);

/// The message of an exception_ptr's exception ("Unknown exception" for foreign objects).
std::string ExceptionMessage(const std::exception_ptr& error);

/// Raises EAssertionFailed naming the unit and line.
[[noreturn]] void AssertionFailure(const char* file, int line, const char* condition);

} // namespace qz

/// Checks an invariant; a failure raises EAssertionFailed naming the source unit and line.
#define QZ_ASSERT(condition)                                                                       \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::qz::AssertionFailure(__FILE__, __LINE__, #condition);                                \
        }                                                                                          \
    } while (false)
