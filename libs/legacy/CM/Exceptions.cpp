#include "Exceptions.h"

#include "platform/SystemError.h"

#include <atomic>

namespace qz {

namespace {

std::atomic<RaiseObserver> g_raiseObserver{nullptr};

} // namespace

RaiseObserver SetRaiseObserver(RaiseObserver observer) {
    return g_raiseObserver.exchange(observer);
}

void Exception::NotifyRaised(const Exception& exception) noexcept {
    if (RaiseObserver observer = g_raiseObserver.load(std::memory_order_acquire)) {
        observer(exception);
    }
}

void Raise(std::string message) {
    throw Exception(std::move(message));
}

std::string OsErrorMessage(std::string_view text, int code) {
    return std::string(text) + ": " + platform::SystemErrorText(code) + " (" +
           std::to_string(code) + ")";
}

void RaiseOsError(std::string_view text, int code) {
    throw EOSError(OsErrorMessage(text, code), code);
}

void RaiseOsError(std::string_view text) {
    RaiseOsError(text, platform::LastSystemError());
}

std::string NtStatusMessage(std::string_view text, int status) {
    std::string name = platform::SystemErrorName(status);
    if (name.empty()) {
        name = Format("STATUS 0x%.8X", static_cast<std::uint32_t>(status));
    }
    return std::string(text) + ": " + name +
           Format(" (0x%.8X)", static_cast<std::uint32_t>(status));
}

void RaiseNtStatus(std::string_view text, int status) {
    throw EOSError(NtStatusMessage(text, status), status);
}

std::string ExceptionMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

void RaiseWithContext(std::string_view context) {
    std::exception_ptr current = std::current_exception();
    QZ_ASSERT(current != nullptr);
    try {
        std::rethrow_exception(current);
    } catch (const EAbort& e) {
        throw EAbort(std::string(context) + "\r\n" + e.Message());
    } catch (const EOSError& e) {
        throw EOSError(std::string(context) + "\r\n" + e.Message(), e.ErrorCode());
    } catch (const Exception& e) {
        throw Exception(std::string(context) + "\r\n" + e.Message());
    } catch (const std::exception& e) {
        throw Exception(std::string(context) + "\r\n" + e.what());
    } catch (...) {
        throw Exception(std::string(context) + "\r\nUnknown exception");
    }
}

void AssertionFailure(const char* file, int line, const char* condition) {
    std::string_view path(file);
    size_t slash = path.find_last_of('/');
    std::string_view unit = slash == std::string_view::npos ? path : path.substr(slash + 1);
    throw EAssertionFailed(Format("Assertion failure: %s (%s, line %d)", condition, unit, line));
}

} // namespace qz
