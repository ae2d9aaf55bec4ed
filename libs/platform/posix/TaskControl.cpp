#include "platform/TaskControl.h"

#include <cerrno>
#include <csignal>

namespace qz::platform {

namespace {

volatile std::sig_atomic_t g_terminateReceived = 0;

extern "C" void OnTerminateSignal(int) {
    g_terminateReceived = 1;
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

} // namespace qz::platform
