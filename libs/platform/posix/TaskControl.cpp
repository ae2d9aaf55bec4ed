#include "platform/TaskControl.h"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {

namespace {

volatile std::sig_atomic_t g_terminateReceived = 0;

extern "C" void OnTerminateSignal(int) {
    g_terminateReceived = 1;
}

bool RunnableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

} // namespace

Result<> WatchTerminateSignal() {
    struct sigaction action {};
    action.sa_handler = &OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a wait in progress returns at once
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        return FailWithLastError("handle the terminate signal");
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    if (int rc = pthread_sigmask(SIG_UNBLOCK, &set, nullptr)) {
        return Fail(rc, "unblock the terminate signal");
    }
    return {};
}

bool TerminateSignalReceived() {
    return g_terminateReceived != 0;
}

std::string FindProgramInPath(const std::string& name, const std::string& pathValue,
                              const std::string& baseFolder) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return name;
    }
    std::size_t begin = 0;
    for (;;) {
        std::size_t end = pathValue.find(':', begin);
        std::string entry =
            pathValue.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        std::string folder = entry.empty() ? std::string(".") : std::move(entry);
        if (folder[0] != '/' && !baseFolder.empty()) {
            folder.insert(0, baseFolder + "/");
        }
        std::string candidate = folder + "/" + name;
        if (RunnableFile(candidate)) {
            return candidate;
        }
        if (end == std::string::npos) {
            return {};
        }
        begin = end + 1;
    }
}

} // namespace qz::platform
