#include "platform/ServiceProcess.h"

#include "UniqueFd.h"
#include "WriteAll.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The thread of a StopSignalWatch: calls onSignal for each stop signal that arrives until the
// wake-up event is set.
void WatchStopSignals(int signalFd, int wakeFd, std::function<void(int)> onSignal) {
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            onSignal(static_cast<int>(info.ssi_signo));
        }
    }
}

// Opens (creating when missing) the state file of a lock.
Result<detail::UniqueFd> OpenLockFile(const std::string& path) {
    detail::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        return FailWithLastError("open " + path);
    }
    return fd;
}

// Replaces the whole text of the file.
Result<> ReplaceText(int fd, const std::string& text) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        return FailWithLastError("truncate the state file");
    }
    if (int error = detail::WriteAll(fd, text.data(), text.size())) {
        return Fail(error, "write the state file");
    }
    return {};
}

} // namespace

Result<> BlockStopSignals() {
    sigset_t set = StopSignals();
    if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr)) {
        return Fail(rc, "block the stop signals");
    }
    return {};
}

StopSignalWatch::~StopSignalWatch() {
    Stop();
}

Result<> StopSignalWatch::Start(std::function<void(int)> onSignal) {
    Stop();
    sigset_t set = StopSignals();
    detail::UniqueFd signalFd(signalfd(-1, &set, SFD_CLOEXEC));
    if (!signalFd) {
        return FailWithLastError("watch the stop signals");
    }
    detail::UniqueFd wakeFd(eventfd(0, EFD_CLOEXEC));
    if (!wakeFd) {
        return FailWithLastError("create the stop watch's wake-up event");
    }
    signalFd_ = std::move(signalFd);
    wakeFd_ = std::move(wakeFd);
    thread_ = std::thread(WatchStopSignals, signalFd_.Get(), wakeFd_.Get(), std::move(onSignal));
    return {};
}

void StopSignalWatch::Stop() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wakeFd_.Get(), &one, sizeof one);
        thread_.join();
    }
    signalFd_.Reset();
    wakeFd_.Reset();
}

InstanceLock::~InstanceLock() {
    Release();
}

Result<> InstanceLock::Acquire(const std::string& path) {
    Release();
    Result<detail::UniqueFd> fd = OpenLockFile(path);
    if (!fd) {
        return tl::unexpected(std::move(fd.error()));
    }
    if (flock(fd->Get(), LOCK_EX | LOCK_NB) != 0) {
        return FailWithLastError("lock " + path);
    }
    fd_ = std::move(*fd);
    return {};
}

Result<> InstanceLock::WriteState(const std::string& text) {
    if (!fd_) {
        return Fail(EBADF, "the instance lock is not held");
    }
    return ReplaceText(fd_.Get(), text);
}

void InstanceLock::Release() {
    fd_.Reset();
}

Result<std::string> InstanceLock::ReadHolderState(const std::string& path) {
    detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) {
            return Fail(ESRCH, "nobody holds " + path);
        }
        return FailWithLastError("open " + path);
    }
    if (flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) {
        return Fail(ESRCH, "nobody holds " + path);
    }
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(fd.Get(), buffer, sizeof buffer)) > 0 && text.size() < 4096) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (n < 0) {
        return FailWithLastError("read " + path);
    }
    return text;
}

SupervisedPidFile::~SupervisedPidFile() {
    Release();
}

Result<> SupervisedPidFile::Acquire(const std::string& path) {
    Release();
    Result<detail::UniqueFd> fd = OpenLockFile(path);
    if (!fd) {
        return tl::unexpected(std::move(fd.error()));
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd->Get(), F_SETLK, &lock) != 0) {
        // Another holder shows as EACCES or EAGAIN, depending on the system.
        int error = errno == EACCES ? EWOULDBLOCK : errno;
        return Fail(error, "lock " + path);
    }
    fd_ = std::move(*fd);
    return {};
}

Result<> SupervisedPidFile::WriteState(const std::string& state) {
    if (!fd_) {
        return Fail(EBADF, "the pid file is not held");
    }
    return ReplaceText(fd_.Get(),
                       std::to_string(getpid()) + "\n" + (state.empty() ? "" : state + "\n"));
}

void SupervisedPidFile::Release() {
    fd_.Reset();
}

Result<> SendStopSignal(int pid) {
    if (pid <= 0) {
        return Fail(EINVAL, "no single process has the id " + std::to_string(pid));
    }
    if (kill(pid, SIGTERM) != 0) {
        return FailWithLastError("signal process " + std::to_string(pid));
    }
    return {};
}

} // namespace qz::platform
