#include "platform/ProcessInfo.h"

#include <climits>
#include <mutex>
#include <unistd.h>

namespace qz::platform {

namespace {

std::mutex& ArgumentsLock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::string>& Arguments() {
    static std::vector<std::string> arguments;
    return arguments;
}

} // namespace

void SetProcessArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv[i]; ++i) {
        arguments.emplace_back(argv[i]);
    }
    SetProcessArguments(std::move(arguments));
}

void SetProcessArguments(std::vector<std::string> arguments) {
    std::lock_guard<std::mutex> guard(ArgumentsLock());
    Arguments() = std::move(arguments);
}

std::vector<std::string> ProcessArguments() {
    std::lock_guard<std::mutex> guard(ArgumentsLock());
    return Arguments();
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

} // namespace qz::platform
