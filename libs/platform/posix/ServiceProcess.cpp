#include "platform/ServiceProcess.h"

#include "UniqueFd.h"

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

// Closes a descriptor member kept as a plain number (the public header has no descriptor type).
void CloseFd(int& fd) {
    detail::UniqueFd(std::exchange(fd, -1)).Reset();
}

} // namespace

int BlockStopSignals() {
    sigset_t set = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatch::~StopSignalWatch() {
    Stop();
}

int StopSignalWatch::Start(std::function<void(int)> onSignal) {
    Stop();
    sigset_t set = StopSignals();
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd_ < 0) {
        return errno;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        int error = errno;
        CloseFd(signalFd_);
        return error;
    }
    thread_ = std::thread([this, onSignal = std::move(onSignal)] {
        for (;;) {
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
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
            if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                onSignal(static_cast<int>(info.ssi_signo));
            }
        }
    });
    return 0;
}

void StopSignalWatch::Stop() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    CloseFd(signalFd_);
    CloseFd(wakeFd_);
}

InstanceLock::~InstanceLock() {
    Release();
}

int InstanceLock::Acquire(const std::string& path) {
    Release();
    detail::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        return errno;
    }
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? EWOULDBLOCK : errno;
    }
    fd_ = fd.Release();
    return 0;
}

int InstanceLock::WriteState(const std::string& text) {
    if (fd_ < 0) {
        return EBADF;
    }
    if (ftruncate(fd_, 0) != 0) {
        return errno;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

void InstanceLock::Release() {
    CloseFd(fd_);
}

SupervisedPidFile::~SupervisedPidFile() {
    Release();
}

int SupervisedPidFile::Acquire(const std::string& path) {
    Release();
    detail::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        return errno;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd.Get(), F_SETLK, &lock) != 0) {
        return errno == EACCES ? EWOULDBLOCK : errno;
    }
    fd_ = fd.Release();
    return 0;
}

int SupervisedPidFile::WriteState(const std::string& state) {
    if (fd_ < 0) {
        return EBADF;
    }
    std::string text = std::to_string(getpid()) + "\n" + (state.empty() ? "" : state + "\n");
    if (ftruncate(fd_, 0) != 0) {
        return errno;
    }
    ssize_t n = pwrite(fd_, text.data(), text.size(), 0);
    return n == static_cast<ssize_t>(text.size()) ? 0 : (n < 0 ? errno : EIO);
}

void SupervisedPidFile::Release() {
    CloseFd(fd_);
}

int InstanceLock::ReadHolderState(const std::string& path, std::string& text) {
    detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        return errno == ENOENT ? ESRCH : errno;
    }
    if (flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) {
        return ESRCH; // nobody holds it
    }
    text.clear();
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(fd.Get(), buffer, sizeof buffer)) > 0 && text.size() < 4096) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return n < 0 ? errno : 0;
}

int SendStopSignal(int pid) {
    if (pid <= 0) {
        return EINVAL;
    }
    return kill(pid, SIGTERM) == 0 ? 0 : errno;
}

} // namespace qz::platform
