#include "platform/Environment.h"

#include <cstdlib>
#include <mutex>

extern char** environ; // NOLINT(readability-redundant-declaration)

namespace qz::platform {

namespace {

// getenv hands out pointers into an array that setenv may reallocate, so readers and writers of
// this process take the same lock and readers copy the value before releasing it.
std::mutex& EnvironmentLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

std::optional<std::string> ReadEnvironmentVariable(const std::string& name) {
    std::lock_guard<std::mutex> guard(EnvironmentLock());
    const char* value = std::getenv(name.c_str());
    if (!value) {
        return std::nullopt;
    }
    return std::string(value);
}

Result<> WriteEnvironmentVariable(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> guard(EnvironmentLock());
    if (setenv(name.c_str(), value.c_str(), 1) != 0) {
        return FailWithLastError("setenv");
    }
    return {};
}

Result<> RemoveEnvironmentVariable(const std::string& name) {
    std::lock_guard<std::mutex> guard(EnvironmentLock());
    if (unsetenv(name.c_str()) != 0) {
        return FailWithLastError("unsetenv");
    }
    return {};
}

std::vector<std::string> EnvironmentEntries() {
    std::lock_guard<std::mutex> guard(EnvironmentLock());
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

} // namespace qz::platform
